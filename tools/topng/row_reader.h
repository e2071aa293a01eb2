// Row decoding: hands out a page's rows in order, decoding one strip, tile row or band at a time.
#pragma once

#include "page.h"

#include <cstdint>
#include <vector>

namespace tovanel::tools::topng {

class RowReader {
 public:
  RowReader(TIFF* tif, const Page& p) : tif_(tif), p_(p) {}
  ~RowReader();
  RowReader(const RowReader&) = delete;
  RowReader& operator=(const RowReader&) = delete;

  // Checks the page's bands against the memory bounds and allocates them.
  Failure init();
  // Row y's samples: planes[0] for a contiguous page, planes[0..spp-1] for a separate one, or *rgba
  // for a page read through libtiff's RGBA interface. Rows must be asked for in order.
  Failure row(uint32_t y, const uint8_t** planes, const uint32_t** rgba);
  // Whether any run of whole bands can be decoded on its own, by a reader of its own (strips or tile
  // rows, not libtiff's RGBA interface nor one line at a time), and the rows of a band.
  bool bandsStandAlone() const { return !rgbaOpen_ && !scanline_; }
  uint32_t bandRows() const { return band_; }
  uint64_t bandBytes() const { return uint64_t{band_} * planeRowBytes_ * planes_; }

 private:
  Failure initRgba();
  Failure initTiles(uint64_t samplesPerPlanePixel);
  Failure initStrips();
  Failure load(uint32_t y);
  Failure loadTiles(uint32_t y);
  Failure fail();

  TIFF* tif_;
  const Page& p_;
  bool separate_ = false, scanline_ = false, rgbaOpen_ = false;
  bool direct_ = false;  // tiles decoded straight into the band (a page one tile wide)
  int planes_ = 1;
  uint64_t planeRowBytes_ = 0;
  uint64_t rowStride_ = 0, planeStride_ = 0;  // bytes from one row, and one plane, of the band to the next
  uint32_t band_ = 1, bandStart_ = 0, bandRows_ = 0;
  std::vector<uint8_t> bandBuf_, tileBuf_;
  TIFFRGBAImage rgba_{};
  std::vector<uint32_t> raster_;
};

}  // namespace tovanel::tools::topng
