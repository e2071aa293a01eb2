// Every page of the TIFF corpus in tests/corpus through tovanel-topng's core, checked against libtiff's samples
// read by the TIFF definition and against ImageMagick's and libvips' decodes of the same page.
#include "png_reader.h"
#include "tool_test_support.h"
#include "tiffcommon.h"
#include "topng.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tovanel::tools;
using tovanel::test::PngImage;
using tovanel::test::ReadPng;
using tovanel::tools::test::RunTool;

namespace {

// An image as 4 channels per pixel (R, G, B, A) of `depth` bits; grey is spread over R, G and B,
// missing alpha is opaque.
struct Rgba {
  uint32_t width = 0, height = 0;
  int depth = 8;
  std::vector<uint32_t> s;
};

// A reference decoder that is known to give other pixels than the page holds, and why.
struct KnownWrong {
  const char* file;
  int dir;  // the IFD index as the decoders count it
  const char* ref;
  const char* reason;
};

// Decided by comparing with libtiff's samples (checked on every page below), not by majority.
constexpr const char* kImMinIsWhite = "ImageMagick 6.9 does not invert MinIsWhite grey below 8 bits or above";
constexpr const char* kImSeparateGreyAlpha = "ImageMagick 6.9 garbles planar-separate grey + alpha";
constexpr const char* kVipsSeparateGreyAlpha = "libvips garbles planar-separate grey + alpha";
constexpr const char* kImOldJpeg = "ImageMagick 6.9 garbles old-style JPEG";
constexpr const char* kImYcbcr = "ImageMagick converts uncompressed/LZW YCbCr itself, with other rounding and chroma siting than libtiff";
constexpr const char* kVipsUnpremultiply = "libvips un-premultiplies associated alpha rounding down, not to nearest";
constexpr const char* kUnspecifiedExtra = "takes an unspecified extra sample for alpha; by the TIFF definition it means nothing and is dropped";
constexpr const char* kImColourMap =
    "ImageMagick keeps the 16-bit colour map; 8-bit colours are stored widened (v * 257 or v * 256), and "
    "libtiff's RGBA decoder, libvips and the converter take the high byte";
constexpr const char* kImSigned =
    "ImageMagick 6.9 reads signed samples as the unsigned numbers of their bits, not offset by half the range";
constexpr const char* kIm32 = "ImageMagick 6.9 scales 32-bit samples to 16 bits rounding down, not to nearest";
constexpr const char* kIm24 =
    "ImageMagick 6.9 takes 24-bit samples from the wrong bytes (each sample of this page repeats one byte)";
constexpr const char* kImFloatRange =
    "ImageMagick 6.9 clips floating-point samples to [0, 1] (a flat image); the converter maps the page's own range";
constexpr const char* kImLab = "ImageMagick 6.9 converts L*a*b* by its own formulas, a few steps from lcms2's sRGB";
constexpr const char* kVipsLab = "libvips keeps L*a*b* samples as they are: its .v file holds no sRGB";
constexpr const char* kImLogL = "ImageMagick 6.9 renders LogL with its own tone scale, not libtiff's RGBA rendering";
const KnownWrong kKnownWrong[] = {
    {"imagetiff_geo-5b.tif", 0, "im", kImSigned},
    {"imagetiff_int16_rgb.tif", 0, "im", kImSigned},
    {"imagetiff_int8.tif", 0, "im", kImSigned},
    {"imagetiff_int8_rgb.tif", 0, "im", kImSigned},
    {"imagetiff_minisblack-1c-i8b.tiff", 0, "im", kImSigned},
    {"imagetiff_seq-1c-i32.tiff", 0, "im", kImSigned},
    {"imagetiff_seq-3c-i16.tiff", 0, "im", kImSigned},
    {"imagetiff_tiled-cmyk-i8.tif", 0, "im", kImSigned},
    {"imagetiff_tiled-oversize-gray-i8.tif", 0, "im", kImSigned},
    {"pillow_8bit.s.tif", 0, "im", kImSigned},
    {"twelvemonkeys_signed-integral-8bit.tif", 0, "im", kImSigned},
    {"imagetiff_gradient-1c-32b.tiff", 0, "im", kIm32},
    {"libtiffpic_depth_flower-minisblack-32.tif", 0, "im", kIm32},
    {"libtiffpic_depth_flower-rgb-contig-32.tif", 0, "im", kIm32},
    {"libtiffpic_depth_flower-rgb-planar-32.tif", 0, "im", kIm32},
    {"libtiffpic_depth_flower-minisblack-24.tif", 0, "im", kIm24},
    {"libtiffpic_depth_flower-rgb-contig-24.tif", 0, "im", kIm24},
    {"libtiff_test_float64_predictor2_be_lzw.tif", 0, "im", kImFloatRange},
    {"libtiff_test_float64_predictor2_le_lzw.tif", 0, "im", kImFloatRange},
    {"libtiffpic_caspian.tif", 0, "im", kImFloatRange},
    {"pillow_no_rows_per_strip.tif", 1, "im", kImFloatRange},
    {"twelvemonkeys_floatingpoint-64bit.tif", 0, "im", kImFloatRange},
    {"pillow_hopper.Lab.tif", 0, "im", kImLab},
    {"pillow_hopper.Lab.tif", 0, "vips", kVipsLab},
    {"twelvemonkeys_ColorCheckerCalculator.tif", 0, "im", kImLab},
    {"twelvemonkeys_ColorCheckerCalculator.tif", 0, "vips", kVipsLab},
    {"libtiffpic_off_l16.tif", 0, "im", kImLogL},
    {"libtiff_palette-1c-4b.tiff", 0, "im", kImColourMap},
    {"libtiff_palette-1c-8b.tiff", 0, "im", kImColourMap},
    {"libtiffpic_depth_flower-palette-02.tif", 0, "im", kImColourMap},
    {"libtiffpic_depth_flower-palette-04.tif", 0, "im", kImColourMap},
    {"libtiffpic_depth_flower-palette-08.tif", 0, "im", kImColourMap},
    {"libtiffpic_jello.tif", 0, "im", kImColourMap},
    {"pillow_multipage-mmap.tiff", 1, "im", kImColourMap},
    {"pillow_multipage-mmap.tiff", 2, "im", kImColourMap},
    {"imagetiff_extra_bits_gray_8b.tiff", 0, "im", kUnspecifiedExtra},
    {"imagetiff_extra_bits_gray_8b.tiff", 0, "vips", kUnspecifiedExtra},
    {"imagetiff_miniswhite-1c-12b.tiff", 0, "im", kImMinIsWhite},
    {"imagetiff_miniswhite-1c-6b.tiff", 0, "im", kImMinIsWhite},
    {"imagetiff_seq-1c-4b-miniswhite.tiff", 0, "im", kImMinIsWhite},
    {"pillow_hopper2I.tif", 0, "im", kImMinIsWhite},
    {"pillow_hopper4IR.tif", 0, "im", kImMinIsWhite},
    {"libtiff_minisblack-2c-8b-alpha.tiff", 0, "im", kImSeparateGreyAlpha},
    {"libtiff_minisblack-2c-8b-alpha.tiff", 0, "vips", kVipsSeparateGreyAlpha},
    {"twelvemonkeys_lzw-rgba-4444.tif", 1, "im", kImSeparateGreyAlpha},
    {"libtiff_ojpeg_chewey_subsamp21_multi_strip.tiff", 0, "im", kImOldJpeg},
    {"libtiff_ojpeg_zackthecat_subsamp22_single_strip.tiff", 0, "im", kImOldJpeg},
    {"libtiffpic_smallliz.tif", 0, "im", kImOldJpeg},
    {"pillow_old-style-jpeg-compression.tif", 0, "im", kImOldJpeg},
    {"twelvemonkeys_WangJPEG.tif", 0, "im", kImOldJpeg},
    {"twelvemonkeys_old-style-jpeg-multiple-strips.tif", 0, "im", kImOldJpeg},
    {"libtiffpic_dscf0013.tif", 0, "im", kImYcbcr},
    {"libtiffpic_dscf0013.tif", 1, "im", kImYcbcr},
    {"libtiffpic_ycbcr-cat.tif", 0, "im", kImYcbcr},
    {"twelvemonkeys_planar-yuv444-jpeg-lzw.tif", 0, "im", kImYcbcr},
    {"twelvemonkeys_planar-yuv444-jpeg-lzw.tif", 0, "vips", "libvips returns planar-separate YCbCr samples unconverted"},
    {"imagetiff_seq-4c-16b-rgba.tiff", 0, "vips", kVipsUnpremultiply},
    {"imagetiff_seq-4c-8b-rgba.tiff", 0, "vips", kVipsUnpremultiply},
    {"libtiff_32bpp-None.tiff", 0, "vips", kVipsUnpremultiply},
    {"libtiffpic_strike.tif", 0, "vips", kVipsUnpremultiply},
    {"pillow_pil136.tiff", 0, "vips", kVipsUnpremultiply},
    {"pillow_tiff_16bit_RGBa.tiff", 0, "vips", kVipsUnpremultiply},
    {"pillow_tiff_strip_planar_16bit_RGBa.tiff", 0, "vips", kVipsUnpremultiply},
    {"twelvemonkeys_extra-channels.tif", 0, "vips", kVipsUnpremultiply},
};

// Pages the converter refuses as damaged although a reference decoder writes an image for them.
struct RefusedDespiteReference {
  const char* file;
  int dir;
  const char* reason;
};
const RefusedDespiteReference kRefusedDespiteReference[] = {
    {"libtiff_testfax3_bug54_1dnoEOL.tif", 0,
     "libtiff cannot decode a single line of its G3 strips; ImageMagick writes a blank white page"},
};

// Pages the converter refuses that no reference decoder (ImageMagick, libvips, Pillow) makes an
// image of either, and why.
const RefusedDespiteReference kRefused[] = {
    {"libtiffpic_text.tif", 0, "its ThunderScan data ends 320 rows early"},
    {"twelvemonkeys_grayscale-old-style-jpeg.tiff", 0, "old-style JPEG whose JPEG tables are missing"},
    {"twelvemonkeys_jpeg-lossless-8bit-gray.tif", 0, "lossless JPEG (SOF3), which this libjpeg cannot decode"},
    {"twelvemonkeys_planar-yuv420-jpeg-lzw.tif", 0,
     "planar subsampled YCbCr, which libtiff's RGBA interface cannot read"},
    {"twelvemonkeys_planar-yuv422-bt601-uncompressed.tif", 0,
     "planar subsampled YCbCr, which libtiff's RGBA interface cannot read"},
};

uint32_t Max(int depth) { return depth >= 32 ? 0xFFFFFFFFu : (1u << depth) - 1; }

uint32_t Reduce(uint32_t v, int from, int to) {
  if (from == to) return v;
  return static_cast<uint32_t>((uint64_t{v} * Max(to) + Max(from) / 2) / Max(from));
}

Rgba FromPng(const PngImage& png) {
  Rgba r;
  r.width = png.width;
  r.height = png.height;
  r.depth = png.colorType == PNG_COLOR_TYPE_PALETTE ? 8 : png.depth;
  r.s.resize(std::size_t{png.width} * png.height * 4);
  const uint32_t opaque = Max(r.depth);
  for (std::size_t i = 0; i < std::size_t{png.width} * png.height; ++i) {
    const uint32_t* in = png.samples.data() + i * png.channels;
    uint32_t* o = r.s.data() + i * 4;
    switch (png.colorType) {
      case PNG_COLOR_TYPE_GRAY: o[0] = o[1] = o[2] = in[0]; o[3] = opaque; break;
      case PNG_COLOR_TYPE_GRAY_ALPHA: o[0] = o[1] = o[2] = in[0]; o[3] = in[1]; break;
      case PNG_COLOR_TYPE_RGB: o[0] = in[0]; o[1] = in[1]; o[2] = in[2]; o[3] = opaque; break;
      case PNG_COLOR_TYPE_RGB_ALPHA: std::copy(in, in + 4, o); break;
      case PNG_COLOR_TYPE_PALETTE: {
        const png_color c = in[0] < png.palette.size() ? png.palette[in[0]] : png_color{0, 0, 0};
        o[0] = c.red; o[1] = c.green; o[2] = c.blue; o[3] = opaque;
        break;
      }
    }
  }
  return r;
}

// ImageMagick's "-depth 16 -endian MSB rgba:" output: 16-bit big-endian RGBA.
bool FromImageMagick(const std::string& path, uint32_t w, uint32_t h, Rgba& r) {
  const std::vector<uint8_t> d = test::ReadBytes(path);
  if (d.size() != std::size_t{w} * h * 8) return false;
  r = {w, h, 16, std::vector<uint32_t>(std::size_t{w} * h * 4)};
  for (std::size_t i = 0; i < r.s.size(); ++i) r.s[i] = (uint32_t{d[2 * i]} << 8) | d[2 * i + 1];
  return true;
}

// libvips' own ".v" file: a 64-byte header (width, height, bands, band format, interpretation) and
// the pixels in this machine's byte order.
bool FromVips(const std::string& path, Rgba& r, std::string& why) {
  const std::vector<uint8_t> d = test::ReadBytes(path);
  if (d.size() < 64) return (why = "short .v file", false);
  auto u32 = [&](std::size_t off) { uint32_t v; std::memcpy(&v, d.data() + off, 4); return v; };
  const uint32_t w = u32(4), h = u32(8), bands = u32(12), format = u32(20), type = u32(28);
  if (format != 0 && format != 2) return (why = "band format " + std::to_string(format), false);
  const int bytes = format == 0 ? 1 : 2;
  if (d.size() < 64 + std::size_t{w} * h * bands * bytes) return (why = "truncated .v file", false);
  r = {w, h, bytes * 8, std::vector<uint32_t>(std::size_t{w} * h * 4)};
  const uint32_t max = Max(r.depth);
  const bool cmyk = type == 15 && bands >= 4;  // VIPS_INTERPRETATION_CMYK
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i) {
    uint32_t px[8] = {};
    for (uint32_t b = 0; b < std::min<uint32_t>(bands, 8); ++b) {
      const uint8_t* p = d.data() + 64 + (i * bands + b) * bytes;
      if (bytes == 1) px[b] = *p;
      else { uint16_t v; std::memcpy(&v, p, 2); px[b] = v; }
    }
    uint32_t* o = r.s.data() + i * 4;
    if (cmyk) {
      // libvips keeps the inks; the uncalibrated conversion is the one the converter documents.
      for (int c = 0; c < 3; ++c)
        o[c] = static_cast<uint32_t>((uint64_t{max - px[c]} * (max - px[3]) + max / 2) / max);
      o[3] = bands >= 5 ? px[4] : max;
    } else if (bands <= 2) {
      o[0] = o[1] = o[2] = px[0];
      o[3] = bands == 2 ? px[1] : max;
    } else {
      o[0] = px[0]; o[1] = px[1]; o[2] = px[2];
      o[3] = bands >= 4 ? px[3] : max;
    }
  }
  return true;
}

