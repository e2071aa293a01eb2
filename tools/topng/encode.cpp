// Deflate coding of a page: libdeflate's full matching or zlib's run-only coding, on the usable cores.
#include "encode.h"

#include "deflate_piece.h"
#include "filter_pipeline.h"
#include "helper_thread.h"
#include "topng.h"

#include <libdeflate.h>
#include <zlib.h>

#include <mutex>
#include <system_error>

namespace tovanel::tools::topng {

namespace {

// libdeflate level 6 compresses as small as zlib level 6 at two to four times its speed. On 8-bit
// colour pages (photographs, scans) level 4 saves a third of the compression time for about 1 % more
// bytes; on grey, bilevel, palette and 16-bit pages it saves little or costs several per cent.
constexpr int kDeflateLevel = 6;
constexpr int kDeflateLevelColour8 = 4;
constexpr int kRunsLevel = 6;

unsigned g_threads = 0;

// Filtered photographs and scans are mostly noise to a match finder: coding only runs (zlib's Z_RLE)
// gives streams 5 to 8 % smaller than full matching, at several times its speed. Drawn pages,
// bilevel and palette images need the matches. Each page takes the coding that wins on a sample.
int MatchLevel(const Page& p) { return p.depth == 8 && p.channels >= 3 ? kDeflateLevelColour8 : kDeflateLevel; }

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
  s.threads = g_threads;
  s.minPiece = static_cast<std::size_t>(static_cast<double>(kMinPieceOutput) * static_cast<double>(trial.in) /
                                        static_cast<double>(std::max<std::size_t>(trial.out, 1)));
  return s;
}

std::size_t CompressRuns(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap) {
  return deflate_detail::CompressWhole({DeflateCoding::Runs, kRunsLevel}, in, n, out, cap);
}

// Pieces of a streamed page stay under this, so that the pieces in flight stay within the memory bound.
constexpr std::size_t kMaxStreamPiece = std::size_t{2} << 20;

constexpr std::size_t kTrialSlice = std::size_t{32} << 10, kTrialSlices = 4;
// Images up to this size are coded both ways whole; larger ones are judged on slices.
constexpr std::size_t kWholeTrial = kTrialSlice;

using Compressor = std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)>;

Compressor MakeCompressor(const Page& p) {
  return Compressor(libdeflate_alloc_compressor(MatchLevel(p)), libdeflate_free_compressor);
}

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

SliceSizes CodeSlice(libdeflate_compressor* comp, const uint8_t* data, std::size_t n, std::size_t count,
                     std::size_t k) {
  std::vector<uint8_t> scratch(
      std::max(libdeflate_zlib_compress_bound(comp, kTrialSlice), std::size_t{compressBound(kTrialSlice)}));
  const uint8_t* slice = data + SliceStart(n, count, k);
  const std::size_t m = libdeflate_zlib_compress(comp, slice, kTrialSlice, scratch.data(), scratch.size());
  const std::size_t r = CompressRuns(slice, kTrialSlice, scratch.data(), scratch.size());
  if (m == 0 || r == 0) return {};
  return {m, r};
}

// Codes the slices listed in todo[from, to) into sizes; false if any failed.
bool CodeSlices(libdeflate_compressor* comp, const uint8_t* data, std::size_t n, std::size_t count,
                const std::vector<std::size_t>& todo, std::size_t from, std::size_t to,
                std::vector<SliceSizes>& sizes) {
  for (std::size_t i = from; i < to; ++i) {
    sizes[todo[i]] = CodeSlice(comp, data, n, count, todo[i]);
    if (sizes[todo[i]].matches == 0) return false;
  }
  return true;
}

}  // namespace

class TrialAhead {
 public:
  TrialAhead(const Page& p, const uint8_t* data, std::size_t n)
      : page_(p), data_(data), n_(n), count_(SliceCount(n)), slices_(count_) {}

  void ready(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    ready_ = std::max(ready_, bytes);
  }

