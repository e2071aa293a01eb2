// Compresses rows that arrive in parts into one zlib stream: pieces coded on the pool, put out in order.
#include "deflate_parallel.h"

#include "deflate_piece.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace tovanel::tools {

struct ZlibStreamDeflater::State {
  struct Piece {
    std::vector<std::uint8_t> in, out;
    std::size_t size = 0;
    std::uint32_t adler = 1;
  };

  State(engine::Pool& pool, const DeflateSettings& s, Sink k, std::size_t bytes)
      : settings(s), sink(std::move(k)), pieceBytes(std::max<std::size_t>(bytes, 1)), pieces(2 * pool.threads()),
        writer(pieces.size(), [this](std::size_t i) { return put(i); }), batch(pool) {}

  DeflateSettings settings;
  Sink sink;
  std::size_t pieceBytes;
  std::vector<Piece> pieces;  // piece i at i % size: filling, coding, or coded and waiting to go out
  std::size_t next = 0;       // the piece filling
  std::uint32_t adler = 1;    // the writer's: the pieces' checksums combined as they go out
  std::atomic<bool> failed{false};
  bool finished = false;
  engine::InOrder writer;
  engine::Batch batch;  // waits for the pieces' jobs before the rest goes

  bool ok() const { return !failed && !writer.failed() && !batch.failed(); }

  bool put(std::size_t i) {
    const Piece& p = pieces[i % pieces.size()];
    if (i == 0) {
      std::uint8_t header[2];
      deflate_detail::WriteZlibHeader(settings, header);
      if (!sink(header, 2)) return false;
    }
    adler = static_cast<std::uint32_t>(adler32_combine(adler, p.adler, static_cast<z_off_t>(p.in.size())));
    return sink(p.out.data(), p.size);
  }

  // Queues the filling piece, then waits until the next one's place is free (its last piece is out).
  void submit(bool last) {
    const std::size_t i = next++;
    Piece& p = pieces[i % pieces.size()];
    batch.add([this, &p, i, last] {
      p.out.resize(deflate_detail::PieceBound(p.in.size()));
      p.size = deflate_detail::CompressPiece(settings, p.in.data(), p.in.size(), p.out.data(), p.out.size(), last);
      p.adler = libdeflate_adler32(1, p.in.data(), p.in.size());
      if (p.size == 0)
        failed = true;
      else
        writer.done(i);
    });
    const auto free = [this] { return writer.out() + pieces.size() > next; };
    batch.until([&] { return failed || writer.failed() || free(); });
    if (free()) pieces[next % pieces.size()].in.clear();
  }
};

ZlibStreamDeflater::ZlibStreamDeflater(engine::Pool& pool, const DeflateSettings& settings, Sink sink,
                                       std::size_t pieceBytes)
    : state_(std::make_unique<State>(pool, settings, std::move(sink), pieceBytes)) {}

ZlibStreamDeflater::~ZlibStreamDeflater() = default;

bool ZlibStreamDeflater::write(const std::uint8_t* data, std::size_t size) {
  State& s = *state_;
  try {
    while (size > 0 && s.ok() && !s.finished) {
      std::vector<std::uint8_t>& in = s.pieces[s.next % s.pieces.size()].in;
      in.reserve(s.pieceBytes);
      const std::size_t take = std::min(size, s.pieceBytes - in.size());
      in.insert(in.end(), data, data + take);
      data += take;
      size -= take;
      if (in.size() == s.pieceBytes) s.submit(false);
    }
  } catch (const std::bad_alloc&) {
    s.failed = true;
  }
  return s.ok() && !s.finished;
}

bool ZlibStreamDeflater::finish() {
  State& s = *state_;
  if (s.finished || !s.ok()) return false;
  s.finished = true;
  try {
    s.submit(true);
  } catch (const std::bad_alloc&) {
    return false;
  }
  s.batch.wait();
  if (!s.ok() || s.writer.out() != s.next) return false;
  std::uint8_t trailer[4];
  deflate_detail::WriteBigEndian32(s.adler, trailer);
  return s.sink(trailer, 4);
}

}  // namespace tovanel::tools
