// Compresses a buffer of filtered rows into one zlib stream, in pieces spread over the usable cores.
#include "deflate_parallel.h"

#include "deflate_piece.h"

#include <libdeflate.h>
#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace tovanel::tools {

using deflate_detail::PieceBound;
using deflate_detail::PieceCoder;
using deflate_detail::PieceResult;
using deflate_detail::PlanPieces;

namespace {

// More pieces than threads, so that a thread that drew easy pieces takes over more of them.
constexpr std::size_t kPiecesPerThread = 4;
// Run-only pieces cost a few dozen bytes each (zlib starts a block every 16K symbols anyway), so they
// are cut finer: the threads then finish together, also when some pieces were coded ahead.
constexpr std::size_t kRunPiecesPerThread = 16;

std::size_t MinPiece(const DeflateSettings& settings) { return std::max(kMinDeflatePiece, settings.minPiece); }

}  // namespace

namespace deflate_detail {

std::vector<PieceResult> PlanPieces(std::size_t n, unsigned threads, const DeflateSettings& settings)
{
    const std::size_t perThread = settings.coding == DeflateCoding::Runs ? kRunPiecesPerThread : kPiecesPerThread;
    const std::size_t count = std::clamp<std::size_t>(n / MinPiece(settings), 1, threads * perThread);
    const std::size_t piece = (n + count - 1) / count;
    std::vector<PieceResult> pieces;
    std::size_t region = 2;
    for (std::size_t offset = 0; offset < n; offset += piece) {
        PieceResult p;
        p.offset = offset;
        p.length = std::min(piece, n - offset);
        p.region = region;
        region += PieceBound(p.length);
        pieces.push_back(p);
    }
    return pieces;
}

StreamParts PiecesInPlace(const std::vector<PieceResult>& pieces, const DeflateSettings& settings, std::uint8_t* out)
{
    WriteZlibHeader(settings, out);
    StreamParts parts{{out, 2}};
    std::uint32_t adler = 1;
    for (const PieceResult& p : pieces) {
        parts.push_back({out + p.region, p.size});
        adler = static_cast<std::uint32_t>(adler32_combine(adler, p.adler, static_cast<z_off_t>(p.length)));
    }
    // The last piece's room ends at least 4 bytes before ZlibStreamBound.
    std::uint8_t* end = out + (pieces.empty() ? 2 : pieces.back().region + pieces.back().size);
    WriteBigEndian32(adler, end);
    parts.push_back({end, 4});
    return parts;
}

std::size_t CloseUp(const StreamParts& parts, std::uint8_t* out)
{
    std::size_t at = 0;
    for (const StreamPart& part : parts) {
        std::memmove(out + at, part.data, part.size);
        at += part.size;
    }
    return at;
}

}  // namespace deflate_detail

namespace {

// Each thread takes the next piece not yet taken until none is left; false if any piece failed.
bool CompressPieces(const std::uint8_t* in, std::uint8_t* out, std::vector<PieceResult>& pieces, unsigned threads,
                    const DeflateSettings& settings, deflate_detail::InOrder& order)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto work = [&] {
        try {
            PieceCoder coder(settings);
            if (!coder.ready())
                failed = true;
            for (std::size_t i = next++; i < pieces.size() && !failed && !order.failed(); i = next++) {
                PieceResult& p = pieces[i];
                p.size = coder.compress(in + p.offset, p.length, out + p.region, PieceBound(p.length),
                                        i + 1 == pieces.size());
                p.adler = libdeflate_adler32(1, in + p.offset, p.length);
                if (p.size == 0)
                    failed = true;
                else
                    order.done(i);
            }
        } catch (...) {
            failed = true;
        }
    };
    deflate_detail::OnThreads(threads, work);
    return !failed && !order.failed();
}

}  // namespace

unsigned UsableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return static_cast<unsigned>(std::clamp(CPU_COUNT(&set), 1, static_cast<int>(kMaxDeflateThreads)));
}

unsigned DeflateThreadsFor(std::size_t n, const DeflateSettings& settings)
{
    if (n < kParallelDeflateMin)
        return 1;
    const unsigned wanted = settings.threads ? std::min(settings.threads, kMaxDeflateThreads) : UsableCores();
    return static_cast<unsigned>(std::min<std::size_t>(wanted, n / MinPiece(settings)));
}

std::size_t ZlibStreamBound(std::size_t n)
{
    // The sum of the pieces' bounds for the most pieces any plan makes, plus header and checksum; it
    // also covers the single-call coders, whose bounds are below PieceBound(n).
    const std::size_t pieces = n / kMinDeflatePiece + 1;
    return 6 + n + 5 * (n / 4096) + (5 + 64) * pieces;
}

std::size_t PartsSize(const StreamParts& parts)
{
    std::size_t size = 0;
    for (const StreamPart& part : parts)
        size += part.size;
    return size;
}

StreamParts DeflateToZlibParts(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap,
                               const DeflateSettings& settings, const PartsSink* sink)
{
    if (cap < ZlibStreamBound(n))
        return {};
    const unsigned threads = DeflateThreadsFor(n, settings);
    try {
        if (threads <= 1) {
            const std::size_t size = deflate_detail::CompressWhole(settings, in, n, out, cap);
            if (size == 0 || (sink && !(*sink)({out, size})))
                return {};
            return {{out, size}};
        }
        std::vector<PieceResult> pieces = PlanPieces(n, threads, settings);
        deflate_detail::InOrder order(sink, pieces, settings, out);
        if (!CompressPieces(in, out, pieces, std::min<unsigned>(threads, pieces.size()), settings, order))
            return {};
        return order.finish();
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::size_t DeflateToZlib(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap,
                          const DeflateSettings& settings)
{
    return deflate_detail::CloseUp(DeflateToZlibParts(in, n, out, cap, settings), out);
}

}  // namespace tovanel::tools
