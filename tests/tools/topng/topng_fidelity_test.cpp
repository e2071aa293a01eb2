// Fidelity of tovanel-topng's core: TIFFs written here with known samples must give exactly those pixels.
#include "sample_values.h"
#include "topng_checks.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tovanel::tools;
using namespace tovanel::tools::test;

namespace {

constexpr uint32_t W = 37, H = 23;  // odd sizes: partial strips, tiles and bytes

struct Case {
  const char* name;
  uint16_t photometric, bps, spp;
  std::vector<uint16_t> extras;
  uint16_t compression;
  int pngType, pngDepth;
  bool separate = false, tiled = false;
  const char* mode = "w";  // "wb": big-endian, "w8": BigTIFF
  uint16_t predictor = PREDICTOR_NONE;
};

// Deterministic raw samples; colour of associated alpha pixels never exceeds their alpha.
uint32_t Raw(const Case& c, uint32_t x, uint32_t y, int s) {
  const uint32_t max = (1u << c.bps) - 1;
  uint32_t h = static_cast<uint32_t>(Tovanel::SampleValues::Noise(x, y, uint64_t(s)));
  if (c.bps == 1 && (x / 5 + y / 3) % 2) h = 0;  // runs, so CCITT has something to code
  return h & max;
}

int AlphaSample(const Case& c, int colour) {
  if (c.spp <= colour) return -1;
  const uint16_t first = c.extras.empty() ? EXTRASAMPLE_UNSPECIFIED : c.extras[0];
  if (first == EXTRASAMPLE_ASSOCALPHA || first == EXTRASAMPLE_UNASSALPHA) return colour;
  if (c.photometric == PHOTOMETRIC_RGB && c.spp == 4) return colour;
  return -1;
}

int Colour(const Case& c) {
  return c.photometric == PHOTOMETRIC_RGB ? 3 : c.photometric == PHOTOMETRIC_SEPARATED ? 4 : 1;
}

uint32_t Sample(const Case& c, uint32_t x, uint32_t y, int s) {
  const int colour = Colour(c);
  const int alpha = AlphaSample(c, colour);
  uint32_t v = Raw(c, x, y, s);
  if (alpha >= 0 && s < colour && c.extras.size() && c.extras[0] == EXTRASAMPLE_ASSOCALPHA)
    v = v % (Raw(c, x, y, alpha) + 1);
  return v;
}

std::vector<uint16_t> ColourMap(int bps, int channel) {
  std::vector<uint16_t> m(std::size_t{1} << bps);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<uint16_t>((i * 7919 + channel * 21011 + 129) & 0xFFFF);
  return m;
}

const uint8_t* TestIcc(uint32_t& size) {
  // A minimal profile with one tag (media white point): libpng's reader refuses an empty tag table.
  static uint8_t icc[164] = {};
  size = sizeof icc;
  auto be32 = [](uint8_t* p, uint32_t v) { p[0] = v >> 24; p[1] = v >> 16; p[2] = v >> 8; p[3] = v; };
  be32(icc, sizeof icc);
  be32(icc + 8, 0x02100000);
  std::memcpy(icc + 12, "mntr", 4);
  std::memcpy(icc + 16, "RGB ", 4);
  std::memcpy(icc + 20, "XYZ ", 4);
  std::memcpy(icc + 36, "acsp", 4);
  be32(icc + 68, 0x0000F6D6);
  be32(icc + 72, 0x00010000);
  be32(icc + 76, 0x0000D32D);
  be32(icc + 128, 1);
  std::memcpy(icc + 132, "wtpt", 4);
  be32(icc + 136, 144);
  be32(icc + 140, 20);
  std::memcpy(icc + 144, "XYZ ", 4);
  be32(icc + 152, 0x0000F6D6);
  be32(icc + 156, 0x00010000);
  be32(icc + 160, 0x0000D32D);
  return icc;
}

// Writes the case as a TIFF, its samples from Sample(); resolution 300 dpi and (for RGB) an ICC profile.
void WriteCase(const Case& c, const std::string& path) {
  TIFF* t = StartTiff(path, c.mode, W, H, c.bps, c.spp, c.photometric);
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
  if (c.compression == COMPRESSION_CCITTFAX3) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING);
  if (c.predictor != PREDICTOR_NONE) TIFFSetField(t, TIFFTAG_PREDICTOR, c.predictor);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, c.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  if (!c.extras.empty()) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(c.extras.size()), c.extras.data());
  TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0f);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, 150.0f);
  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  if (c.photometric == PHOTOMETRIC_RGB) {
    uint32_t n;
    const uint8_t* icc = TestIcc(n);
    TIFFSetField(t, TIFFTAG_ICCPROFILE, n, icc);
  }
  std::vector<uint16_t> r = ColourMap(c.bps, 0), g = ColourMap(c.bps, 1), b = ColourMap(c.bps, 2);
  if (c.photometric == PHOTOMETRIC_PALETTE) TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
  const int planes = c.separate ? c.spp : 1;
  const int perPixel = c.separate ? 1 : c.spp;
  const std::size_t rowBytes = (std::size_t{W} * perPixel * c.bps + 7) / 8;
  // Whole planes in memory, then cut into strips or tiles.
  std::vector<std::vector<uint8_t>> plane(planes, std::vector<uint8_t>(rowBytes * H, 0));
  for (uint32_t y = 0; y < H; ++y)
    for (uint32_t x = 0; x < W; ++x)
      for (int s = 0; s < c.spp; ++s) {
        const int p = c.separate ? s : 0;
        const std::size_t idx = c.separate ? x : std::size_t{x} * c.spp + s;
        PutBits(plane[p].data() + y * rowBytes, idx, c.bps, Sample(c, x, y, s));
      }
  if (c.tiled)
    ASSERT_TRUE(WriteTiledPlanes(t, plane, W, H, rowBytes, perPixel, c.bps));
  else
    ASSERT_TRUE(WriteStrippedPlanes(t, plane, H, rowBytes, 5));
  TIFFClose(t);
}

