// Deflate coding of a page: libdeflate's full matching or zlib's run-only coding, on the pool's threads.
#include "encode.h"

#include "deflate_piece.h"
#include "topng.h"

#include <cstdint>

namespace tovanel::tools::topng {

namespace {

// libdeflate level 6 compresses as small as zlib level 6 at two to four times its speed. On 8-bit
// colour pages (photographs, scans) level 4 saves a third of the compression time for about 1 % more
// bytes; on grey, bilevel, palette and 16-bit pages it saves little or costs several per cent.
constexpr int kDeflateLevel = 6;
constexpr int kDeflateLevelColour8 = 4;
constexpr int kRunsLevel = 6;
// Bilevel pages: level 5 codes text scans in a fifth less time than level 6, for 0.6 % more bytes.
constexpr int kDeflateLevelBilevel = 5;

// 1-bit grey rows, copied unfiltered. Run-only coding never wins on them (it comes out about a
// quarter larger on text scans), so their trial only measures how well they compress.
bool Bilevel(const Page& p) { return p.depth == 1 && p.colorType == PNG_COLOR_TYPE_GRAY; }

// Filtered photographs and scans are mostly noise to a match finder: coding only runs (zlib's Z_RLE)
// gives streams 5 to 8 % smaller than full matching, at several times its speed. Drawn pages,
// bilevel and palette images need the matches. Each page takes the coding that wins on a sample.
int MatchLevel(const Page& p) {
  if (Bilevel(p)) return kDeflateLevelBilevel;
  return p.depth == 8 && p.channels >= 3 ? kDeflateLevelColour8 : kDeflateLevel;
}

// What the trial found: the coding that suits the page, and how well it compresses.
struct Trial {
  DeflateCoding coding = DeflateCoding::Matches;
  std::size_t in = 1, out = 1;
};

// Each piece coded on its own starts without history and ends with a marker: up to about 500 bytes
// more on drawn and bilevel pages. Pieces that come out at 128 KiB or more keep that under 0.4 %, so
// a page that compresses very well is cut into fewer, longer pieces (or stays on one thread).
constexpr std::size_t kMinPieceOutput = std::size_t{128} << 10;

DeflateSettings SettingsFor(const Page& p, const Trial& trial) {
  DeflateSettings s;
  s.coding = trial.coding;
  s.level = trial.coding == DeflateCoding::Runs ? kRunsLevel : MatchLevel(p);
  s.minPiece = static_cast<std::size_t>(static_cast<double>(kMinPieceOutput) * static_cast<double>(trial.in) /
                                        static_cast<double>(std::max<std::size_t>(trial.out, 1)));
  return s;
}

const DeflateSettings kRuns{DeflateCoding::Runs, kRunsLevel};

// Pieces of a streamed page stay under this, so that the pieces in flight stay within the memory bound.
constexpr std::size_t kMaxStreamPiece = std::size_t{2} << 20;

constexpr std::size_t kTrialSlice = std::size_t{32} << 10, kTrialSlices = 4;
// Images up to this size are coded both ways whole; larger ones are judged on slices.
constexpr std::size_t kWholeTrial = kTrialSlice;

// Where trial slice k of count starts in n bytes.
std::size_t SliceStart(std::size_t n, std::size_t count, std::size_t k) {
  return count == 1 ? (n - kTrialSlice) / 2 : (n - kTrialSlice) / (count - 1) * k;
}

// Up to four slices spread evenly over the image (one per eighth of it at most).
std::size_t SliceCount(std::size_t n) { return std::clamp<std::size_t>(n / (8 * kTrialSlice), 1, kTrialSlices); }

// The sizes a trial slice comes out at, coded both ways; 0 and 0 if either failed.
struct SliceSizes {
  std::size_t matches = 0, runs = 0;
};

SliceSizes CodeSlice(const Page& p, const uint8_t* data, std::size_t n, std::size_t count, std::size_t k) {
  std::vector<uint8_t> scratch(ZlibStreamBound(kTrialSlice));
  const uint8_t* slice = data + SliceStart(n, count, k);
  const std::size_t m = deflate_detail::CompressWhole({DeflateCoding::Matches, MatchLevel(p)}, slice, kTrialSlice,
                                                      scratch.data(), scratch.size());
  if (Bilevel(p)) return {m, m};  // coded by matches whatever the runs give
  const std::size_t r = deflate_detail::CompressWhole(kRuns, slice, kTrialSlice, scratch.data(), scratch.size());
  if (m == 0 || r == 0) return {};
  return {m, r};
}

// The trial: every slice coded both ways, as jobs on the pool for filtered pages of several slices
// (bilevel and palette slices code so fast that queueing them would cost more than it saves).
Trial ChooseCoding(engine::Pool& pool, const Page& p, const uint8_t* data, std::size_t n) {
  const std::size_t count = SliceCount(n);
  std::vector<SliceSizes> sizes(count);
  {
    engine::Batch batch(pool);
    for (std::size_t k = 0; k < count; ++k) {
      const auto code = [&, k] { sizes[k] = CodeSlice(p, data, n, count, k); };
      if (count > 1 && RowsAreFiltered(p))
        batch.add(code);
      else
        code();
    }
    batch.wait();
    if (batch.failed()) return Trial{};
  }
  std::size_t matches = 0, runs = 0;
  for (const SliceSizes& s : sizes) {
    if (s.matches == 0) return Trial{};
    matches += s.matches;
    runs += s.runs;
  }
  if (runs < matches) return Trial{DeflateCoding::Runs, count * kTrialSlice, runs};
  return Trial{DeflateCoding::Matches, count * kTrialSlice, matches};
}

// Small enough to code both ways whole (on this thread) and keep the smaller.
std::size_t DeflateBothWays(const Page& p, const uint8_t* filtered, std::size_t n, ZlibStream& out, std::size_t cap) {
  std::unique_ptr<uint8_t[]> runs(new uint8_t[cap]);
  std::size_t size =
      deflate_detail::CompressWhole({DeflateCoding::Matches, MatchLevel(p)}, filtered, n, out.data.get(), cap);
  const std::size_t r = deflate_detail::CompressWhole(kRuns, filtered, n, runs.get(), cap);
  if (r != 0 && (size == 0 || r < size)) {
    out.data = std::move(runs);
    size = r;
  }
  return size;
}

}  // namespace

StreamAhead::StreamAhead(engine::Pool& pool, const Page& p, const uint8_t* filtered, std::size_t n) : batch_(pool) {
  if (pool.threads() < 2 || !RowsAreFiltered(p) || n <= kWholeTrial || n >= kParallelDeflateMin) return;
  const std::size_t cap = ZlibStreamBound(n);
  out_.reset(new uint8_t[cap]);
  n_ = n;
  on_ = true;
  batch_.add([this, filtered, cap] {
    size_ = deflate_detail::CompressRunsAsReady(kRuns, filtered, n_, out_.get(), cap, [this](std::size_t done) {
      std::size_t now = ready_.load(std::memory_order_acquire);
      for (; now <= done; now = ready_.load(std::memory_order_acquire)) ready_.wait(now, std::memory_order_acquire);
      return now;
    });
  });
}

std::size_t StreamAhead::finish(ZlibStream& out) {
  ready(n_);
  batch_.wait();
  on_ = false;
  if (size_ != 0) out.data = std::move(out_);
  return size_;
}

void StreamAhead::stop() {
  if (!on_) return;
  ready(SIZE_MAX);
  batch_.wait();
  on_ = false;
}

Failure DeflateImage(engine::Pool& pool, const Page& p, const uint8_t* filtered, std::size_t n, ZlibStream& out,
                     const PartsSink* sink, StreamAhead* ahead) {
  // Covers the single-call coders' own bounds too.
  const std::size_t cap = ZlibStreamBound(n);
  if (!out.data) out.data.reset(new uint8_t[cap]);
  out.parts.clear();
  std::size_t size = 0;  // of a stream in one part
  if (n <= kWholeTrial) {
    size = DeflateBothWays(p, filtered, n, out, cap);
  } else {
    const Trial trial = ChooseCoding(pool, p, filtered, n);
    if (ahead && ahead->on()) {
      if (trial.coding == DeflateCoding::Runs) size = ahead->finish(out);
      ahead->stop();  // done, or the wrong guess
    }
    if (size == 0) out.parts = DeflateToZlibParts(pool, filtered, n, out.data.get(), cap, SettingsFor(p, trial), sink);
  }
  if (size != 0) {
    out.parts = {{out.data.get(), size}};
    if (sink && !(*sink)(out.parts.front())) out.parts.clear();
  }
  if (out.parts.empty()) return {WriteFailed, "compression failed"};
  return {};
}

RowStreamCoder::RowStreamCoder(engine::Pool& pool, const Page& p, ZlibStreamDeflater::Sink sink)
    : pool_(pool), page_(p), sink_(std::move(sink)) {}

RowStreamCoder::~RowStreamCoder() = default;

// Chooses the coding on the rows held so far and hands them to the coder.
bool RowStreamCoder::start() {
  const Trial trial = head_.size() <= kWholeTrial ? Trial{}  // one row, narrower than a trial slice
                                                  : ChooseCoding(pool_, page_, head_.data(), head_.size());
  const DeflateSettings settings = SettingsFor(page_, trial);
  deflater_ = std::make_unique<ZlibStreamDeflater>(
      pool_, settings, sink_, std::clamp(settings.minPiece, kStreamDeflatePiece, kMaxStreamPiece));
  const bool ok = deflater_->write(head_.data(), head_.size());
  std::vector<uint8_t>().swap(head_);
  return ok;
}

bool RowStreamCoder::add(const uint8_t* filtered, std::size_t n) {
  if (failed_) return false;
  try {
    if (deflater_) {
      failed_ = !deflater_->write(filtered, n);
    } else {
      head_.insert(head_.end(), filtered, filtered + n);
      if (head_.size() >= kStreamTrialBytes) failed_ = !start();
    }
  } catch (const std::bad_alloc&) {
    failed_ = true;
  }
  return !failed_;
}

bool RowStreamCoder::finish() {
  if (failed_) return false;
  try {
    failed_ = (!deflater_ && !start()) || !deflater_->finish();
  } catch (const std::bad_alloc&) {
    failed_ = true;
  }
  return !failed_;
}

}  // namespace tovanel::tools::topng
