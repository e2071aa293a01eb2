// Module Convert: making, locking, sweeping and removing the runs' private working folders.
#include "convert/procs/run_folder.h"

#include "convert/procs/conversion.h"
#include "fs/file.h"
#include "platform/error_trap.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

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
bool EmptyFolder(int fd, int depth);

// Empties a run folder open as fd with its mark kept to the last: a removal cut short (the program
// killed while it sweeps or cleans up) leaves a folder that still says it is the program's, so the
// next sweep finishes it.
void EmptyRunFolder(int fd)
{
    const QByteArray mark = QFile::encodeName(kRunMark);
    const Fs::File held(::openat(fd, mark.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const QByteArray keep = held.valid() ? mark : QByteArray();
    const Fs::Dir dir = OpenListing(fd);
    if (!dir.valid())
        return;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || keep == name)
            continue;
        struct stat st;
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            const Fs::File sub(::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.valid() && EmptyFolder(sub.get(), 1))
                ::unlinkat(fd, name, AT_REMOVEDIR);
        } else {
            ::unlinkat(fd, name, 0);
        }
    }
    ::unlinkat(fd, mark.constData(), 0);
}

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

// The mark's content for the folder st describes: a line of the program's own, bound to that very
// folder, so that a mark copied into another folder is not one.
QByteArray RunMarkText(const struct stat& folder)
{
    return "tovanel run folder " + QByteArray::number(static_cast<quint64>(folder.st_dev)) + ':'
           + QByteArray::number(static_cast<quint64>(folder.st_ino)) + '\n';
}

bool HasRunMark(int fd, const struct stat& folder)
{
    const QByteArray expected = RunMarkText(folder);
    const Fs::File mark(
        ::openat(fd, QFile::encodeName(kRunMark).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!mark.valid() || ::fstat(mark.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()
        || st.st_size != expected.size())
        return false;
    QByteArray got(expected.size(), '\0');
    return ::pread(mark.get(), got.data(), static_cast<size_t>(got.size()), 0) == got.size() && got == expected;
}

bool WriteRunMark(int fd, const struct stat& folder)
{
    const QByteArray text = RunMarkText(folder);
    Fs::File mark(::openat(fd, QFile::encodeName(kRunMark).constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return mark.valid() && Fs::WriteAll(mark.get(), text.constData(), static_cast<size_t>(text.size()))
           && mark.close() == 0;
}

// The absolute path folder, opened one name at a time from the root without following any link, so
// that it is the folder the path names and no other; invalid with err set otherwise, or when a folder
// on the way, itself included, is no safe folder (IsSafeFolder): the run folder's path then stays the
// one made here for as long as the run lives, since nobody but root and the user can rename on it.
Fs::File OpenWithoutLinks(const QString& folder, int& err)
{
    Fs::File open(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    err = errno;
    for (const QByteArray& name : QFile::encodeName(folder).split('/')) {
        struct stat st;
        if (open.valid() && (::fstat(open.get(), &st) != 0 || !IsSafeFolder(st))) {
            err = EACCES;
            return {};
        }
        if (!open.valid())
            return open;
        if (name.isEmpty() || name == ".")
            continue;
        const int next = ::openat(open.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        err = errno;
        open = Fs::File(next);
    }
    struct stat st;
    if (!open.valid() || (::fstat(open.get(), &st) == 0 && IsSafeFolder(st)))
        return open;
    err = EACCES;
    return {};
}

QByteArray RandomRunFolderName()
{
    static const char kCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray name = QFile::encodeName(kRunFolderPrefix);
    for (int i = 0; i < 6; ++i)
        name += kCharacters[QRandomGenerator::system()->bounded(static_cast<int>(sizeof kCharacters - 1))];
    return name;
}

// True when the folder open as fd holds nothing, or nothing but a plain file of this user under the
// mark's name.
bool HoldsAtMostAMark(int fd)
{
    const Fs::Dir dir = OpenListing(fd);
    if (!dir.valid())
        return false;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* n = entry->d_name;
        if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0)
            continue;
        struct stat st;
        if (QFile::decodeName(n) != kRunMark || ::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            return false;
    }
    return true;
}

int SweepDeadRunsIn(int baseFd)
{
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
        // Only what the program made (the user's own folders can bear such names too), and, by its free
        // lock, only a run that has ended: a live run holds the lock for as long as it works there.
        if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()
            || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
            continue;
        if (HasRunMark(fd, st)) {
            EmptyRunFolder(fd);
        } else if (!HoldsAtMostAMark(fd)) {
            continue;
        } else {
            // A run that died between making its folder and marking it left it empty, or with a mark it
            // did not finish: nothing of anyone's is in it.
            ::unlinkat(fd, QFile::encodeName(kRunMark).constData(), 0);
        }
        if (::unlinkat(baseFd, name.constData(), AT_REMOVEDIR) == 0)
            ++removed;
    }
    return removed;
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
    return baseFolder.valid() ? SweepDeadRunsIn(baseFolder.get()) : 0;
}

bool IsSafeFolder(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && (st.st_uid == ::geteuid() || st.st_uid == 0)
           && ((st.st_mode & 022) == 0 || (st.st_mode & S_ISVTX) != 0);
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
    // Reached through no link, and the run's folder made by name in the open folder: nobody can turn
    // the run elsewhere on the way.
    const QString absolute = QFileInfo(base).absoluteFilePath();
    int err = 0;
    Fs::File baseFolder = OpenWithoutLinks(absolute, err);
    if (!baseFolder.valid()) {
        failure_ = ErrnoText(err);
        return;
    }
    const int baseFd = baseFolder.get();
    SweepDeadRunsIn(baseFd);
    err = 0;
    for (int attempt = 0; attempt < 64; ++attempt) {
        const QByteArray name = RandomRunFolderName();
        if (::mkdirat(baseFd, name.constData(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            failure_ = ErrnoText(errno);
            return;
        }
        Fs::File folder(::openat(baseFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const int fd = folder.get();
        // Taken before it could even be opened: made again, as one taken before its locking is.
        if (fd < 0 && errno == ENOENT)
            continue;
        if (fd < 0) {
            failure_ = ErrnoText(errno);
            return;
        }
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                err = errno;
                break;
            }
        }
        struct stat held, named;
        if (err == 0 && ::fstat(fd, &held) == 0 && held.st_nlink > 0
            && ::fstatat(baseFd, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            // The mark goes in only once the lock is held, so no sweep ever takes a folder being made.
            // Without it (a full disk) the folder is merely never swept should the run die.
            WriteRunMark(fd, held);
            path_ = absolute + QLatin1Char('/') + QFile::decodeName(name);
            name_ = name;
            base_ = std::move(baseFolder);
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
    EmptyRunFolder(lock_.get());
    // Only the folder that is still ours: its name may no longer lead to it.
    struct stat held, named;
    if (::fstat(lock_.get(), &held) == 0 && ::fstatat(base_.get(), name_.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        ::unlinkat(base_.get(), name_.constData(), AT_REMOVEDIR);
    lock_.close();
    base_.close();
    name_.clear();
    path_.clear();
}

} // namespace Tovanel::Convert