// --- The truth: libtiff's decoded samples, read by the TIFF definition as exact fractions of full
// intensity. Pages in YCbCr come through libtiff's RGBA interface (8 bits), which is itself the truth.

struct Truth {
  bool ok = false;
  bool rgbaInterface = false;
  bool associated = false;
  bool floating = false;  // floating-point samples: a reference within one step agrees
  uint32_t width = 0, height = 0;
  std::vector<double> v;      // 4 per pixel, 0..1 (exact page values)
  std::vector<uint32_t> rgba8;  // rgbaInterface only
  std::string why;
};

uint32_t SampleAt(const std::vector<uint8_t>& row, uint64_t index, int bps) {
  return static_cast<uint32_t>(test::GetBits(row.data(), index, bps));
}

// Any stored sample as a number by the TIFF definition: unsigned, two's complement or IEEE floating
// point (16, 24 with 7 exponent bits, 32, 64) of its width. libtiff hands out 16- to 64-bit samples
// in this machine's byte order; other widths are packed most significant bit first.
double StoredValue(const std::vector<uint8_t>& row, uint64_t index, int bps, int format) {
  const uint64_t b = test::GetBits(row.data(), index, bps);  // little-endian machine
  if (format == SAMPLEFORMAT_IEEEFP) {
    if (bps == 32) return std::bit_cast<float>(static_cast<uint32_t>(b));
    if (bps == 64) return std::bit_cast<double>(b);
    const int e = bps == 16 ? 5 : 7, m = bps == 16 ? 10 : 16, bias = (1 << (e - 1)) - 1;
    const uint64_t ex = (b >> m) & ((1u << e) - 1), man = b & ((uint64_t{1} << m) - 1);
    const double sign = (b >> (bps - 1)) & 1 ? -1.0 : 1.0;
    if (ex == (1u << e) - 1) return man ? NAN : sign * INFINITY;
    if (ex == 0) return sign * std::ldexp(double(man), 1 - bias - m);
    return sign * std::ldexp(1.0 + std::ldexp(double(man), -m), int(ex) - bias);
  }
  if (format == SAMPLEFORMAT_INT && bps < 64 && ((b >> (bps - 1)) & 1))
    return double(int64_t(b | (~uint64_t{0} << bps)));
  if (format == SAMPLEFORMAT_INT) return double(int64_t(b));
  return double(b);
}

