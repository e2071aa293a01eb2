// Module Convert: making, locking, sweeping and removing the runs' private working folders.
#include "convert/procs/run_folder.h"

#include "convert/procs/conversion.h"
#include "platform/error_trap.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tovanel::Convert {

namespace {

// Deep enough for anything a run writes (it writes no folders at all); a deeper tree is left alone.
constexpr int kMaxDepth = 16;

QString ErrnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// Empties the folder open as fd, following no link. True when it is empty afterwards.
bool EmptyFolder(int fd, int depth)
{
    if (depth > kMaxDepth)
        return false;
    // A descriptor of its own, so the listing's position is not shared with fd.
    const int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return false;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return false;
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat st;
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            empty = empty && errno == ENOENT;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int sub = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const bool cleared = sub >= 0 && EmptyFolder(sub, depth + 1);
            if (sub >= 0)
                ::close(sub);
            empty = cleared && ::unlinkat(fd, name, AT_REMOVEDIR) == 0 && empty;
        } else {
            empty = ::unlinkat(fd, name, 0) == 0 && empty;
        }
    }
    ::closedir(dir);
    return empty;
}

// The folder's parent, open, and the folder's last name in it.
int OpenParent(const QString& path, QByteArray& name)
{
    const QFileInfo info(path);
    name = QFile::encodeName(info.fileName());
    return ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

bool IsRunFolderName(const QString& name)
{
    if (!name.startsWith(kRunFolderPrefix) || name.size() != kRunFolderPrefix.size() + 6)
        return false;
    for (qsizetype i = kRunFolderPrefix.size(); i < name.size(); ++i) {
        const QChar c = name[i];
        if (!(c.isDigit() || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')))
            return false;
    }
    return true;
}

bool RemoveTree(int dirFd, const QByteArray& name)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dirFd, name.constData(), 0) == 0;
    const int fd = ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    EmptyFolder(fd, 0);
    ::close(fd);
    return ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0;
}

int SweepDeadRuns(const QString& base)
{
    const int baseFd = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (baseFd < 0)
        return 0;
    const int listFd = ::openat(baseFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(baseFd);
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!IsRunFolderName(QFile::decodeName(name)))
            continue;
        // O_NOFOLLOW: a link named like a run folder is never entered, whoever planted it.
        const int fd = ::openat(baseFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        // A free lock means its run has ended; a live run holds it for as long as it works there.
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
            && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            EmptyFolder(fd, 0);
            if (::unlinkat(baseFd, name.constData(), AT_REMOVEDIR) == 0)
                ++removed;
        }
        ::close(fd);
    }
    ::closedir(dir);
    ::close(baseFd);
    return removed;
}

void RunFolder::make()
{
    QString base;
    try {
        base = TempFolder();
    } catch (const std::exception& e) {
        remove();
        failure_ = QString::fromUtf8(e.what());
        return;
    }
    makeIn(base);
}

void RunFolder::makeIn(const QString& base)
{
    remove();
    failure_.clear();
    if (base.isEmpty()) {
        failure_ = QStringLiteral("Path not found");
        return;
    }
    SweepDeadRuns(base);
    // Another run's sweep can take a folder in the moment between its making and its locking (its
    // lock is still free then); the lock is taken before anything is written, and a folder found gone
    // once locked is simply made again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        QByteArray name = QFile::encodeName(base + QLatin1Char('/') + kRunFolderPrefix + QStringLiteral("XXXXXX"));
        if (!::mkdtemp(name.data())) {
            failure_ = ErrnoText(errno);
            return;
        }
        const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            failure_ = ErrnoText(errno);
            return;
        }
        int err = 0;
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                err = errno;
                break;
            }
        }
        struct stat held, named;
        if (err == 0 && ::fstat(fd, &held) == 0 && held.st_nlink > 0 && ::lstat(name.constData(), &named) == 0
            && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            path_ = QFile::decodeName(name);
            lockFd_ = fd;
            return;
        }
        ::close(fd);
        if (err != 0) {
            failure_ = ErrnoText(err);
            return;
        }
    }
    failure_ = ErrnoText(EAGAIN);
}

QString RunFolder::path() const
{
    if (lockFd_ < 0)
        throw Tovanel::Failure(failure_.isEmpty() ? QStringLiteral("Path not found") : failure_);
    return path_;
}

void RunFolder::remove()
{
    if (lockFd_ < 0)
        return;
    EmptyFolder(lockFd_, 0);
    QByteArray name;
    const int parent = OpenParent(path_, name);
    if (parent >= 0) {
        // Only the folder that is still ours: its name may no longer lead to it.
        struct stat held, named;
        if (::fstat(lockFd_, &held) == 0 && ::fstatat(parent, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
        ::close(parent);
    }
    ::close(lockFd_);
    lockFd_ = -1;
    path_.clear();
}

} // namespace Tovanel::Convert
