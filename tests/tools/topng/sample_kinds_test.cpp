// Fidelity of the sample kinds a PNG cannot hold as they are: wide and signed integers, floating point
// with its range cases, no-data, L*a*b* and photometric values libtiff does not name.
#include "sample_values.h"
#include "topng_checks.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace tovanel::tools;
using namespace tovanel::tools::test;

namespace {

constexpr uint32_t W = 29, H = 19;  // odd sizes: partial strips and tiles
constexpr double kNoData = -9999;

// How a page's values are chosen: integers from all their bits; floating point in [0, 1], over a
// wide range, over a wide range with a tagged [lo, hi] narrower than the data, with NaN and
// infinities, with no-data pixels (every fifth) and no-data samples, all one value outside [0, 1]
// (a flat page), or spanning nearly all doubles (a range wider than a double holds).
enum class Range { Bits, Unit, Wide, Tagged, NonFinite, NoData, Flat, Huge };

struct KindCase {
  const char* name;
  uint16_t format, bps, spp, photometric;
  std::vector<uint16_t> extras;
  Range range;
  int pngType, pngDepth;
  bool separate = false, tiled = false;
  const char* mode = "w";
  uint16_t compression = COMPRESSION_ADOBE_DEFLATE, predictor = PREDICTOR_NONE;
};

uint64_t Hash(uint32_t x, uint32_t y, int s) { return Tovanel::SampleValues::Noise(x, y, uint64_t(s)); }

int ColourOf(const KindCase& c) { return c.photometric == PHOTOMETRIC_RGB || c.spp >= 3 ? 3 : 1; }
bool HoleAt(const KindCase& c, uint32_t x, uint32_t y) { return c.range == Range::NoData && (x + 3 * y) % 5 == 0; }

// The value of sample s, as a number (integers as their bit pattern's unsigned value).
double Value(const KindCase& c, uint32_t x, uint32_t y, int s) {
  const uint64_t h = Hash(x, y, s);
  const double u = (h >> 11) * 0x1.0p-53;
  const bool alpha = s >= ColourOf(c);
  if (c.range == Range::Bits) {  // all bits, rounded where a double could not hold them
    const uint64_t b = h >> (64 - c.bps);
    return double(c.bps > 53 ? b & ~((uint64_t{1} << (c.bps - 53)) - 1) : b);
  }
  if (alpha || c.range == Range::Unit) return std::round(u * 1024) / 1024;  // exact in every float width
  if (c.range == Range::NoData && (HoleAt(c, x, y) || (s == 1 && (x + y) % 7 == 0))) return kNoData;
  if (c.range == Range::NonFinite && h % 7 == 0) return NAN;
  if (c.range == Range::NonFinite && h % 11 == 0) return h % 2 ? INFINITY : -INFINITY;
  if (c.range == Range::Flat) return 5;
  if (c.range == Range::Huge) return (u * 2 - 1) * 1e308;
  // Values every width holds exactly: eighths up to 187 in half precision, halves up to 3000 otherwise.
  return c.bps == 16 ? std::round(u * 2000 - 500) / 8 : std::round((u * 4000 - 1000) * 2) / 2;
}

uint64_t FloatBits(double v, int bps) {
  if (bps == 32) return std::bit_cast<uint32_t>(static_cast<float>(v));
  if (bps == 64) return std::bit_cast<uint64_t>(v);
  // Half precision (5 exponent bits) or the 24-bit format (7), for values those formats hold.
  const int e = bps == 16 ? 5 : 7, m = bps == 16 ? 10 : 16, bias = (1 << (e - 1)) - 1;
  const uint64_t sign = std::signbit(v) ? uint64_t{1} << (bps - 1) : 0, expMax = (1u << e) - 1;
  if (std::isnan(v)) return (expMax << m) | 1;
  if (std::isinf(v)) return sign | (expMax << m);
  if (v == 0) return sign;
  int exp = 0;
  const double frac = std::frexp(std::fabs(v), &exp);  // v = frac * 2^exp, frac in [0.5, 1)
  const int biased = exp - 1 + bias;
  if (biased <= 0) return sign | static_cast<uint64_t>(std::ldexp(std::fabs(v), bias - 1 + m));
  return sign | (uint64_t(biased) << m) | (static_cast<uint64_t>(std::ldexp(frac * 2 - 1, m)) & ((1u << m) - 1));
}

uint64_t StoredBits(const KindCase& c, uint32_t x, uint32_t y, int s) {
  const double v = Value(c, x, y, s);
  if (c.format == SAMPLEFORMAT_IEEEFP) return FloatBits(v, c.bps);
  return static_cast<uint64_t>(v);  // the bit pattern (Range::Bits)
}

void WriteKind(const KindCase& c, const std::string& path) {
  TIFF* t = StartTiff(path, c.mode, W, H, c.bps, c.spp, c.photometric);
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, c.format);
  TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
  if (c.predictor != PREDICTOR_NONE) TIFFSetField(t, TIFFTAG_PREDICTOR, c.predictor);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, c.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  if (!c.extras.empty()) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(c.extras.size()), c.extras.data());
  if (c.range == Range::Tagged) {
    TIFFSetField(t, TIFFTAG_SMINSAMPLEVALUE, -200.0);
    TIFFSetField(t, TIFFTAG_SMAXSAMPLEVALUE, 1500.0);
  }
  if (c.range == Range::NoData) {
    // GDAL's tag, which this libtiff does not know: registered for writing as GDAL writes it.
    static const TIFFFieldInfo kNoDataTag = {TIFFTAG_GDAL_NODATA, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0,
                                             const_cast<char*>("GDALNoDataValue")};
    ASSERT_EQ(TIFFMergeFieldInfo(t, &kNoDataTag, 1), 0);
    ASSERT_EQ(TIFFSetField(t, TIFFTAG_GDAL_NODATA, "-9999"), 1);
  }
  const int planes = c.separate ? c.spp : 1, perPixel = c.separate ? 1 : c.spp;
  const std::size_t rowBytes = (std::size_t{W} * perPixel * c.bps + 7) / 8;
  std::vector<std::vector<uint8_t>> plane(planes, std::vector<uint8_t>(rowBytes * H, 0));
  for (uint32_t y = 0; y < H; ++y)
    for (uint32_t x = 0; x < W; ++x)
      for (int s = 0; s < c.spp; ++s)
        PutBits(plane[c.separate ? s : 0].data() + y * rowBytes, c.separate ? x : std::size_t{x} * c.spp + s, c.bps,
                StoredBits(c, x, y, s));
  if (c.tiled)
    ASSERT_TRUE(WriteTiledPlanes(t, plane, W, H, rowBytes, perPixel, c.bps));
  else
    ASSERT_TRUE(WriteStrippedPlanes(t, plane, H, rowBytes, 4));
  TIFFClose(t);
}

