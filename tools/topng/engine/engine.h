// The converter's threads, all of them: one pool, one queue of jobs, one writer that puts the pieces
// of the image's stream out in order.
//
// A page's work is cut into jobs that need no order among themselves, and these go into the one
// queue:
//   - decode bands: a held page's runs of whole strips or tile rows (about 256 KiB of rows), each
//     decoded through a TIFF handle of its own (libtiff decodes a page on one thread per handle),
//     converted and filtered into its place in the page's filtered image (see decode_bands.h);
//   - trial slices: the 32 KiB slices of the filtered image coded both ways to choose the coding;
//   - deflate pieces: 256 KiB or more of filtered rows, cut by the image's size alone (at most 16, or
//     64 run-only), each coded on its own into its own room and ended on a byte boundary (an empty
//     stored block), so that the pieces one after another are one deflate stream whatever the
//     threads; the last one ends the stream.
// The pool's other threads (threads - 1 of them, started with the first job queued) take jobs from the
// front of the queue. The caller never sits idle waiting for a job's end (its bands, the last
// piece): it takes jobs from the queue itself meanwhile. With one thread no thread is started at all:
// each job runs the moment it is queued, on the caller, and the conversion is the single-threaded one.
// One job is of another kind: a small page's run-only stream, coded while the page is decoded
// (StreamAhead in encode.h); it waits for the rows on the pool's thread and takes it for the page.
//
// The other threads keep off the core the caller was on when they started, and the caller keeps to
// it, until the pool goes: the scheduler was seen to put a new or woken thread on the core of the
// thread that woke it, where the two then took turns for much of a small page while the other core
// idled. With one core to run on nothing is kept.
//
// The writer puts the pieces out in their order whatever the order they were coded in. The thread
// that finishes a piece puts it out, with any done pieces after it, unless another thread is putting
// pieces out; that one then takes them on before it lets go. So the IDAT chunks leave while later
// pieces are still coded, and no thread waits to write. The stream's Adler-32 is combined from the
// pieces' own (adler32_combine), as pigz combines its pieces' CRCs.
//
// Memory stays bounded: a held page has a band per thread, the last row of each run of bands and its
// output room; a streamed page has at most two pieces per thread under way (filling, queued, being
// coded, or coded and waiting for the writer): the caller waits for the writer before it fills another.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace tovanel::tools::engine {

inline constexpr unsigned kMaxThreads = 16;

// The cores this process may use (Tovanel::UsableCores, common/cores.h), 1 to kMaxThreads.
unsigned UsableCores();

using Work = std::function<void()>;

// The threads of one conversion and the queue of their jobs; jobs are queued and waited for through
// a Batch. The thread that makes the pool is its caller, and lets it go.
class Pool {
 public:
  // threads in all, the caller's included: 0 for UsableCores(), at most kMaxThreads.
  explicit Pool(unsigned threads = 0);
  ~Pool();

  unsigned threads() const { return threads_; }

 private:
  friend class Batch;
  struct State;
  unsigned threads_;
  std::unique_ptr<State> state_;
};

// Jobs queued together and waited for together. It waits for its jobs when it goes, so that no job
// outlives what it works on (an early return, an exception).
class Batch {
 public:
  explicit Batch(Pool& pool) : pool_(pool) {}
  ~Batch() { wait(); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // Queues work; then, if given, runs once work is done, under the pool's lock, where until() looks:
  // it records the job's outcome for the caller. With one thread, both run here and now. A job that
  // throws is dropped (then is not called) and the batch has failed.
  void add(Work work, Work then = {});
  // Runs queued jobs on this thread, or sleeps until a job ends, until done() holds or no job is left
  // that could make it hold. done is called under the pool's lock; it may take what it waited for.
  void until(const std::function<bool()>& done);
  // Until every job added has ended.
  void wait();
  // Whether a job threw (out of memory).
  bool failed() const;

 private:
  friend struct Pool::State;
  Pool& pool_;
  std::size_t added_ = 0, ended_ = 0;  // under the pool's lock
  bool failed_ = false;
};

// The writer: puts numbered pieces (0, 1, 2, ...) out in their order, each once it and every piece
// before it are done, one thread at a time.
class InOrder {
 public:
  // put(i) puts piece i out; false, or an exception, stops the writer (a failed write). window: the
  // most pieces past the last one put out that may be done at once.
  InOrder(std::size_t window, std::function<bool(std::size_t)> put);
  ~InOrder();

  // Piece i is done: any thread, from within a job (so that until() looks again once it has put the
  // piece out). That thread puts it out, and the pieces after it that are done, unless another
  // thread is putting pieces out.
  void done(std::size_t i);
  // The pieces put out so far.
  std::size_t out() const { return out_.load(std::memory_order_acquire); }
  bool failed() const { return failed_.load(std::memory_order_acquire); }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::atomic<std::size_t> out_{0};
  std::atomic<bool> failed_{false};
};

}  // namespace tovanel::tools::engine
