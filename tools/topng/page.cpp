// Page analysis: the layout checks, the colour model and the choice of PNG format for one page.
#include "page.h"

#include "samples.h"
#include "topng.h"

#include <algorithm>
#include <vector>

namespace tovanel::tools::topng {

namespace {

bool NamedPhotometric(uint16_t ph) {
  return ph <= PHOTOMETRIC_ITULAB || ph == PHOTOMETRIC_CFA || ph == PHOTOMETRIC_LOGL || ph == PHOTOMETRIC_LOGLUV ||
         ph == 34892 /* linear raw */ || ph == 51177 /* depth */;
}

bool WarnedAbout(const char* text) {
  for (const std::string& w : TiffWarnings())
    if (w.find(text) != std::string::npos) return true;
  return false;
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


// Size, samples, compression and the photometric interpretation (or the one the data implies).
Failure ReadSampleLayout(TIFF* tif, Page& p) {
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height) ||
      p.width == 0 || p.height == 0) {
    return {Damaged, "the page has no valid image size"};
  }
  if (uint64_t{p.width} * p.height > kMaxPixels) {
    return {TooLarge, "the page is " + std::to_string(p.width) + " x " + std::to_string(p.height) +
                          " pixels, more than the limit of 2^31 pixels"};
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &p.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &p.sampleFormat);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &p.planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &p.compression);
  // LogL/LogLuv pages are rendered by libtiff's RGBA interface, whatever their samples decode to.
  uint16_t ph = 0;
  const bool logLuv =
      TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &ph) && (ph == PHOTOMETRIC_LOGL || ph == PHOTOMETRIC_LOGLUV);
  const bool floating = p.sampleFormat == SAMPLEFORMAT_IEEEFP;
  if (!logLuv && p.sampleFormat != SAMPLEFORMAT_UINT && p.sampleFormat != SAMPLEFORMAT_VOID &&
      p.sampleFormat != SAMPLEFORMAT_INT && !floating) {
    return {Unsupported, "complex samples are not supported"};
  }
  if (!logLuv && (p.bps == 0 || p.bps > 64 || (floating && p.bps != 16 && p.bps != 24 && p.bps != 32 && p.bps != 64))) {
    return {Unsupported, std::to_string(p.bps) + "-bit " + (floating ? "floating-point" : "integer") +
                             " samples are not supported (1 to 64 bits are; floating point of 16, 24, 32 or 64)"};
  }
  if (p.spp == 0) return {Damaged, "the page has no samples"};
  if (!TIFFIsCODECConfigured(p.compression)) {
    return {Unsupported, "compression " + std::to_string(p.compression) + " is not supported by libtiff"};
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
  p.storedBps = p.bps;
  p.storedSpp = p.spp;
  p.storedPlanar = p.planar;
  return {};
}

// The bytes the rows of strip k need.
uint64_t StripNeed(TIFF* tif, const Page& p, uint64_t k, uint64_t perPlane) {
  const uint64_t first = (k % perPlane) * p.rowsPerStrip;
  return TIFFVStripSize64(tif, static_cast<uint32_t>(std::min<uint64_t>(p.rowsPerStrip, p.height - first)));
}

std::string OverlapWhy(uint64_t k, uint64_t need) {
  return "strip " + std::to_string(k) + " overlaps the next strip's data (its rows need " + std::to_string(need) +
         " bytes)";
}

// Strips out of file order are checked on a sorted copy of their starts, 16 bytes a strip; beyond
// this many (a page of 16 million rows at one row a strip) the copy would break the memory bound.
constexpr uint64_t kMaxUnorderedStrips = uint64_t{1} << 24;

// Uncompressed strips are read as long as their rows need, whatever their byte counts say (those
// are often wrong and libtiff repairs them); a strip whose rows would run into the next strip's
// data would show that strip's pixels. Strips stored in file order (as nearly every writer stores
// them) are checked in one pass from the end without a copy of the table, whatever its length.
Failure CheckStripOverlap(TIFF* tif, const Page& p, uint64_t expected, uint64_t planes) {
  const uint64_t perPlane = expected / planes;
  bool ordered = true;
  for (uint64_t k = 1; k < expected && ordered; ++k)
    ordered = TIFFGetStrileOffset(tif, static_cast<uint32_t>(k - 1)) <=
              TIFFGetStrileOffset(tif, static_cast<uint32_t>(k));
  if (ordered) {
    // The next larger start of strip k is the first start after it that differs from its own.
    uint64_t next = UINT64_MAX;
    for (uint64_t k = expected; k-- > 0;) {
      const uint64_t start = TIFFGetStrileOffset(tif, static_cast<uint32_t>(k));
      if (k + 1 < expected && TIFFGetStrileOffset(tif, static_cast<uint32_t>(k + 1)) > start)
        next = TIFFGetStrileOffset(tif, static_cast<uint32_t>(k + 1));
      const uint64_t need = StripNeed(tif, p, k, perPlane);
      if (next != UINT64_MAX && start + need > next) return {Damaged, OverlapWhy(k, need)};
    }
    return {};
  }
  if (expected > kMaxUnorderedStrips) {
    return {TooLarge, "the page's " + std::to_string(expected) +
                          " uncompressed strips are out of file order; more than " +
                          std::to_string(kMaxUnorderedStrips) + " such strips are beyond the memory limit"};
  }
  std::vector<uint64_t> starts(expected);
  for (uint64_t k = 0; k < expected; ++k) starts[k] = TIFFGetStrileOffset(tif, static_cast<uint32_t>(k));
  std::vector<uint64_t> sorted = starts;
  std::sort(sorted.begin(), sorted.end());
  for (uint64_t k = 0; k < expected; ++k) {
    const uint64_t need = StripNeed(tif, p, k, perPlane);
    const auto next = std::upper_bound(sorted.begin(), sorted.end(), starts[k]);
    if (next != sorted.end() && starts[k] + need > *next) return {Damaged, OverlapWhy(k, need)};
  }
  return {};
}