// The range a floating-point page's colour samples map from, by the rule: tagged, else [0, 1] when
// every finite sample other than no-data lies in it, else the finite samples' minimum and maximum.
void FloatRange(const KindCase& c, double& lo, double& hi) {
  if (c.range == Range::Tagged) return (void)(lo = -200, hi = 1500);
  lo = INFINITY, hi = -INFINITY;
  for (uint32_t y = 0; y < H; ++y)
    for (uint32_t x = 0; x < W; ++x)
      for (int s = 0; s < ColourOf(c); ++s)
        if (const double v = Value(c, x, y, s); std::isfinite(v) && v != kNoData)
          lo = std::min(lo, v), hi = std::max(hi, v);
  if (lo >= 0 && hi <= 1) lo = 0, hi = 1;
}

// The PNG samples of pixel x, y by the rules of the converter's table.
std::vector<uint32_t> ExpectedKind(const KindCase& c, uint32_t x, uint32_t y, double lo, double hi) {
  const int colour = ColourOf(c);
  const bool alpha = !c.extras.empty() || c.range == Range::NoData;
  if (HoleAt(c, x, y)) return std::vector<uint32_t>(colour + alpha, 0);
  auto mapped = [&](int s) -> uint32_t {
    const double v = Value(c, x, y, s);
    if (c.format == SAMPLEFORMAT_IEEEFP) {
      if (!std::isfinite(v) || v == kNoData) return 0;
      if (s >= colour) return static_cast<uint32_t>(std::floor(std::clamp(v, 0.0, 1.0) * 65535 + 0.5));
      if (hi == lo) return 0;  // a flat page
      // Long double: its exponent holds the widest range.
      const long double t = (static_cast<long double>(v) - lo) * 65535 / (static_cast<long double>(hi) - lo);
      return static_cast<uint32_t>(std::floor(std::clamp(t, 0.0L, 65535.0L) + 0.5L));
    }
    uint64_t u = static_cast<uint64_t>(v);
    if (c.format == SAMPLEFORMAT_INT) u ^= uint64_t{1} << (c.bps - 1);  // offset by half the range
    if (c.bps == 8 || c.bps == 16) return static_cast<uint32_t>(u);
    const long double max = std::ldexp(1.0L, c.bps) - 1;
    return static_cast<uint32_t>(std::floor(u * 65535.0L / max + 0.5L));
  };
  std::vector<uint32_t> out;
  for (int s = 0; s < colour; ++s) out.push_back(mapped(s));
  if (alpha) out.push_back(c.extras.empty() ? 65535 : mapped(colour));
  return out;
}

