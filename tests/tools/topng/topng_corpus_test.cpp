// Every page of the shared TIFF corpus through tovanel-topng's core, checked against libtiff's samples
// read by the TIFF definition and against ImageMagick's and libvips' decodes of the same page.
#include "png_reader.h"
#include "tool_test_support.h"
#include "tiffcommon.h"
#include "topng.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
const KnownWrong kKnownWrong[] = {
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

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ImageMagick's "-depth 16 -endian MSB rgba:" output: 16-bit big-endian RGBA.
bool FromImageMagick(const std::string& path, uint32_t w, uint32_t h, Rgba& r) {
  const std::vector<uint8_t> d = ReadAll(path);
  if (d.size() != std::size_t{w} * h * 8) return false;
  r = {w, h, 16, std::vector<uint32_t>(std::size_t{w} * h * 4)};
  for (std::size_t i = 0; i < r.s.size(); ++i) r.s[i] = (uint32_t{d[2 * i]} << 8) | d[2 * i + 1];
  return true;
}

// libvips' own ".v" file: a 64-byte header (width, height, bands, band format, interpretation) and
// the pixels in this machine's byte order.
bool FromVips(const std::string& path, Rgba& r, std::string& why) {
  const std::vector<uint8_t> d = ReadAll(path);
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
  uint32_t width = 0, height = 0;
  std::vector<double> v;      // 4 per pixel, 0..1 (exact page values)
  std::vector<uint32_t> rgba8;  // rgbaInterface only
  std::string why;
};

uint32_t SampleAt(const std::vector<uint8_t>& row, uint64_t index, int bps) {
  if (bps == 8) return row[index];
  if (bps == 16) { uint16_t v; std::memcpy(&v, row.data() + 2 * index, 2); return v; }
  uint32_t v = 0;
  for (int b = 0; b < bps; ++b) {
    const uint64_t bit = index * bps + b;
    v = (v << 1) | ((row[bit / 8] >> (7 - bit % 8)) & 1);
  }
  return v;
}

Truth ReadTruth(TIFF* tif) {
  Truth t;
  uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG, orientation = 1;
  uint16_t compression = COMPRESSION_NONE;
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

  if (photometric == PHOTOMETRIC_YCBCR) {
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

  const int colour = photometric == PHOTOMETRIC_RGB ? 3 : photometric == PHOTOMETRIC_SEPARATED ? 4 : 1;
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
  t.v.resize(pixels * 4);
  for (uint32_t y = 0; y < t.height; ++y)
    for (uint32_t x = 0; x < t.width; ++x) {
      double* o = t.v.data() + (std::size_t{y} * t.width + x) * 4;
      const double a = alpha >= 0 ? at(x, y, alpha) / max : 1.0;
      switch (photometric) {
        case PHOTOMETRIC_MINISWHITE: o[0] = o[1] = o[2] = 1.0 - at(x, y, 0) / max; break;
        case PHOTOMETRIC_MINISBLACK: o[0] = o[1] = o[2] = at(x, y, 0) / max; break;
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
          for (int c = 0; c < 3; ++c) o[c] = at(x, y, c) / max;
          break;
        case PHOTOMETRIC_SEPARATED:
          for (int c = 0; c < 3; ++c) o[c] = (1.0 - at(x, y, c) / max) * (1.0 - at(x, y, 3) / max);
          break;
        default:
          return (t.why = "photometric " + std::to_string(photometric), t);
      }
      if (t.associated)
        for (int c = 0; c < 3; ++c) o[c] = a == 0 ? 0.0 : std::min(1.0, o[c] / a);
      o[3] = a;
    }
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
    if (a != b && !tie && bad++ == 0) {
      std::ostringstream m;
      m << "pixel " << (i / 4) % ours.width << "," << (i / 4) / ours.width << " channel " << i % 4 << " at " << d
        << " bits: ours " << a << ", reference " << b;
      first = m.str();
    }
  }
  return bad ? std::to_string(bad) + " samples differ, first " + first : "";
}

// Pages the converter refuses by design (README: unsupported sample formats and colour models, and
// planar-separate subsampled YCbCr, which libtiff's RGBA interface cannot read).
bool DocumentedUnsupported(TIFF* tif) {
  uint16_t bps = 1, spp = 1, format = SAMPLEFORMAT_UINT, photometric = 0, compression = 1, inkset = INKSET_CMYK;
  uint16_t planar = PLANARCONFIG_CONTIG, subX = 2, subY = 2;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_YCBCRSUBSAMPLING, &subX, &subY);
  const bool known = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  if (format == SAMPLEFORMAT_INT || format == SAMPLEFORMAT_IEEEFP || format >= SAMPLEFORMAT_COMPLEXINT) return true;
  if (bps > 16 || !TIFFIsCODECConfigured(compression)) return true;
  if (!known) return false;
  if (photometric == PHOTOMETRIC_SEPARATED) return inkset != INKSET_CMYK;
  if (photometric == PHOTOMETRIC_YCBCR) return planar == PLANARCONFIG_SEPARATE && spp > 1 && (subX != 1 || subY != 1);
  return photometric > PHOTOMETRIC_YCBCR || photometric == 4 /* transparency mask */;
}

