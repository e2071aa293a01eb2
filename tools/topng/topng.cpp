// The converter's core: decodes a TIFF page band by band and writes it as a PNG of the same kind.
#include "topng.h"

#include "tiffcommon.h"

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace tovanel::tools {

namespace {

bool g_forceStreaming = false;

// libdeflate level 6 compresses as small as zlib level 6 at two to four times its speed. On 8-bit
// colour pages (photographs, scans) level 4 saves a third of the compression time for about 1 % more
// bytes; on grey, bilevel, palette and 16-bit pages it saves little or costs several per cent.
constexpr int kDeflateLevel = 6;
constexpr int kDeflateLevelColour8 = 4;
constexpr int kZlibLevel = 6;
constexpr std::size_t kIdatChunk = std::size_t{1} << 20;
// Band buffers get slack so that bit extraction may read a few bytes past a row's end.
constexpr std::size_t kSlack = 8;

enum class Kind { Grey, Palette, Rgb, Cmyk, RgbaImage };
enum class RowMode { CopyPacked, Copy16, Select8, Select16, General, FromRgba };

struct Page {
  uint32_t width = 0, height = 0;
  uint16_t bps = 1, spp = 1, photometric = 0, planar = PLANARCONFIG_CONTIG, compression = 1;
  Kind kind = Kind::Grey;
  bool minIsWhite = false;
  bool hasAlpha = false, associated = false;
  int colourSamples = 1;
  uint16_t *cmapR = nullptr, *cmapG = nullptr, *cmapB = nullptr;
  bool cmap8 = false;  // the colour map holds 8-bit values (see EightBitColourMap)
  bool tiled = false;
  uint32_t tileW = 0, tileH = 0, rowsPerStrip = 0;
  // The PNG.
  int colorType = PNG_COLOR_TYPE_GRAY, depth = 8, channels = 1;
  RowMode mode = RowMode::General;
  std::size_t pngRowBytes = 0;
};

struct Failure {
  int code;
  std::string why;
};

std::string TiffWhy(const char* fallback) {
  const std::string e = LastTiffError();
  return e.empty() ? std::string(fallback) : e;
}

bool WarnedAbout(const char* text) {
  for (const std::string& w : TiffWarnings())
    if (w.find(text) != std::string::npos) return true;
  return false;
}

// libtiff only warns when a fax strip ends before its rows do, or a row is cut short, and when JPEG
// data ends early; it then fills the rest with white or grey. Such a page would show invented pixels.
std::string DecodeDamage() {
  if (!LastTiffError().empty()) return LastTiffError();
  for (const std::string& w : TiffWarnings())
    if (w.find("Premature EOL") != std::string::npos || w.find("Line length mismatch") != std::string::npos ||
        w.find("Premature end of JPEG") != std::string::npos)
      return w;
  return {};
}

// Some writers store 8-bit colours in the 16-bit colour map unwidened; read by the high byte, such a
// page would come out black. A map with no entry above 255 is one of those, as libtiff's RGBA
// decoder, ImageMagick and libvips all take it.
bool EightBitColourMap(const Page& p) {
  const std::size_t entries = std::size_t{1} << p.bps;
  for (std::size_t i = 0; i < entries; ++i)
    if (p.cmapR[i] > 255 || p.cmapG[i] > 255 || p.cmapB[i] > 255) return false;
  return true;
}

int Analyse(TIFF* tif, Page& p, std::string& why) {
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height) ||
      p.width == 0 || p.height == 0) {
    why = "the page has no valid image size";
    return Damaged;
  }
  if (uint64_t{p.width} * p.height > kMaxPixels) {
    why = "the page is " + std::to_string(p.width) + " x " + std::to_string(p.height) +
          " pixels, more than the limit of 2^31 pixels";
    return TooLarge;
  }
  uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &p.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &p.planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &p.compression);
  // LogL/LogLuv pages decode to signed or float samples; name the real reason they are refused.
  if (uint16_t ph = 0; TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &ph) && (ph == PHOTOMETRIC_LOGL || ph == PHOTOMETRIC_LOGLUV)) {
    why = "photometric interpretation " + std::to_string(ph) + " (LogL/LogLuv) is not supported";
    return Unsupported;
  }
  if (sampleFormat == SAMPLEFORMAT_INT) {
    why = "signed integer samples are not supported";
    return Unsupported;
  }
  if (sampleFormat != SAMPLEFORMAT_UINT && sampleFormat != SAMPLEFORMAT_VOID) {
    why = "floating-point and complex samples are not supported";
    return Unsupported;
  }
  if (p.bps == 0 || p.bps > 16) {
    why = std::to_string(p.bps) + "-bit samples are not supported (1 to 16 bits are)";
    return Unsupported;
  }
  if (p.spp == 0) {
    why = "the page has no samples";
    return Damaged;
  }
  if (!TIFFIsCODECConfigured(p.compression)) {
    why = "compression " + std::to_string(p.compression) + " is not supported by libtiff";
    return Unsupported;
  }
  // A page without the (required) tag gets the reading its data implies: fax codes describe white
  // runs first, so CCITT pages are MinIsWhite, as every fax writer tags them.
  const bool fax = p.compression == COMPRESSION_CCITTRLE || p.compression == COMPRESSION_CCITTFAX3 ||
                   p.compression == COMPRESSION_CCITTFAX4 || p.compression == COMPRESSION_CCITTRLEW;
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &p.photometric))
    p.photometric = p.compression == COMPRESSION_OJPEG ? PHOTOMETRIC_YCBCR
                    : p.spp >= 3                        ? PHOTOMETRIC_RGB
                    : fax && p.bps == 1                 ? PHOTOMETRIC_MINISWHITE
                                                        : PHOTOMETRIC_MINISBLACK;
  p.tiled = TIFFIsTiled(tif);
  if (p.tiled) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &p.tileW);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &p.tileH);
    if (p.tileW == 0 || p.tileH == 0) {
      why = "invalid tile size";
      return Damaged;
    }
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &p.rowsPerStrip);
    p.rowsPerStrip = std::clamp<uint32_t>(p.rowsPerStrip, 1, p.height);
    // Which strip holds which rows of which plane follows from the strip count; a table of another
    // length (libtiff accepts one) would put one plane's rows into another.
    const uint64_t planes = p.planar == PLANARCONFIG_SEPARATE ? p.spp : 1;
    const uint64_t expected = planes * ((uint64_t{p.height} + p.rowsPerStrip - 1) / p.rowsPerStrip);
    if (TIFFNumberOfStrips(tif) != expected) {
      why = "the page has " + std::to_string(TIFFNumberOfStrips(tif)) + " strips where its size and rows per strip give " +
            std::to_string(expected);
      return Damaged;
    }
    // Uncompressed strips are read as long as their rows need, whatever their byte counts say (those
    // are often wrong and libtiff repairs them); a strip whose rows would run into the next strip's
    // data would show that strip's pixels.
    // (Planar subsampled YCbCr, whose planes differ in size, is refused below.)
    const bool subsampledPlanes = planes > 1 && p.photometric == PHOTOMETRIC_YCBCR;
    if (p.compression == COMPRESSION_NONE && expected > 1 && !subsampledPlanes) {
      const uint64_t perPlane = expected / planes;
      std::vector<uint64_t> starts(expected);
      for (uint64_t k = 0; k < expected; ++k) starts[k] = TIFFGetStrileOffset(tif, static_cast<uint32_t>(k));
      std::vector<uint64_t> sorted = starts;
      std::sort(sorted.begin(), sorted.end());
      for (uint64_t k = 0; k < expected; ++k) {
        const uint64_t first = (k % perPlane) * p.rowsPerStrip;
        const uint64_t need = TIFFVStripSize64(tif, static_cast<uint32_t>(std::min<uint64_t>(p.rowsPerStrip, p.height - first)));
        const auto next = std::upper_bound(sorted.begin(), sorted.end(), starts[k]);
        if (next != sorted.end() && starts[k] + need > *next) {
          why = "strip " + std::to_string(k) + " overlaps the next strip's data (its rows need " + std::to_string(need) +
                " bytes)";
          return Damaged;
        }
      }
    }
  }

  // libtiff drops a colour map of the wrong length with a warning and then reads a palette page as
  // grey or RGB: the page's colours are lost, and any image made of it would be invented.
  {
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) && WarnedAbout("\"ColorMap\"")) {
      why = "the page's colour map is damaged (libtiff ignored it)";
      return Damaged;
    }
  }
  switch (p.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      p.kind = Kind::Grey;
      p.minIsWhite = p.photometric == PHOTOMETRIC_MINISWHITE;
      p.colourSamples = 1;
      break;
    case PHOTOMETRIC_PALETTE:
      p.kind = Kind::Palette;
      p.colourSamples = 1;
      if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &p.cmapR, &p.cmapG, &p.cmapB)) {
        why = "palette image without a colour map";
        return Damaged;
      }
      p.cmap8 = EightBitColourMap(p);
      break;
    case PHOTOMETRIC_RGB:
      p.kind = Kind::Rgb;
      p.colourSamples = 3;
      break;
    case PHOTOMETRIC_SEPARATED: {
      uint16_t inkset = INKSET_CMYK;
      TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
      if (inkset != INKSET_CMYK) {
        why = "separated images with inks other than CMYK are not supported";
        return Unsupported;
      }
      p.kind = Kind::Cmyk;
      p.colourSamples = 4;
      break;
    }
    case PHOTOMETRIC_YCBCR:
      if (p.compression == COMPRESSION_JPEG && p.planar == PLANARCONFIG_CONTIG) {
        // libjpeg upsamples and converts to RGB; strips then read as plain RGB.
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        p.kind = Kind::Rgb;
        p.colourSamples = 3;
      } else {
        p.kind = Kind::RgbaImage;
        p.colourSamples = 3;
      }
      break;
    default:
      why = "photometric interpretation " + std::to_string(p.photometric) +
            " (such as CIE L*a*b* or LogLuv) is not supported";
      return Unsupported;
  }
  if (p.spp < p.colourSamples) {
    why = "the page has fewer samples than its colour model needs";
    return Damaged;
  }

  if (p.kind == Kind::RgbaImage) {
    char emsg[1024] = "";
    if (p.bps != 8 || !TIFFRGBAImageOK(tif, emsg)) {
      why = std::string("cannot decode this YCbCr page: ") + (*emsg ? emsg : "unsupported layout");
      return Unsupported;
    }
    p.colorType = PNG_COLOR_TYPE_RGB;
    p.depth = 8;
    p.channels = 3;
    p.mode = RowMode::FromRgba;
    p.pngRowBytes = std::size_t{p.width} * 3;
    return Ok;
  }

  // The first extra sample is alpha when marked so; an unmarked fourth sample of RGB is alpha too.
  const int extras = p.spp - p.colourSamples;
  if (extras > 0) {
    uint16_t count = 0;
    uint16_t* types = nullptr;
    const bool tagged = TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &types) && count > 0;
    const uint16_t first = tagged ? types[0] : EXTRASAMPLE_UNSPECIFIED;
    if (first == EXTRASAMPLE_ASSOCALPHA || first == EXTRASAMPLE_UNASSALPHA) {
      p.hasAlpha = true;
      p.associated = first == EXTRASAMPLE_ASSOCALPHA;
    } else if (p.kind == Kind::Rgb && p.spp == 4) {
      p.hasAlpha = true;
    }
  }

  const int wide = p.bps <= 8 ? 8 : 16;
  const bool pngDepth = p.bps == 1 || p.bps == 2 || p.bps == 4 || p.bps == 8 || p.bps == 16;
  switch (p.kind) {
    case Kind::Grey:
      if (p.hasAlpha) {
        p.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
        p.depth = wide;
      } else {
        p.colorType = PNG_COLOR_TYPE_GRAY;
        p.depth = pngDepth ? p.bps : wide;
      }
      break;
    case Kind::Palette:
      if (p.hasAlpha) {
        p.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
        p.depth = wide;
      } else if (p.bps <= 8) {
        p.colorType = PNG_COLOR_TYPE_PALETTE;
        p.depth = pngDepth ? p.bps : 8;
      } else {
        p.colorType = PNG_COLOR_TYPE_RGB;
        p.depth = 16;
      }
      break;
    default:
      p.colorType = p.hasAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
      p.depth = wide;
      break;
  }
  p.channels = p.colorType == PNG_COLOR_TYPE_GRAY || p.colorType == PNG_COLOR_TYPE_PALETTE ? 1
               : p.colorType == PNG_COLOR_TYPE_GRAY_ALPHA                                  ? 2
               : p.colorType == PNG_COLOR_TYPE_RGB                                          ? 3
                                                                                            : 4;
  p.pngRowBytes = (uint64_t{p.width} * p.channels * p.depth + 7) / 8;

  const bool contig = p.planar == PLANARCONFIG_CONTIG || p.spp == 1;
  const bool plain = (p.kind == Kind::Grey && !p.minIsWhite) || p.kind == Kind::Rgb;
  if (contig && p.spp == 1 && p.depth == p.bps && p.colorType != PNG_COLOR_TYPE_RGB) {
    p.mode = p.bps == 16 ? RowMode::Copy16 : RowMode::CopyPacked;  // grey (inverted if needed), indices
  } else if (contig && plain && !p.associated && p.bps == p.depth && p.bps == 8) {
    p.mode = RowMode::Select8;
  } else if (contig && plain && !p.associated && p.bps == p.depth && p.bps == 16) {
    p.mode = RowMode::Select16;
  } else {
    p.mode = RowMode::General;
  }
  return Ok;
}