  // Codes the first slice whose bytes are there and that no thread has taken; false when there is none.
  bool step() {
    std::unique_lock lock(mutex_);
    for (std::size_t k = 0; k < count_; ++k) {
      Slice& s = slices_[k];
      if (s.taken || SliceStart(n_, count_, k) + kTrialSlice > ready_) continue;
      s.taken = true;
      lock.unlock();
      SliceSizes sizes;
      if (const Compressor comp = MakeCompressor(page_)) sizes = CodeSlice(comp.get(), data_, n_, count_, k);
      lock.lock();
      s.sizes = sizes;
      return true;
    }
    return false;
  }

  // Once no step() runs: whether slice k was coded ahead, and its sizes (a slice whose coding failed
  // counts as not coded).
  bool coded(std::size_t k, SliceSizes& sizes) const {
    if (k >= slices_.size() || slices_[k].sizes.matches == 0) return false;
    sizes = slices_[k].sizes;
    return true;
  }

 private:
  struct Slice {
    bool taken = false;
    SliceSizes sizes;
  };
  const Page& page_;
  const uint8_t* data_;
  std::size_t n_, count_;
  std::vector<Slice> slices_;
  std::mutex mutex_;
  std::size_t ready_ = 0;
};

namespace {

// The trial: every slice coded both ways, those not coded ahead here; on two cores or more, the later
// half of those on another thread when the rows are filtered (bilevel and palette slices code so fast
// that the thread would cost more than it saves).
Trial ChooseCoding(const Page& p, libdeflate_compressor* comp, const uint8_t* data, std::size_t n,
                   const TrialAhead* ahead = nullptr) {
  const std::size_t count = SliceCount(n);
  std::vector<SliceSizes> sizes(count);
  std::vector<std::size_t> todo;
  for (std::size_t k = 0; k < count; ++k)
    if (!ahead || !ahead->coded(k, sizes[k])) todo.push_back(k);
  std::size_t half = todo.size();
  bool laterOk = true;
  HelperThreads helper;
  if (todo.size() > 1 && RowsAreFiltered(p) && CodingThreads() > 1) {
    half = todo.size() / 2;
    try {
      helper.start([&] {
        const Compressor own = MakeCompressor(p);
        laterOk = own && CodeSlices(own.get(), data, n, count, todo, half, todo.size(), sizes);
      });
    } catch (const std::system_error&) {
      half = todo.size();  // no thread to be had: this one codes them all
    }
  }
  const bool firstOk = CodeSlices(comp, data, n, count, todo, 0, half, sizes);
  helper.join();
  if (!firstOk || !laterOk) return Trial{};
  std::size_t matches = 0, runs = 0;
  for (const SliceSizes& s : sizes) {
    matches += s.matches;
    runs += s.runs;
  }
  if (runs < matches) return Trial{DeflateCoding::Runs, count * kTrialSlice, runs};
  return Trial{DeflateCoding::Matches, count * kTrialSlice, matches};
}

// Small enough to code both ways whole (on this thread) and keep the smaller.
std::size_t DeflateBothWays(libdeflate_compressor* comp, const uint8_t* filtered, std::size_t n, ZlibStream& out,
                            std::size_t cap) {
  std::unique_ptr<uint8_t[]> runs(new uint8_t[cap]);
  std::size_t size = libdeflate_zlib_compress(comp, filtered, n, out.data.get(), cap);
  const std::size_t r = CompressRuns(filtered, n, runs.get(), cap);
  if (r != 0 && (size == 0 || r < size)) {
    out.data = std::move(runs);
    size = r;
  }
  return size;
}

}  // namespace

CodingAhead::CodingAhead() = default;
CodingAhead::CodingAhead(CodingAhead&&) noexcept = default;
CodingAhead::~CodingAhead() = default;

void CodingAhead::ready(std::size_t bytes) {
  if (trial) trial->ready(bytes);
  if (pieces) pieces->ready(bytes);
}

bool CodingAhead::step() { return (trial && trial->step()) || (pieces && pieces->step()); }

