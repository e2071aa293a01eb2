// PNG writing: the PNG container through libpng, and IDAT chunks from a zlib stream as it is made.
#pragma once

#include "deflate_parallel.h"
#include "metadata.h"
#include "page.h"

#include <png.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tovanel::tools::topng {

struct PngJob {
  const Page* page = nullptr;
  Fs::AtomicFile* out = nullptr;
  // Metadata.
  std::vector<png_color> palette;
  bool hasPhys = false;
  png_uint_32 physX = 0, physY = 0;
  int physUnit = PNG_RESOLUTION_UNKNOWN;
  const uint8_t* icc = nullptr;
  uint32_t iccSize = 0;
  // Text chunks and the eXIf chunk (SetPageMetadata); none when the page's metadata is not kept.
  std::vector<png_text> texts;
  std::vector<uint8_t> exif;
  // Output buffering and errors.
  uint8_t* buf = nullptr;
  std::size_t used = 0, cap = 0;
  int writeErr = 0;  // the errno of a failed write
  char pngError[256] = "";
};

// Reads the resolution (pHYs) and ICC profile (iCCP) of the current page, and the palette.
void ReadMetadata(TIFF* tif, PngJob& job);

// The text and eXIf chunks of meta, which must outlive the job.
void SetPageMetadata(const PageMetadata& meta, PngJob& job);

// Writes the PNG's chunks before the image data; false on failure (writeErr or pngError tell
// which). The IDAT chunks follow: WriteIdat, or an IdatWriter. All libpng calls sit in functions that
// hold no C++ objects with destructors, so libpng's longjmp on error skips nothing.
bool RunPngWriter(PngJob* job);

// Writes a zlib stream that arrives in parts as IDAT chunks of up to 1 MiB, then the IEND chunk: the
// same chunks as if the stream were in one piece. The parts are not copied: they must stay where they
// are until finish().
class IdatParts {
 public:
  explicit IdatParts(Fs::AtomicFile& out);
  // False once a write failed (error() tells the system's reason). Called on coding threads: it
  // allocates nothing.
  bool add(StreamPart part);
  bool finish();
  bool failed() const { return err_ != 0; }
  int error() const { return err_; }

 private:
  Fs::AtomicFile& out_;
  StreamParts chunk_;  // the next chunk's data so far
  std::size_t inChunk_ = 0;
  int err_ = 0;
};

// The same for parts that go away once handed over: each is copied into a chunk's buffer first.
class IdatWriter {
 public:
  explicit IdatWriter(Fs::AtomicFile& out) : parts_(out) {}
  // False once a write failed (error() tells the system's reason).
  bool add(const uint8_t* data, std::size_t size);
  bool finish() { return parts_.finish(); }
  bool failed() const { return parts_.failed(); }
  int error() const { return parts_.error(); }

 private:
  IdatParts parts_;
  std::unique_ptr<uint8_t[]> buf_;  // the next chunk's data; a full one has gone out
  std::size_t used_ = 0;
};

}  // namespace tovanel::tools::topng
