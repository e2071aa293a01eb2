// Compresses a buffer of filtered rows into one zlib stream, in pieces on the pool's threads.
#include "deflate_parallel.h"

#include "deflate_piece.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace tovanel::tools {

using deflate_detail::PieceBound;
using deflate_detail::PieceResult;

namespace {

// More pieces than threads, so that a thread that drew easy pieces takes over more of them.
constexpr std::size_t kPiecesPerThread = 4;
// Run-only pieces cost a few dozen bytes each (zlib starts a block every 16K symbols anyway), so they
// are cut finer: the threads then finish together.
constexpr std::size_t kRunPiecesPerThread = 16;

std::size_t MinPiece(const DeflateSettings& settings) { return std::max(kMinDeflatePiece, settings.minPiece); }

}  // namespace

namespace deflate_detail {

std::vector<PieceResult> PlanPieces(std::size_t n, unsigned threads, const DeflateSettings& settings) {
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

}  // namespace deflate_detail

unsigned DeflateThreadsFor(std::size_t n, const DeflateSettings& settings, unsigned threads) {
  if (n < kParallelDeflateMin) return 1;
  return static_cast<unsigned>(std::min<std::size_t>(threads, n / MinPiece(settings)));
}

std::size_t ZlibStreamBound(std::size_t n) {
  // The sum of the pieces' bounds for the most pieces any plan makes, plus header and checksum; it
  // also covers the single-call coders, whose bounds are below PieceBound(n).
  const std::size_t pieces = n / kMinDeflatePiece + 1;
  return 6 + n + 5 * (n / 4096) + (5 + 64) * pieces;
}

std::size_t PartsSize(const StreamParts& parts) {
  std::size_t size = 0;
  for (const StreamPart& part : parts) size += part.size;
  return size;
}

StreamParts DeflateToZlibParts(engine::Pool& pool, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                               std::size_t cap, const DeflateSettings& settings, const PartsSink* sink) {
  if (cap < ZlibStreamBound(n)) return {};
  const unsigned threads = DeflateThreadsFor(n, settings, pool.threads());
  try {
    if (threads <= 1) {
      const std::size_t size = deflate_detail::CompressWhole(settings, in, n, out, cap);
      if (size == 0 || (sink && !(*sink)({out, size}))) return {};
      return {{out, size}};
    }
    std::vector<PieceResult> pieces = deflate_detail::PlanPieces(n, threads, settings);
    deflate_detail::WriteZlibHeader(settings, out);
    StreamParts parts{{out, 2}};
    if (sink && !(*sink)(parts.front())) return {};
    // Each piece is coded into its own room of out and goes to the sink in order as soon as it and all
    // before it are coded.
    engine::InOrder writer(pieces.size(), [&](std::size_t i) {
      return !sink || (*sink)({out + pieces[i].region, pieces[i].size});
    });
    std::atomic<bool> failed{false};
    {
      engine::Batch batch(pool);
      for (std::size_t i = 0; i < pieces.size(); ++i)
        batch.add([&, i] {
          if (failed || writer.failed()) return;
          PieceResult& p = pieces[i];
          p.size = deflate_detail::CompressPiece(settings, in + p.offset, p.length, out + p.region,
                                                 PieceBound(p.length), i + 1 == pieces.size());
          p.adler = libdeflate_adler32(1, in + p.offset, p.length);
          if (p.size == 0)
            failed = true;
          else
            writer.done(i);
        });
      batch.wait();
      if (batch.failed() || failed || writer.failed()) return {};
    }
    std::uint32_t adler = 1;
    for (const PieceResult& p : pieces) {
      parts.push_back({out + p.region, p.size});
      adler = static_cast<std::uint32_t>(adler32_combine(adler, p.adler, static_cast<z_off_t>(p.length)));
    }
    // The last piece's room ends at least 4 bytes before ZlibStreamBound.
    std::uint8_t* end = out + pieces.back().region + pieces.back().size;
    deflate_detail::WriteBigEndian32(adler, end);
    parts.push_back({end, 4});
    if (sink && !(*sink)(parts.back())) return {};
    return parts;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::size_t DeflateToZlib(engine::Pool& pool, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                          std::size_t cap, const DeflateSettings& settings) {
  // The parts closed up at out, in order (each lies at or after where it goes).
  std::size_t at = 0;
  for (const StreamPart& part : DeflateToZlibParts(pool, in, n, out, cap, settings)) {
    std::memmove(out + at, part.data, part.size);
    at += part.size;
  }
  return at;
}

}  // namespace tovanel::tools