// The PNG samples the case must give, by the TIFF definition of its samples.
std::vector<uint32_t> Expected(const Case& c, uint32_t x, uint32_t y) {
  const uint32_t max = (1u << c.bps) - 1, omax = (1u << c.pngDepth) - 1;
  auto scale = [&](uint32_t v) { return static_cast<uint32_t>((uint64_t{v} * omax + max / 2) / max); };
  const int colour = Colour(c);
  const int alphaIdx = AlphaSample(c, colour);
  const bool assoc = alphaIdx >= 0 && c.extras.size() && c.extras[0] == EXTRASAMPLE_ASSOCALPHA;
  const uint32_t a = alphaIdx >= 0 ? scale(Sample(c, x, y, alphaIdx)) : 0;
  auto unpremul = [&](uint32_t v) {
    if (!assoc) return v;
    return a == 0 ? 0u : std::min<uint32_t>(omax, static_cast<uint32_t>((uint64_t{v} * omax + a / 2) / a));
  };
  std::vector<uint32_t> out;
  switch (c.photometric) {
    case PHOTOMETRIC_MINISWHITE:
      out.push_back(unpremul(scale(max - Sample(c, x, y, 0))));
      break;
    case PHOTOMETRIC_MINISBLACK:
      out.push_back(unpremul(scale(Sample(c, x, y, 0))));
      break;
    case PHOTOMETRIC_PALETTE: {
      const uint32_t i = Sample(c, x, y, 0);
      if (c.pngType == PNG_COLOR_TYPE_PALETTE) {
        out.push_back(i);
      } else {
        // 8-bit output takes the colour map's high byte, 16-bit output the entry itself.
        for (int k = 0; k < 3; ++k) out.push_back(omax == 65535 ? ColourMap(c.bps, k)[i] : ColourMap(c.bps, k)[i] >> 8);
      }
      break;
    }
    case PHOTOMETRIC_RGB:
      for (int k = 0; k < 3; ++k) out.push_back(unpremul(scale(Sample(c, x, y, k))));
      break;
    case PHOTOMETRIC_SEPARATED: {
      const uint32_t k = max - Sample(c, x, y, 3);
      for (int s = 0; s < 3; ++s)
        out.push_back(unpremul(scale(static_cast<uint32_t>((uint64_t{max - Sample(c, x, y, s)} * k + max / 2) / max))));
      break;
    }
  }
  if (alphaIdx >= 0) out.push_back(a);
  return out;
}

