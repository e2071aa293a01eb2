// Filters bands of a held page's rows on helper threads, in any order, each into its own place.
#include "filter_pipeline.h"

#include "encode.h"
#include "helper_thread.h"
#include "topng.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace tovanel::tools::topng {

namespace {

constexpr std::size_t kBandBytes = std::size_t{256} << 10;

struct Band {
  std::vector<uint8_t> rows;  // the row above, then up to `capacity` rows, each `stride` bytes
  uint32_t firstY = 0, count = 0;
};

}  // namespace

bool FiltersOnHelpers(const Page& page, std::size_t filteredBytes) {
  return CodingThreads() > 1 && RowsAreFiltered(page) && filteredBytes >= kParallelDeflateMin &&
         page.pngRowBytes <= FilterPipeline::kMaxRowBytes;
}

struct FilterPipeline::State {
  const Page& page;
  uint8_t* filtered;
  std::size_t stride;
  uint32_t capacity;
  std::vector<std::unique_ptr<Band>> bands;
  std::vector<Band*> free;
  std::deque<Band*> todo;
  std::size_t busy = 0;
  Band* current = nullptr;
  uint32_t y = 0;
  std::vector<uint8_t> above;  // the last row handed over, the row above the next band
  std::mutex mutex;
  std::condition_variable work, done;
  bool stopping = false;
  HelperThreads helpers;

  // Work ahead (trial slices, pieces): the rows filtered from the top without a gap, the bands
  // filtered below them, and how often the first has moved (a helper that found no work waits for
  // the next move).
  CodingAhead* ahead = nullptr;
  uint32_t rowsDone = 0;
  std::vector<std::pair<uint32_t, uint32_t>> bandsDone;  // first row, count
  uint64_t moves = 0, movesSeen = 0;

  RowFilter callerFilter;  // the caller's own, for the bands it filters while it would wait

  State(const Page& p, uint8_t* out)
      : page(p), filtered(out), stride(p.pngRowBytes + kSlack),
        capacity(static_cast<uint32_t>(std::max<std::size_t>(2, kBandBytes / stride))), above(stride, 0),
        callerFilter(FilterFor(p)) {}

  void helperLoop();
  void bandFiltered(const Band& band);
  void filterFirst(std::unique_lock<std::mutex>& lock, RowFilter& filter);
  template <class Ready>
  void callerWaitsFor(std::unique_lock<std::mutex>& lock, Ready ready, bool stepAhead = false);
  void submit();
};

// Filters the first band waiting; called with the lock held and todo not empty, returns with it held.
void FilterPipeline::State::filterFirst(std::unique_lock<std::mutex>& lock, RowFilter& filter) {
  Band* band = todo.front();
  todo.pop_front();
  lock.unlock();
  filter.setPrevious(band->rows.data());
  for (uint32_t i = 0; i < band->count; ++i)
    filter.filter(band->rows.data() + (i + 1) * stride,
                  filtered + (std::size_t{band->firstY} + i) * (page.pngRowBytes + 1));
  lock.lock();
  bandFiltered(*band);
  free.push_back(band);
  --busy;
  done.notify_all();
}

// Moves the rows done from the top past the band and any filtered before it below; tells the pieces
// ahead. Called with the lock held.
void FilterPipeline::State::bandFiltered(const Band& band) {
  if (!ahead) return;
  bandsDone.emplace_back(band.firstY, band.count);
  const uint32_t before = rowsDone;
  const auto atTop = [&](const std::pair<uint32_t, uint32_t>& b) { return b.first == rowsDone; };
  for (auto it = std::find_if(bandsDone.begin(), bandsDone.end(), atTop); it != bandsDone.end();
       it = std::find_if(bandsDone.begin(), bandsDone.end(), atTop)) {
    rowsDone += it->second;
    bandsDone.erase(it);
  }
  if (rowsDone == before) return;
  ahead->ready(std::size_t{rowsDone} * (page.pngRowBytes + 1));
  ++moves;
  work.notify_one();
}

// Filtering is slower than decoding on most pages: rather than wait for a helper to free a band or
// finish, the caller filters a waiting band itself until ready() holds; at the end, with no band
// waiting, it steps the work ahead while the helpers filter the last ones. Called with the lock held.
template <class Ready>
void FilterPipeline::State::callerWaitsFor(std::unique_lock<std::mutex>& lock, Ready ready, bool stepAhead) {
  while (!ready()) {
    if (!todo.empty()) {
      filterFirst(lock, callerFilter);
      continue;
    }
    bool stepped = false;
    if (stepAhead && ahead) {
      lock.unlock();
      stepped = ahead->step();
      lock.lock();
    }
    if (!stepped && !ready()) done.wait(lock);
  }
}

// Bands first; while none waits, a step of the work ahead, if its rows are there.
void FilterPipeline::State::helperLoop() {
  RowFilter filter = FilterFor(page);
  std::unique_lock lock(mutex);
  bool more = false;  // the last step coded something: there may be more at once
  for (;;) {
    if (!more) work.wait(lock, [&] { return stopping || !todo.empty() || moves != movesSeen; });
    if (!todo.empty()) {
      filterFirst(lock, filter);
    } else if (stopping) {
      return;
    } else {
      const uint64_t seen = moves;
      lock.unlock();
      more = ahead->step();
      lock.lock();
      if (!more) movesSeen = std::max(movesSeen, seen);
    }
  }
}

void FilterPipeline::State::submit() {
  std::memcpy(above.data(), current->rows.data() + current->count * stride, stride);
  std::lock_guard lock(mutex);
  todo.push_back(current);
  current = nullptr;
  work.notify_one();
}

FilterPipeline::FilterPipeline(const Page& page, uint8_t* filtered, unsigned helpers, CodingAhead* ahead)
    : state_(std::make_unique<State>(page, filtered)) {
  State& s = *state_;
  s.ahead = ahead;
  for (unsigned i = 0; i < 2 * helpers + 2; ++i) {
    s.bands.push_back(std::make_unique<Band>());
    s.bands.back()->rows.resize((std::size_t{s.capacity} + 1) * s.stride);
    s.free.push_back(s.bands.back().get());
  }
  try {
    for (unsigned i = 0; i < helpers; ++i) s.helpers.start([&s] { s.helperLoop(); });
  } catch (...) {
    if (s.helpers.empty()) throw;  // no thread at all: the caller filters on its own
  }
}

FilterPipeline::~FilterPipeline() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->todo.clear();
  }
  state_->work.notify_all();
  state_->helpers.join();
}

uint8_t* FilterPipeline::nextRow() {
  State& s = *state_;
  if (!s.current) {
    std::unique_lock lock(s.mutex);
    s.callerWaitsFor(lock, [&] { return !s.free.empty(); });
    s.current = s.free.back();
    s.free.pop_back();
    ++s.busy;
    lock.unlock();
    s.current->firstY = s.y;
    s.current->count = 0;
    std::memcpy(s.current->rows.data(), s.above.data(), s.stride);
  }
  return s.current->rows.data() + (s.current->count + 1) * s.stride;
}

void FilterPipeline::rowDone() {
  State& s = *state_;
  ++s.current->count;
  ++s.y;
  if (s.current->count == s.capacity || s.y == s.page.height) s.submit();
}

void FilterPipeline::finish() {
  State& s = *state_;
  if (s.current) s.submit();
  std::unique_lock lock(s.mutex);
  s.callerWaitsFor(lock, [&] { return s.busy == 0; }, true);
}

}  // namespace tovanel::tools::topng