// Hands out the page's rows in order, decoding one strip, tile row or band at a time.
class RowReader {
 public:
  RowReader(TIFF* tif, const Page& p) : tif_(tif), p_(p) {}
  ~RowReader() {
    if (rgbaOpen_) TIFFRGBAImageEnd(&rgba_);
  }

  bool init(Failure& f) {
    separate_ = p_.planar == PLANARCONFIG_SEPARATE && p_.spp > 1;
    planes_ = separate_ ? p_.spp : 1;
    const uint64_t samplesPerPlanePixel = separate_ ? 1 : p_.spp;
    planeRowBytes_ = (uint64_t{p_.width} * samplesPerPlanePixel * p_.bps + 7) / 8;
    if (p_.mode == RowMode::FromRgba) {
      char emsg[1024] = "";
      if (!TIFFRGBAImageBegin(&rgba_, tif_, 0, emsg)) {
        f = {Unsupported, std::string("cannot decode this page: ") + emsg};
        return false;
      }
      rgbaOpen_ = true;
      // No flipping: rows come in stored order, as with every other kind.
      rgba_.req_orientation = rgba_.orientation;
      band_ = p_.tiled ? p_.tileH : p_.rowsPerStrip;
      band_ = std::clamp<uint32_t>(band_, 1, p_.height);
      if (uint64_t{band_} * p_.width * 4 > kMaxBandBytes) band_ = std::max<uint32_t>(1, kMaxBandBytes / (uint64_t{p_.width} * 4));
      raster_.assign(std::size_t{band_} * p_.width, 0);
      return true;
    }
    if (planeRowBytes_ > kMaxRowBytes) {
      f = {TooLarge, "the page's rows are wider than the limit of 64 MiB"};
      return false;
    }
    if (p_.tiled) {
      if ((uint64_t{p_.tileW} * samplesPerPlanePixel * p_.bps) % 8 != 0) {
        f = {Unsupported, "tiles whose rows do not end on a byte boundary are not supported"};
        return false;
      }
      band_ = p_.tileH;
      const uint64_t tileBytes = TIFFTileSize64(tif_);
      if (tileBytes == 0) {
        f = {Damaged, TiffWhy("invalid tile size")};
        return false;
      }
      // A few bytes can claim a tile of gigabytes: the bound holds before anything is allocated.
      if (tileBytes > kMaxBandBytes) {
        f = {TooLarge, "the page's tiles are larger than the limit of 256 MiB"};
        return false;
      }
      tileBuf_.resize(static_cast<std::size_t>(tileBytes) + kSlack);
    } else {
      band_ = p_.rowsPerStrip;
      const uint64_t stripBytes = TIFFVStripSize64(tif_, band_);
      if (stripBytes == 0) {
        f = {Damaged, TiffWhy("invalid strip size")};
        return false;
      }
      // A huge single strip of a contiguous page is read line by line instead.
      if (stripBytes * planes_ > kMaxBandBytes) {
        if (separate_) {
          f = {TooLarge, "the page's strips are larger than the limit of 256 MiB"};
          return false;
        }
        scanline_ = true;
        band_ = 1;
      }
    }
    const uint64_t bandBytes = uint64_t{band_} * planeRowBytes_ * planes_;
    if (bandBytes > kMaxBandBytes) {
      f = {TooLarge, "the page's strips or tiles are larger than the limit of 256 MiB"};
      return false;
    }
    bandBuf_.assign(static_cast<std::size_t>(uint64_t{band_} * planeRowBytes_) * planes_ + kSlack, 0);
    return true;
  }

