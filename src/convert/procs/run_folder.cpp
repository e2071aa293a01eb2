// Module Convert: making, locking, sweeping and removing the runs' private working folders.
#include "convert/procs/run_folder.h"

#include "convert/procs/conversion.h"
#include "fs/file.h"
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

// A listing of the folder open as fd, on a descriptor of its own.
Fs::Dir OpenListing(int fd)
{
    Fs::File own(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!own.valid())
        return Fs::Dir(nullptr);
    DIR* dir = ::fdopendir(own.get());
    if (dir)
        own.release();   // the listing owns it now
    return Fs::Dir(dir);
}

// Empties the folder open as fd, following no link. True when it is empty afterwards.
bool EmptyFolder(int fd, int depth)
{
    if (depth > kMaxDepth)
        return false;
    // A descriptor of its own, so the listing's position is not shared with fd.
    const Fs::Dir dir = OpenListing(fd);
    if (!dir.valid())
        return false;
    bool empty = true;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat st;
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            empty = empty && errno == ENOENT;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const Fs::File sub(::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            const bool cleared = sub.valid() && EmptyFolder(sub.get(), depth + 1);
            empty = cleared && ::unlinkat(fd, name, AT_REMOVEDIR) == 0 && empty;
        } else {
            empty = ::unlinkat(fd, name, 0) == 0 && empty;
        }
    }
    return empty;
}

// The folder's parent, open, and the folder's last name in it.
Fs::File OpenParent(const QString& path, QByteArray& name)
{
    const QFileInfo info(path);
    name = QFile::encodeName(info.fileName());
    return Fs::File(::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
    const Fs::File folder(::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid())
        return false;
    EmptyFolder(folder.get(), 0);
    return ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0;
}

int SweepDeadRuns(const QString& base)
{
    const Fs::File baseFolder(::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!baseFolder.valid())
        return 0;
    const int baseFd = baseFolder.get();
    const Fs::Dir dir = OpenListing(baseFd);
    if (!dir.valid())
        return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (!IsRunFolderName(QFile::decodeName(name)))
            continue;
        // O_NOFOLLOW: a link named like a run folder is never entered, whoever planted it.
        const Fs::File folder(::openat(baseFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid())
            continue;
        const int fd = folder.get();
        struct stat st;
        // A free lock means its run has ended; a live run holds it for as long as it works there.
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
            && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            EmptyFolder(fd, 0);
            if (::unlinkat(baseFd, name.constData(), AT_REMOVEDIR) == 0)
                ++removed;
        }
    }
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
        Fs::File folder(::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const int fd = folder.get();
        // Taken before it could even be opened: made again, as one taken before its locking is.
        if (fd < 0 && errno == ENOENT)
            continue;
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
            lock_ = std::move(folder);
            return;
        }
        if (err != 0) {
            failure_ = ErrnoText(err);
            return;
        }
    }
    failure_ = ErrnoText(EAGAIN);
}

QString RunFolder::path() const
{
    if (!lock_.valid())
        throw Tovanel::Failure(failure_.isEmpty() ? QStringLiteral("Path not found") : failure_);
    return path_;
}

void RunFolder::remove()
{
    if (!lock_.valid())
        return;
    EmptyFolder(lock_.get(), 0);
    QByteArray name;
    const Fs::File parentFolder = OpenParent(path_, name);
    if (const int parent = parentFolder.get(); parent >= 0) {
        // Only the folder that is still ours: its name may no longer lead to it.
        struct stat held, named;
        if (::fstat(lock_.get(), &held) == 0 && ::fstatat(parent, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
    }
    lock_.close();
    path_.clear();
}

} // namespace Tovanel::Convert
