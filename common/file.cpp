// The file layer shared by the program and the page tools: self-closing handles and the one atomic write.
#include "common/file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <sys/random.h>
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
    if (!temp_.empty() && !done_)
        ::unlink(temp_.c_str());
}

int AtomicFile::open()
{
    if (faults_ && faults_->hits(FaultPlan::Create))
        return errno;
    const size_t slash = target_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    // The random part comes from the kernel, which needs no lock and no seed: the program writes from
    // several threads, and each tool is one of many processes started in the same instant.
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint64_t random = 0;
        if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return errno == EINTR ? EAGAIN : errno;
        char name[32];
        std::snprintf(name, sizeof name, "%s%016" PRIx64, kTempPrefix, random);
        file_ = File(::open((folder + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode_));
        if (file_.valid()) {
            temp_ = folder + name;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
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
    if (const int closed = file_.close(); closed != 0 && err == 0)
        err = closed;
    if (err == 0 && ::rename(temp_.c_str(), target_.c_str()) != 0) {
        err = errno;
        renameFailed_ = true;
    }
    if (err != 0)
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

} // namespace Tovanel::Fs
