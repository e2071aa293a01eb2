// Filters a held page's rows on other threads while the caller decodes the next ones, and on the
// caller's thread too whenever it would otherwise wait for a free band.
#pragma once

#include "page.h"
#include "encode.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tovanel::tools::topng {

// Whether a held page of filteredBytes is filtered on helper threads while it is decoded: a filtered
// page of 1 MiB or more, on two cores or more, with rows narrow enough for bands.
bool FiltersOnHelpers(const Page& page, std::size_t filteredBytes);

// The rows go in bands; each band is filtered with a copy of the row above it as the previous row,
// so the filtered image is byte for byte the one a single pass over the rows makes. Memory: two bands
// per helper and two more, each about 256 KiB (at least two rows).
class FilterPipeline {
 public:
  // Rows wider than this are filtered on the caller's thread (a band would be too large).
  static constexpr std::size_t kMaxRowBytes = std::size_t{1} << 20;

  // filtered receives page.height rows of pngRowBytes + 1 bytes; helpers > 0. With ahead, the helpers
  // step its work whenever no band waits, as the filtered rows become complete from the top.
  FilterPipeline(const Page& page, uint8_t* filtered, unsigned helpers, CodingAhead* ahead = nullptr);
  ~FilterPipeline();
  FilterPipeline(const FilterPipeline&) = delete;
  FilterPipeline& operator=(const FilterPipeline&) = delete;

  // Where the caller decodes the next row (pngRowBytes + kSlack bytes); then rowDone().
  uint8_t* nextRow();
  void rowDone();
  // Waits until every row handed over is filtered.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tovanel::tools::topng