bool NamedPhotometric(uint16_t ph) {
  return ph <= PHOTOMETRIC_ITULAB || ph == PHOTOMETRIC_CFA || ph == PHOTOMETRIC_LOGL || ph == PHOTOMETRIC_LOGLUV ||
         ph == 34892 || ph == 51177;
}

// GDAL's no-data value of the page, when it has one.
bool NoDataValue(TIFF* tif, double& v) {
  const TIFFField* f = TIFFFindField(tif, TIFFTAG_GDAL_NODATA, TIFF_ANY);
  char* text = nullptr;
  uint32_t count = 0;
  if (!f || !(TIFFFieldPassCount(f) ? TIFFGetField(tif, TIFFTAG_GDAL_NODATA, &count, &text)
                                     : TIFFGetField(tif, TIFFTAG_GDAL_NODATA, &text)) || !text)
    return false;
  char* end = nullptr;
  v = std::strtod(text, &end);
  return end != text;
}

Truth ReadTruth(TIFF* tif) {
  Truth t;
  uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG, orientation = 1;
  uint16_t compression = COMPRESSION_NONE, format = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  t.floating = format == SAMPLEFORMAT_IEEEFP;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &t.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &t.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  const bool hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  if (!hasPhotometric)
    photometric = compression == COMPRESSION_OJPEG ? PHOTOMETRIC_YCBCR : spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  const std::size_t pixels = std::size_t{t.width} * t.height;

  // YCbCr and LogL/LogLuv come through libtiff's RGBA interface, by the converter's rule.
  if (photometric == PHOTOMETRIC_YCBCR || photometric == PHOTOMETRIC_LOGL || photometric == PHOTOMETRIC_LOGLUV) {
    t.rgbaInterface = true;
    t.rgba8.resize(pixels);
    // Stored row order: the converter does not apply the Orientation tag.
    if (orientation != ORIENTATION_TOPLEFT && orientation != ORIENTATION_BOTLEFT)
      return (t.why = "orientation " + std::to_string(orientation), t);
    if (!TIFFReadRGBAImageOriented(tif, t.width, t.height, t.rgba8.data(), orientation, 1))
      return (t.why = "TIFFReadRGBAImage failed", t);
    t.ok = true;
    return t;
  }

  const bool unnamed = !NamedPhotometric(photometric);
  const bool labPage =
      photometric == PHOTOMETRIC_CIELAB || photometric == PHOTOMETRIC_ICCLAB || photometric == PHOTOMETRIC_ITULAB;
  const int colour = photometric == PHOTOMETRIC_RGB || labPage || (unnamed && spp >= 3) ? 3
                     : photometric == PHOTOMETRIC_SEPARATED                              ? 4
                                                                                         : 1;
  int alpha = -1;
  uint16_t extraCount = 0;
  uint16_t* extra = nullptr;
  if (spp > colour) {
    const bool tagged = TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extraCount > 0;
    if (tagged && (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA)) {
      alpha = colour;
      t.associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
    } else if (photometric == PHOTOMETRIC_RGB && spp == 4) {
      alpha = colour;
    }
  }
  uint16_t *mapR = nullptr, *mapG = nullptr, *mapB = nullptr;
  if (photometric == PHOTOMETRIC_PALETTE && !TIFFGetField(tif, TIFFTAG_COLORMAP, &mapR, &mapG, &mapB))
    return (t.why = "no colour map", t);

  // All planes of the page, row after row.
  const bool separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
  const int planes = separate ? spp : 1;
  const uint64_t perPixel = separate ? 1 : spp;
  const std::size_t rowBytes = (t.width * perPixel * bps + 7) / 8;
  std::vector<std::vector<std::vector<uint8_t>>> rows(planes, std::vector<std::vector<uint8_t>>(t.height));
  if (TIFFIsTiled(tif)) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    const std::size_t tileRow = static_cast<std::size_t>(TIFFTileRowSize64(tif));
    std::vector<uint8_t> tile(static_cast<std::size_t>(TIFFTileSize64(tif)));
    for (int p = 0; p < planes; ++p)
      for (uint32_t y = 0; y < t.height; ++y) rows[p][y].assign(rowBytes + tileRow, 0);
    for (int p = 0; p < planes; ++p)
      for (uint32_t ty = 0; ty < t.height; ty += th)
        for (uint32_t tx = 0; tx < t.width; tx += tw) {
          if (TIFFReadTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(p)) < 0)
            return (t.why = "TIFFReadTile failed", t);
          const std::size_t xb = tx * perPixel * bps / 8;
          for (uint32_t r = 0; r < th && ty + r < t.height; ++r)
            std::memcpy(rows[p][ty + r].data() + xb, tile.data() + r * tileRow, tileRow);
        }
  } else {
    std::vector<uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize64(tif)) + 8);
    for (int p = 0; p < planes; ++p)
      for (uint32_t y = 0; y < t.height; ++y) {
        if (TIFFReadScanline(tif, line.data(), y, static_cast<uint16_t>(p)) < 0)
          return (t.why = "TIFFReadScanline failed", t);
        rows[p][y].assign(line.begin(), line.begin() + rowBytes);
        rows[p][y].resize(rowBytes + 8, 0);
      }
  }

  const double max = Max(bps);
  auto at = [&](uint32_t x, uint32_t y, int s) {
    return separate ? SampleAt(rows[s][y], x, bps) : SampleAt(rows[0][y], uint64_t{x} * spp + s, bps);
  };
  auto value = [&](uint32_t x, uint32_t y, int s) {
    return separate ? StoredValue(rows[s][y], x, bps, format)
                    : StoredValue(rows[0][y], uint64_t{x} * spp + s, bps, format);
  };
  // Signed, wide and floating-point samples by their rules: offset by half the range, scaled by the
  // type's range, or [lo, hi] to [0, 1] with NaN, infinities and the no-data value at 0.
  const bool native = (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID) && bps <= 16;
  double noData = 0;
  const bool hasNoData = !native && NoDataValue(tif, noData);
  double lo = 0, hi = 1;
  if (format == SAMPLEFORMAT_IEEEFP && !(TIFFGetField(tif, TIFFTAG_SMINSAMPLEVALUE, &lo) &&
                                        TIFFGetField(tif, TIFFTAG_SMAXSAMPLEVALUE, &hi) && hi > lo)) {
    lo = INFINITY;
    hi = -INFINITY;
    for (uint32_t y = 0; y < t.height; ++y)
      for (uint32_t x = 0; x < t.width; ++x)
        for (int c = 0; c < colour; ++c)
          if (const double v = value(x, y, c); std::isfinite(v) && !(hasNoData && v == noData)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
          }
    if (lo > hi || (lo >= 0 && hi <= 1)) lo = 0, hi = 1;
  }
  const double full = std::ldexp(1.0, bps) - 1;
  auto fraction = [&](uint32_t x, uint32_t y, int s) -> double {
    if (native) return at(x, y, s) / max;
    const double v = value(x, y, s);
    if (hasNoData && v == noData) return 0.0;
    if (format == SAMPLEFORMAT_INT) return (v + std::ldexp(1.0, bps - 1)) / full;
    if (format != SAMPLEFORMAT_IEEEFP) return v / full;
    if (!std::isfinite(v)) return 0.0;
    if (s == alpha) return std::clamp(v, 0.0, 1.0);
    return hi > lo ? std::clamp((v - lo) / (hi - lo), 0.0, 1.0) : 0.0;
  };
  auto hole = [&](uint32_t x, uint32_t y) {
    for (int c = 0; c < colour; ++c)
      if (value(x, y, c) != noData) return false;
    return true;
  };
  // CIE L*a*b*: the stored encodings as L* 0..100, a*, b* around 0, through lcms2 to sRGB.
  cmsHTRANSFORM lab = nullptr;
  if (photometric == PHOTOMETRIC_CIELAB || photometric == PHOTOMETRIC_ICCLAB || photometric == PHOTOMETRIC_ITULAB) {
    cmsHPROFILE from = cmsCreateLab4Profile(nullptr), to = cmsCreate_sRGBProfile();
    lab = cmsCreateTransform(from, TYPE_Lab_DBL, to, TYPE_RGB_DBL, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
  }
  auto labToRgb = [&](uint32_t x, uint32_t y, double* o) {
    const double l = at(x, y, 0), a = at(x, y, 1), b = at(x, y, 2);
    double in[3] = {l * 100.0 / max, 0, 0};
    if (photometric == PHOTOMETRIC_CIELAB) {
      in[1] = bps == 16 ? int16_t(a) / 256.0 : int8_t(a);
      in[2] = bps == 16 ? int16_t(b) / 256.0 : int8_t(b);
    } else if (photometric == PHOTOMETRIC_ICCLAB) {
      in[1] = bps == 16 ? a / 257.0 - 128 : a - 128;
      in[2] = bps == 16 ? b / 257.0 - 128 : b - 128;
    } else {
      in[1] = -85 + a * 170 / max;
      in[2] = -75 + b * 200 / max;
    }
    double rgb[3];
    cmsDoTransform(lab, in, rgb, 1);
    // lcms2 rounds its 16-bit output; the page's value is that step.
    for (int c = 0; c < 3; ++c) o[c] = std::floor(std::clamp(rgb[c], 0.0, 1.0) * 65535 + 0.5) / 65535;
  };
  t.v.resize(pixels * 4);
  for (uint32_t y = 0; y < t.height; ++y)
    for (uint32_t x = 0; x < t.width; ++x) {
      double* o = t.v.data() + (std::size_t{y} * t.width + x) * 4;
      if (hasNoData && hole(x, y)) continue;  // transparent, colour 0
      const double a = alpha >= 0 ? fraction(x, y, alpha) : 1.0;
      if (lab) {
        labToRgb(x, y, o);
        o[3] = alpha >= 0 ? a : 1.0;
        continue;
      }
      switch (unnamed ? (colour == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) : photometric) {
        case PHOTOMETRIC_MINISWHITE: o[0] = o[1] = o[2] = 1.0 - fraction(x, y, 0); break;
        case PHOTOMETRIC_MINISBLACK: o[0] = o[1] = o[2] = fraction(x, y, 0); break;
        case PHOTOMETRIC_PALETTE: {
          // Colour maps hold 8-bit colours widened to 16 bits; libtiff's RGBA decoder takes the high
          // byte. A 16-bit page's map is taken whole.
          const uint32_t i = at(x, y, 0);
          if (bps <= 8) {
            o[0] = (mapR[i] >> 8) / 255.0; o[1] = (mapG[i] >> 8) / 255.0; o[2] = (mapB[i] >> 8) / 255.0;
          } else {
            o[0] = mapR[i] / 65535.0; o[1] = mapG[i] / 65535.0; o[2] = mapB[i] / 65535.0;
          }
          break;
        }
        case PHOTOMETRIC_RGB:
          for (int c = 0; c < 3; ++c) o[c] = fraction(x, y, c);
          break;
        case PHOTOMETRIC_SEPARATED:
          for (int c = 0; c < 3; ++c) o[c] = (1.0 - fraction(x, y, c)) * (1.0 - fraction(x, y, 3));
          break;
        default:
          return (t.why = "photometric " + std::to_string(photometric), t);
      }
      if (t.associated)
        for (int c = 0; c < 3; ++c) o[c] = a == 0 ? 0.0 : std::min(1.0, o[c] / a);
      o[3] = a;
    }
  if (lab) cmsDeleteTransform(lab);
  t.ok = true;
  return t;
}

