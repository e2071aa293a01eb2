// Module Main: the path texts, existence tests and quiet file operations the conversion builds on.
#include "fs/main_procs.h"

#include "fs/addfolder.h"
#include "platform/error_trap.h"
#include "fs/fs_internal.h"
#include "fs/file.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Tovanel::Main {

namespace {

const QChar kSep = QLatin1Char('/');

bool HasWildcard(const QString& text)
{
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?'));
}

bool IsFolderMode(mode_t mode) { return S_ISDIR(mode); }

} // namespace

bool FileExistsByDate(const QString& path)
{
    struct stat st;
    return FsDetail::StatPath(path, st);
}

QString GetFolderPart(const QString& path)
{
    const qsizetype p = path.lastIndexOf(kSep);
    return p < 0 ? QString() : path.left(p + 1);
}

QString StripExtension(const QString& path)
{
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    // A dot in first place names a hidden file, not an extension; a dot in a folder name counts.
    return dot >= 1 ? path.left(dot) : path;
}

QString GetFileNamePart(const QString& path)
{
    return path.mid(path.lastIndexOf(kSep) + 1);
}

bool FolderExists(const QString& path)
{
    struct stat st;
    return FsDetail::StatPath(path, st) && IsFolderMode(st.st_mode);
}

void DeleteFileQuiet(const QString& path)
{
    Fs::ProcessPendingEvents();
    if (path.isEmpty())
        return;
    const QString folder = GetFolderPart(path);
    const QString pattern = GetFileNamePart(path);
    if (!HasWildcard(pattern)) {
        struct stat st;
        // A link is removed itself; a folder never.
        if (FsDetail::StatPath(path, st, false) && !IsFolderMode(st.st_mode))
            ::unlink(FsDetail::EncodePath(path).constData());
        return;
    }
    // Wildcards count only in the last part: the folder part is taken as written, and the match never
    // leaves that one folder.
    const QByteArray folderRaw = FsDetail::EncodePath(folder.isEmpty() ? QStringLiteral(".") : folder);
    const Fs::Dir dir(::opendir(folderRaw.constData()));
    if (!dir.valid())
        return;
    const int dirFd = dir.fd();
    const FsDetail::Wildcard wildcard(pattern);
    std::vector<QByteArray> doomed;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_type == DT_DIR)
            continue;
        QString name;
        if (!FsDetail::DecodeName(entry->d_name, std::strlen(entry->d_name), name) || !wildcard.matches(name))
            continue;
        doomed.emplace_back(entry->d_name);
    }
    for (const QByteArray& name : doomed) {
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !IsFolderMode(st.st_mode))
            ::unlinkat(dirFd, name.constData(), 0);
    }
}

void WriteBytesIfMissing(const QByteArray& bytes, const QString& path)
{
    Fs::ProcessPendingEvents();
    if (FileExistsByDate(path))
        return;
    // Written whole or not at all: a half-written file would pass the existence test next time.
    const int err = Fs::WriteAtomically(path, 0666, [&](int fd) {
        return Fs::WriteAll(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    }, true);
    if (err != 0)
        throw FsDetail::ErrnoFailure(err);
}

void WriteTextFile(const QString& text, const QString& path)
{
    const QByteArray raw = FsDetail::EncodePath(path);
    // The scripts and the marker live in a temporary folder that others may write to: whatever lies at
    // the name (a planted link, another user's file) is removed, never opened and written through. A
    // name that can't be cleared (a folder) is taken.
    ::unlink(raw.constData());
    struct stat st;
    if (::lstat(raw.constData(), &st) == 0)
        throw FsDetail::ErrnoFailure(EEXIST);
    const QByteArray content = text.toUtf8() + '\n';
    // Working files of the run: no flush to disk.
    const int err = Fs::WriteAtomically(path, 0666, [&](int fd) {
        return Fs::WriteAll(fd, content.constData(), static_cast<size_t>(content.size()));
    }, false);
    if (err != 0)
        throw FsDetail::ErrnoFailure(err);
}

namespace {

// Lets the kernel copy from in to out as far as it will: no pass through this program's memory, and
// on a file system that shares blocks between files (btrfs, XFS) no copy at all. Where it cannot (an
// error, or another file system) or stops early (some special file systems report no content), the
// read loop after it goes on from where it stopped, and finds any real error again.
void CopyInKernel(int in, int out)
{
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return;
    }
}

} // namespace

