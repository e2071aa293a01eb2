// A held page decoded, converted and filtered in runs of bands, as jobs on the pool in any order.
#include "decode_bands.h"

#include "row_converter.h"
#include "samples.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace tovanel::tools::topng {

namespace {

constexpr std::size_t kBandBytes = std::size_t{256} << 10;
// Wider rows are decoded by the caller alone (each job keeps one).
constexpr std::size_t kMaxRowBytes = std::size_t{1} << 20;
// Each job's reader holds a band of its own: larger bands are decoded by the caller alone.
constexpr uint64_t kMaxJobBandBytes = uint64_t{16} << 20;
// Each handle holds the page's strip or tile table (16 bytes an entry): pages with larger tables are
// decoded by the caller alone, so the copies cannot take much memory.
constexpr uint64_t kMaxCopyTableBytes = uint64_t{1} << 20;
// A job keeps its last row for the next: at least 8 rows a job bound those rows to an eighth of
// the page.
constexpr uint32_t kMinJobRows = 8;

bool SameFile(TIFF* a, TIFF* b) {
  struct stat sa {}, sb {};
  return ::fstat(TIFFFileno(a), &sa) == 0 && ::fstat(TIFFFileno(b), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

BandDecoder::BandDecoder(engine::Pool& pool, const Page& page, TIFF* tif, const std::string& path,
                         const RowReader& reader)
    : pool_(pool), page_(page) {
  // Old-style JPEG reads its strips in order only; a Lab page's colour transform is not shared.
  const uint64_t filteredBytes = uint64_t{page.height} * (page.pngRowBytes + 1);
  if (pool.threads() < 2 || filteredBytes < kParallelDeflateMin || page.pngRowBytes > kMaxRowBytes ||
      !reader.bandsStandAlone() || reader.bandBytes() > kMaxJobBandBytes || page.kind == Kind::Lab ||
      page.compression == COMPRESSION_OJPEG ||
      uint64_t{TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif)} * 16 > kMaxCopyTableBytes)
    return;
  const uint32_t unit = std::max<uint32_t>(1, reader.bandRows());
  const uint64_t wanted = std::max<uint64_t>(kMinJobRows, kBandBytes / (page.pngRowBytes + 1) + 1);
  const uint32_t rows = static_cast<uint32_t>(std::min<uint64_t>((wanted + unit - 1) / unit * unit, page.height));
  if (rows >= page.height) return;
  earlier_ = DecodeDamage();
  const tdir_t dir = TIFFCurrentDirectory(tif);
  free_.push_back(tif);
  for (unsigned i = 1; i < pool.threads(); ++i) {
    TiffPtr copy = OpenTiffForReading(path).value;
    if (!copy || !SameFile(copy.get(), tif) || !TIFFSetDirectory(copy.get(), dir)) {
      if (earlier_.empty()) ClearLastTiffError();
      return;
    }
    // The colour mode the page was analysed with (libjpeg's conversion to RGB) holds for the copy too.
    int mode = JPEGCOLORMODE_RAW;
    if (page.compression == COMPRESSION_JPEG && TIFFGetField(tif, TIFFTAG_JPEGCOLORMODE, &mode))
      TIFFSetField(copy.get(), TIFFTAG_JPEGCOLORMODE, mode);
    free_.push_back(copy.get());
    copies_.push_back(std::move(copy));
  }
  for (uint32_t y = 0; y < page.height; y += rows) {
    jobs_.emplace_back();
    jobs_.back().firstY = y;
    jobs_.back().rows = std::min(rows, page.height - y);
  }
  ready_ = true;
}

void BandDecoder::decode(Job& job, TIFF* tif, uint8_t* filtered) {
  ClearLastTiffError();
  ClearTiffWarnings();
  RowReader reader(tif, page_);
  if (job.failure = reader.init(); !job.failure.ok()) return;
  std::unique_ptr<SampleMapper> mapper(page_.map != SampleMap::None ? new SampleMapper(page_) : nullptr);
  const RowConverter converter(page_);
  RowFilter filter = FilterFor(page_);
  const std::size_t n = page_.pngRowBytes;
  std::vector<uint8_t> row(n + kSlack);
  std::vector<const uint8_t*> planes(page_.storedSpp, nullptr);
  for (uint32_t y = job.firstY; y < job.firstY + job.rows; ++y) {
    const uint32_t* rgba = nullptr;
    if (job.failure = reader.row(y, planes.data(), &rgba); !job.failure.ok()) return;
    if (mapper) mapper->map(planes.data());
    converter.convert(planes.data(), rgba, row.data());
    uint8_t* out = filtered + std::size_t{y} * (n + 1);
    if (y == job.firstY) {
      // Waits in its place, unfiltered, for the row above it.
      std::memcpy(out + 1, row.data(), n);
      filter.setPrevious(row.data());
    } else {
      filter.filter(row.data(), out);
    }
  }
  job.last.assign(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(n));
  job.error = LastTiffError();
  job.damage = DecodeDamage();
}

Failure BandDecoder::run(uint8_t* filtered) {
  {
    engine::Batch batch(pool_);
    for (Job& job : jobs_)
      batch.add([this, &job, filtered] {
        TIFF* tif;
        {
          const std::lock_guard<std::mutex> hold(lock_);
          tif = free_.back();
          free_.pop_back();
        }
        decode(job, tif, filtered);
        const std::lock_guard<std::mutex> hold(lock_);
        free_.push_back(tif);
      });
    batch.wait();
    if (batch.failed()) throw std::bad_alloc();
  }
  // What a pass in order would meet: the first failure; else libtiff's last error; else the first
  // damage it warned of.
  ClearLastTiffError();
  ClearTiffWarnings();
  std::string error = earlier_, damage;
  for (const Job& job : jobs_) {
    if (!job.failure.ok()) return job.failure;
    if (!job.error.empty()) error = job.error;
    if (damage.empty()) damage = job.damage;
  }
  if (!error.empty() || !damage.empty()) return {Damaged, error.empty() ? damage : error};
  const std::size_t n = page_.pngRowBytes;
  RowFilter filter = FilterFor(page_);
  std::vector<uint8_t> first(n);
  const std::vector<uint8_t> top(n, 0);
  for (std::size_t j = 0; j < jobs_.size(); ++j) {
    uint8_t* out = filtered + std::size_t{jobs_[j].firstY} * (n + 1);
    std::memcpy(first.data(), out + 1, n);
    filter.setPrevious(j == 0 ? top.data() : jobs_[j - 1].last.data());
    filter.filter(first.data(), out);
  }
  return {};
}

}  // namespace tovanel::tools::topng