// ours must hold, in every sample, the page's value correctly rounded to its depth.
std::string CompareWithTruth(const Rgba& ours, const Truth& t) {
  if (ours.width != t.width || ours.height != t.height) return "size differs from libtiff's";
  int bad = 0;
  std::string first;
  const double max = Max(ours.depth);
  for (std::size_t i = 0; i < ours.s.size(); ++i) {
    bool same;
    if (t.rgbaInterface) {
      const uint32_t p = t.rgba8[i / 4];
      const uint32_t want = i % 4 == 0 ? TIFFGetR(p) : i % 4 == 1 ? TIFFGetG(p) : i % 4 == 2 ? TIFFGetB(p) : 255;
      same = ours.depth == 8 && ours.s[i] == want;
    } else {
      same = std::fabs(ours.s[i] - t.v[i] * max) <= 0.5 + 1e-6;
    }
    if (!same && bad++ == 0) {
      std::ostringstream m;
      m << "pixel " << (i / 4) % ours.width << "," << (i / 4) / ours.width << " channel " << i % 4 << ": ours "
        << ours.s[i] << ", libtiff " << (t.rgbaInterface ? double(t.rgba8[i / 4]) : t.v[i] * max);
      first = m.str();
    }
  }
  return bad ? std::to_string(bad) + " samples differ from libtiff's, first " + first : "";
}

