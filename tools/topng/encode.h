// Filtering and deflate coding: PNG row filters and the zlib stream of a page, held or streamed.
#pragma once

#include "deflate_parallel.h"
#include "page.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tovanel::tools::topng {

// PNG row filtering as libpng does it: none for palette and sub-byte images, otherwise per row the
// filter whose output has the smallest sum of absolute (signed) values.
class RowFilter {
 public:
  RowFilter(std::size_t rowBytes, std::size_t bpp, bool adaptive)
      : n_(rowBytes), bpp_(bpp), adaptive_(adaptive), prev_(rowBytes, 0), cand_(rowBytes), best_(rowBytes) {}

  // The row above the next one filtered (a row of zeros at the top of the image).
  void setPrevious(const uint8_t* row) { std::memcpy(prev_.data(), row, n_); }

  // Writes the filter byte and the filtered row to out (n+1 bytes); row becomes the previous row.
  void filter(const uint8_t* row, uint8_t* out) {
    if (!adaptive_) {
      out[0] = 0;
      std::memcpy(out + 1, row, n_);
      return;
    }
    uint64_t bestSum = UINT64_MAX;
    int bestType = 0;
    for (int type = 0; type < 5; ++type) {
      const uint64_t sum = apply(type, row, cand_.data(), bestSum);
      if (sum < bestSum) {
        bestSum = sum;
        bestType = type;
        std::swap(cand_, best_);
      }
    }
    out[0] = static_cast<uint8_t>(bestType);
    std::memcpy(out + 1, best_.data(), n_);
    std::memcpy(prev_.data(), row, n_);
  }

 private:
  static inline uint32_t Cost(uint8_t v) { return v < 128 ? v : 256u - v; }
  // Branch-free, so that the compiler can vectorise the row loop.
  static inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    const int bc = pb <= pc ? b : c;
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : bc);
  }

  // Filters with the given type; stops early (returning the partial sum) once it reaches limit. The
  // row goes in blocks whose inner loops have no exits, and the bytes before the first full pixel
  // (no left neighbour) go first.
  uint64_t apply(int type, const uint8_t* row, uint8_t* o, uint64_t limit) const {
    const uint8_t* up = prev_.data();
    const std::size_t n = n_, bpp = std::min(bpp_, n_);
    uint64_t sum = 0;
    for (std::size_t i = 0; i < bpp; ++i) {
      const uint8_t pred = type == 2 || type == 4 ? up[i] : type == 3 ? static_cast<uint8_t>(up[i] >> 1) : 0;
      sum += Cost(o[i] = static_cast<uint8_t>(row[i] - pred));
    }
    constexpr std::size_t kBlock = 4096;
    for (std::size_t start = bpp; start < n; start += kBlock) {
      const std::size_t end = std::min(n, start + kBlock);
      uint32_t block = 0;
      switch (type) {
        case 0:
          for (std::size_t i = start; i < end; ++i) block += Cost(o[i] = row[i]);
          break;
        case 1:
          for (std::size_t i = start; i < end; ++i) block += Cost(o[i] = static_cast<uint8_t>(row[i] - row[i - bpp]));
          break;
        case 2:
          for (std::size_t i = start; i < end; ++i) block += Cost(o[i] = static_cast<uint8_t>(row[i] - up[i]));
          break;
        case 3:
          for (std::size_t i = start; i < end; ++i)
            block += Cost(o[i] = static_cast<uint8_t>(row[i] - ((unsigned{row[i - bpp]} + up[i]) >> 1)));
          break;
        case 4:
          for (std::size_t i = start; i < end; ++i)
            block += Cost(o[i] = static_cast<uint8_t>(row[i] - Paeth(row[i - bpp], up[i], up[i - bpp])));
          break;
      }
      sum += block;
      if (sum >= limit) return sum;
    }
    return sum;
  }

  std::size_t n_, bpp_;
  bool adaptive_;
  std::vector<uint8_t> prev_, cand_, best_;
};


