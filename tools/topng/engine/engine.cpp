// The pool, its queue of jobs and the in-order writer (see engine.h).
#include "engine.h"

#include "common/cores.h"
#include "common/file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace tovanel::tools::engine {

unsigned UsableCores() { return std::clamp(Tovanel::UsableCores(), 1u, kMaxThreads); }

// --- The pool and its queue

struct Pool::State {
  struct Job {
    Work work, then;
    Batch* batch;
  };

  std::mutex mutex;
  std::condition_variable queued, ended;
  std::deque<Job> jobs;
  std::vector<std::thread> workers;
  std::size_t running = 0;  // jobs being run
  bool started = false, stopping = false;
  bool kept = false;      // the caller kept to its core, the other threads off it
  cpu_set_t callerCores;  // the caller's cores before

  // Starts the other threads, once; those that cannot be had are done without (the caller runs the
  // jobs no thread takes). They keep off the caller's core, and the caller to it (see engine.h).
  void start(unsigned others) {
    if (started) return;
    started = true;
    const int core = sched_getcpu();
    cpu_set_t rest;
    kept = sched_getaffinity(0, sizeof callerCores, &callerCores) == 0 && core >= 0 && core < CPU_SETSIZE &&
           CPU_ISSET(core, &callerCores);
    if (kept) {
      rest = callerCores;
      CPU_CLR(core, &rest);
      kept = CPU_COUNT(&rest) > 0;
    }
    workers.reserve(others);
    try {
      for (unsigned t = 0; t < others; ++t) {
        workers.emplace_back([this] { loop(); });
        // Where the system refuses the other cores, the caller is not kept to its own either.
        if (kept && pthread_setaffinity_np(workers.back().native_handle(), sizeof rest, &rest) != 0 && t == 0)
          kept = false;
      }
    } catch (...) {
    }
    if (kept && !workers.empty()) {
      cpu_set_t here;
      CPU_ZERO(&here);
      CPU_SET(core, &here);
      kept = sched_setaffinity(0, sizeof here, &here) == 0;
    }
  }

  // Runs the first job queued; called, and returns, with the lock held.
  void runFirst(std::unique_lock<std::mutex>& lock) {
    Job job = std::move(jobs.front());
    jobs.pop_front();
    ++running;
    lock.unlock();
    bool ok = Run(job.work);
    lock.lock();
    --running;
    if (ok && job.then) ok = Run(job.then);
    if (!ok) job.batch->failed_ = true;
    ++job.batch->ended_;
    ended.notify_all();
  }

  void loop() {
    std::unique_lock lock(mutex);
    for (;;) {
      queued.wait(lock, [this] { return stopping || !jobs.empty(); });
      if (jobs.empty()) return;
      runFirst(lock);
    }
  }

  static bool Run(const Work& work) {
    try {
      work();
      return true;
    } catch (...) {
      return false;
    }
  }
};

Pool::Pool(unsigned threads)
    : threads_(threads ? std::min(threads, kMaxThreads) : UsableCores()), state_(std::make_unique<State>()) {}

Pool::~Pool() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->queued.notify_all();
  for (std::thread& worker : state_->workers) worker.join();
  if (state_->kept) sched_setaffinity(0, sizeof state_->callerCores, &state_->callerCores);
}

void Batch::add(Work work, Work then) {
  if (pool_.threads() == 1) {
    ++added_;
    if (!Pool::State::Run(work) || (then && !Pool::State::Run(then))) failed_ = true;
    ++ended_;
    return;
  }
  Pool::State& s = *pool_.state_;
  std::lock_guard lock(s.mutex);
  s.start(pool_.threads() - 1);
  s.jobs.push_back({std::move(work), std::move(then), this});
  ++added_;
  s.queued.notify_one();
}

void Batch::until(const std::function<bool()>& done) {
  Pool::State& s = *pool_.state_;
  std::unique_lock lock(s.mutex);
  while (!done()) {
    if (!s.jobs.empty())
      s.runFirst(lock);
    else if (s.running > 0)
      s.ended.wait(lock);
    else
      return;
  }
}

void Batch::wait() {
  until([this] { return ended_ == added_; });
}

bool Batch::failed() const {
  std::lock_guard lock(pool_.state_->mutex);
  return failed_;
}

// --- The writer

struct InOrder::State {
  std::size_t window;
  std::function<bool(std::size_t)> put;
  std::unique_ptr<std::atomic<bool>[]> done;  // piece i's flag at i % window
  std::mutex writer;                          // held by the thread putting pieces out
};

InOrder::InOrder(std::size_t window, std::function<bool(std::size_t)> put)
    : state_(new State{std::max<std::size_t>(window, 1), std::move(put), nullptr, {}}) {
  state_->done = std::make_unique<std::atomic<bool>[]>(state_->window);
}

InOrder::~InOrder() = default;

void InOrder::done(std::size_t i) {
  State& s = *state_;
  s.done[i % s.window].store(true, std::memory_order_release);
  // A thread that finds the writer busy leaves its piece to it; the writer looks again after letting
  // go, so that a piece done meanwhile is not left behind.
  while (s.writer.try_lock()) {
    for (std::size_t next = out(); !failed() && s.done[next % s.window].load(std::memory_order_acquire); ++next) {
      s.done[next % s.window].store(false, std::memory_order_relaxed);
      bool ok = false;
      try {
        ok = s.put(next);
      } catch (...) {
      }
      if (!ok) {
        failed_.store(true, std::memory_order_release);
        break;
      }
      out_.store(next + 1, std::memory_order_release);
    }
    s.writer.unlock();
    if (failed() || !s.done[out() % s.window].load(std::memory_order_acquire)) return;
  }
}

}  // namespace tovanel::tools::engine
