// One thread's coder for the pieces of a zlib stream: libdeflate's matching or zlib's run-only coding.
#include "deflate_piece.h"

#include "deflate_blocks.h"
#include "helper_thread.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace tovanel::tools::deflate_detail {

namespace {

// An empty stored block after the 3 header bits and the padding: length 0 and its complement.
constexpr std::uint8_t kStoredTail[4] = {0x00, 0x00, 0xff, 0xff};
// Room for the marker a piece gets after its last block: up to 2 bytes of header and padding, then 4.
constexpr std::size_t kMarkerBytes = 6;
// zlib takes its lengths as 32-bit counts: longer inputs go in parts of this size.
constexpr std::size_t kZlibPart = std::size_t{1} << 30;

// zlib takes its memory from malloc, untouched, and its run coder compares up to 258 bytes past the
// data it has in its window. A page first read maps the shared zero page, and the write that follows
// must take that mapping back from every core the program runs on: on a virtual machine an
// interprocessor interrupt for each page, which cost a small page more than its coding. Zeros written
// up front make ordinary faults of them.
voidpf WrittenZeros(voidpf, uInt items, uInt size)
{
    const std::size_t n = std::size_t{items} * size;
    void* p = std::malloc(n);
    if (p)
        std::memset(p, 0, n);
    return p;
}

void Free(voidpf, voidpf p)
{
    std::free(p);
}

std::size_t RunsWhole(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap, int level)
{
    z_stream zs{};
    if (!InitRuns(&zs, level, false))
        return 0;
    zs.next_out = out;
    int rc = Z_OK;
    std::size_t done = 0;
    while (rc == Z_OK) {
        const std::size_t part = std::min(n - done, kZlibPart);
        zs.next_in = const_cast<Bytef*>(in + done);
        zs.avail_in = static_cast<uInt>(part);
        zs.avail_out = static_cast<uInt>(std::min(cap - zs.total_out, kZlibPart));
        done += part;
        rc = deflate(&zs, done == n ? Z_FINISH : Z_NO_FLUSH);
        if (zs.avail_in != 0 && rc == Z_OK)
            rc = Z_BUF_ERROR;  // the output room is too small
        if (done == n && rc == Z_OK)
            rc = Z_BUF_ERROR;
    }
    const std::size_t size = zs.total_out;
    deflateEnd(&zs);
    return rc == Z_STREAM_END ? size : 0;
}

}  // namespace

std::size_t PieceBound(std::size_t n)
{
    // Covers stored blocks of either library (5 bytes per block of at least 5000 bytes) and the marker.
    return n + 5 * (n / 4096 + 1) + 64;
}

void WriteZlibHeader(const DeflateSettings& settings, std::uint8_t* out)
{
    // The level hint the libraries themselves write: zlib marks run-only coding "fastest".
    int hint = 0;
    if (settings.coding == DeflateCoding::Matches)
        hint = settings.level < 2 ? 0 : settings.level < 6 ? 1 : settings.level == 6 ? 2 : 3;
    const unsigned cmf = 0x78, flg = static_cast<unsigned>(hint) << 6;
    out[0] = static_cast<std::uint8_t>(cmf);
    out[1] = static_cast<std::uint8_t>(flg + 31 - (cmf * 256 + flg) % 31);
}

