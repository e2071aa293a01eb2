// Shared TIFF reading and error reporting for the two page tools.
#include "tiffcommon.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovanel::tools {

namespace {

thread_local std::string t_lastError;

void ErrorHandler(const char* module, const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  t_lastError = (module && *module) ? std::string(module) + ": " + buf : std::string(buf);
}

thread_local std::vector<std::string> t_warnings;
constexpr std::size_t kMaxWarnings = 64;

void WarningHandler(const char* module, const char* fmt, va_list ap) {
  if (t_warnings.size() >= kMaxWarnings) return;
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  t_warnings.push_back((module && *module) ? std::string(module) + ": " + buf : std::string(buf));
}

std::string ErrnoText(int err) { return std::strerror(err); }

}  // namespace

void InstallTiffHandlers() {
  TIFFSetErrorHandler(ErrorHandler);
  TIFFSetWarningHandler(WarningHandler);
}

std::string LastTiffError() { return t_lastError; }
void ClearLastTiffError() { t_lastError.clear(); }
std::vector<std::string> TiffWarnings() { return t_warnings; }
void ClearTiffWarnings() { t_warnings.clear(); }

Result<TiffPtr> OpenTiffForReading(const std::string& path, const char* extraMode) {
  ClearLastTiffError();
  // O_NONBLOCK: opening a FIFO without a writer must not wait; the type is checked right after.
  Fs::File fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return {{}, {CannotOpen, ErrnoText(errno)}};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return {{}, {CannotOpen, S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file"}};
  // Regular files never block; clear the flag so reads behave as usual.
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);

  unsigned char magic[4] = {};
  const ssize_t got = ::pread(fd.get(), magic, sizeof magic, 0);
  const bool le = got == 4 && magic[0] == 'I' && magic[1] == 'I' && magic[3] == 0 &&
                  (magic[2] == 42 || magic[2] == 43);
  const bool be = got == 4 && magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 &&
                  (magic[3] == 42 || magic[3] == 43);
  if (got < 0) return {{}, {CannotOpen, ErrnoText(errno)}};
  if (!le && !be) return {{}, {NotTiff, got < 4 ? "file too short for a TIFF header" : "no TIFF signature"}};

  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(kMaxTiffSingleAlloc));
  // "m": no memory mapping, so a file truncated while we read it gives an error, not SIGBUS.
  TiffPtr tif(TIFFFdOpenExt(fd.get(), path.c_str(), (std::string("rm") + extraMode).c_str(), opts));
  TIFFOpenOptionsFree(opts);
  if (!tif) return {{}, {Damaged, LastTiffError().empty() ? "cannot read the first image directory" : LastTiffError()}};
  fd.release();  // libtiff closes it with the TIFF (and only once it has opened it)
  return {std::move(tif), {}};
}

std::vector<tdir_t> ListPages(TIFF* tif, std::size_t limit, bool* chainBroken) {
  if (chainBroken) *chainBroken = false;
  std::vector<tdir_t> full;
  std::vector<tdir_t> reduced;
  if (!TIFFSetDirectory(tif, 0)) return full;
  for (std::size_t n = 0; n < kMaxDirectories; ++n) {
    uint32_t subfile = 0;
    TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &subfile);
    const tdir_t dir = TIFFCurrentDirectory(tif);
    if (subfile & FILETYPE_REDUCEDIMAGE) {
      if (full.empty() && (limit == 0 || reduced.size() < limit)) reduced.push_back(dir);
    } else {
      full.push_back(dir);
      if (limit && full.size() >= limit) break;
    }
    if (TIFFLastDirectory(tif)) break;
    if (!TIFFReadDirectory(tif)) {
      if (chainBroken) *chainBroken = true;
      break;
    }
  }
  return full.empty() ? reduced : full;
}

bool FirstPage(TIFF* tif, tdir_t& page) {
  const std::vector<tdir_t> pages = ListPages(tif, 1);
  if (pages.empty()) return false;
  page = pages.front();
  return true;
}

std::string FileNamePart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderPart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

Failure OutputFailure(const Fs::AtomicFile& out, int err) {
  if (err == 0) return {};
  if (out.tempPath().empty()) return {WriteFailed, "cannot create a file in the output folder: " + ErrnoText(err)};
  if (out.renameFailed()) return {WriteFailed, "cannot rename to " + out.target() + ": " + ErrnoText(err)};
  return {WriteFailed, "cannot write " + out.tempPath() + ": " + ErrnoText(err)};
}

}  // namespace tovanel::tools