  // Row y's samples: planes[0] for a contiguous page, planes[0..spp-1] for a separate one.
  bool row(uint32_t y, const uint8_t** planes, const uint32_t** rgba, Failure& f) {
    if (y >= bandStart_ + bandRows_ || bandRows_ == 0) {
      if (!load(y, f)) return false;
    }
    const uint32_t r = y - bandStart_;
    if (p_.mode == RowMode::FromRgba) {
      *rgba = raster_.data() + std::size_t{r} * p_.width;
      return true;
    }
    for (int s = 0; s < planes_; ++s)
      planes[s] = bandBuf_.data() + (static_cast<std::size_t>(s) * band_ + r) * planeRowBytes_;
    return true;
  }

 private:
  bool load(uint32_t y, Failure& f) {
    bandStart_ = y;
    bandRows_ = std::min<uint32_t>(band_, p_.height - y);
    if (p_.mode == RowMode::FromRgba) {
      rgba_.row_offset = static_cast<int>(y);
      rgba_.col_offset = 0;
      if (!TIFFRGBAImageGet(&rgba_, raster_.data(), p_.width, bandRows_)) return fail(f);
      return true;
    }
    if (scanline_) {
      if (TIFFReadScanline(tif_, bandBuf_.data(), y, 0) < 0) return fail(f);
      return true;
    }
    if (p_.tiled) return loadTiles(y, f);
    const uint32_t strip = y / p_.rowsPerStrip;
    const uint32_t stripsPerPlane = TIFFNumberOfStrips(tif_) / planes_;
    if (strip >= stripsPerPlane) return fail(f);
    const tmsize_t want = static_cast<tmsize_t>(uint64_t{bandRows_} * planeRowBytes_);
    for (int s = 0; s < planes_; ++s) {
      uint8_t* dst = bandBuf_.data() + static_cast<std::size_t>(s) * band_ * planeRowBytes_;
      const tmsize_t got = TIFFReadEncodedStrip(tif_, s * stripsPerPlane + strip, dst, want);
      if (got < want) return fail(f);
    }
    return true;
  }