void WriteBigEndian32(std::uint32_t value, std::uint8_t* out)
{
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

std::size_t CompressWhole(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                          std::size_t cap)
{
    if (settings.coding == DeflateCoding::Runs)
        return RunsWhole(in, n, out, cap, settings.level);
    libdeflate_compressor* c = libdeflate_alloc_compressor(settings.level);
    if (!c)
        return 0;
    const std::size_t size = libdeflate_zlib_compress(c, in, n, out, cap);
    libdeflate_free_compressor(c);
    return size;
}

bool InitRuns(z_stream* zs, int level, bool raw)
{
    zs->zalloc = WrittenZeros;
    zs->zfree = Free;
    zs->opaque = nullptr;
    return deflateInit2(zs, level, Z_DEFLATED, raw ? -15 : 15, 8, Z_RLE) == Z_OK;
}

bool RunsStep(z_stream* zs, const std::uint8_t* in, std::size_t n, bool end, bool last)
{
    zs->next_in = const_cast<Bytef*>(in);
    zs->avail_in = static_cast<uInt>(n);
    const int flush = !end ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
    const int rc = deflate(zs, flush);
    if (flush == Z_FINISH)
        return rc == Z_STREAM_END;
    // With room to spare, a flush that fills the output may be unfinished.
    return rc == Z_OK && zs->avail_in == 0 && zs->avail_out != 0;
}

struct InOrder::State {
    State(const PartsSink* k, const std::vector<PieceResult>& p, const DeflateSettings& s, std::uint8_t* o)
        : sink(k), pieces(p), settings(s), out(o), done(std::make_unique<std::atomic<bool>[]>(p.size()))
    {
    }

    const PartsSink* sink;
    const std::vector<PieceResult>& pieces;
    DeflateSettings settings;
    std::uint8_t* out;
    std::unique_ptr<std::atomic<bool>[]> done;
    std::mutex writer;                // held by the thread handing parts to the sink
    std::atomic<std::size_t> next{0};  // the first piece not handed over; moved under writer
    std::atomic<bool> failed{false};

    // Hands a part to the sink; a sink that throws (out of memory) has stopped, since a coding thread
    // must not end in an exception.
    void hand(const StreamPart& part)
    {
        try {
            if (!(*sink)(part))
                failed = true;
        } catch (...) {
            failed = true;
        }
    }

    // Hands over the pieces done from next on; called with writer held.
    void handOver()
    {
        for (std::size_t i = next; i < pieces.size() && done[i].load(std::memory_order_acquire) && !failed;
             i = ++next)
            hand({out + pieces[i].region, pieces[i].size});
    }
};

InOrder::InOrder(const PartsSink* sink, const std::vector<PieceResult>& pieces, const DeflateSettings& settings,
                 std::uint8_t* out)
    : state_(std::make_unique<State>(sink, pieces, settings, out))
{
    WriteZlibHeader(settings, out);
    if (sink)
        state_->hand({out, 2});
}

InOrder::~InOrder() = default;

void InOrder::done(std::size_t i)
{
    State& s = *state_;
    if (!s.sink)
        return;
    s.done[i].store(true, std::memory_order_release);
    // A thread that finds the writer busy leaves; the writer looks again after letting go, so that a
    // piece done meanwhile is not left for the end.
    while (s.writer.try_lock()) {
        s.handOver();
        s.writer.unlock();
        const std::size_t next = s.next;
        if (s.failed || next >= s.pieces.size() || !s.done[next].load(std::memory_order_acquire))
            return;
    }
}

bool InOrder::failed() const { return state_->failed; }

StreamParts InOrder::finish()
{
    State& s = *state_;
    if (!s.sink)
        return PiecesInPlace(s.pieces, s.settings, s.out);
    const std::lock_guard lock(s.writer);
    for (std::size_t i = s.next; i < s.pieces.size(); ++i)
        s.done[i].store(true, std::memory_order_relaxed);
    s.handOver();
    if (s.failed)
        return {};
    StreamParts parts = PiecesInPlace(s.pieces, s.settings, s.out);
    s.hand(parts.back());
    if (s.failed)
        return {};
    return parts;
}

void OnThreads(unsigned threads, const std::function<void()>& work)
{
    HelperThreads helpers;
    try {
        for (unsigned t = 1; t < threads; ++t)
            helpers.start(work);
    } catch (...) {
        // Fewer threads than hoped: the ones there are (this one at least) do all the work.
    }
    work();
    helpers.join();
}

PieceCoder::PieceCoder(const DeflateSettings& settings)
    : coding_(settings.coding)
{
    if (coding_ == DeflateCoding::Matches) {
        matcher_ = libdeflate_alloc_compressor(settings.level);
        ready_ = matcher_ != nullptr;
    } else {
        deflater_ = new (std::nothrow) z_stream{};
        ready_ = deflater_ && InitRuns(deflater_, settings.level, true);
        if (!ready_ && deflater_) {
            delete deflater_;
            deflater_ = nullptr;
        }
    }
}

PieceCoder::~PieceCoder()
{
    if (matcher_)
        libdeflate_free_compressor(matcher_);
    if (deflater_) {
        deflateEnd(deflater_);
        delete deflater_;
    }
}

std::size_t PieceCoder::compress(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap, bool last)
{
    if (!ready_ || cap < PieceBound(n))
        return 0;
    return coding_ == DeflateCoding::Matches ? compressMatches(in, n, out, cap, last)
                                             : compressRuns(in, n, out, cap, last);
}

std::size_t PieceCoder::compressMatches(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap,
                                        bool last)
{
    const std::size_t size = libdeflate_deflate_compress(matcher_, in, n, out, cap - kMarkerBytes);
    if (size == 0 || last)
        return size;
    // The piece's final block must not end the stream: clear its final bit, then close the piece with an
    // empty stored block so that it ends on a byte boundary (the next piece starts on one).
    BlockSpan span;
    if (!FindFinalBlock(out, size, span))
        return 0;
    out[span.header / 8] &= static_cast<std::uint8_t>(~(1u << (span.header % 8)));
    std::size_t at = span.end / 8;
    const unsigned bit = span.end % 8;
    if (bit == 0)
        out[at++] = 0;  // header bits and padding
    else {
        out[at] &= static_cast<std::uint8_t>((1u << bit) - 1);  // the 3 header bits are zero, as is the padding
        ++at;
        if (bit > 5)
            out[at++] = 0;
    }
    std::copy(std::begin(kStoredTail), std::end(kStoredTail), out + at);
    return at + sizeof kStoredTail;
}

std::size_t PieceCoder::compressRuns(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap,
                                     bool last)
{
    // A sync flush ends the piece with an empty stored block on a byte boundary; the last piece finishes.
    z_stream* zs = deflater_;
    if (deflateReset(zs) != Z_OK)
        return 0;
    zs->next_out = out;
    for (std::size_t done = 0;;) {
        const std::size_t part = std::min(n - done, kZlibPart);
        zs->avail_out = static_cast<uInt>(std::min(cap - zs->total_out, kZlibPart));
        if (!RunsStep(zs, in + done, part, done + part == n, last))
            return 0;
        done += part;
        if (done == n)
            return zs->total_out;
    }
}

}  // namespace tovanel::tools::deflate_detail
