// Shared TIFF reading and error reporting for the two page tools.
#pragma once

#include <tiffio.h>

#include "common/file.h"
#include "status.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tovanel::tools {

namespace Fs = ::Tovanel::Fs;

// What every step of the tools returns: Ok, or the exit code the failure stands for and one line of text.
struct Failure {
  int code = Ok;
  std::string why;
  bool ok() const { return code == Ok; }
};

// A value, or the failure that kept it from being made.
template <class T>
struct Result {
  T value{};
  Failure failure;
};

// libtiff errors go to a per-thread "last error" text; warnings are kept per thread (the first 64
// since the last ClearTiffWarnings), for tools that tell repaired damage from harmless oddities.
// Call once at start-up.
void InstallTiffHandlers();
std::string LastTiffError();
void ClearLastTiffError();
std::vector<std::string> TiffWarnings();
void ClearTiffWarnings();

// The largest single allocation libtiff may make for one file (strip, tile, tag array).
inline constexpr std::size_t kMaxTiffSingleAlloc = std::size_t{256} << 20;

// An open libtiff file, closed when it goes.
struct TiffCloser {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// Opens a regular file for reading without ever blocking (O_NONBLOCK, then fstat S_ISREG before
// libtiff sees it), checks the TIFF/BigTIFF signature and sets libtiff's allocation limit.
// Fails with CannotOpen, NotTiff or Damaged.
// extraMode is added to libtiff's open mode: "D" reads a directory's strip or tile tables only when
// first used, so their size (TIFFNumberOfStrips / TIFFNumberOfTiles) can be looked at before they take
// any memory; "h" reads the header only, for a caller that goes to each directory by its offset.
Result<TiffPtr> OpenTiffForReading(const std::string& path, const char* extraMode = "");

// The page IFDs in file order. Reduced-resolution images (NewSubfileType bit 0) are skipped when the
// file also has a full-resolution image. libtiff refuses IFD loops; the walk also stops after
// maxDirectories IFDs, and after `limit` pages when limit > 0. A damaged IFD ends the list.
// The current directory of tif is left undefined: call TIFFSetDirectory before reading.
inline constexpr std::size_t kMaxDirectories = 100000;
// chainBroken (optional) is set when the chain ends in an IFD that cannot be read or that loops.
std::vector<tdir_t> ListPages(TIFF* tif, std::size_t limit = 0, bool* chainBroken = nullptr);

// The first page (first entry of ListPages); false when the file has none.
bool FirstPage(TIFF* tif, tdir_t& page);

// A failed step of an output file (Fs::AtomicFile::open, write or commit, which gave err) as the tools
// tell it: WriteFailed and the system's reason; Ok when err is 0.
Failure OutputFailure(const Fs::AtomicFile& out, int err);

// The text after the last "/" of path (the whole path when it has none).
std::string FileNamePart(const std::string& path);
// The folder of path including its trailing "/" ("" when path has no "/").
std::string FolderPart(const std::string& path);

}  // namespace tovanel::tools