struct PageResult {
  std::string file;
  int dir = 0;
  int code = -1;
  std::string why;
  std::string truth;     // "" when ours equals libtiff's samples
  bool truthOk = false;
  std::map<std::string, std::string> refs;  // decoder -> "" equal, else how it differs; absent: no image
  bool supportedKindRefused = false;
};

// Each reference decoder's image of the page (absent when it fails), given the page's IFD index.
std::map<std::string, Rgba> ReferenceImages(const fs::path& file, int dir, const std::string& base) {
  uint16_t photometric = 0;
  uint32_t w = 0, h = 0;
  int code = 0;
  std::string why;
  if (TIFF* tif = OpenTiffForReading(file.string(), code, why)) {
    if (TIFFSetDirectory(tif, static_cast<tdir_t>(dir))) {
      TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
      TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
      TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    }
    TIFFClose(tif);
  }
  std::map<std::string, Rgba> out;
  std::vector<std::string> im = {file.string() + "[" + std::to_string(dir) + "]"};
  // Only for inks: ImageMagick's CMYK to sRGB is the uncalibrated (1 - C)(1 - K) the converter uses.
  if (photometric == PHOTOMETRIC_SEPARATED) im.insert(im.end(), {"-colorspace", "sRGB"});
  im.insert(im.end(), {"-depth", "16", "-endian", "MSB", "rgba:" + base + ".rgba"});
  Rgba ref;
  const std::string cwd = fs::path(base).parent_path().string();
  if (RunTool("/usr/bin/convert", im, cwd, 120, 0).exitCode == 0 && FromImageMagick(base + ".rgba", w, h, ref)) out["im"] = ref;
  const std::string page = file.string() + "[page=" + std::to_string(dir) + "]";
  if (RunTool("/usr/bin/vips", {"copy", page, base + ".v"}, cwd, 120, 0).exitCode == 0 && FromVips(base + ".v", ref, why))
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
  r.code = ConvertPageToPng(file.string(), index, png, r.why);

  Truth truth;
  bool unsupported = false;
  {
    int code = 0;
    std::string why;
    TIFF* tif = OpenTiffForReading(file.string(), code, why);
    if (tif && TIFFSetDirectory(tif, static_cast<tdir_t>(dir))) {
      unsupported = DocumentedUnsupported(tif);
      if (!unsupported) truth = ReadTruth(tif);
    }
    if (tif) TIFFClose(tif);
  }
  r.truthOk = truth.ok;
  if (r.code != Ok) {
    r.supportedKindRefused = r.code == Unsupported && !unsupported;
    // A page refused as damaged is listed with the decoders that still make an image of it.
    if (r.code == Damaged)
      for (const auto& [name, img] : ReferenceImages(file, dir, base)) r.refs[name] = "decodes";
    return r;
  }
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
    int code = 0;
    std::string why;
    TIFF* tif = OpenTiffForReading(f.string(), code, why);
    ASSERT_NE(tif, nullptr) << f << ": " << why;
    const std::vector<tdir_t> pages = ListPages(tif);
    TIFFClose(tif);
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
      EXPECT_FALSE(r.supportedKindRefused) << where << " refused: " << r.why;
      const bool listed = std::any_of(std::begin(kRefusedDespiteReference), std::end(kRefusedDespiteReference),
                                      [&](const auto& k) { return r.file == k.file && r.dir == k.dir; });
      std::string readers;
      for (const auto& [name, text] : r.refs) readers += " " + name;
      EXPECT_EQ(listed, !r.refs.empty()) << where << " refused (" << r.why << "); decoders that read it:" << readers;
      std::printf("refused  %-60s status %d: %s\n", where.c_str(), r.code, r.why.c_str());
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
