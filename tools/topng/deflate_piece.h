// One thread's coder for the pieces of a zlib stream that several threads compress side by side.
#pragma once

#include "deflate_parallel.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct libdeflate_compressor;
struct z_stream_s;

namespace tovanel::tools::deflate_detail {

// The output room one piece of n input bytes needs, its closing marker included.
std::size_t PieceBound(std::size_t n);

// The two bytes that open the stream; the same the single-call coders write at these settings.
void WriteZlibHeader(const DeflateSettings& settings, std::uint8_t* out);
void WriteBigEndian32(std::uint32_t value, std::uint8_t* out);

// The whole input in one call on this thread: the stream the converter has always written.
std::size_t CompressWhole(const DeflateSettings& settings, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                          std::size_t cap);

// One piece of a buffer coded on its own: where its input is, and where its output was written.
struct PieceResult {
    std::size_t offset = 0, length = 0;  // input
    std::size_t region = 0, size = 0;    // output: where it was written, and its size
    std::uint32_t adler = 1;
};

// The pieces DeflateToZlib cuts n bytes into on `threads` threads with these settings, each with its
// own region of the output after the 2-byte header.
std::vector<PieceResult> PlanPieces(std::size_t n, unsigned threads, const DeflateSettings& settings);

// Writes the header before the coded pieces and the checksum after the last; the parts of the stream.
StreamParts PiecesInPlace(const std::vector<PieceResult>& pieces, const DeflateSettings& settings, std::uint8_t* out);

// Hands a stream coded in pieces to a sink in order while the pieces are coded: the header at once,
// each piece as soon as it and all before it are coded (by the thread that coded the last of them),
// the checksum at the end. Without a sink it does nothing.
class InOrder {
public:
    InOrder(const PartsSink* sink, const std::vector<PieceResult>& pieces, const DeflateSettings& settings,
            std::uint8_t* out);
    ~InOrder();
    InOrder(const InOrder&) = delete;
    InOrder& operator=(const InOrder&) = delete;

    // Piece i is coded: its size and checksum are final. Any thread.
    void done(std::size_t i);
    // Whether the sink has stopped.
    bool failed() const;
    // Once every piece is done and no thread codes: the rest, then the checksum. The stream's parts,
    // or none when the sink stopped.
    StreamParts finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Closes the parts up at out, in order (each part lies at or after where it goes); returns their size.
std::size_t CloseUp(const StreamParts& parts, std::uint8_t* out);

// Opens a run-only coder at this level: a zlib stream (raw false) or, for a piece, which carries no
// zlib header of its own, a raw one.
bool InitRuns(z_stream_s* zs, int level, bool raw);

// Hands in[0, n) to a run-only coder whose output room is set. The part that ends a piece (end) is
// flushed to a byte boundary, or finishes the stream in its last piece (last). True when all of it
// went in and was coded as asked. However the input is parted, the output is the same.
bool RunsStep(z_stream_s* zs, const std::uint8_t* in, std::size_t n, bool end, bool last);

// Calls work on this thread and on up to threads - 1 others, and waits for them all; on fewer when no
// more threads can be had.
void OnThreads(unsigned threads, const std::function<void()>& work);

// The coder state is made once per thread and reused for every piece that thread takes.
class PieceCoder {
public:
    explicit PieceCoder(const DeflateSettings& settings);
    ~PieceCoder();
    PieceCoder(const PieceCoder&) = delete;
    PieceCoder& operator=(const PieceCoder&) = delete;

    bool ready() const { return ready_; }
    // Raw deflate of in[0, n) into out (cap >= PieceBound(n)); returns its size, 0 on failure. A piece
    // that is not the last ends on a byte boundary after an empty stored block, so the next piece can
    // follow it byte for byte; the last one closes the stream.
    std::size_t compress(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap, bool last);

private:
    std::size_t compressMatches(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap,
                                bool last);
    std::size_t compressRuns(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap, bool last);

    DeflateCoding coding_;
    libdeflate_compressor* matcher_ = nullptr;
    z_stream_s* deflater_ = nullptr;
    bool ready_ = false;
};

}  // namespace tovanel::tools::deflate_detail