constexpr uint16_t kNone = COMPRESSION_NONE, kLzw = COMPRESSION_LZW, kZip = COMPRESSION_ADOBE_DEFLATE;
constexpr uint16_t kPack = COMPRESSION_PACKBITS;
constexpr uint16_t kUnass = EXTRASAMPLE_UNASSALPHA, kAssoc = EXTRASAMPLE_ASSOCALPHA, kUnspec = EXTRASAMPLE_UNSPECIFIED;
constexpr int kGrey = PNG_COLOR_TYPE_GRAY, kGreyA = PNG_COLOR_TYPE_GRAY_ALPHA, kPal = PNG_COLOR_TYPE_PALETTE;
constexpr int kRgb = PNG_COLOR_TYPE_RGB, kRgba = PNG_COLOR_TYPE_RGB_ALPHA;

const Case kCases[] = {
    {"bilevel_miniswhite_g4", PHOTOMETRIC_MINISWHITE, 1, 1, {}, COMPRESSION_CCITTFAX4, kGrey, 1},
    {"bilevel_minisblack_g3_2d", PHOTOMETRIC_MINISBLACK, 1, 1, {}, COMPRESSION_CCITTFAX3, kGrey, 1},
    {"bilevel_miniswhite_rle", PHOTOMETRIC_MINISWHITE, 1, 1, {}, COMPRESSION_CCITTRLE, kGrey, 1},
    {"bilevel_miniswhite_none_bigendian", PHOTOMETRIC_MINISWHITE, 1, 1, {}, kNone, kGrey, 1, false, false, "wb"},
    {"bilevel_minisblack_lzw_tiled", PHOTOMETRIC_MINISBLACK, 1, 1, {}, kLzw, kGrey, 1, false, true},
    {"grey2", PHOTOMETRIC_MINISBLACK, 2, 1, {}, kNone, kGrey, 2},
    {"grey2_miniswhite", PHOTOMETRIC_MINISWHITE, 2, 1, {}, kPack, kGrey, 2},
    {"grey4_miniswhite", PHOTOMETRIC_MINISWHITE, 4, 1, {}, kNone, kGrey, 4},
    {"grey8_lzw_predictor", PHOTOMETRIC_MINISBLACK, 8, 1, {}, kLzw, kGrey, 8, false, false, "w", PREDICTOR_HORIZONTAL},
    {"grey8_miniswhite_tiled", PHOTOMETRIC_MINISWHITE, 8, 1, {}, kZip, kGrey, 8, false, true},
    {"grey16_deflate_bigendian", PHOTOMETRIC_MINISBLACK, 16, 1, {}, kZip, kGrey, 16, false, false, "wb"},
    {"grey16_miniswhite_bigtiff", PHOTOMETRIC_MINISWHITE, 16, 1, {}, kNone, kGrey, 16, false, false, "w8"},
    {"grey12_scaled_to_16", PHOTOMETRIC_MINISBLACK, 12, 1, {}, kNone, kGrey, 16},
    {"grey12_miniswhite_scaled_to_16", PHOTOMETRIC_MINISWHITE, 12, 1, {}, kLzw, kGrey, 16},
    {"grey3_scaled_to_8", PHOTOMETRIC_MINISBLACK, 3, 1, {}, kNone, kGrey, 8},
    {"grey6_scaled_to_8", PHOTOMETRIC_MINISBLACK, 6, 1, {}, kLzw, kGrey, 8},
    {"grey8_unassoc_alpha", PHOTOMETRIC_MINISBLACK, 8, 2, {kUnass}, kLzw, kGreyA, 8},
    {"grey8_alpha_separate", PHOTOMETRIC_MINISBLACK, 8, 2, {kUnass}, kNone, kGreyA, 8, true},
    {"grey16_assoc_alpha", PHOTOMETRIC_MINISBLACK, 16, 2, {kAssoc}, kNone, kGreyA, 16},
    {"grey4_alpha_to_8", PHOTOMETRIC_MINISWHITE, 4, 2, {kUnass}, kNone, kGreyA, 8},
    {"grey8_unspecified_extra_dropped", PHOTOMETRIC_MINISBLACK, 8, 2, {kUnspec}, kNone, kGrey, 8},
    // Sub-byte pages with an extra sample are repacked into PNG rows (a 1-bit page with 1001 samples
    // per pixel once overran the row buffer).
    {"bilevel_miniswhite_unspecified_extra_dropped", PHOTOMETRIC_MINISWHITE, 1, 2, {kUnspec}, kNone, kGrey, 1},
    {"grey4_unspecified_extra_separate_dropped", PHOTOMETRIC_MINISBLACK, 4, 2, {kUnspec}, kNone, kGrey, 4, true},
    {"palette2_unspecified_extra_dropped", PHOTOMETRIC_PALETTE, 2, 3, {kUnspec, kUnspec}, kNone, kPal, 2},
    {"palette1", PHOTOMETRIC_PALETTE, 1, 1, {}, kNone, kPal, 1},
    {"palette2", PHOTOMETRIC_PALETTE, 2, 1, {}, kPack, kPal, 2},
    {"palette4_tiled", PHOTOMETRIC_PALETTE, 4, 1, {}, kLzw, kPal, 4, false, true},
    {"palette8_bigendian", PHOTOMETRIC_PALETTE, 8, 1, {}, kZip, kPal, 8, false, false, "wb"},
    {"palette8_alpha_to_rgba", PHOTOMETRIC_PALETTE, 8, 2, {kUnass}, kNone, kRgba, 8},
    {"rgb8_lzw_predictor", PHOTOMETRIC_RGB, 8, 3, {}, kLzw, kRgb, 8, false, false, "w", PREDICTOR_HORIZONTAL},
    {"rgb8_separate_tiled", PHOTOMETRIC_RGB, 8, 3, {}, kZip, kRgb, 8, true, true},
    {"rgb8_separate_strips_bigendian", PHOTOMETRIC_RGB, 8, 3, {}, kNone, kRgb, 8, true, false, "wb"},
    {"rgb16_bigtiff_bigendian", PHOTOMETRIC_RGB, 16, 3, {}, kZip, kRgb, 16, false, false, "w8b"},
    {"rgb16_tiled", PHOTOMETRIC_RGB, 16, 3, {}, kNone, kRgb, 16, false, true},
    {"rgba8_unassoc", PHOTOMETRIC_RGB, 8, 4, {kUnass}, kLzw, kRgba, 8},
    {"rgba8_assoc_unpremultiplied", PHOTOMETRIC_RGB, 8, 4, {kAssoc}, kNone, kRgba, 8},
    {"rgba16_assoc_separate", PHOTOMETRIC_RGB, 16, 4, {kAssoc}, kLzw, kRgba, 16, true},
    {"rgba16_unassoc_tiled_separate", PHOTOMETRIC_RGB, 16, 4, {kUnass}, kNone, kRgba, 16, true, true},
    {"rgb8_unspecified_fourth_is_alpha", PHOTOMETRIC_RGB, 8, 4, {kUnspec}, kNone, kRgba, 8},
    {"rgb8_no_extrasamples_tag_fourth_is_alpha", PHOTOMETRIC_RGB, 8, 4, {}, kNone, kRgba, 8},
    {"rgb8_alpha_and_extra_channel", PHOTOMETRIC_RGB, 8, 5, {kAssoc, kUnspec}, kNone, kRgba, 8},
    {"rgb10_separate_scaled_to_16", PHOTOMETRIC_RGB, 10, 3, {}, kNone, kRgb, 16, true},
    {"rgb4_scaled_to_8", PHOTOMETRIC_RGB, 4, 3, {}, kNone, kRgb, 8},
    {"cmyk8", PHOTOMETRIC_SEPARATED, 8, 4, {}, kLzw, kRgb, 8},
    {"cmyk8_alpha_tiled", PHOTOMETRIC_SEPARATED, 8, 5, {kUnass}, kNone, kRgba, 8, false, true},
    {"cmyk16_separate", PHOTOMETRIC_SEPARATED, 16, 4, {}, kNone, kRgb, 16, true},
};