namespace {

// Copies the file s to t (atomically; flushed to disk when asked), both taken as written.
int CopyTo(const QString& s, const QString& t, bool flushToDisk)
{
    const Fs::File in(::open(FsDetail::EncodePath(s).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in.valid())
        return errno;
    struct stat st;
    if (::fstat(in.get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    // The copy keeps the source's permission bits (a read-only source gives a read-only copy), less
    // what the user's umask takes away.
    return Fs::WriteAtomically(t, st.st_mode & 0777, [&](int out) {
        CopyInKernel(in.get(), out);
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
            if (n == 0)
                return true;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                return false;
            }
            if (!Fs::WriteAll(out, buffer.data(), static_cast<size_t>(n)))
                return false;
        }
    }, flushToDisk);
}

int MissingFolderError(const QString& folder)
{
    struct stat st;
    return FsDetail::StatPath(folder, st) ? ENOTDIR : ENOENT;
}

} // namespace

int CopyFileChecked(const QString& source, const QString& target)
{
    if (source.trimmed().isEmpty() || target.trimmed().isEmpty())
        return ENOENT;
    const QString s = NormalizePath(source);
    QString t = NormalizePath(target);
    if (HasWildcard(s))
        t = GetFolderPart(t);
    if (!AddFolder::IsExistingFile(s))
        return ENOENT;
    if (!FolderExists(GetFolderPart(t)))
        return MissingFolderError(GetFolderPart(t));
    // A target naming a folder (trailing "/") receives the file under its own name.
    if (t.endsWith(kSep))
        t += GetFileNamePart(s);
    return CopyTo(s, t, true);
}

int CopyWorkingFile(const QString& source, const QString& target)
{
    if (source.isEmpty() || target.isEmpty())
        return ENOENT;
    if (!FolderExists(GetFolderPart(target)))
        return MissingFolderError(GetFolderPart(target));
    return CopyTo(source, target, false);
}

QString NormalizePath(const QString& path)
{
    // One left-to-right pass: each pair of "/" becomes one, so a run of k becomes (k + 1) / 2 and a
    // single leading "/" stays single.
    QString out;
    out.reserve(path.size());
    for (qsizetype i = 0; i < path.size(); ++i) {
        out.append(path.at(i));
        if (path.at(i) == kSep && i + 1 < path.size() && path.at(i + 1) == kSep)
            ++i;
    }
    return out;
}

bool MakeFolders(const QString& path)
{
    const QByteArray raw = FsDetail::EncodePath(path);
    for (qsizetype at = raw.indexOf('/', 1);; at = raw.indexOf('/', at + 1)) {
        const QByteArray part = at < 0 ? raw : raw.left(at);
        if (!part.isEmpty() && ::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return false;
        if (at < 0)
            break;
    }
    return FolderExists(path);
}

int GetAttr(const QString& path)
{
    // A trailing "/" would make lstat follow a link; the attributes asked for are the entry's own.
    QString entry = path;
    while (entry.size() > 1 && entry.endsWith(kSep))
        entry.chop(1);
    struct stat st;
    if (entry.isEmpty() || !FsDetail::StatPath(entry, st, false))
        throw FsDetail::ErrnoFailure(entry.isEmpty() ? ENOENT : errno);
    int attr = 0;
    if (S_ISLNK(st.st_mode)) {
        attr |= Alias;
        struct stat target;
        if (FsDetail::StatPath(entry, target, true))
            st = target;
    }
    if (S_ISDIR(st.st_mode))
        attr |= Directory;
    else if (S_ISREG(st.st_mode))
        attr |= Archive;
    if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR))
        attr |= ReadOnly;
    const QString name = GetFileNamePart(entry);
    if (name.startsWith(QLatin1Char('.')) && name != QLatin1String(".") && name != QLatin1String(".."))
        attr |= Hidden;
    return attr;
}

namespace {
constexpr char16_t kKeptByteBase = 0xdc00;
bool IsKeptByte(QChar c, QChar before)
{
    return c.unicode() >= kKeptByteBase + 0x80 && c.unicode() <= kKeptByteBase + 0xff && !before.isHighSurrogate();
}
} // namespace

QString DecodeKeepingBytes(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        const auto lead = static_cast<uchar>(bytes[i]);
        const qsizetype length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
        const QByteArray sequence = bytes.mid(i, length);
        const QString decoded = QString::fromUtf8(sequence);
        // Qt's decoder turns what is no UTF-8 (a stray byte, an overlong form, an encoded surrogate)
        // into U+FFFD, which then does not give the same bytes back.
        if (lead < 0x80 || decoded.toUtf8() == sequence) {
            text += decoded;
            i += length;
        } else {
            text += QChar(char16_t(kKeptByteBase + lead));
            ++i;
        }
    }
    return text;
}

QByteArray EncodeKeptBytes(const QString& text)
{
    QByteArray bytes;
    qsizetype run = 0; // where the text not yet encoded starts
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!IsKeptByte(text.at(i), i > 0 ? text.at(i - 1) : QChar()))
            continue;
        bytes += QStringView(text).mid(run, i - run).toUtf8();
        bytes += static_cast<char>(text.at(i).unicode() - kKeptByteBase);
        run = i + 1;
    }
    return bytes + QStringView(text).mid(run).toUtf8();
}

namespace {
bool listingKeepsBytes = false;
} // namespace

void SetListingKeepsBytes(bool keep) { listingKeepsBytes = keep; }
bool ListingKeepsBytes() { return listingKeepsBytes; }

bool IsValidUtf8(const QByteArray& bytes) { return QString::fromUtf8(bytes).toUtf8() == bytes; }

QString ShownName(const QByteArray& bytes)
{
    const QString text = DecodeKeepingBytes(bytes);
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const bool kept = IsKeptByte(c, i > 0 ? text.at(i - 1) : QChar());
        if (!kept && c.unicode() >= 0x20 && c.unicode() != 0x7f) {
            shown += c;
            continue;
        }
        const int byte = kept ? c.unicode() - kKeptByteBase : c.unicode();
        shown += QStringLiteral("\\x") + QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    }
    return shown;
}

} // namespace Tovanel::Main