  bool loadTiles(uint32_t y, Failure& f) {
    const uint64_t tileRowBytes = TIFFTileRowSize64(tif_);
    for (int s = 0; s < planes_; ++s) {
      uint8_t* planeBase = bandBuf_.data() + static_cast<std::size_t>(s) * band_ * planeRowBytes_;
      uint64_t xBytes = 0;
      for (uint32_t x = 0; x < p_.width; x += p_.tileW, xBytes += tileRowBytes) {
        const uint32_t tile = TIFFComputeTile(tif_, x, y, 0, static_cast<uint16_t>(s));
        if (TIFFReadEncodedTile(tif_, tile, tileBuf_.data(), static_cast<tmsize_t>(tileBuf_.size() - kSlack)) < 0)
          return fail(f);
        const std::size_t n = static_cast<std::size_t>(std::min(tileRowBytes, planeRowBytes_ - xBytes));
        for (uint32_t r = 0; r < bandRows_; ++r)
          std::memcpy(planeBase + r * planeRowBytes_ + xBytes, tileBuf_.data() + r * tileRowBytes, n);
      }
    }
    return true;
  }

  bool fail(Failure& f) {
    f = {Damaged, TiffWhy("cannot decode the page's image data")};
    return false;
  }

  TIFF* tif_;
  const Page& p_;
  bool separate_ = false, scanline_ = false, rgbaOpen_ = false;
  int planes_ = 1;
  uint64_t planeRowBytes_ = 0;
  uint32_t band_ = 1, bandStart_ = 0, bandRows_ = 0;
  std::vector<uint8_t> bandBuf_, tileBuf_;
  TIFFRGBAImage rgba_{};
  std::vector<uint32_t> raster_;
};

inline uint32_t Scale(uint32_t v, uint32_t fromMax, uint32_t toMax) {
  return fromMax == toMax ? v : static_cast<uint32_t>((uint64_t{v} * toMax + fromMax / 2) / fromMax);
}

// Colour maps nearly always hold 8-bit colours widened as v * 257 or as v * 256; the high byte gives
// v back from both (rounding would turn the second kind's 255 into 254), and it is what libtiff's own
// RGBA decoder and the reference decoders use. An 8-bit map (cmap8) holds v itself.
inline uint32_t MapEntry(uint16_t c, bool cmap8, uint32_t toMax) {
  if (cmap8) return toMax == 65535 ? c * 257u : c;
  return toMax == 65535 ? c : c >> 8;
}

// Turns rows of TIFF samples into rows of PNG samples (big-endian, packed as PNG packs them).
class RowConverter {
 public:
  explicit RowConverter(const Page& p)
      : p_(p), inMax_((1u << p.bps) - 1), outMax_((1u << p.depth) - 1),
        separate_(p.planar == PLANARCONFIG_SEPARATE && p.spp > 1) {}

  void convert(const uint8_t* const* planes, const uint32_t* rgba, uint8_t* out) const {
    const uint32_t w = p_.width;
    const uint8_t* in = planes ? planes[0] : nullptr;
    switch (p_.mode) {
      case RowMode::CopyPacked:
        if (p_.minIsWhite) {
          for (std::size_t i = 0; i < p_.pngRowBytes; ++i) out[i] = static_cast<uint8_t>(~in[i]);
        } else {
          std::memcpy(out, in, p_.pngRowBytes);
        }
        return;
      case RowMode::Copy16: {
        const uint16_t flip = p_.minIsWhite ? 0xFFFF : 0;
        for (uint32_t x = 0; x < w; ++x) {
          uint16_t v;
          std::memcpy(&v, in + 2 * x, 2);
          v ^= flip;
          out[2 * x] = static_cast<uint8_t>(v >> 8);
          out[2 * x + 1] = static_cast<uint8_t>(v);
        }
        return;
      }
      case RowMode::Select8: {
        const int c = p_.channels, spp = p_.spp;
        if (c == spp) {
          std::memcpy(out, in, std::size_t{w} * c);
        } else {
          for (uint32_t x = 0; x < w; ++x)
            for (int k = 0; k < c; ++k) out[std::size_t{x} * c + k] = in[std::size_t{x} * spp + k];
        }
        return;
      }
      case RowMode::Select16: {
        const int c = p_.channels, spp = p_.spp;
        for (uint32_t x = 0; x < w; ++x)
          for (int k = 0; k < c; ++k) {
            uint16_t v;
            std::memcpy(&v, in + 2 * (std::size_t{x} * spp + k), 2);
            uint8_t* o = out + 2 * (std::size_t{x} * c + k);
            o[0] = static_cast<uint8_t>(v >> 8);
            o[1] = static_cast<uint8_t>(v);
          }
        return;
      }
      case RowMode::FromRgba:
        for (uint32_t x = 0; x < w; ++x) {
          out[3 * x] = static_cast<uint8_t>(TIFFGetR(rgba[x]));
          out[3 * x + 1] = static_cast<uint8_t>(TIFFGetG(rgba[x]));
          out[3 * x + 2] = static_cast<uint8_t>(TIFFGetB(rgba[x]));
        }
        return;
      case RowMode::General:
        general(planes, out);
        return;
    }
  }