CodingAhead StartCodingAhead(const Page& p, const uint8_t* filtered, std::size_t n, ZlibStream& out) {
  CodingAhead ahead;
  const bool oneStream = CodingThreads() > 1 && RowsAreFiltered(p) && n > kWholeTrial && n < kParallelDeflateMin;
  if (!oneStream && !FiltersOnHelpers(p, n)) return ahead;
  const std::size_t cap = ZlibStreamBound(n);
  out.data.reset(new uint8_t[cap]);
  if (!oneStream) {
    // The pieces of a page whose trial finds run-only coding and no more than 2:1 (minPiece is then
    // the smallest), which is what filtered photographs and scans come to.
    ahead.pieces = std::make_unique<PiecesAhead>(filtered, n, out.data.get(), cap,
                                                 DeflateSettings{DeflateCoding::Runs, kRunsLevel, g_threads, 0});
    ahead.trial = std::make_unique<TrialAhead>(p, filtered, n);
    return ahead;
  }
  try {
    ahead.stream = std::make_unique<RunsAhead>(filtered, n, out.data.get(), cap, kRunsLevel);
  } catch (const std::system_error&) {
    // No thread to be had: the page is coded after it is decoded.
  }
  return ahead;
}

int DeflateImage(const Page& p, const uint8_t* filtered, std::size_t n, ZlibStream& out, std::string& why,
                 CodingAhead* ahead, const PartsSink* sink) {
  const Compressor comp = MakeCompressor(p);
  if (!comp) {
    why = "out of memory";
    return TooLarge;
  }
  // Covers the single-call coders' own bounds too.
  const std::size_t cap = ZlibStreamBound(n);
  if (!out.data) out.data.reset(new uint8_t[cap]);
  std::size_t size = 0;
  out.parts.clear();
  // Once anything went to the sink, a failed coding is not started over.
  bool handed = false;
  const PartsSink counted = [&](const StreamPart& part) {
    handed = true;
    return (*sink)(part);
  };
  const PartsSink* pieceSink = sink ? &counted : nullptr;
  if (n <= kWholeTrial) {
    size = DeflateBothWays(comp.get(), filtered, n, out, cap);
  } else {
    const Trial trial = ChooseCoding(p, comp.get(), filtered, n, ahead ? ahead->trial.get() : nullptr);
    const DeflateSettings settings = SettingsFor(p, trial);
    if (ahead && ahead->stream) {
      if (trial.coding == DeflateCoding::Runs) size = ahead->stream->finish();
      ahead->stream->cancel();  // done, or the wrong guess: out is free again
    }
    if (ahead && ahead->pieces && ahead->pieces->samePieces(settings)) out.parts = ahead->pieces->finish(pieceSink);
    if (size == 0 && out.parts.empty() && !handed)
      out.parts = DeflateToZlibParts(filtered, n, out.data.get(), cap, settings, pieceSink);
  }
  if (size != 0) {
    out.parts = {{out.data.get(), size}};
    if (sink && !(*sink)(out.parts.front())) out.parts.clear();
  }
  if (out.parts.empty()) {
    why = "compression failed";
    return WriteFailed;
  }
  return Ok;
}

RowStreamCoder::RowStreamCoder(const Page& p, ZlibStreamDeflater::Sink sink) : page_(p), sink_(std::move(sink)) {}

RowStreamCoder::~RowStreamCoder() = default;

// Chooses the coding on the rows held so far and hands them to the coder.
bool RowStreamCoder::start() {
  const Compressor comp = MakeCompressor(page_);
  if (!comp) return false;
  const Trial trial = head_.size() <= kWholeTrial ? Trial{}  // one row, narrower than a trial slice
                                                  : ChooseCoding(page_, comp.get(), head_.data(), head_.size());
  const DeflateSettings settings = SettingsFor(page_, trial);
  deflater_ = std::make_unique<ZlibStreamDeflater>(
      settings, sink_, std::clamp(settings.minPiece, kStreamDeflatePiece, kMaxStreamPiece));
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

namespace tovanel::tools {

void SetCodingThreads(unsigned threads) { topng::g_threads = threads; }

unsigned CodingThreads() { return topng::g_threads ? std::min(topng::g_threads, kMaxDeflateThreads) : UsableCores(); }

}  // namespace tovanel::tools
