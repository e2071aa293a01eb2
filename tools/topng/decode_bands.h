// Decodes, converts and filters a held page's rows in bands on the pool.
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

// libtiff decodes a page on one thread per handle. So each job decodes a run of whole strips or tile
// rows (at least 256 KiB of rows) through a TIFF handle of its own, converts its rows and filters
// them, all but the first, whose row above belongs to the job before: those are filtered last, from
// the last row each job keeps. The filtered image is byte for byte the one a pass in order makes, and
// so is the failure or the damage libtiff reported. ready() says whether the page qualifies (a held
// page of 1 MiB or more, two threads or more, rows of at most 1 MiB, bands its reader can decode on
// their own) and its handles opened; run() is then its whole decoding.
class BandDecoder {
 public:
  // reader: the page's own reader, initialised, for its band layout; tif was opened from path.
  BandDecoder(engine::Pool& pool, const Page& page, TIFF* tif, const std::string& path, const RowReader& reader);
  bool ready() const { return ready_; }
  Failure run(uint8_t* filtered);

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