// Whether page p's rows are filtered at all: palette and sub-byte rows go out as they are.
inline bool RowsAreFiltered(const Page& p) { return p.colorType != PNG_COLOR_TYPE_PALETTE && p.depth >= 8; }

// The filter libpng would use for page p's rows.
inline RowFilter FilterFor(const Page& p) {
  return RowFilter(p.pngRowBytes, std::max(1, p.channels * p.depth / 8), RowsAreFiltered(p));
}

// A finished zlib stream: its parts, one after another, all in data.
struct ZlibStream {
  std::unique_ptr<uint8_t[]> data;
  StreamParts parts;
};

// A held page too small to cut into pieces (over 32 KiB and under 1 MiB of filtered rows) is coded
// on one thread; with two threads or more, that can begin while its rows are still decoded, on a
// thread of the pool, instead of after. The coding is a guess: run-only, which filtered photographs
// and scans take; the stream is kept when the page's trial chooses run-only coding, and dropped
// otherwise. It is the very stream one call makes (see CompressRunsAsReady).
class StreamAhead {
 public:
  // Begins where it may help: two threads or more, a filtered page of that size; else does nothing.
  StreamAhead(engine::Pool& pool, const Page& p, const uint8_t* filtered, std::size_t n);
  // Stops the coding if it is still going.
  ~StreamAhead() { stop(); }

  bool on() const { return on_; }
  // The first `bytes` bytes of the filtered rows are final. The decoding thread only stores and wakes.
  void ready(std::size_t bytes) {
    ready_.store(bytes, std::memory_order_release);
    ready_.notify_one();
  }
  // Once every row is final: waits for the stream and moves it into out; its size, 0 when it failed.
  std::size_t finish(ZlibStream& out);
  // Stops the coding and waits for it.
  void stop();

 private:
  bool on_ = false;
  std::size_t n_ = 0, size_ = 0;
  std::atomic<std::size_t> ready_{0};  // SIZE_MAX: stop
  std::unique_ptr<uint8_t[]> out_;
  engine::Batch batch_;  // last: the coding ends before the rest goes
};

// Codes the filtered rows of page p (n bytes) as one zlib stream, choosing the coding that suits the
// page. Pages of 1 MiB and more are cut into pieces coded on the pool's threads; a smaller page's
// stream may have been coded ahead. With a sink, the stream's parts go to it in order as they are
// coded (see PartsSink).
Failure DeflateImage(engine::Pool& pool, const Page& p, const uint8_t* filtered, std::size_t n, ZlibStream& out,
                     const PartsSink* sink = nullptr, StreamAhead* ahead = nullptr);

// Codes the filtered rows of a page too large to hold, as they arrive, into one zlib stream that
// leaves through sink in order while later rows are still being coded on the pool's other threads.
// The coding is chosen as for a page in memory, on the page's first rows (kStreamTrialBytes, at least
// one row).
class RowStreamCoder {
 public:
  RowStreamCoder(engine::Pool& pool, const Page& p, ZlibStreamDeflater::Sink sink);
  ~RowStreamCoder();
  RowStreamCoder(const RowStreamCoder&) = delete;
  RowStreamCoder& operator=(const RowStreamCoder&) = delete;

  // False once coding or the sink failed; later calls then do nothing.
  bool add(const uint8_t* filtered, std::size_t n);
  // Ends the stream after the last row; false on failure.
  bool finish();

 private:
  bool start();

  engine::Pool& pool_;
  const Page& page_;
  ZlibStreamDeflater::Sink sink_;
  std::vector<uint8_t> head_;
  std::unique_ptr<ZlibStreamDeflater> deflater_;
  bool failed_ = false;
};

inline constexpr std::size_t kStreamTrialBytes = std::size_t{4} << 20;

}  // namespace tovanel::tools::topng
