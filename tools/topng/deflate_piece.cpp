// The coders of a zlib stream's pieces: libdeflate's matching or zlib's run-only coding.
#include "deflate_piece.h"

#include "deflate_blocks.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace tovanel::tools::deflate_detail {

namespace {

// An empty stored block after the 3 header bits and the padding: length 0 and its complement.
constexpr std::uint8_t kStoredTail[4] = {0x00, 0x00, 0xff, 0xff};
// Room for the marker a piece gets after its last block: up to 2 bytes of header and padding, then 4.
constexpr std::size_t kMarkerBytes = 6;
// zlib takes its lengths as 32-bit counts: longer inputs go in parts of this size.
constexpr std::size_t kZlibPart = std::size_t{1} << 30;

// Each thread keeps the coders it made, for its next piece, slice or page: making one costs more
// than coding a small piece. A coder that cannot be made is out of memory (std::bad_alloc).
class Coders {
 public:
  ~Coders() {
    if (matcher_) libdeflate_free_compressor(matcher_);
    if (runsReady_) deflateEnd(&runs_);
  }

  libdeflate_compressor* matcher(int level) {
    if (matcher_ && matchLevel_ == level) return matcher_;
    if (matcher_) libdeflate_free_compressor(matcher_);
    matcher_ = libdeflate_alloc_compressor(level);
    matchLevel_ = level;
    if (!matcher_) throw std::bad_alloc();
    return matcher_;
  }

  // A raw run-only coder at this level, fresh: a piece carries no zlib header of its own.
  z_stream* runs(int level) {
    if (runsReady_ && runsLevel_ == level && deflateReset(&runs_) == Z_OK) return &runs_;
    if (runsReady_) deflateEnd(&runs_);
    runs_ = z_stream{};
    runsReady_ = deflateInit2(&runs_, level, Z_DEFLATED, -15, 8, Z_RLE) == Z_OK;
    runsLevel_ = level;
    if (!runsReady_) throw std::bad_alloc();
    return &runs_;
  }

 private:
  libdeflate_compressor* matcher_ = nullptr;
  int matchLevel_ = 0;
  z_stream runs_{};
  bool runsReady_ = false;
  int runsLevel_ = 0;
};

thread_local Coders t_coders;

std::size_t CompressMatches(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                            std::size_t cap, bool last) {
  libdeflate_compressor* matcher = t_coders.matcher(settings.level);
  const std::size_t size = libdeflate_deflate_compress(matcher, in, n, out, cap - kMarkerBytes);
  if (size == 0 || last) return size;
  // The piece's final block must not end the stream: clear its final bit, then close the piece with an
  // empty stored block so that it ends on a byte boundary (the next piece starts on one).
  BlockSpan span;
  if (!FindFinalBlock(out, size, span)) return 0;
  out[span.header / 8] &= static_cast<std::uint8_t>(~(1u << (span.header % 8)));
  std::size_t at = span.end / 8;
  const unsigned bit = span.end % 8;
  if (bit == 0) {
    out[at++] = 0;  // header bits and padding
  } else {
    out[at] &= static_cast<std::uint8_t>((1u << bit) - 1);  // the 3 header bits are zero, as is the padding
    ++at;
    if (bit > 5) out[at++] = 0;
  }
  std::copy(std::begin(kStoredTail), std::end(kStoredTail), out + at);
  return at + sizeof kStoredTail;
}

// Hands in[done, until) of n bytes to the run-only coder; the end of the input ends the piece with an
// empty stored block on a byte boundary (a sync flush), or the stream (last).
bool RunsStep(z_stream* zs, const std::uint8_t* in, std::size_t done, std::size_t until, std::size_t n, bool last) {
  const int flush = until < n ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
  zs->next_in = const_cast<Bytef*>(in + done);
  zs->avail_in = static_cast<uInt>(until - done);
  const int rc = deflate(zs, flush);
  // With room to spare, a flush that fills the output may be unfinished.
  return flush == Z_FINISH ? rc == Z_STREAM_END : rc == Z_OK && zs->avail_in == 0 && zs->avail_out != 0;
}

std::size_t CompressRuns(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                         std::size_t cap, bool last) {
  z_stream* zs = t_coders.runs(settings.level);
  zs->next_out = out;
  for (std::size_t done = 0;;) {
    const std::size_t until = done + std::min(n - done, kZlibPart);
    zs->avail_out = static_cast<uInt>(std::min(cap - zs->total_out, kZlibPart));
    if (!RunsStep(zs, in, done, until, n, last)) return 0;
    done = until;
    if (done == n) return zs->total_out;
  }
}

}  // namespace

std::size_t PieceBound(std::size_t n) {
  // Covers stored blocks of either library (5 bytes per block of at least 5000 bytes) and the marker.
  return n + 5 * (n / 4096 + 1) + 64;
}

void WriteZlibHeader(const DeflateSettings& settings, std::uint8_t* out) {
  // The level hint the libraries themselves write: zlib marks run-only coding "fastest".
  int hint = 0;
  if (settings.coding == DeflateCoding::Matches)
    hint = settings.level < 2 ? 0 : settings.level < 6 ? 1 : settings.level == 6 ? 2 : 3;
  const unsigned cmf = 0x78, flg = static_cast<unsigned>(hint) << 6;
  out[0] = static_cast<std::uint8_t>(cmf);
  out[1] = static_cast<std::uint8_t>(flg + 31 - (cmf * 256 + flg) % 31);
}

void WriteBigEndian32(std::uint32_t value, std::uint8_t* out) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::size_t CompressWhole(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                          std::size_t cap) {
  if (settings.coding == DeflateCoding::Matches)
    return libdeflate_zlib_compress(t_coders.matcher(settings.level), in, n, out, cap);
  // What zlib writes around its raw stream: its header (the same for run-only coding at any level),
  // then the stream, then the checksum.
  if (cap < 6) return 0;
  WriteZlibHeader(settings, out);
  const std::size_t size = CompressRuns(settings, in, n, out + 2, cap - 6, true);
  if (size == 0) return 0;
  WriteBigEndian32(libdeflate_adler32(1, in, n), out + 2 + size);
  return size + 6;
}

std::size_t CompressRunsAsReady(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n,
                                std::uint8_t* out, std::size_t cap, const std::function<std::size_t(std::size_t)>& ready) {
  if (cap < 6 || n >= kZlibPart || cap - 6 >= kZlibPart) return 0;
  WriteZlibHeader(settings, out);
  z_stream* zs = t_coders.runs(settings.level);
  zs->next_out = out + 2;
  zs->avail_out = static_cast<uInt>(cap - 6);
  std::size_t done = 0;
  do {
    const std::size_t until = done < n ? ready(done) : n;
    if (until == SIZE_MAX || !RunsStep(zs, in, done, std::min(until, n), n, true)) return 0;
    done = std::min(until, n);
  } while (done < n);
  WriteBigEndian32(libdeflate_adler32(1, in, n), out + 2 + zs->total_out);
  return zs->total_out + 6;
}

std::size_t CompressPiece(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                          std::size_t cap, bool last) {
  if (cap < PieceBound(n)) return 0;
  return settings.coding == DeflateCoding::Matches ? CompressMatches(settings, in, n, out, cap, last)
                                                   : CompressRuns(settings, in, n, out, cap, last);
}

}  // namespace tovanel::tools::deflate_detail
