// What the converter knows about one TIFF page: its layout, colour model and the PNG it becomes.
#pragma once

#include "tiffcommon.h"

#include <png.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovanel::tools::topng {

// Band buffers get slack so that bit extraction may read a few bytes past a row's end.
inline constexpr std::size_t kSlack = 8;

enum class Kind { Grey, Palette, Rgb, Cmyk, Lab, RgbaImage };
enum class RowMode { CopyPacked, Copy16, Select8, Select16, General, FromRgba, FromRgbaGrey };

// How stored samples reach the colour conversion: as they are; signed 8- and 16-bit samples with
// their sign bit flipped in place (offset by half the range); or each mapped to an unsigned sample
// of bps bits in a contiguous row of its own (wider integers, floating point, no-data values).
enum class SampleMap { None, FlipSign, Mapped };

// bps, spp and planar describe the samples the colour conversion reads; the stored ones differ
// from them only for mapped samples (SampleMap::Mapped).
struct Page {
  uint32_t width = 0, height = 0;
  uint16_t bps = 1, spp = 1, photometric = 0, planar = PLANARCONFIG_CONTIG, compression = 1;
  uint16_t storedBps = 1, storedSpp = 1, storedPlanar = PLANARCONFIG_CONTIG;
  uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  SampleMap map = SampleMap::None;
  // Floating point: [lo, hi] goes linearly to [0, 65535] (see FindFloatRange).
  bool rangeTagged = false;
  double lo = 0, hi = 1;
  // GDAL's no-data value: pixels whose colour samples all hold it become transparent.
  bool hasNoData = false, noDataAlpha = false;  // noDataAlpha: the alpha channel is there for no-data alone
  double noData = 0;
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

// Reads the current directory of tif into p and chooses the PNG it becomes.
Failure AnalysePage(TIFF* tif, Page& p);

// libtiff's last error, or fallback when it reported none.
std::string TiffWhy(const char* fallback);

// Damage libtiff reported while decoding (an error, or a warning about data it made up); empty if none.
std::string DecodeDamage();

}  // namespace tovanel::tools::topng