class Fidelity : public InFolder<std::tuple<Case, bool>> {};

TEST_P(Fidelity, PixelsDepthColourTypeAndMetadataMatchTheTiff) {
  const auto& c = std::get<0>(GetParam());
  const bool streaming = std::get<1>(GetParam());
  const std::string in = (dir_ / "in.tif").string(), out = (dir_ / "in.png").string();
  WriteCase(c, in);
  PngImage png;
  ASSERT_NO_FATAL_FAILURE(ConvertAndRead(in, out, c.pngType, c.pngDepth, png, Settings(0, streaming)));
  ASSERT_EQ(png.width, W);
  ASSERT_EQ(png.height, H);
  EXPECT_TRUE(png.trns.empty());
  ASSERT_TRUE(png.hasPhys);
  EXPECT_EQ(png.physUnit, PNG_RESOLUTION_METER);
  EXPECT_EQ(png.physX, 11811u);  // 300 dpi
  EXPECT_EQ(png.physY, 5906u);   // 150 dpi
  if (c.photometric == PHOTOMETRIC_RGB) {
    uint32_t n;
    const uint8_t* icc = TestIcc(n);
    EXPECT_EQ(png.icc, std::vector<uint8_t>(icc, icc + n));
  }
  if (c.pngType == PNG_COLOR_TYPE_PALETTE) {
    ASSERT_EQ(png.palette.size(), std::size_t{1} << c.bps);
    for (std::size_t i = 0; i < png.palette.size(); ++i) {
      EXPECT_EQ(png.palette[i].red, ColourMap(c.bps, 0)[i] >> 8) << i;
      EXPECT_EQ(png.palette[i].green, ColourMap(c.bps, 1)[i] >> 8) << i;
      EXPECT_EQ(png.palette[i].blue, ColourMap(c.bps, 2)[i] >> 8) << i;
    }
  }
  EXPECT_EQ(Mismatches(png, W, H, [&](uint32_t x, uint32_t y) { return Expected(c, x, y); }), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Fidelity, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         StreamingName<Case>);

}  // namespace

