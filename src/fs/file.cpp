// The file layer: self-closing handles and the one atomic write.
#include "fs/file.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
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

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int WriteAtomically(const QString& target, mode_t mode, const std::function<bool(int)>& fill, bool flushToDisk)
{
    const QByteArray targetRaw = QFile::encodeName(target);
    const qsizetype slash = target.lastIndexOf(QLatin1Char('/'));
    const QByteArray folder = QFile::encodeName(slash < 0 ? QString() : target.left(slash + 1));
    QByteArray temp;
    File file;
    for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
        temp = folder + kTempPrefix + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        file = File(::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
        if (!file.valid() && errno != EEXIST)
            return errno;
    }
    if (!file.valid())
        return EEXIST;
    int err = 0;
    if (!fill(file.get()) || (flushToDisk && ::fsync(file.get()) != 0))
        err = errno;
    if (const int closed = file.close(); closed != 0 && err == 0)
        err = closed;
    if (err == 0 && ::rename(temp.constData(), targetRaw.constData()) != 0)
        err = errno;
    if (err != 0)
        ::unlink(temp.constData());
    return err;
}

void ProcessPendingEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

} // namespace Tovanel::Fs
