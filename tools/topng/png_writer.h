// PNG writing: the PNG container through libpng, from a finished zlib stream or row by row.
#pragma once

#include "page.h"

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tovanel::tools::topng {

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

// Reads the resolution (pHYs) and ICC profile (iCCP) of the current page, and the palette.
void ReadMetadata(TIFF* tif, PngJob& job);

// Writes the PNG of job; false on failure (rowFailed, writeFailed or pngError tell which). All
// libpng calls sit in functions that hold no C++ objects with destructors, so libpng's longjmp on
// error skips nothing.
bool RunPngWriter(PngJob* job);

}  // namespace tovanel::tools::topng