// Compares at the lower of the two depths, each side rounded to it. Where a page's alpha is
// associated and zero, the colour carries no information (references leave what was stored). Where
// the page's exact value lies halfway between two steps, either neighbour is a correct rounding.
std::string CompareWithReference(const Rgba& ours, const Rgba& ref, const Truth& t) {
  if (ours.width != ref.width || ours.height != ref.height) return "size differs";
  const int d = std::min(ours.depth, ref.depth);
  const bool exact = t.ok && !t.rgbaInterface;
  int bad = 0;
  std::string first;
  for (std::size_t i = 0; i < ours.s.size(); ++i) {
    if (t.associated && i % 4 != 3 && ours.s[i - i % 4 + 3] == 0) continue;
    const uint32_t a = Reduce(ours.s[i], ours.depth, d), b = Reduce(ref.s[i], ref.depth, d);
    const bool tie = exact && std::fabs(std::fabs(t.v[i] * Max(d) - b) - 0.5) < 1e-6 && std::fabs(double(a) - b) == 1;
    const bool step = t.floating && std::fabs(double(a) - b) <= 1;
    if (a != b && !tie && !step && bad++ == 0) {
      std::ostringstream m;
      m << "pixel " << (i / 4) % ours.width << "," << (i / 4) / ours.width << " channel " << i % 4 << " at " << d
        << " bits: ours " << a << ", reference " << b;
      first = m.str();
    }
  }
  return bad ? std::to_string(bad) + " samples differ, first " + first : "";
}

