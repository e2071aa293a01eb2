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

// The most pieces a buffer is cut into: enough for a thread that drew easy pieces to take over more
// of them on up to four threads (on more, each still gets some). Run-only pieces cost a few dozen
// bytes each (zlib starts a block every 16K symbols anyway), so they are cut finer: the threads then
// finish together. The cut depends on the buffer alone, never on the threads, so neither do the bytes.
constexpr std::size_t kMaxPieces = 16;
constexpr std::size_t kMaxRunPieces = 64;

std::size_t MinPiece(const DeflateSettings& settings) { return std::max(kMinDeflatePiece, settings.minPiece); }

std::size_t PieceCount(std::size_t n, const DeflateSettings& settings) {
  if (n < kParallelDeflateMin) return 1;
  return std::clamp<std::size_t>(n / MinPiece(settings), 1,
                                 settings.coding == DeflateCoding::Runs ? kMaxRunPieces : kMaxPieces);
}

}  // namespace

namespace deflate_detail {

std::vector<PieceResult> PlanPieces(std::size_t n, const DeflateSettings& settings) {
  const std::size_t count = PieceCount(n, settings);
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
  return static_cast<unsigned>(std::min<std::size_t>(threads, PieceCount(n, settings)));
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
  try {
    if (PieceCount(n, settings) == 1) {
      const std::size_t size = deflate_detail::CompressWhole(settings, in, n, out, cap);
      if (size == 0 || (sink && !(*sink)({out, size}))) return {};
      return {{out, size}};
    }
    std::vector<PieceResult> pieces = deflate_detail::PlanPieces(n, settings);
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
