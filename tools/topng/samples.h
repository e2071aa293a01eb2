// Sample mapping: signed, wider-than-16-bit and floating-point samples as the unsigned samples a PNG holds.
#pragma once

#include "page.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tovanel::tools::topng {

// Decides how the page's stored samples reach the colour conversion (Page::map) and, for mapped
// samples, the samples the conversion reads (bps, spp, planar), the tagged float range and the
// no-data value. Call after the colour model and alpha are known.
Failure ChooseSampleMap(TIFF* tif, Page& p);

// Maps one row of stored samples, as RowReader hands them out, in place (FlipSign) or into a
// contiguous row of its own that planes[0] then points to (Mapped).
class SampleMapper {
 public:
  explicit SampleMapper(const Page& p);
  void map(const uint8_t** planes);

  // The stored sample s of pixel x as a double (integers exactly up to 2^53), and whether the
  // pixel's colour samples all hold the no-data value.
  double value(const uint8_t* const* planes, uint32_t x, int s) const;
  bool noData(const uint8_t* const* planes, uint32_t x) const;

 private:
  uint64_t bits(const uint8_t* const* planes, uint32_t x, int s) const;
  uint32_t mapped(const uint8_t* const* planes, uint32_t x, int s) const;

  const Page& p_;
  bool separate_;
  bool float_, signed_;
  double span_;  // floating point: hi - lo
  std::vector<uint8_t> row_;
};

// A floating-point page whose range is not tagged: a first pass over its rows, one band at a time,
// finds its finite samples' minimum and maximum (no-data samples left out). The range is then
// [0, 1] when every such sample lies in it, else [minimum, maximum].
Failure FindFloatRange(TIFF* tif, Page& p);

}  // namespace tovanel::tools::topng