 private:
  uint32_t sample(const uint8_t* const* planes, uint32_t x, int s) const {
    const uint8_t* row = separate_ ? planes[s] : planes[0];
    const uint64_t index = separate_ ? x : uint64_t{x} * p_.spp + s;
    if (p_.bps == 8) return row[index];
    if (p_.bps == 16) {
      uint16_t v;
      std::memcpy(&v, row + 2 * index, 2);
      return v;
    }
    const uint64_t bit = index * p_.bps;
    const uint8_t* b = row + (bit >> 3);
    const uint32_t word = (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
    return (word >> (24 - (bit & 7) - p_.bps)) & inMax_;
  }

  void put(uint8_t*& o, uint32_t v) const {
    if (p_.depth == 16) {
      *o++ = static_cast<uint8_t>(v >> 8);
      *o++ = static_cast<uint8_t>(v);
    } else {
      *o++ = static_cast<uint8_t>(v);
    }
  }

  uint32_t unpremultiply(uint32_t c, uint32_t a) const {
    if (!p_.associated) return c;
    if (a == 0) return 0;
    return std::min<uint32_t>(outMax_, static_cast<uint32_t>((uint64_t{c} * outMax_ + a / 2) / a));
  }

  void general(const uint8_t* const* planes, uint8_t* out) const {
    if (p_.depth < 8) {
      packed(planes, out);
      return;
    }
    const int alphaIndex = p_.colourSamples;
    uint8_t* o = out;
    for (uint32_t x = 0; x < p_.width; ++x) {
      const uint32_t a = p_.hasAlpha ? Scale(sample(planes, x, alphaIndex), inMax_, outMax_) : 0;
      switch (p_.kind) {
        case Kind::Grey: {
          uint32_t g = sample(planes, x, 0);
          if (p_.minIsWhite) g = inMax_ - g;
          put(o, unpremultiply(Scale(g, inMax_, outMax_), a));
          break;
        }
        case Kind::Palette: {
          const uint32_t i = sample(planes, x, 0);
          if (p_.colorType == PNG_COLOR_TYPE_PALETTE) {
            *o++ = static_cast<uint8_t>(i);
          } else {
            put(o, MapEntry(p_.cmapR[i], p_.cmap8, outMax_));
            put(o, MapEntry(p_.cmapG[i], p_.cmap8, outMax_));
            put(o, MapEntry(p_.cmapB[i], p_.cmap8, outMax_));
          }
          break;
        }
        case Kind::Rgb:
          for (int s = 0; s < 3; ++s) put(o, unpremultiply(Scale(sample(planes, x, s), inMax_, outMax_), a));
          break;
        case Kind::Cmyk: {
          const uint32_t k = inMax_ - sample(planes, x, 3);
          for (int s = 0; s < 3; ++s) {
            const uint32_t ink = inMax_ - sample(planes, x, s);
            const uint32_t v = static_cast<uint32_t>((uint64_t{ink} * k + inMax_ / 2) / inMax_);
            put(o, unpremultiply(Scale(v, inMax_, outMax_), a));
          }
          break;
        }
        case Kind::RgbaImage:
          break;
      }
      if (p_.hasAlpha) put(o, a);
    }
  }

  // Sub-byte output (grey without alpha, palette indices) of a page whose samples are not laid out
  // as the PNG's: the values are packed most significant bit first, as PNG rows hold them. Extra
  // samples that are not alpha are dropped.
  void packed(const uint8_t* const* planes, uint8_t* out) const {
    std::memset(out, 0, p_.pngRowBytes);
    const uint32_t d = static_cast<uint32_t>(p_.depth);
    for (uint32_t x = 0; x < p_.width; ++x) {
      uint32_t v = sample(planes, x, 0);
      if (p_.kind == Kind::Grey) {
        if (p_.minIsWhite) v = inMax_ - v;
        v = Scale(v, inMax_, outMax_);
      }
      const uint64_t bit = uint64_t{x} * d;
      out[bit >> 3] |= static_cast<uint8_t>((v & outMax_) << (8 - d - (bit & 7)));
    }
  }

  const Page& p_;
  uint32_t inMax_, outMax_;
  bool separate_;
};

// PNG row filtering as libpng does it: none for palette and sub-byte images, otherwise per row the
// filter whose output has the smallest sum of absolute (signed) values.
class RowFilter {
 public:
  RowFilter(std::size_t rowBytes, std::size_t bpp, bool adaptive)
      : n_(rowBytes), bpp_(bpp), adaptive_(adaptive), prev_(rowBytes, 0), cand_(rowBytes), best_(rowBytes) {}