struct PageResult {
  std::string file;
  int dir = 0;
  int code = -1;
  std::string why;
  std::string truth;     // "" when ours equals libtiff's samples
  bool truthOk = false;
  std::map<std::string, std::string> refs;  // decoder -> "" equal, else how it differs; absent: no image
};

// Runs a reference decoder. A run that times out is a failure of its own: taken for a decoder that
// cannot read the page, it would change the verdict on a loaded machine.
bool RunReference(const std::string& program, const std::vector<std::string>& args, const std::string& cwd) {
  const auto r = RunTool(program, args, cwd, 300, 0);
  if (r.timedOut) ADD_FAILURE() << program << " timed out on " << args.front() << " " << args.back();
  // libvips decodes tiles on worker threads: on a loaded machine a tile's decoding error can miss
  // the exit status even with fail=true, but it is always said on stderr.
  const bool tileFailed = r.stderrText.find("error in tile") != std::string::npos;
  return r.exitCode == 0 && !tileFailed;
}

// Whether Pillow opens the page (the IFD index dir) and decodes its pixels.
bool PillowDecodes(const fs::path& file, int dir, const std::string& cwd) {
  const std::string script = "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\nim.seek(int(sys.argv[2]))\n"
                             "im.load()\n";
  return RunReference("/usr/bin/python3", {"-c", script, file.string(), std::to_string(dir)}, cwd);
}

