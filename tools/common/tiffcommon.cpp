// Shared TIFF reading, error reporting and atomic file output for the two page tools.
#include "tiffcommon.h"

#include <atomic>
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

OutputFault g_outputFault = OutputFault::None;
int g_outputFaultErrno = 0;
std::atomic<int> g_writesBeforeFault{0};  // writes may come from several coding threads

// True (with errno set) when the test hook says this step fails.
bool Faulted(OutputFault step) {
  if (g_outputFault != step || g_writesBeforeFault.fetch_sub(1) > 0) return false;
  errno = g_outputFaultErrno;
  return true;
}

}  // namespace

void InstallTiffHandlers() {
  TIFFSetErrorHandler(ErrorHandler);
  TIFFSetWarningHandler(WarningHandler);
}

std::string LastTiffError() { return t_lastError; }
void ClearLastTiffError() { t_lastError.clear(); }
std::vector<std::string> TiffWarnings() { return t_warnings; }
void ClearTiffWarnings() { t_warnings.clear(); }

TIFF* OpenTiffForReading(const std::string& path, int& code, std::string& why, const char* extraMode) {
  ClearLastTiffError();
  // O_NONBLOCK: opening a FIFO without a writer must not wait; the type is checked right after.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    code = CannotOpen;
    why = ErrnoText(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const bool isDir = S_ISDIR(st.st_mode);
    ::close(fd);
    code = CannotOpen;
    why = isDir ? "is a folder" : "not a regular file";
    return nullptr;
  }
  // Regular files never block; clear the flag so reads behave as usual.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  unsigned char magic[4] = {};
  const ssize_t got = ::pread(fd, magic, sizeof magic, 0);
  const bool le = got == 4 && magic[0] == 'I' && magic[1] == 'I' && magic[3] == 0 &&
                  (magic[2] == 42 || magic[2] == 43);
  const bool be = got == 4 && magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 &&
                  (magic[3] == 42 || magic[3] == 43);
  if (got < 0) {
    const int err = errno;
    ::close(fd);
    code = CannotOpen;
    why = ErrnoText(err);
    return nullptr;
  }
  if (!le && !be) {
    ::close(fd);
    code = NotTiff;
    why = got < 4 ? "file too short for a TIFF header" : "no TIFF signature";
    return nullptr;
  }

  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(kMaxTiffSingleAlloc));
  // "m": no memory mapping, so a file truncated while we read it gives an error, not SIGBUS.
  TIFF* tif = TIFFFdOpenExt(fd, path.c_str(), (std::string("rm") + extraMode).c_str(), opts);
  TIFFOpenOptionsFree(opts);
  if (!tif) {
    ::close(fd);
    code = Damaged;
    why = LastTiffError().empty() ? "cannot read the first image directory" : LastTiffError();
    return nullptr;
  }
  code = Ok;
  return tif;
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

void SetOutputFaultForTesting(OutputFault fault, int err, int writesFirst) {
  g_outputFault = fault;
  g_outputFaultErrno = err;
  g_writesBeforeFault = writesFirst;
}

AtomicOutput::AtomicOutput(std::string target) : target_(std::move(target)) {}

AtomicOutput::~AtomicOutput() { discard(); }

bool AtomicOutput::open(std::string& why) {
  if (fd_ >= 0) return true;
  std::string pattern = FolderPart(target_) + "." + FileNamePart(target_) + ".XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  const int fd = Faulted(OutputFault::Create) ? -1 : ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) {
    why = "cannot create a file in the output folder: " + ErrnoText(errno);
    return false;
  }
  fd_ = fd;
  temp_.assign(buf.data());
  // mkostemp makes the file 0600; give it the mode a plain new file would have.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, 0666 & ~mask);
  return true;
}

bool AtomicOutput::writeAll(const void* data, std::size_t size, std::string& why) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = Faulted(OutputFault::Write) ? -1 : ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      why = "cannot write " + temp_ + ": " + ErrnoText(errno);
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool AtomicOutput::commit(std::string& why) {
  if (fd_ < 0 || committed_) {
    why = "output file not open";
    return false;
  }
  // No flush to disk here: the tools write intermediate files of a run, and the program makes its
  // outputs durable once at the end of the run. The rename alone already keeps readers from ever
  // seeing a part of the file, whether the tool is killed or the disk is full.
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    why = "cannot write " + temp_ + ": " + ErrnoText(errno);
    return false;
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    why = "cannot rename to " + target_ + ": " + ErrnoText(errno);
    return false;
  }
  committed_ = true;
  return true;
}

void AtomicOutput::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!committed_ && !temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

}  // namespace tovanel::tools
