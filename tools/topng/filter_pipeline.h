// Filters a held page's rows in bands on the pool while the caller decodes the next ones.
#pragma once

#include "encode.h"
#include "engine/engine.h"
#include "page.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tovanel::tools::topng {

// Whether a held page of filteredBytes is filtered in bands on the pool while it is decoded: a
// filtered page of 1 MiB or more, on two threads or more, with rows narrow enough for bands.
bool FiltersInBands(const Page& page, std::size_t filteredBytes, unsigned threads);

// The rows go in bands of about 256 KiB (at least two rows); each band is a job that filters it with a
// copy of the row above it as the previous row, so the filtered image is byte for byte the one a
// single pass over the rows makes. Memory: two bands per thread and two more.
class FilterPipeline {
 public:
  // Rows wider than this are filtered on the caller's thread (a band would be too large).
  static constexpr std::size_t kMaxRowBytes = std::size_t{1} << 20;

  // filtered receives page.height rows of pngRowBytes + 1 bytes.
  FilterPipeline(engine::Pool& pool, const Page& page, uint8_t* filtered);

  // Where the caller decodes the next row (pngRowBytes + kSlack bytes); then rowDone(). While no band
  // is free, the caller filters waiting bands itself.
  uint8_t* nextRow();
  void rowDone();
  // Waits until every row handed over is filtered. The band jobs can fail only for want of memory:
  // then, and in nextRow(), std::bad_alloc.
  void finish();

 private:
  struct Band {
    std::vector<uint8_t> rows;  // the row above, then up to `capacity_` rows, each `stride_` bytes
    uint32_t firstY = 0, count = 0;
  };

  void submit();

  const Page& page_;
  uint8_t* filtered_;
  std::size_t stride_;
  uint32_t capacity_;
  std::vector<std::unique_ptr<Band>> bands_;
  std::vector<Band*> free_;  // under the pool's lock once jobs run
  Band* current_ = nullptr;
  uint32_t y_ = 0;
  std::vector<uint8_t> above_;  // the last row handed over: the row above the next band
  engine::Batch batch_;         // last: its jobs end before the bands go
};

}  // namespace tovanel::tools::topng