// Each reference decoder's image of the page (absent when it fails), given the page's IFD index.
// strict: libvips fails on decoding errors too (by default it fills the tiles it cannot decode and
// succeeds; for a page the converter refuses, such an image is invented, not decoded).
std::map<std::string, Rgba> ReferenceImages(const fs::path& file, int dir, const std::string& base,
                                            bool strict = false) {
  uint16_t photometric = 0;
  uint32_t w = 0, h = 0;
  if (const Result<TiffPtr> opened = OpenTiffForReading(file.string()); opened.value) {
    TIFF* tif = opened.value.get();
    if (TIFFSetDirectory(tif, static_cast<tdir_t>(dir))) {
      TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
      TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
      TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    }
  }
  std::string why;
  std::map<std::string, Rgba> out;
  std::vector<std::string> im = {file.string() + "[" + std::to_string(dir) + "]"};
  // Only for inks: ImageMagick's CMYK to sRGB is the uncalibrated (1 - C)(1 - K) the converter uses.
  if (photometric == PHOTOMETRIC_SEPARATED) im.insert(im.end(), {"-colorspace", "sRGB"});
  im.insert(im.end(), {"-depth", "16", "-endian", "MSB", "rgba:" + base + ".rgba"});
  Rgba ref;
  const std::string cwd = fs::path(base).parent_path().string();
  if (RunReference("/usr/bin/convert", im, cwd) && FromImageMagick(base + ".rgba", w, h, ref)) out["im"] = ref;
  const std::string page = file.string() + "[page=" + std::to_string(dir) + (strict ? ",fail=true]" : "]");
  if (RunReference("/usr/bin/vips", {"copy", page, base + ".v"}, cwd) && FromVips(base + ".v", ref, why))
    out["vips"] = ref;
  fs::remove(base + ".rgba");
  fs::remove(base + ".v");
  return out;
}