// The strip or tile layout, checked so that no row can be taken from another row's data.
Failure CheckStripsAndTiles(TIFF* tif, Page& p) {
  p.tiled = TIFFIsTiled(tif);
  if (p.tiled) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &p.tileW);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &p.tileH);
    if (p.tileW == 0 || p.tileH == 0) return {Damaged, "invalid tile size"};
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &p.rowsPerStrip);
    p.rowsPerStrip = std::clamp<uint32_t>(p.rowsPerStrip, 1, p.height);
    // Which strip holds which rows of which plane follows from the strip count; a table of another
    // length (libtiff accepts one) would put one plane's rows into another.
    const uint64_t planes = p.planar == PLANARCONFIG_SEPARATE ? p.spp : 1;
    const uint64_t expected = planes * ((uint64_t{p.height} + p.rowsPerStrip - 1) / p.rowsPerStrip);
    if (TIFFNumberOfStrips(tif) != expected) {
      return {Damaged, "the page has " + std::to_string(TIFFNumberOfStrips(tif)) +
                           " strips where its size and rows per strip give " + std::to_string(expected)};
    }
    // (Planar subsampled YCbCr, whose planes differ in size, is refused below.)
    const bool subsampledPlanes = planes > 1 && p.photometric == PHOTOMETRIC_YCBCR;
    if (p.compression == COMPRESSION_NONE && expected > 1 && !subsampledPlanes)
      return CheckStripOverlap(tif, p, expected, planes);
  }
  return {};
}

// L*a*b*, LogL/LogLuv and photometric values libtiff does not name.
Failure ReadOtherColourModel(Page& p) {
  switch (p.photometric) {
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB:
      if ((p.bps != 8 && p.bps != 16) || p.sampleFormat == SAMPLEFORMAT_IEEEFP || p.spp < 3) {
        return {Unsupported, "CIE L*a*b* pages of other than three 8- or 16-bit integer samples are not supported"};
      }
      p.kind = Kind::Lab;
      p.colourSamples = 3;
      break;
    case PHOTOMETRIC_LOGL:
    case PHOTOMETRIC_LOGLUV:
      p.kind = Kind::RgbaImage;
      p.colourSamples = p.photometric == PHOTOMETRIC_LOGL ? 1 : 3;
      break;
    default:
      if (NamedPhotometric(p.photometric)) {
        return {Unsupported, "photometric interpretation " + std::to_string(p.photometric) + " is not supported"};
      }
      // A value libtiff does not know: the samples read as grey or RGB, as other readers take them.
      p.kind = p.spp >= 3 ? Kind::Rgb : Kind::Grey;
      p.colourSamples = p.spp >= 3 ? 3 : 1;
      break;
  }
  return {};
}

Failure ReadColourModel(TIFF* tif, Page& p) {
  // libtiff drops a colour map of the wrong length with a warning and then reads a palette page as
  // grey or RGB: the page's colours are lost, and any image made of it would be invented.
  {
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) && WarnedAbout("\"ColorMap\"")) {
      return {Damaged, "the page's colour map is damaged (libtiff ignored it)"};
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
        return {Damaged, "palette image without a colour map"};
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
      if (inkset != INKSET_CMYK) return {Unsupported, "separated images with inks other than CMYK are not supported"};
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
      if (Failure f = ReadOtherColourModel(p); !f.ok()) return f;
      break;
  }
  if (p.spp < p.colourSamples) return {Damaged, "the page has fewer samples than its colour model needs"};
  return {};
}

// YCbCr pages other than JPEG-compressed contiguous ones, and LogL/LogLuv pages, go through
// libtiff's RGBA interface: RGB 8, or grey 8 for LogL.
Failure ChooseRgbaImage(TIFF* tif, Page& p) {
  char emsg[1024] = "";
  const bool ycbcr = p.photometric == PHOTOMETRIC_YCBCR;
  if ((ycbcr && p.bps != 8) || !TIFFRGBAImageOK(tif, emsg)) {
    return {Unsupported,
            std::string(ycbcr ? "cannot decode this YCbCr page: " : "cannot decode this LogL/LogLuv page: ") +
                (*emsg ? emsg : "unsupported layout")};
  }
  const bool grey = p.photometric == PHOTOMETRIC_LOGL;
  p.colorType = grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB;
  p.depth = 8;
  p.channels = grey ? 1 : 3;
  p.mode = grey ? RowMode::FromRgbaGrey : RowMode::FromRgba;
  p.pngRowBytes = std::size_t{p.width} * p.channels;
  return {};
}

// The first extra sample is alpha when marked so; an unmarked fourth sample of RGB is alpha too.
void ReadAlpha(TIFF* tif, Page& p) {
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
}

void ChoosePngFormat(Page& p) {
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
}

}  // namespace

std::string TiffWhy(const char* fallback) {
  const std::string e = LastTiffError();
  return e.empty() ? std::string(fallback) : e;
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

Failure AnalysePage(TIFF* tif, Page& p) {
  if (Failure f = ReadSampleLayout(tif, p); !f.ok()) return f;
  if (Failure f = CheckStripsAndTiles(tif, p); !f.ok()) return f;
  if (Failure f = ReadColourModel(tif, p); !f.ok()) return f;
  if (p.kind == Kind::RgbaImage) return ChooseRgbaImage(tif, p);
  ReadAlpha(tif, p);
  if (Failure f = ChooseSampleMap(tif, p); !f.ok()) return f;
  ChoosePngFormat(p);
  return {};
}

}  // namespace tovanel::tools::topng
