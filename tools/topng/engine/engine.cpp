// The pool, its queue of jobs and the in-order writer (see engine.h).
#include "engine.h"

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

namespace {

// The first bytes of a small file (a /proc or /sys entry), or "" when it cannot be read. (Plain
// system calls: a converter started for each page reads these for every page.)
std::string ReadSmall(const std::string& path) {
  const Tovanel::Fs::File file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return {};
  char buf[4096];
  const ssize_t got = ::read(file.get(), buf, sizeof buf);
  return got > 0 ? std::string(buf, static_cast<std::size_t>(got)) : std::string();
}

// A quota of `quota` microseconds per `period`, in cores rounded up; 0 for none (no quota: "max", -1).
unsigned QuotaCores(double quota, double period) {
  if (!(quota > 0) || !(period > 0)) return 0;
  return static_cast<unsigned>(std::max(1.0, std::ceil(quota / period)));
}

}  // namespace

unsigned CgroupCores(const std::string& root, const std::string& cgroups) {
  unsigned cores = 0;
  const auto limit = [&cores](unsigned c) {
    if (c) cores = cores ? std::min(cores, c) : c;
  };
  std::istringstream lines(cgroups);
  for (std::string line; std::getline(lines, line);) {
    // "id:controllers:path"; the version 2 hierarchy has id 0 and no controllers.
    const auto a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    const bool v2 = controllers.empty();
    if (!v2 && ("," + controllers + ",").find(",cpu,") == std::string::npos) continue;  // not the CPU controller
    // Where the hierarchy is commonly mounted: alone, or beside version 1 (unified); a version 1 CPU
    // controller alone or with cpuacct.
    const std::vector<std::string> mounts =
        v2 ? std::vector<std::string>{"", "/unified"} : std::vector<std::string>{"/cpu", "/cpu,cpuacct", "/cpuacct,cpu"};
    for (const std::string& mount : mounts)
      for (std::string dir = path; !dir.empty() && dir[0] == '/';) {
        const std::string at = root + mount + (dir == "/" ? "" : dir);
        if (v2) {
          // "max 100000", or the quota and the period in microseconds
          const std::string max = ReadSmall(at + "/cpu.max");
          if (!max.empty() && max.compare(0, 3, "max") != 0)
            limit(QuotaCores(std::atof(max.c_str()), std::atof(max.c_str() + max.find(' ') + 1)));
        } else if (const std::string quota = ReadSmall(at + "/cpu.cfs_quota_us"); !quota.empty()) {
          limit(QuotaCores(std::atof(quota.c_str()), std::atof(ReadSmall(at + "/cpu.cfs_period_us").c_str())));
        }
        if (dir == "/") break;
        dir = dir.substr(0, std::max<std::size_t>(1, dir.rfind('/')));
      }
  }
  return cores;
}

unsigned UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  unsigned cores = sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<unsigned>(CPU_COUNT(&set)) : 1;
  if (cores > 1)  // one core needs no quota read
    if (const unsigned quota = CgroupCores("/sys/fs/cgroup", ReadSmall("/proc/self/cgroup")))
      cores = std::min(cores, quota);
  return std::clamp(cores, 1u, kMaxThreads);
}

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