PageResult CheckPage(const fs::path& file, std::size_t index, int dir, const fs::path& work) {
  PageResult r;
  r.file = file.filename().string();
  r.dir = dir;
  const std::string base = (work / (r.file + "." + std::to_string(dir))).string();
  const std::string png = base + ".png";
  Failure converted = ConvertPageToPng(file.string(), index, png);
  r.code = converted.code;
  r.why = std::move(converted.why);

  if (r.code != Ok) {
    // A refused page is listed with the decoders that still make an image of it.
    for (const auto& [name, img] : ReferenceImages(file, dir, base, true)) r.refs[name] = "decodes";
    if (PillowDecodes(file, dir, work.string())) r.refs["pillow"] = "decodes";
    return r;
  }
  Truth truth;
  if (const Result<TiffPtr> tif = OpenTiffForReading(file.string());
      tif.value && TIFFSetDirectory(tif.value.get(), static_cast<tdir_t>(dir)))
    truth = ReadTruth(tif.value.get());
  r.truthOk = truth.ok;
  PngImage img;
  std::string why;
  if (!ReadPng(png, img, why)) {
    r.truth = why;
    return r;
  }
  fs::remove(png);
  const Rgba ours = FromPng(img);
  if (truth.ok) r.truth = CompareWithTruth(ours, truth);
  for (const auto& [name, ref] : ReferenceImages(file, dir, base)) r.refs[name] = CompareWithReference(ours, ref, truth);
  return r;
}

class CorpusTest : public ::testing::Test {
 protected:
  tovanel::tools::test::TempDir tmp_;
  fs::path dir_{tmp_.path()};
};

TEST_F(CorpusTest, EveryPageEqualsLibtiffsSamplesAndTheReferenceDecoders) {
  const fs::path corpus(TOVANEL_CORPUS_DIR);
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  struct Job {
    fs::path file;
    std::size_t index;
    int dir;
  };
  std::vector<Job> jobs;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(corpus))
    if (e.is_regular_file() && e.path().filename().string().find(".tif") != std::string::npos) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  // TOPNG_CORPUS_ONLY=text limits the run to file names holding text (for looking into one file).
  const char* only = std::getenv("TOPNG_CORPUS_ONLY");
  for (const auto& f : files) {
    if (only && *only && f.filename().string().find(only) == std::string::npos) continue;
    const Result<TiffPtr> tif = OpenTiffForReading(f.string());
    ASSERT_NE(tif.value, nullptr) << f << ": " << tif.failure.why;
    const std::vector<tdir_t> pages = ListPages(tif.value.get());
    EXPECT_FALSE(pages.empty()) << f;
    for (std::size_t i = 0; i < pages.size(); ++i) jobs.push_back({f, i, static_cast<int>(pages[i])});
  }

  std::vector<PageResult> results(jobs.size());
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i; (i = next++) < jobs.size();) results[i] = CheckPage(jobs[i].file, jobs[i].index, jobs[i].dir, dir_);
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();

  std::map<std::pair<std::string, int>, std::map<std::string, std::string>> known;
  for (const auto& k : kKnownWrong) known[{k.file, k.dir}][k.ref] = k.reason;
  int converted = 0, refused = 0, compared = 0, noReference = 0;
  for (const auto& r : results) {
    const std::string where = r.file + " page " + std::to_string(r.dir);
    if (r.code != Ok) {
      ++refused;
      const auto in = [&](const auto& table) {
        return std::any_of(std::begin(table), std::end(table),
                           [&](const auto& k) { return r.file == k.file && r.dir == k.dir; });
      };
      std::string readers;
      for (const auto& [name, text] : r.refs) readers += " " + name;
      // Every refused page is listed with why; one a reference decodes only where that image is invented.
      EXPECT_TRUE(in(kRefused) || in(kRefusedDespiteReference)) << where << " refused (" << r.why << ")";
      EXPECT_EQ(in(kRefusedDespiteReference), !r.refs.empty())
          << where << " refused (" << r.why << "); decoders that read it:" << readers;
      std::printf("refused  %-60s status %d: %s;%s\n", where.c_str(), r.code, r.why.c_str(), readers.c_str());
      continue;
    }
    ++converted;
    EXPECT_TRUE(r.truthOk) << where << ": libtiff's samples could not be read";
    EXPECT_EQ(r.truth, "") << where;
    if (r.refs.empty()) {
      ++noReference;
      std::printf("no reference decodes %s\n", where.c_str());
    }
    for (const auto& [ref, diff] : r.refs) {
      ++compared;
      const auto k = known.find({r.file, r.dir});
      const bool listed = k != known.end() && k->second.count(ref);
      if (listed) {
        EXPECT_NE(diff, "") << where << ": " << ref << " now agrees; remove it from the known-wrong table";
      } else {
        EXPECT_EQ(diff, "") << where << " vs " << ref;
      }
    }
  }
  std::printf("%zu pages: %d converted, %d refused, %d reference comparisons, %d pages no reference decodes\n",
              results.size(), converted, refused, compared, noReference);
  if (!only || !*only) {
    EXPECT_GT(converted, 200);
  }
}

}  // namespace