  // Writes the filter byte and the filtered row to out (n+1 bytes); row becomes the previous row.
  void filter(const uint8_t* row, uint8_t* out) {
    if (!adaptive_) {
      out[0] = 0;
      std::memcpy(out + 1, row, n_);
      return;
    }
    uint64_t bestSum = UINT64_MAX;
    int bestType = 0;
    for (int type = 0; type < 5; ++type) {
      const uint64_t sum = apply(type, row, cand_.data(), bestSum);
      if (sum < bestSum) {
        bestSum = sum;
        bestType = type;
        std::swap(cand_, best_);
      }
    }
    out[0] = static_cast<uint8_t>(bestType);
    std::memcpy(out + 1, best_.data(), n_);
    std::memcpy(prev_.data(), row, n_);
  }

 private:
  static inline uint32_t Cost(uint8_t v) { return v < 128 ? v : 256u - v; }
  // Branch-free, so that the compiler can vectorise the row loop.
  static inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    const int bc = pb <= pc ? b : c;
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : bc);
  }

  // Filters with the given type; stops early (returning the partial sum) once it reaches limit. The
  // row goes in blocks whose inner loops have no exits, and the bytes before the first full pixel
  // (no left neighbour) go first.
  uint64_t apply(int type, const uint8_t* row, uint8_t* o, uint64_t limit) const {
    const uint8_t* up = prev_.data();
    const std::size_t n = n_, bpp = std::min(bpp_, n_);
    uint64_t sum = 0;
    for (std::size_t i = 0; i < bpp; ++i) {
      const uint8_t pred = type == 2 || type == 4 ? up[i] : type == 3 ? static_cast<uint8_t>(up[i] >> 1) : 0;
      sum += Cost(o[i] = static_cast<uint8_t>(row[i] - pred));
    }
    constexpr std::size_t kBlock = 4096;
    for (std::size_t start = bpp; start < n; start += kBlock) {
      const std::size_t end = std::min(n, start + kBlock);
      uint32_t block = 0;
      switch (type) {
        case 0:
          for (std::size_t i = start; i < end; ++i) block += Cost(o[i] = row[i]);
          break;
        case 1:
          for (std::size_t i = start; i < end; ++i) block += Cost(o[i] = static_cast<uint8_t>(row[i] - row[i - bpp]));
          break;
        case 2:
          for (std::size_t i = start; i < end; ++i) block += Cost(o[i] = static_cast<uint8_t>(row[i] - up[i]));
          break;
        case 3:
          for (std::size_t i = start; i < end; ++i)
            block += Cost(o[i] = static_cast<uint8_t>(row[i] - ((unsigned{row[i - bpp]} + up[i]) >> 1)));
          break;
        case 4:
          for (std::size_t i = start; i < end; ++i)
            block += Cost(o[i] = static_cast<uint8_t>(row[i] - Paeth(row[i - bpp], up[i], up[i - bpp])));
          break;
      }
      sum += block;
      if (sum >= limit) return sum;
    }
    return sum;
  }

  std::size_t n_, bpp_;
  bool adaptive_;
  std::vector<uint8_t> prev_, cand_, best_;
};

// Filtered photographs and scans are mostly noise to a match finder: coding only runs (zlib's Z_RLE)
// gives streams 5 to 8 % smaller than full matching, at several times its speed. Drawn pages,
// bilevel and palette images need the matches. Each page takes the coding that wins on a sample.
enum class Coding { Matches, Runs };

std::size_t CompressRuns(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap) {
  z_stream zs{};
  if (deflateInit2(&zs, 6, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) return 0;
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = static_cast<uInt>(n);
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(cap);
  const int rc = deflate(&zs, Z_FINISH);
  const std::size_t size = zs.total_out;
  deflateEnd(&zs);
  return rc == Z_STREAM_END ? size : 0;
}

constexpr std::size_t kTrialSlice = std::size_t{32} << 10, kTrialSlices = 4;
// Images up to this size are coded both ways whole; larger ones are judged on slices.
constexpr std::size_t kWholeTrial = kTrialSlice;

// Up to four slices spread evenly over the image (one per eighth of it at most), coded both ways.
Coding ChooseCoding(libdeflate_compressor* comp, const uint8_t* data, std::size_t n) {
  const std::size_t slice = kTrialSlice, count = std::clamp<std::size_t>(n / (8 * slice), 1, kTrialSlices);
  std::vector<uint8_t> scratch(std::max(libdeflate_zlib_compress_bound(comp, slice), std::size_t{compressBound(slice)}));
  std::size_t matches = 0, runs = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t start = count == 1 ? (n - slice) / 2 : (n - slice) / (count - 1) * k;
    const std::size_t len = slice;
    const std::size_t m = libdeflate_zlib_compress(comp, data + start, len, scratch.data(), scratch.size());
    const std::size_t r = CompressRuns(data + start, len, scratch.data(), scratch.size());
    if (m == 0 || r == 0) return Coding::Matches;
    matches += m;
    runs += r;
  }
  return runs < matches ? Coding::Runs : Coding::Matches;
}

// --- PNG container through libpng. All libpng calls sit in functions that hold no C++ objects with
// destructors, so libpng's longjmp on error skips nothing.

struct PngJob {
  const Page* page = nullptr;
  AtomicOutput* out = nullptr;
  // Metadata.
  std::vector<png_color> palette;
  bool hasPhys = false;
  png_uint_32 physX = 0, physY = 0;
  int physUnit = PNG_RESOLUTION_UNKNOWN;
  const uint8_t* icc = nullptr;
  uint32_t iccSize = 0;
  // Either a finished zlib stream for the IDAT chunks...
  const uint8_t* zdata = nullptr;
  std::size_t zsize = 0;
  // ...or rows handed over one at a time (streaming).
  bool (*nextRow)(void* ctx, uint8_t* row) = nullptr;
  void* rowCtx = nullptr;
  uint8_t* rowBuf = nullptr;
  // Output buffering and errors.
  uint8_t* buf = nullptr;
  std::size_t used = 0, cap = 0;
  bool writeFailed = false, rowFailed = false;
  char pngError[256] = "";
  std::string* writeWhy = nullptr;
};

