// Filters a held page's rows in bands on the pool while the caller decodes the next ones.
#pragma once

#include "encode.h"
#include "engine/engine.h"
#include "page.h"
#include "row_reader.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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

// The same filtered image with the decoding on the pool too: each job decodes a run of whole bands
// (strips, tile rows) through a TIFF handle of its own, converts and filters its rows, all but the
// first, whose row above belongs to the job before; those are filtered last, from the row above each
// job keeps. libtiff decodes one page on one thread per handle, so this is how a page's decoding
// gets every core. ready() says whether the page qualifies and its handles opened; run() is then the
// whole decoding, and its failure or the damage libtiff reported is the one a pass in order meets.
class BandDecoder {
 public:
  // reader: the page's own reader, initialised, for its band layout; tif was opened from path.
  BandDecoder(engine::Pool& pool, const Page& page, TIFF* tif, const std::string& path, const RowReader& reader);
  bool ready() const { return ready_; }
  bool run(uint8_t* filtered, Failure& f);

 private:
  struct Job {
    uint32_t firstY = 0, rows = 0;
    std::vector<uint8_t> last;  // the job's last row before filtering: the next job's row above
    Failure failure{Ok, {}};
    std::string error, damage;  // libtiff's last error while decoding; damage it warned of
  };
  void decode(Job& job, TIFF* tif, uint8_t* filtered);

  engine::Pool& pool_;
  const Page& page_;
  std::vector<TiffPtr> copies_;
  std::mutex lock_;
  std::vector<TIFF*> free_;  // the handles no job holds, under lock_
  std::vector<Job> jobs_;
  std::string earlier_;  // damage libtiff reported on this thread before the decoding
  bool ready_ = false;
};

}  // namespace tovanel::tools::topng