namespace {

// JPEG-in-TIFF is lossy, so the truth is what libtiff's RGBA interface decodes from the same file.
struct JpegCase {
  const char* name;
  uint16_t photometric;
  uint16_t subX, subY;  // YCbCr only
  bool tiled;
  int pngType;
};

const JpegCase kJpegCases[] = {
    {"ycbcr_2x2_strips", PHOTOMETRIC_YCBCR, 2, 2, false, PNG_COLOR_TYPE_RGB},
    {"ycbcr_2x1_tiles", PHOTOMETRIC_YCBCR, 2, 1, true, PNG_COLOR_TYPE_RGB},
    {"ycbcr_1x1_strips", PHOTOMETRIC_YCBCR, 1, 1, false, PNG_COLOR_TYPE_RGB},
    {"rgb_strips", PHOTOMETRIC_RGB, 1, 1, false, PNG_COLOR_TYPE_RGB},
    {"rgb_tiles", PHOTOMETRIC_RGB, 1, 1, true, PNG_COLOR_TYPE_RGB},
    {"grey_strips", PHOTOMETRIC_MINISBLACK, 1, 1, false, PNG_COLOR_TYPE_GRAY},
};

class JpegInTiff : public InFolder<JpegCase> {};

TEST_P(JpegInTiff, PixelsEqualLibtiffsRgbaDecode) {
  const JpegCase& c = GetParam();
  constexpr uint32_t w = 53, h = 41;  // not multiples of the MCU: partial blocks at both edges
  const int spp = c.photometric == PHOTOMETRIC_MINISBLACK ? 1 : 3;
  const std::string in = (dir_ / "in.tif").string(), out = (dir_ / "in.png").string();
  {
    TIFF* t = StartTiff(in, "w", w, h, 8, spp, c.photometric);
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_JPEGQUALITY, 80);
    if (c.photometric == PHOTOMETRIC_YCBCR) {
      TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, c.subX, c.subY);
      TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);  // we hand over RGB, libjpeg converts
    }
    // A smooth picture with a few hard edges, so that the decoded colours vary and chroma matters.
    std::vector<uint8_t> img(std::size_t{w} * h * spp);
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x)
        for (int s = 0; s < spp; ++s)
          img[(std::size_t{y} * w + x) * spp + s] =
              static_cast<uint8_t>((x * (3 + s * 2) + y * (5 - s)) * 2 + ((x / 9 + y / 7) % 2) * 60 * (s + 1));
    if (c.tiled) {
      TIFFSetField(t, TIFFTAG_TILEWIDTH, 32);
      TIFFSetField(t, TIFFTAG_TILELENGTH, 32);
      std::vector<uint8_t> tile(32 * 32 * spp);
      for (uint32_t ty = 0; ty < h; ty += 32)
        for (uint32_t tx = 0; tx < w; tx += 32) {
          std::fill(tile.begin(), tile.end(), 0);
          for (uint32_t r = 0; r < 32 && ty + r < h; ++r)
            std::memcpy(tile.data() + r * 32 * spp, img.data() + ((ty + r) * std::size_t{w} + tx) * spp,
                        std::min<uint32_t>(32, w - tx) * spp);
          ASSERT_GE(TIFFWriteTile(t, tile.data(), tx, ty, 0, 0), 0);
        }
    } else {
      TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
      for (uint32_t y = 0; y < h; ++y) ASSERT_GE(TIFFWriteScanline(t, img.data() + std::size_t{y} * w * spp, y, 0), 0);
    }
    TIFFClose(t);
  }
  std::vector<uint32_t> truth;
  ASSERT_TRUE(ReadRgbaImage(in, w, h, truth, 1));
  PngImage png;
  ASSERT_NO_FATAL_FAILURE(ConvertAndRead(in, out, c.pngType, 8, png));
  int distinct = 0;
  for (std::size_t i = 1; i < truth.size(); ++i) distinct += truth[i] != truth[i - 1];
  EXPECT_EQ(Mismatches(png, w, h, [&](uint32_t x, uint32_t y) {
    return RgbaChannels(truth[std::size_t{y} * w + x], png.channels);
  }), 0);
  EXPECT_GT(distinct, int{w * h / 4});  // the comparison covered a real picture, not a flat field
}