constexpr uint16_t kUint = SAMPLEFORMAT_UINT, kInt = SAMPLEFORMAT_INT, kFloat = SAMPLEFORMAT_IEEEFP;
constexpr uint16_t kGreyPh = PHOTOMETRIC_MINISBLACK, kRgbPh = PHOTOMETRIC_RGB, kUnnamed = 32900;
constexpr uint16_t kUnass = EXTRASAMPLE_UNASSALPHA;
constexpr int kGrey = PNG_COLOR_TYPE_GRAY, kGreyA = PNG_COLOR_TYPE_GRAY_ALPHA, kRgb = PNG_COLOR_TYPE_RGB, kRgba = 6;

const KindCase kKindCases[] = {
    {"uint24_grey", kUint, 24, 1, kGreyPh, {}, Range::Bits, kGrey, 16},
    {"uint24_grey_bigendian", kUint, 24, 1, kGreyPh, {}, Range::Bits, kGrey, 16, false, false, "wb"},
    {"uint20_grey_packed", kUint, 20, 1, kGreyPh, {}, Range::Bits, kGrey, 16},
    {"uint32_rgb_separate_tiled", kUint, 32, 3, kRgbPh, {}, Range::Bits, kRgb, 16, true, true},
    {"uint64_grey_bigendian", kUint, 64, 1, kGreyPh, {}, Range::Bits, kGrey, 16, false, false, "wb"},
    {"int8_grey", kInt, 8, 1, kGreyPh, {}, Range::Bits, kGrey, 8},
    {"int8_rgb_alpha_tiled", kInt, 8, 4, kRgbPh, {kUnass}, Range::Bits, kRgba, 8, false, true},
    {"int16_rgb_bigendian", kInt, 16, 3, kRgbPh, {}, Range::Bits, kRgb, 16, false, false, "wb"},
    {"int16_grey_alpha_separate", kInt, 16, 2, kGreyPh, {kUnass}, Range::Bits, kGreyA, 16, true},
    {"int32_grey", kInt, 32, 1, kGreyPh, {}, Range::Bits, kGrey, 16},
    {"int64_grey_tiled_bigtiff", kInt, 64, 1, kGreyPh, {}, Range::Bits, kGrey, 16, false, true, "w8"},
    {"int12_grey_packed", kInt, 12, 1, kGreyPh, {}, Range::Bits, kGrey, 16},
    {"float16_unit", kFloat, 16, 1, kGreyPh, {}, Range::Unit, kGrey, 16},
    {"float16_wide_predictor", kFloat, 16, 1, kGreyPh, {}, Range::Wide, kGrey, 16, false, false, "w",
     COMPRESSION_ADOBE_DEFLATE, PREDICTOR_FLOATINGPOINT},
    {"float24_wide", kFloat, 24, 1, kGreyPh, {}, Range::Wide, kGrey, 16},
    {"float32_unit_rgb_alpha", kFloat, 32, 4, kRgbPh, {kUnass}, Range::Unit, kRgba, 16},
    {"float32_wide_rgb_separate_bigendian", kFloat, 32, 3, kRgbPh, {}, Range::Wide, kRgb, 16, true, false, "wb"},
    {"float32_tagged_range", kFloat, 32, 1, kGreyPh, {}, Range::Tagged, kGrey, 16},
    {"float32_nan_and_infinities", kFloat, 32, 1, kGreyPh, {}, Range::NonFinite, kGrey, 16},
    {"float32_nodata_alpha", kFloat, 32, 1, kGreyPh, {}, Range::NoData, kGreyA, 16},
    {"float64_wide_tiled", kFloat, 64, 1, kGreyPh, {}, Range::Wide, kGrey, 16, false, true},
    {"float64_nodata_rgb_predictor", kFloat, 64, 3, kRgbPh, {}, Range::NoData, kRgba, 16, false, false, "w",
     COMPRESSION_ADOBE_DEFLATE, PREDICTOR_FLOATINGPOINT},
    {"float32_nodata_with_alpha", kFloat, 32, 2, kGreyPh, {kUnass}, Range::NoData, kGreyA, 16},
    {"float32_flat_page", kFloat, 32, 1, kGreyPh, {}, Range::Flat, kGrey, 16},
    {"float64_range_wider_than_a_double", kFloat, 64, 1, kGreyPh, {}, Range::Huge, kGrey, 16},
    {"unnamed_photometric_one_sample_grey", kFloat, 32, 1, kUnnamed, {}, Range::Unit, kGrey, 16},
    {"unnamed_photometric_three_samples_rgb", kUint, 24, 3, kUnnamed, {}, Range::Bits, kRgb, 16},
};

