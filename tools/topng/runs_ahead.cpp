// zlib run-only coders fed in steps while the page is decoded: one stream on a thread of its own, or
// the pieces of a larger page on the filter helpers.
#include "runs_ahead.h"

#include "deflate_piece.h"
#include "helper_thread.h"

#include <libdeflate.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <vector>

namespace tovanel::tools {

namespace {

// The coder takes at most this much per call, so that a cancel is seen soon.
constexpr std::size_t kStep = std::size_t{64} << 10;
// The progress value that tells the coder to stop.
constexpr uint32_t kCancelled = UINT32_MAX;

}  // namespace

struct RunsAhead::State {
  const uint8_t* in;
  std::size_t n;
  uint8_t* out;
  std::size_t cap;
  int level;
  // Bytes of input declared final, or kCancelled. The decoding thread only stores and wakes: it never
  // sleeps on the coder, so that the scheduler does not move it onto the coder's core.
  std::atomic<uint32_t> ready{0};
  std::size_t size = 0;  // the stream's size once the thread has ended, 0 on failure
  HelperThreads coder;

  void code();
};

void RunsAhead::State::code() {
  z_stream zs{};
  if (!deflate_detail::InitRuns(&zs, level, false)) return;
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(cap);
  for (std::size_t done = 0;;) {
    const uint32_t now = ready.load(std::memory_order_acquire);
    if (now == kCancelled) break;
    if (now <= done) {
      // The decoding thread stores without waiting, and each thread keeps to its cores: a sleeping
      // coder is not woken onto the decoding's core.
      ready.wait(now, std::memory_order_acquire);
      continue;
    }
    const std::size_t until = std::min<std::size_t>(now, done + kStep);
    if (!deflate_detail::RunsStep(&zs, in + done, until - done, until == n, true)) break;
    done = until;
    if (done == n) {
      size = zs.total_out;
      break;
    }
  }
  deflateEnd(&zs);
}

RunsAhead::RunsAhead(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap, int level)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.in = in;
  s.n = n;
  s.out = out;
  s.cap = std::min<std::size_t>(cap, UINT32_MAX);
  s.level = level;
  if (n >= kCancelled) return;  // beyond the progress counter: no stream ahead (finish gives 0)
  // The coder keeps off this thread's core until the rows are all there: see HelperThreads.
  s.coder.start([&s] { s.code(); });
}

RunsAhead::~RunsAhead() { cancel(); }

void RunsAhead::ready(std::size_t bytes) {
  state_->ready.store(static_cast<uint32_t>(std::min(bytes, state_->n)), std::memory_order_release);
  state_->ready.notify_one();
}

std::size_t RunsAhead::finish() {
  State& s = *state_;
  if (s.coder.empty()) return s.size;
  ready(s.n);
  s.coder.join();
  return s.size;
}

void RunsAhead::cancel() {
  State& s = *state_;
  if (s.coder.empty()) return;
  s.ready.store(kCancelled, std::memory_order_release);
  s.ready.notify_one();
  s.coder.join();
}

// --- Pieces ahead

struct PiecesAhead::State {
  struct Piece {
    deflate_detail::PieceResult* result;  // in results
    std::unique_ptr<z_stream> zs;  // while the piece is under way
    std::size_t coded = 0;         // input bytes coded so far
    bool busy = false, done = false;
  };

  const uint8_t* in;
  std::size_t n;
  uint8_t* out;
  DeflateSettings settings;
  unsigned threads;
  std::vector<deflate_detail::PieceResult> results;
  std::vector<Piece> pieces;
  std::mutex mutex;
  std::size_t ready = 0;  // guarded by mutex, as are the pieces' busy, coded and done
  std::size_t next = 0;   // the first piece not done
  std::atomic<bool> failed{false};

  bool code(Piece& p, std::size_t until);
  void coded(Piece& p, std::size_t until);
};