INSTANTIATE_TEST_SUITE_P(Kinds, JpegInTiff, ::testing::ValuesIn(kJpegCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Associated alpha: colour = round(c * max / a), clamped to max; alpha 0 gives colour 0 (a fully
// transparent premultiplied pixel has no colour, whatever was stored).
struct PremultipliedPixel {
  uint32_t c, a, want;
};

void CheckUnpremultiply(int bps, const std::vector<PremultipliedPixel>& rows, const std::string& dir) {
  const std::string in = dir + "/assoc" + std::to_string(bps) + ".tif", out = dir + "/assoc" + std::to_string(bps) + ".png";
  const uint32_t w = static_cast<uint32_t>(rows.size());
  TIFF* t = StartTiff(in, "w", w, 1, bps, 4, PHOTOMETRIC_RGB);
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  const uint16_t assoc = EXTRASAMPLE_ASSOCALPHA;
  TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &assoc);
  std::vector<uint8_t> row(std::size_t{w} * 4 * bps / 8);
  for (uint32_t x = 0; x < w; ++x)
    for (int s = 0; s < 4; ++s) {
      const uint32_t v = s == 3 ? rows[x].a : rows[x].c;
      if (bps == 8) row[x * 4 + s] = static_cast<uint8_t>(v);
      else { const uint16_t v16 = static_cast<uint16_t>(v); std::memcpy(row.data() + 2 * (x * 4 + s), &v16, 2); }
    }
  ASSERT_GE(TIFFWriteScanline(t, row.data(), 0, 0), 0);
  TIFFClose(t);
  PngImage png;
  ASSERT_NO_FATAL_FAILURE(ConvertAndRead(in, out, PNG_COLOR_TYPE_RGB_ALPHA, bps, png));
  for (uint32_t x = 0; x < w; ++x) {
    for (int k = 0; k < 3; ++k) EXPECT_EQ(png.at(x, 0, k), rows[x].want) << "c=" << rows[x].c << " a=" << rows[x].a;
    EXPECT_EQ(png.at(x, 0, 3), rows[x].a);
  }
}

TEST(AssociatedAlpha, ColourIsDividedByAlphaRoundedAndClampedAndZeroWhereTransparent) {
  const TempDir tmp;
  const fs::path folder = tmp.path();
  CheckUnpremultiply(8, {{0, 0, 0}, {5, 0, 0}, {255, 0, 0}, {4, 7, 146}, {6, 7, 219}, {42, 140, 77},
                         {3, 90, 9}, {200, 100, 255}, {255, 255, 255}, {128, 255, 128}, {1, 1, 255}},
                     folder.string());
  CheckUnpremultiply(16, {{0, 0, 0}, {100, 0, 0}, {1, 3, 21845}, {65535, 65535, 65535}, {30000, 60000, 32768},
                          {40000, 20000, 65535}, {12345, 65535, 12345}},
                     folder.string());
}

}  // namespace

namespace {

// Colour maps: 16-bit entries are read by their high byte, but a map whose entries all fit in 8 bits
// was written by a program that stored 8-bit colours as they are; read by the high byte, its page
// would be black.
struct ColourMapCase {
  const char* name;
  uint16_t bps;
  bool alpha;      // an unassociated alpha sample beside the index
  bool eightBit;   // every entry below 256
  int pngType, pngDepth;
};

const ColourMapCase kColourMapCases[] = {
    {"palette4_8bit_map", 4, false, true, PNG_COLOR_TYPE_PALETTE, 4},
    {"palette8_8bit_map", 8, false, true, PNG_COLOR_TYPE_PALETTE, 8},
    {"palette8_alpha_8bit_map", 8, true, true, PNG_COLOR_TYPE_RGB_ALPHA, 8},
    {"palette16_8bit_map_widened", 16, false, true, PNG_COLOR_TYPE_RGB, 16},
    // One entry of 256 makes it a 16-bit map again: every entry is read by its high byte.
    {"palette4_one_wide_entry", 4, false, false, PNG_COLOR_TYPE_PALETTE, 4},
    {"palette8_alpha_one_wide_entry", 8, true, false, PNG_COLOR_TYPE_RGB_ALPHA, 8},
};

uint16_t MapValue(const ColourMapCase& c, std::size_t i, int channel) {
  if (!c.eightBit && i == 1 && channel == 0) return 256;
  const std::size_t v = (i * 37 + channel * 101 + 11) & 0xFF;
  return static_cast<uint16_t>(c.eightBit ? v : v * 257);
}

class ColourMaps : public InFolder<ColourMapCase> {};

TEST_P(ColourMaps, EightBitMapsAreReadAsTheyStandAndWideMapsByTheHighByte) {
  const ColourMapCase& c = GetParam();
  const std::string in = (dir_ / "map.tif").string(), out = (dir_ / "map.png").string();
  const std::size_t entries = std::size_t{1} << c.bps;
  const uint16_t spp = c.alpha ? 2 : 1;
  auto index = [&](uint32_t x, uint32_t y) { return (std::size_t{x} * 7 + y * 13) % entries; };
  {
    TIFF* t = StartTiff(in, "w", W, H, c.bps, spp, PHOTOMETRIC_PALETTE);
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, H);
    if (c.alpha) {
      const uint16_t unassoc = EXTRASAMPLE_UNASSALPHA;
      TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &unassoc);
    }
    std::vector<uint16_t> map[3];
    for (int k = 0; k < 3; ++k)
      for (std::size_t i = 0; i < entries; ++i) map[k].push_back(MapValue(c, i, k));
    TIFFSetField(t, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
    const std::size_t rowBytes = (std::size_t{W} * spp * c.bps + 7) / 8;
    std::vector<uint8_t> strip(rowBytes * H, 0);
    for (uint32_t y = 0; y < H; ++y)
      for (uint32_t x = 0; x < W; ++x) {
        PutBits(strip.data() + y * rowBytes, std::size_t{x} * spp, c.bps, index(x, y));
        if (c.alpha) PutBits(strip.data() + y * rowBytes, std::size_t{x} * spp + 1, c.bps, (x * 29 + y) & 0xFF);
      }
    ASSERT_GE(TIFFWriteEncodedStrip(t, 0, strip.data(), static_cast<tmsize_t>(strip.size())), 0);
    TIFFClose(t);
  }
  PngImage png;
  ASSERT_NO_FATAL_FAILURE(ConvertAndRead(in, out, c.pngType, c.pngDepth, png));
  // The colour an entry must give at the PNG's depth.
  auto colour = [&](std::size_t i, int k) -> uint32_t {
    const uint16_t v = MapValue(c, i, k);
    if (c.eightBit) return c.pngDepth == 16 ? v * 257u : v;
    return c.pngDepth == 16 ? v : v >> 8;
  };
  if (c.pngType == PNG_COLOR_TYPE_PALETTE) {
    ASSERT_EQ(png.palette.size(), entries);
    for (std::size_t i = 0; i < entries; ++i) {
      EXPECT_EQ(png.palette[i].red, colour(i, 0)) << i;
      EXPECT_EQ(png.palette[i].green, colour(i, 1)) << i;
      EXPECT_EQ(png.palette[i].blue, colour(i, 2)) << i;
    }
  }
  EXPECT_EQ(Mismatches(png, W, H, [&](uint32_t x, uint32_t y) {
    const std::size_t i = index(x, y);
    if (c.pngType == PNG_COLOR_TYPE_PALETTE) return std::vector<uint32_t>{static_cast<uint32_t>(i)};
    std::vector<uint32_t> want{colour(i, 0), colour(i, 1), colour(i, 2)};
    if (c.alpha) want.push_back((x * 29 + y) & 0xFF);
    return want;
  }), 0);
}

INSTANTIATE_TEST_SUITE_P(Maps, ColourMaps, ::testing::ValuesIn(kColourMapCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
