// The file layer shared by the program and the page tools: self-closing handles and the one atomic write.
#include "common/file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tovanel::Fs {

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int File::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

int File::close()
{
    if (fd_ < 0)
        return 0;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
}

Dir::~Dir()
{
    if (dir_)
        ::closedir(dir_);
}

bool WriteAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool FaultPlan::hits(Step at)
{
    if (at != step || (at == Write && writesFirst.fetch_sub(1) > 0))
        return false;
    errno = err;
    return true;
}

AtomicFile::AtomicFile(std::string target, mode_t mode, FaultPlan* faults)
    : target_(std::move(target)), mode_(mode), faults_(faults)
{
}

AtomicFile::~AtomicFile()
{
    file_.close();
    if (named_ && !done_)
        ::unlink(temp_.c_str());
}

namespace {

// A private name in folder (empty, or ending in "/"): the prefix and 16 hex digits from the kernel,
// which needs no lock and no seed: the program writes from several threads, and each tool is one of
// many processes started in the same instant.
int PrivateName(const std::string& folder, std::string& name)
{
    uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        return errno == EINTR ? EAGAIN : errno;
    char text[32];
    std::snprintf(text, sizeof text, "%s%016" PRIx64, kTempPrefix, random);
    name = folder + text;
    return 0;
}

// Gives the unnamed file open as fd the name path (through /proc, the way open for every user).
bool LinkUnnamed(int fd, const std::string& path)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

} // namespace

int AtomicFile::open()
{
    if (faults_ && faults_->hits(FaultPlan::Create))
        return errno;
    const size_t slash = target_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    // Unnamed until commit where the file system allows: a process killed while it writes (a tool, a
    // copy from another file system) then leaves nothing behind in the target's folder.
    if (::access("/proc/self/fd", X_OK) == 0) {
        file_ = File(::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode_));
        if (file_.valid())
            return PrivateName(folder, temp_);
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return errno;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name;
        if (const int err = PrivateName(folder, name))
            return err;
        file_ = File(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode_));
        if (file_.valid()) {
            temp_ = name;
            named_ = true;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Puts the unnamed file at the target: linked there when nothing is, else linked under the private
// name and renamed over what is there.
int AtomicFile::placeUnnamed()
{
    if (LinkUnnamed(file_.get(), target_))
        return 0;
    for (int attempt = 0; attempt < 100 && errno == EEXIST; ++attempt) {
        if (attempt > 0)
            if (const int err = PrivateName(target_.substr(0, target_.rfind('/') + 1), temp_))
                return err;
        if (LinkUnnamed(file_.get(), temp_)) {
            named_ = true;
            return 0;
        }
    }
    return errno;
}

int AtomicFile::write(const void* data, size_t size)
{
    if (faults_ && faults_->hits(FaultPlan::Write))
        return errno;
    if (!WriteAll(file_.get(), data, size))
        return errno;
    if (tap_)
        tap_(data, size);
    return 0;
}

int AtomicFile::commit(bool flushToDisk)
{
    if (!file_.valid())
        return EBADF;
    done_ = true;
    int err = 0;
    if ((faults_ && faults_->hits(FaultPlan::Commit)) || (flushToDisk && ::fsync(file_.get()) != 0))
        err = errno;
    if (err == 0 && !named_ && (err = placeUnnamed()) != 0)
        renameFailed_ = true;
    if (const int closed = file_.close(); closed != 0 && err == 0)
        err = closed;
    if (err == 0 && named_ && ::rename(temp_.c_str(), target_.c_str()) != 0) {
        err = errno;
        renameFailed_ = true;
    }
    if (err != 0 && named_)
        ::unlink(temp_.c_str());
    return err;
}

int WriteAtomically(const std::string& target, mode_t mode, const std::function<bool(int)>& fill, bool flushToDisk,
                    FaultPlan* faults)
{
    AtomicFile file(target, mode, faults);
    if (const int err = file.open())
        return err;
    if (!fill(file.fd()))
        return errno;
    return file.commit(flushToDisk);
}

File PlaceOwnFile(const std::string& target, mode_t mode, const std::function<bool(int)>& fill, int& err)
{
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0 && st.st_uid != ::geteuid()) {
        err = EPERM;
        return {};
    }
    AtomicFile file(target, mode);
    if ((err = file.open()) != 0)
        return {};
    if (!fill(file.fd())) {
        err = errno;
        return {};
    }
    File kept(::fcntl(file.fd(), F_DUPFD_CLOEXEC, 0));
    if (!kept.valid())
        err = errno;
    else if ((err = file.commit(true)) != 0)
        kept.close();
    return kept;
}

} // namespace Tovanel::Fs