// Codes piece p's input up to until (an absolute offset): the same stream PieceCoder makes of the
// whole piece in one call, since zlib's output does not depend on how its input arrives. Only the
// thread that holds the piece busy calls it; the progress is recorded by coded().
bool PiecesAhead::State::code(Piece& p, std::size_t until) {
  const deflate_detail::PieceResult& r = *p.result;
  const bool last = &p == &pieces.back(), end = until == r.offset + r.length;
  if (!p.zs) {
    p.zs = std::make_unique<z_stream>();
    if (!deflate_detail::InitRuns(p.zs.get(), settings.level, true)) {
      p.zs.reset();
      return false;
    }
    p.zs->next_out = out + r.region;
    p.zs->avail_out = static_cast<uInt>(deflate_detail::PieceBound(r.length));
  }
  z_stream& zs = *p.zs;
  const bool ok = deflate_detail::RunsStep(&zs, in + r.offset + p.coded, until - r.offset - p.coded, end, last);
  if (end || !ok) {
    p.result->size = zs.total_out;
    p.result->adler = libdeflate_adler32(1, in + r.offset, r.length);
    deflateEnd(&zs);
    p.zs.reset();
  }
  return ok;
}

// Records that piece p is coded up to until; with step(), under the lock.
void PiecesAhead::State::coded(Piece& p, std::size_t until) {
  p.coded = until - p.result->offset;
  p.done = p.coded == p.result->length;
}

PiecesAhead::PiecesAhead(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap,
                         const DeflateSettings& settings)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.in = in;
  s.n = n;
  s.out = out;
  s.settings = settings;
  s.threads = DeflateThreadsFor(n, settings);
  s.results = deflate_detail::PlanPieces(n, s.threads, settings);
  for (deflate_detail::PieceResult& r : s.results) s.pieces.push_back({&r, nullptr, 0, false, false});
  s.failed = cap < ZlibStreamBound(n) || settings.coding != DeflateCoding::Runs;
}

PiecesAhead::~PiecesAhead() {
  for (State::Piece& p : state_->pieces)
    if (p.zs) deflateEnd(p.zs.get());
}

void PiecesAhead::ready(std::size_t bytes) {
  std::lock_guard lock(state_->mutex);
  state_->ready = std::max(state_->ready, std::min(bytes, state_->n));
}

bool PiecesAhead::step() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  if (s.failed) return false;
  for (std::size_t i = s.next; i < s.pieces.size(); ++i) {
    State::Piece& p = s.pieces[i];
    if (p.done || p.busy) continue;
    const std::size_t from = p.result->offset + p.coded;
    const std::size_t until = std::min({s.ready, p.result->offset + p.result->length, from + kStep});
    if (until <= from) return false;  // the input comes in order: later pieces have none either
    p.busy = true;
    lock.unlock();
    const bool ok = s.code(p, until);
    lock.lock();
    s.coded(p, until);
    p.busy = false;
    if (!ok) s.failed = true;
    while (s.next < s.pieces.size() && s.pieces[s.next].done) ++s.next;
    return ok;
  }
  return false;
}

bool PiecesAhead::samePieces(const DeflateSettings& settings) const {
  const State& s = *state_;
  // One thread codes the whole input in one call, not in pieces.
  if (s.threads < 2 || settings.coding != DeflateCoding::Runs || settings.level != s.settings.level ||
      DeflateThreadsFor(s.n, settings) != s.threads)
    return false;
  const std::vector<deflate_detail::PieceResult> plan = deflate_detail::PlanPieces(s.n, s.threads, settings);
  if (plan.size() != s.pieces.size()) return false;
  for (std::size_t i = 0; i < plan.size(); ++i)
    if (plan[i].offset != s.pieces[i].result->offset || plan[i].length != s.pieces[i].result->length) return false;
  return true;
}

StreamParts PiecesAhead::finish(const PartsSink* sink) {
  State& s = *state_;
  // Failed before: nothing goes to the sink, so the caller may still code the page afresh.
  if (s.failed) return {};
  ready(s.n);
  deflate_detail::InOrder order(sink, s.results, s.settings, s.out);
  // From the first piece: those coded ahead go to the sink from the threads too.
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < s.pieces.size() && !s.failed && !order.failed(); i = next++) {
      State::Piece& p = s.pieces[i];
      if (!p.done) {
        if (!s.code(p, p.result->offset + p.result->length)) s.failed = true;
        s.coded(p, p.result->offset + p.result->length);
      }
      order.done(i);
    }
  };
  deflate_detail::OnThreads(static_cast<unsigned>(std::min<std::size_t>(s.threads, s.pieces.size() - s.next)), work);
  if (s.failed || order.failed()) return {};
  return order.finish();
}

}  // namespace tovanel::tools
