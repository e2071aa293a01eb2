// Run-only coding of a held page while the page is still being decoded: its one stream on a thread of
// its own, or its pieces on threads that would otherwise wait.
#pragma once

#include "deflate_parallel.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tovanel::tools {

// A page too small to cut into pieces is coded on one thread; on a machine with two cores or more
// that thread can start while the rows are still being decoded and filtered, instead of after. The
// coding is a guess: run-only (zlib's Z_RLE), which filtered photographs and scans take. The stream
// is the very one a single call makes, since zlib's output does not depend on how its input arrives;
// it is used only when the page's trial chooses run-only coding, and thrown away otherwise.
class RunsAhead {
 public:
  // Codes in[0, n) into out (cap bytes, at least ZlibStreamBound(n)) as the bytes are declared final.
  // Throws std::system_error when no thread can be had. The calling thread keeps to its core until
  // finish() or cancel(), which it calls itself.
  RunsAhead(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap, int level);
  // Stops the coding if it is still going.
  ~RunsAhead();
  RunsAhead(const RunsAhead&) = delete;
  RunsAhead& operator=(const RunsAhead&) = delete;

  // The first `bytes` bytes of the input are final (bytes only grows).
  void ready(std::size_t bytes);
  // Waits for the end of the stream (every byte must have been declared final) and returns its size,
  // or 0 when coding failed.
  std::size_t finish();
  // Stops the coding and waits for the thread; out may then be written by others.
  void cancel();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A page large enough to be cut into pieces is filtered on helper threads while it is decoded, and
// they often wait for the decoding. Meanwhile they code the pieces whose rows are there, run-only, in
// steps: the very pieces DeflateToZlib cuts with the same settings, so that when the page's trial
// chooses run-only coding and the same pieces, finish() takes them over and the stream is byte for
// byte DeflateToZlib's. Otherwise the work is dropped.
class PiecesAhead {
 public:
  // settings: run-only coding, and the threads DeflateToZlib would take; out holds cap bytes, at
  // least ZlibStreamBound(n).
  PiecesAhead(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap, const DeflateSettings& settings);
  ~PiecesAhead();
  PiecesAhead(const PiecesAhead&) = delete;
  PiecesAhead& operator=(const PiecesAhead&) = delete;

  // The first `bytes` bytes of the input are final (bytes only grows). Any thread.
  void ready(std::size_t bytes);
  // Codes up to 64 KiB more of the first piece whose input is there and that no other thread is
  // coding; false when there is none. Any thread, several at once.
  bool step();
  // Whether DeflateToZlib with these settings cuts the very same pieces in the same coding.
  bool samePieces(const DeflateSettings& settings) const;
  // Once the input is all there and no step() runs: codes the rest of every piece on the settings'
  // threads. Returns the stream's parts in out (as DeflateToZlibParts), or none when coding or the
  // sink failed; with a sink, they go to it as they are coded.
  StreamParts finish(const PartsSink* sink = nullptr);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tovanel::tools
