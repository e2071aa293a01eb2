// Shared TIFF reading, error reporting and atomic file output for the two page tools.
#pragma once

#include <tiffio.h>

#include "status.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tovanel::tools {

// A failure of one step: the exit code it stands for and one line of text.
struct Failure {
  int code = Ok;
  std::string why;
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
// Returns nullptr and sets code (CannotOpen, NotTiff, Damaged) and why on failure.
// extraMode is added to libtiff's open mode: "D" reads a directory's strip or tile tables only when
// first used, so their size (TIFFNumberOfStrips / TIFFNumberOfTiles) can be looked at before they take
// any memory; "h" reads the header only, for a caller that goes to each directory by its offset.
TIFF* OpenTiffForReading(const std::string& path, int& code, std::string& why, const char* extraMode = "");

// The page IFDs in file order. Reduced-resolution images (NewSubfileType bit 0) are skipped when the
// file also has a full-resolution image. libtiff refuses IFD loops; the walk also stops after
// maxDirectories IFDs, and after `limit` pages when limit > 0. A damaged IFD ends the list.
// The current directory of tif is left undefined: call TIFFSetDirectory before reading.
inline constexpr std::size_t kMaxDirectories = 100000;
// chainBroken (optional) is set when the chain ends in an IFD that cannot be read or that loops.
std::vector<tdir_t> ListPages(TIFF* tif, std::size_t limit = 0, bool* chainBroken = nullptr);

// The first page (first entry of ListPages); false when the file has none.
bool FirstPage(TIFF* tif, tdir_t& page);

// A file that appears whole or not at all: created under a unique hidden temporary name in the
// target's folder, moved over the target by commit() with a rename, removed by the destructor when
// not committed. It is not flushed to disk: durability against a power loss is the caller's.
class AtomicOutput {
 public:
  explicit AtomicOutput(std::string target);
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;
  ~AtomicOutput();

  bool open(std::string& why);
  const std::string& target() const { return target_; }
  const std::string& tempPath() const { return temp_; }
  int fd() const { return fd_; }
  // Writes all of data to fd(); false (with why) on any error.
  bool writeAll(const void* data, std::size_t size, std::string& why);
  bool commit(std::string& why);
  // Removes the temporary file now (also done by the destructor).
  void discard();

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// Test hook: AtomicOutput fails as the system would with errno err (EACCES: a folder the user may not
// write to; ENOSPC: a full disk) when it creates its file (Create) or writes to it (Write), until
// set back to None. It lets tests running as root, whom folder permissions do not stop, see the
// failure paths. Not for production use.
enum class OutputFault { None, Create, Write };
// A write fault may come after the first writesFirst writes have gone through.
void SetOutputFaultForTesting(OutputFault fault, int err, int writesFirst = 0);

// The text after the last "/" of path (the whole path when it has none).
std::string FileNamePart(const std::string& path);
// The folder of path including its trailing "/" ("" when path has no "/").
std::string FolderPart(const std::string& path);

}  // namespace tovanel::tools
