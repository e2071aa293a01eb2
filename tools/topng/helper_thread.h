// Threads that help the one that starts them, each core to its own.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <functional>
#include <vector>

namespace tovanel::tools {

// Threads started to help their creator: while they run, they keep off the core the creator was on
// when it started the first, and the creator keeps to it; join() frees all again.
//
// A new thread is queued on its creator's core. Some schedulers (seen on virtual machines) leave it
// there for milliseconds while another core idles, and when a helper that waited for work is woken, put
// it on the core of the thread that woke it: creator and helper then take turns on one core for much
// of a page. With one core to run on, the threads are started as they are.
class HelperThreads {
 public:
  HelperThreads() = default;
  HelperThreads(const HelperThreads&) = delete;
  HelperThreads& operator=(const HelperThreads&) = delete;
  ~HelperThreads() { join(); }

  // Runs work on a new thread. Throws std::system_error when no thread can be had, as std::thread
  // does; the threads started before stay.
  void start(std::function<void()> work);
  // Waits for every thread started, then lets the creator run anywhere it could before.
  void join();
  bool empty() const { return threads_.empty(); }
  std::size_t size() const { return threads_.size(); }

 private:
  std::vector<pthread_t> threads_;
  int core_ = -1;        // the creator's core when it started the first
  bool kept_ = false;    // whether the creator is kept to it
  cpu_set_t creator_{};  // the creator's cores before
  cpu_set_t helpers_{};  // the helpers' cores
};

}  // namespace tovanel::tools