class SampleKinds : public InFolder<std::tuple<KindCase, bool>> {};

TEST_P(SampleKinds, PixelsFollowTheMappingRule) {
  const auto& c = std::get<0>(GetParam());
  const bool streaming = std::get<1>(GetParam());
  const std::string in = (dir_ / "in.tif").string(), out = (dir_ / "in.png").string();
  ASSERT_NO_FATAL_FAILURE(WriteKind(c, in));
  PngImage png;
  ASSERT_NO_FATAL_FAILURE(ConvertAndRead(in, out, c.pngType, c.pngDepth, png, Settings(0, streaming)));
  ASSERT_EQ(png.width, W);
  ASSERT_EQ(png.height, H);
  double lo = 0, hi = 1;
  if (c.format == SAMPLEFORMAT_IEEEFP) FloatRange(c, lo, hi);
  EXPECT_EQ(Mismatches(png, W, H, [&](uint32_t x, uint32_t y) { return ExpectedKind(c, x, y, lo, hi); }), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SampleKinds, ::testing::Combine(::testing::ValuesIn(kKindCases), ::testing::Bool()),
                         StreamingName<KindCase>);

// CIE L*a*b* pages: white, black, a neutral mid grey, a red and a blue, in each stored encoding. The
// sRGB values are lcms2's, so the rows check what decoding each encoding wrongly would break: the
// neutral axis, the ends of the scale and the sign of a* and b*.
struct LabCase {
  const char* name;
  uint16_t photometric, bps;
};
const LabCase kLabCases[] = {
    {"cielab8", PHOTOMETRIC_CIELAB, 8},
    {"cielab16", PHOTOMETRIC_CIELAB, 16},
    {"icclab8", PHOTOMETRIC_ICCLAB, 8},
    {"icclab16", PHOTOMETRIC_ICCLAB, 16},
};
constexpr double kLab[][3] = {{100, 0, 0}, {0, 0, 0}, {50, 0, 0}, {50, 60, 40}, {30, 20, -60}};

uint32_t LabSample(const LabCase& c, int k, int channel) {
  const double v = kLab[k][channel];
  const bool wide = c.bps == 16;
  if (channel == 0) return static_cast<uint32_t>(std::lround(v * (wide ? 65535 : 255) / 100));
  if (c.photometric == PHOTOMETRIC_CIELAB)
    return static_cast<uint16_t>(std::lround(wide ? v * 256 : v)) & (wide ? 0xFFFF : 0xFF);
  return static_cast<uint32_t>(std::lround(wide ? (v + 128) * 257 : v + 128));
}

class LabPages : public InFolder<LabCase> {};

TEST_P(LabPages, BecomeSrgbWithNeutralGreysAndTheRightHues) {
  const LabCase& c = GetParam();
  const std::string in = (dir_ / "lab.tif").string(), out = (dir_ / "lab.png").string();
  constexpr uint32_t n = std::size(kLab);
  {
    TIFF* t = StartTiff(in, "w", n, 2, c.bps, 3, c.photometric);
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 1);
    std::vector<uint8_t> row(n * 3 * c.bps / 8);
    for (uint32_t k = 0; k < n; ++k)
      for (int ch = 0; ch < 3; ++ch) PutBits(row.data(), k * 3 + ch, c.bps, LabSample(c, k, ch));
    for (uint32_t y = 0; y < 2; ++y) ASSERT_EQ(TIFFWriteScanline(t, row.data(), y, 0), 1);
    TIFFClose(t);
  }
  PngImage png;
  ASSERT_NO_FATAL_FAILURE(ConvertAndRead(in, out, PNG_COLOR_TYPE_RGB, c.bps, png));
  const double max = c.bps == 16 ? 65535 : 255, step = max / 255;
  auto at = [&](uint32_t k, int ch) { return png.at(k, 1, ch) / step; };  // in 8-bit steps
  for (int ch = 0; ch < 3; ++ch) {
    EXPECT_GE(at(0, ch), 254) << "white";
    EXPECT_LE(at(1, ch), 1) << "black";
    EXPECT_NEAR(at(2, ch), 119, 2) << "L* 50 grey";  // sRGB of L* 50
    EXPECT_NEAR(at(2, ch), at(2, 0), 1) << "grey stays neutral";
  }
  EXPECT_GT(at(3, 0), at(3, 1) + 60) << "a* > 0 is red";
  EXPECT_GT(at(3, 0), at(3, 2)) << "red";
  EXPECT_GT(at(4, 2), at(4, 0) + 60) << "b* < 0 is blue";
  EXPECT_GT(at(4, 2), at(4, 1)) << "blue";
}

INSTANTIATE_TEST_SUITE_P(Encodings, LabPages, ::testing::ValuesIn(kLabCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
