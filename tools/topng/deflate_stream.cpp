// Compresses rows that arrive in parts into one zlib stream, pieces on worker threads, output in order.
#include "deflate_parallel.h"

#include "deflate_piece.h"
#include "helper_thread.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace tovanel::tools {

using deflate_detail::PieceBound;
using deflate_detail::PieceCoder;

namespace {

struct Job {
    std::vector<std::uint8_t> in, out;
    std::size_t size = 0;
    std::uint32_t adler = 1;
    bool last = false, done = false;
};

void RunJob(PieceCoder& coder, Job& job)
{
    job.out.resize(PieceBound(job.in.size()));
    job.size = coder.compress(job.in.data(), job.in.size(), job.out.data(), job.out.size(), job.last);
    job.adler = libdeflate_adler32(1, job.in.data(), job.in.size());
}

}  // namespace

struct ZlibStreamDeflater::State {
    DeflateSettings settings;
    Sink sink;
    std::size_t pieceBytes = kStreamDeflatePiece;
    std::size_t maxInFlight = 2;
    std::mutex mutex;
    std::condition_variable workAvailable, jobDone;
    std::deque<std::unique_ptr<Job>> inOrder;  // submitted, not yet handed to the sink
    std::deque<Job*> todo;                     // submitted, not yet taken by a worker
    std::vector<std::unique_ptr<Job>> spare;   // handed out: their buffers serve the next pieces
    std::unique_ptr<Job> filling;
    std::unique_ptr<PieceCoder> inlineCoder;   // with one thread, pieces are compressed in write()
    HelperThreads workers;
    std::atomic<bool> failed{false};  // also read by the caller outside the lock
    bool stopping = false, headerSent = false, finished = false;
    std::uint32_t adler = 1;

    void workerLoop();
    std::unique_ptr<Job> freshJob();
    bool submit(bool last);
    bool emitReady(std::unique_lock<std::mutex>& lock, std::size_t keep);
};

void ZlibStreamDeflater::State::workerLoop()
{
    std::unique_ptr<PieceCoder> coder;
    try {
        coder = std::make_unique<PieceCoder>(settings);
    } catch (...) {
    }
    std::unique_lock lock(mutex);
    if (!coder || !coder->ready())
        failed = true;
    for (;;) {
        workAvailable.wait(lock, [&] { return stopping || failed || !todo.empty(); });
        if (stopping || failed)
            break;
        Job* job = todo.front();
        todo.pop_front();
        lock.unlock();
        bool ok = true;
        try {
            RunJob(*coder, *job);
        } catch (...) {
            ok = false;
        }
        lock.lock();
        job->done = true;
        if (!ok || job->size == 0)
            failed = true;
        jobDone.notify_all();
    }
    jobDone.notify_all();
}

std::unique_ptr<Job> ZlibStreamDeflater::State::freshJob()
{
    std::unique_ptr<Job> job;
    if (!spare.empty()) {
        job = std::move(spare.back());
        spare.pop_back();
        job->in.clear();
        job->size = 0;
        job->done = job->last = false;
    } else {
        job = std::make_unique<Job>();
        job->in.reserve(pieceBytes);
    }
    return job;
}

bool ZlibStreamDeflater::State::submit(bool last)
{
    filling->last = last;
    std::unique_lock lock(mutex);
    Job* job = filling.get();
    inOrder.push_back(std::move(filling));
    if (workers.empty()) {
        lock.unlock();
        RunJob(*inlineCoder, *job);
        lock.lock();
        job->done = true;
        failed = failed || job->size == 0;
    } else {
        todo.push_back(job);
        workAvailable.notify_one();
    }
    return emitReady(lock, last ? 0 : maxInFlight - 1);
}

// Hands finished pieces at the front to the sink, waiting until at most keep pieces are in flight.
bool ZlibStreamDeflater::State::emitReady(std::unique_lock<std::mutex>& lock, std::size_t keep)
{
    while (!failed && !inOrder.empty()) {
        Job& front = *inOrder.front();
        if (!front.done) {
            if (inOrder.size() <= keep)
                break;
            jobDone.wait(lock, [&] { return front.done || failed; });
            continue;
        }
        lock.unlock();  // the sink may take its time; the workers go on meanwhile
        std::uint8_t header[2];
        deflate_detail::WriteZlibHeader(settings, header);
        bool ok = (headerSent || sink(header, 2)) && sink(front.out.data(), front.size);
        headerSent = true;
        adler = static_cast<std::uint32_t>(adler32_combine(adler, front.adler, static_cast<z_off_t>(front.in.size())));
        lock.lock();
        failed = failed || !ok;
        spare.push_back(std::move(inOrder.front()));
        inOrder.pop_front();
    }
    return !failed;
}

ZlibStreamDeflater::ZlibStreamDeflater(const DeflateSettings& settings, Sink sink, std::size_t pieceBytes)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.settings = settings;
    s.sink = std::move(sink);
    s.pieceBytes = std::max<std::size_t>(pieceBytes, 1);
    const unsigned threads =
        settings.threads ? std::min(settings.threads, kMaxDeflateThreads) : UsableCores();
    s.maxInFlight = 2 * std::size_t{threads};
    s.filling = s.freshJob();
    try {
        for (unsigned t = 0; threads > 1 && t < threads; ++t)
            s.workers.start([&s] { s.workerLoop(); });
    } catch (...) {
        // Fewer workers than hoped; with none at all the pieces are compressed in write().
    }
    if (s.workers.empty()) {
        s.inlineCoder = std::make_unique<PieceCoder>(settings);
        s.failed = !s.inlineCoder->ready();
    }
}

ZlibStreamDeflater::~ZlibStreamDeflater()
{
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->workAvailable.notify_all();
    state_->workers.join();
}

bool ZlibStreamDeflater::write(const std::uint8_t* data, std::size_t size)
{
    State& s = *state_;
    try {
        while (size > 0 && !s.failed && !s.finished) {
            const std::size_t take = std::min(size, s.pieceBytes - s.filling->in.size());
            s.filling->in.insert(s.filling->in.end(), data, data + take);
            data += take;
            size -= take;
            if (s.filling->in.size() == s.pieceBytes && (!s.submit(false) || !(s.filling = s.freshJob())))
                break;
        }
    } catch (const std::bad_alloc&) {
        std::lock_guard lock(s.mutex);
        s.failed = true;
    }
    std::lock_guard lock(s.mutex);
    return !s.failed && !s.finished;
}

bool ZlibStreamDeflater::finish()
{
    State& s = *state_;
    if (s.finished)
        return false;
    s.finished = true;
    {
        std::lock_guard lock(s.mutex);
        if (s.failed)
            return false;
    }
    try {
        if (!s.submit(true))
            return false;
    } catch (const std::bad_alloc&) {
        s.failed = true;
        return false;
    }
    std::uint8_t trailer[4];
    deflate_detail::WriteBigEndian32(s.adler, trailer);
    return s.sink(trailer, 4);
}

}  // namespace tovanel::tools