void SinkFlush(PngJob* job) {
  if (job->used && !job->writeFailed && !job->out->writeAll(job->buf, job->used, *job->writeWhy))
    job->writeFailed = true;
  job->used = 0;
}

void PngWrite(png_structp png, png_bytep data, size_t len) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (job->writeFailed) return;
  if (job->used + len > job->cap) SinkFlush(job);
  if (len > job->cap) {
    if (!job->out->writeAll(data, len, *job->writeWhy)) job->writeFailed = true;
    return;
  }
  std::memcpy(job->buf + job->used, data, len);
  job->used += len;
}

void PngFlushFn(png_structp) {}

void PngErrorFn(png_structp png, png_const_charp msg) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  std::snprintf(job->pngError, sizeof job->pngError, "%s", msg);
  png_longjmp(png, 1);
}

void PngWarningFn(png_structp, png_const_charp) {}

bool RunPngWriter(PngJob* job) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, job, PngErrorFn, PngWarningFn);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  const Page& p = *job->page;
  png_set_benign_errors(png, 1);  // an ICC profile libpng finds unfit is dropped, not fatal
  png_set_write_fn(png, job, PngWrite, PngFlushFn);
  png_set_IHDR(png, info, p.width, p.height, p.depth, p.colorType, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!job->palette.empty())
    png_set_PLTE(png, info, job->palette.data(), static_cast<int>(job->palette.size()));
  if (job->hasPhys) png_set_pHYs(png, info, job->physX, job->physY, job->physUnit);
  if (job->icc) png_set_iCCP(png, info, "ICC Profile", PNG_COMPRESSION_TYPE_BASE, job->icc, job->iccSize);
  const bool subByte = p.colorType == PNG_COLOR_TYPE_PALETTE || p.depth < 8;
  if (!job->zdata) {
    png_set_filter(png, PNG_FILTER_TYPE_BASE, subByte ? PNG_FILTER_NONE : PNG_ALL_FILTERS);
    png_set_compression_level(png, kZlibLevel);
  }
  png_write_info(png, info);
  if (job->zdata) {
    for (std::size_t off = 0; off < job->zsize; off += kIdatChunk)
      png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), job->zdata + off,
                      std::min(kIdatChunk, job->zsize - off));
    png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
  } else {
    for (uint32_t y = 0; y < p.height; ++y) {
      if (!job->nextRow(job->rowCtx, job->rowBuf)) {
        job->rowFailed = true;
        png_destroy_write_struct(&png, &info);
        return false;
      }
      png_write_row(png, job->rowBuf);
    }
    png_write_end(png, info);
  }
  png_destroy_write_struct(&png, &info);
  SinkFlush(job);
  return !job->writeFailed;
}

// The pieces of one conversion, handed to libpng's row callback.
struct Conversion {
  RowReader* reader;
  RowConverter* converter;
  Failure failure{Ok, {}};
  uint32_t y = 0;
  std::vector<const uint8_t*> planes;
};

bool NextRow(Conversion& c, uint8_t* out) {
  const uint32_t* rgba = nullptr;
  if (!c.reader->row(c.y, c.planes.data(), &rgba, c.failure)) return false;
  c.converter->convert(c.planes.data(), rgba, out);
  ++c.y;
  return true;
}

bool NextRowThunk(void* ctx, uint8_t* out) { return NextRow(*static_cast<Conversion*>(ctx), out); }

void ReadMetadata(TIFF* tif, PngJob& job) {
  float xr = 0, yr = 0;
  uint16_t unit = RESUNIT_INCH;
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xr) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yr) &&
      std::isfinite(xr) && std::isfinite(yr) && xr > 0 && yr > 0) {
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    const double factor = unit == RESUNIT_INCH ? 1 / 0.0254 : unit == RESUNIT_CENTIMETER ? 100.0 : 1.0;
    const double px = std::round(xr * factor), py = std::round(yr * factor);
    if (px >= 1 && py >= 1 && px < 2147483647.0 && py < 2147483647.0) {
      job.hasPhys = true;
      job.physX = static_cast<png_uint_32>(px);
      job.physY = static_cast<png_uint_32>(py);
      job.physUnit = unit == RESUNIT_NONE ? PNG_RESOLUTION_UNKNOWN : PNG_RESOLUTION_METER;
    }
  }
  uint32_t iccSize = 0;
  void* icc = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc && iccSize >= 132) {
    job.icc = static_cast<const uint8_t*>(icc);
    job.iccSize = iccSize;
  }
}

