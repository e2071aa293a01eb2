// Threads that help the one that starts them, each core to its own.
#include "helper_thread.h"

#include <exception>
#include <memory>
#include <system_error>
#include <utility>

namespace tovanel::tools {

namespace {

void* Run(void* arg) {
  const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(arg));
  try {
    (*work)();
  } catch (...) {
    std::terminate();  // as for a std::thread
  }
  return nullptr;
}

}  // namespace

void HelperThreads::start(std::function<void()> work) {
  if (threads_.empty()) {
    core_ = sched_getcpu();
    kept_ = false;
    if (sched_getaffinity(0, sizeof creator_, &creator_) == 0 && core_ >= 0 && core_ < CPU_SETSIZE &&
        CPU_ISSET(core_, &creator_)) {
      helpers_ = creator_;
      CPU_CLR(core_, &helpers_);
      kept_ = CPU_COUNT(&helpers_) > 0;
    }
  }
  threads_.reserve(threads_.size() + 1);
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  pthread_attr_t attr;
  if (const int rc = pthread_attr_init(&attr); rc != 0) throw std::system_error(rc, std::generic_category());
  // Where the system refuses the helpers' cores, the creator is not kept to its own either.
  if (kept_ && pthread_attr_setaffinity_np(&attr, sizeof helpers_, &helpers_) != 0 && threads_.empty())
    kept_ = false;
  pthread_t thread{};
  const int rc = pthread_create(&thread, &attr, Run, owned.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) throw std::system_error(rc, std::generic_category());
  owned.release();  // the thread's own now
  threads_.push_back(thread);
  if (kept_ && threads_.size() == 1) {
    cpu_set_t here;
    CPU_ZERO(&here);
    CPU_SET(core_, &here);
    sched_setaffinity(0, sizeof here, &here);
  }
}

void HelperThreads::join() {
  // The creator waits from now on: its core is free for a helper whose own is busy.
  if (kept_)
    for (pthread_t thread : threads_) pthread_setaffinity_np(thread, sizeof creator_, &creator_);
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  if (kept_ && !threads_.empty()) sched_setaffinity(0, sizeof creator_, &creator_);
  threads_.clear();
}

}  // namespace tovanel::tools
