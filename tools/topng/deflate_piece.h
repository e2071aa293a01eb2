// The pieces of a zlib stream that several threads compress side by side, and the coders that
// compress them.
#pragma once

#include "deflate_parallel.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tovanel::tools::deflate_detail {

// The output room one piece of n input bytes needs, its closing marker included.
std::size_t PieceBound(std::size_t n);

// The two bytes that open the stream; the same the single-call coders write at these settings.
void WriteZlibHeader(const DeflateSettings& settings, std::uint8_t* out);
void WriteBigEndian32(std::uint32_t value, std::uint8_t* out);

// The coders below are this thread's own, made once and kept; they throw std::bad_alloc when one
// cannot be made.

// The whole input in one call on this thread: the stream the converter has always written.
std::size_t CompressWhole(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                          std::size_t cap);

// CompressWhole's run-only stream of in[0, n), coded as the input becomes final: ready(done) returns
// how many bytes are final, more than done (it may wait for them), or SIZE_MAX to stop. zlib's output
// does not depend on how its input arrives, so the stream is CompressWhole's byte for byte. Its size,
// 0 when stopped or failed.
std::size_t CompressRunsAsReady(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n,
                                std::uint8_t* out, std::size_t cap, const std::function<std::size_t(std::size_t)>& ready);

// Raw deflate of in[0, n) into out (cap >= PieceBound(n)); its size, 0 on failure. A piece that is
// not the last ends on a byte boundary after an empty stored block, so the next piece can follow it
// byte for byte; the last one closes the stream.
std::size_t CompressPiece(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                          std::size_t cap, bool last);

// One piece of a buffer coded on its own: where its input is, and where its output was written.
struct PieceResult {
    std::size_t offset = 0, length = 0;  // input
    std::size_t region = 0, size = 0;    // output: where it was written, and its size
    std::uint32_t adler = 1;
};

// The pieces DeflateToZlib cuts n bytes into with these settings, each with its own region of the
// output after the 2-byte header.
std::vector<PieceResult> PlanPieces(std::size_t n, const DeflateSettings& settings);

}  // namespace tovanel::tools::deflate_detail