int Convert(TIFF* tif, std::size_t pageIndex, const std::string& output, std::string& why) {
  // The whole IFD chain is walked so that a loop or a broken directory marks the file as damaged.
  bool broken = false;
  const std::vector<tdir_t> pages = ListPages(tif, 0, &broken);
  if (broken) {
    why = TiffWhy("the chain of image directories is broken or loops");
    return Damaged;
  }
  if (pages.empty()) {
    why = TiffWhy("the file has no readable page");
    return Damaged;
  }
  if (pageIndex >= pages.size()) {
    why = "the file has " + std::to_string(pages.size()) + " pages, not " + std::to_string(pageIndex + 1);
    return Damaged;
  }
  ClearTiffWarnings();
  if (!TIFFSetDirectory(tif, pages[pageIndex])) {
    why = TiffWhy("cannot read the page's image directory");
    return Damaged;
  }
  Page page;
  if (const int code = Analyse(tif, page, why); code != Ok) return code;
  // Complaints about odd tags do not matter; errors and some warnings while decoding do (below).
  ClearLastTiffError();
  ClearTiffWarnings();
  if (page.pngRowBytes > kMaxRowBytes) {
    why = "the page's rows are wider than the limit of 64 MiB";
    return TooLarge;
  }

  RowReader reader(tif, page);
  Failure failure{Ok, {}};
  if (!reader.init(failure)) {
    why = failure.why;
    return failure.code;
  }
  RowConverter converter(page);

  PngJob job;
  job.page = &page;
  ReadMetadata(tif, job);
  if (page.colorType == PNG_COLOR_TYPE_PALETTE) {
    const std::size_t entries = std::size_t{1} << page.bps;
    for (std::size_t i = 0; i < entries; ++i)
      job.palette.push_back({static_cast<png_byte>(MapEntry(page.cmapR[i], page.cmap8, 255)),
                             static_cast<png_byte>(MapEntry(page.cmapG[i], page.cmap8, 255)),
                             static_cast<png_byte>(MapEntry(page.cmapB[i], page.cmap8, 255))});
  }

  Conversion conv{&reader, &converter, {Ok, {}}, 0, {}};
  conv.planes.assign(page.spp, nullptr);
  std::vector<uint8_t> pngRow(page.pngRowBytes + kSlack);

  // Small enough: filter everything into memory and compress it in one call with libdeflate.
  const uint64_t filteredSize = uint64_t{page.height} * (page.pngRowBytes + 1);
  std::unique_ptr<uint8_t[]> zlib;
  std::size_t zlibCap = 0;
  if (filteredSize <= kMaxInMemoryImage && !g_forceStreaming) {
    // Every byte is written before it is read: no zero fill (it costs as much as the filtering).
    const std::size_t filteredBytes = static_cast<std::size_t>(filteredSize);
    std::unique_ptr<uint8_t[]> filtered(new uint8_t[filteredBytes]);
    const bool subByte = page.colorType == PNG_COLOR_TYPE_PALETTE || page.depth < 8;
    RowFilter filter(page.pngRowBytes, std::max(1, page.channels * page.depth / 8), !subByte);
    for (uint32_t y = 0; y < page.height; ++y) {
      if (!NextRow(conv, pngRow.data())) {
        why = conv.failure.why;
        return conv.failure.code;
      }
      filter.filter(pngRow.data(), filtered.get() + std::size_t{y} * (page.pngRowBytes + 1));
    }
    // libtiff reports some damage (missing rows, bad codes) as an error or warning yet returns data.
    if (const std::string damage = DecodeDamage(); !damage.empty()) {
      why = damage;
      return Damaged;
    }
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> comp(
        libdeflate_alloc_compressor(page.depth == 8 && page.channels >= 3 ? kDeflateLevelColour8 : kDeflateLevel),
        libdeflate_free_compressor);
    if (!comp) {
      why = "out of memory";
      return TooLarge;
    }
    zlibCap = std::max<std::size_t>(libdeflate_zlib_compress_bound(comp.get(), filteredBytes),
                                    compressBound(static_cast<uLong>(filteredBytes)));
    zlib.reset(new uint8_t[zlibCap]);
    std::size_t n = 0;
    if (filteredBytes <= kWholeTrial) {
      // Small enough to code both ways whole and keep the smaller.
      std::unique_ptr<uint8_t[]> runs(new uint8_t[zlibCap]);
      n = libdeflate_zlib_compress(comp.get(), filtered.get(), filteredBytes, zlib.get(), zlibCap);
      const std::size_t r = CompressRuns(filtered.get(), filteredBytes, runs.get(), zlibCap);
      if (r != 0 && (n == 0 || r < n)) {
        zlib = std::move(runs);
        n = r;
      }
    } else if (ChooseCoding(comp.get(), filtered.get(), filteredBytes) == Coding::Runs) {
      n = CompressRuns(filtered.get(), filteredBytes, zlib.get(), zlibCap);
    } else {
      n = libdeflate_zlib_compress(comp.get(), filtered.get(), filteredBytes, zlib.get(), zlibCap);
    }
    if (n == 0) {
      why = "compression failed";
      return WriteFailed;
    }
    job.zdata = zlib.get();
    job.zsize = n;
  } else {
    job.nextRow = NextRowThunk;
    job.rowCtx = &conv;
    job.rowBuf = pngRow.data();
  }

  AtomicOutput out(output);
  if (!out.open(why)) return WriteFailed;
  // Small pieces (chunk headers, CRCs, streamed rows) are gathered; IDAT pieces go straight out.
  constexpr std::size_t kSinkBytes = std::size_t{64} << 10;
  std::unique_ptr<uint8_t[]> sinkBuf(new uint8_t[kSinkBytes]);
  std::string writeWhy;
  job.out = &out;
  job.buf = sinkBuf.get();
  job.cap = kSinkBytes;
  job.writeWhy = &writeWhy;
  if (!RunPngWriter(&job)) {
    if (job.rowFailed) {
      why = conv.failure.why;
      return conv.failure.code;
    }
    why = job.writeFailed ? writeWhy : std::string("PNG writer: ") + job.pngError;
    return WriteFailed;
  }
  if (const std::string damage = DecodeDamage(); !damage.empty()) {
    why = damage;
    return Damaged;
  }
  if (!out.commit(why)) return WriteFailed;
  return Ok;
}

}  // namespace

void ForceStreamingWriterForTesting(bool on) { g_forceStreaming = on; }

std::string PngPathFor(const std::string& input) {
  const std::string name = FileNamePart(input);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return input + ".png";
  return FolderPart(input) + name.substr(0, dot) + ".png";
}

int ConvertFirstPageToPng(const std::string& input, const std::string& output, std::string& why) {
  return ConvertPageToPng(input, 0, output, why);
}

int ConvertPageToPng(const std::string& input, std::size_t pageIndex, const std::string& output, std::string& why) {
  InstallTiffHandlers();
  int code = Ok;
  TIFF* tif = OpenTiffForReading(input, code, why);
  if (!tif) return code;
  try {
    code = Convert(tif, pageIndex, output, why);
  } catch (const std::bad_alloc&) {
    why = "out of memory";
    code = TooLarge;
  }
  TIFFClose(tif);
  return code;
}

}  // namespace tovanel::tools
