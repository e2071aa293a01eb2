// Compresses filtered PNG rows into one zlib stream in pieces on the pool's threads, as small as one
// thread makes it.
#pragma once

#include "engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tovanel::tools {

// Full matching (libdeflate) or run-only coding (zlib's Z_RLE); the caller chooses per page.
enum class DeflateCoding { Matches, Runs };

struct DeflateSettings {
    DeflateCoding coding = DeflateCoding::Matches;
    // libdeflate's level for Matches, zlib's for Runs.
    int level = 6;
    // The smallest piece of input coded on its own, if more than kMinDeflatePiece: on data that
    // compresses very well each piece's restart costs more of the output, so its pieces are longer.
    std::size_t minPiece = 0;
};

// Inputs smaller than this are coded whole: the stream is then the very one a single call makes.
// Larger ones are cut into pieces by their size alone, so their stream is the same on any threads.
inline constexpr std::size_t kParallelDeflateMin = std::size_t{1} << 20;
// The smallest piece coded on its own. Each piece restarts the match finder and ends with a 5-byte
// marker: on filtered photographs, scans and drawn pages that cost at most 0.3 % at 128 KiB.
inline constexpr std::size_t kMinDeflatePiece = std::size_t{256} << 10;
// The piece a stream is cut into unless told otherwise.
inline constexpr std::size_t kStreamDeflatePiece = std::size_t{1} << 20;

// The threads a buffer of n bytes is coded on, out of `threads`: one below kParallelDeflateMin, and
// never more than its pieces.
unsigned DeflateThreadsFor(std::size_t n, const DeflateSettings& settings, unsigned threads);

// The output capacity DeflateToZlib needs for n bytes of input, whatever the settings.
std::size_t ZlibStreamBound(std::size_t n);

// A part of a zlib stream: the stream is its parts one after another.
struct StreamPart {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};
using StreamParts = std::vector<StreamPart>;

// The bytes in parts.
std::size_t PartsSize(const StreamParts& parts);

// Receives the parts of a stream in order, one call at a time, from whichever thread puts them out
// (see engine::InOrder), while later pieces are still being coded; returns false to stop (a failed
// write). The parts stay where they are until the coding call returns.
using PartsSink = std::function<bool(const StreamPart& part)>;

// Compresses in[0, n) into a complete zlib stream in out, which must hold ZlibStreamBound(n) bytes,
// on the pool's threads. Returns the stream's size, or 0 when memory ran out. Memory beyond out: per
// thread under 1 MiB of coder state (libdeflate 0.65 MiB, or zlib 0.26 MiB).
std::size_t DeflateToZlib(engine::Pool& pool, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                          std::size_t cap, const DeflateSettings& settings);

// The same stream, left where its pieces were compressed in out: the header, each piece at the start
// of its own room, the checksum after the last one. Whoever writes it out spares moving megabytes
// together (into pages of out never touched before). Empty when memory ran out. With a sink, every
// part goes to it as well, in order, the last before the call returns; the parts are then empty when
// the sink stopped.
StreamParts DeflateToZlibParts(engine::Pool& pool, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                               std::size_t cap, const DeflateSettings& settings, const PartsSink* sink = nullptr);

// The same for data that arrives in parts (rows, bands) and whose whole need not be held: it is cut
// into pieces of pieceBytes whatever the threads (so the stream does not depend on them), and the
// stream leaves through the sink in order while later pieces are still being compressed. Memory: two
// pieces per thread under way, each its input plus its output bound (about 2 MiB per piece of 1 MiB),
// plus the coder state per thread.
class ZlibStreamDeflater {
public:
    // Receives the next part of the stream; returns false to stop (a failed write). Called from
    // whichever thread puts the pieces out, one call at a time.
    using Sink = std::function<bool(const std::uint8_t* data, std::size_t size)>;

    ZlibStreamDeflater(engine::Pool& pool, const DeflateSettings& settings, Sink sink,
                       std::size_t pieceBytes = kStreamDeflatePiece);
    ~ZlibStreamDeflater();
    ZlibStreamDeflater(const ZlibStreamDeflater&) = delete;
    ZlibStreamDeflater& operator=(const ZlibStreamDeflater&) = delete;

    // Returns false once anything failed (memory, the sink); later calls then do nothing.
    bool write(const std::uint8_t* data, std::size_t size);
    // Ends the stream and hands out the rest; false on failure. Call it once, after the last write.
    bool finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tovanel::tools
