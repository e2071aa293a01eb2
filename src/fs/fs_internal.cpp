// Helpers shared by the path, listing and scan procedures.
#include "fs/fs_internal.h"

#include "platform/error_trap.h"
#include "fs/main_procs.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace Tovanel::FsDetail {

int RuntimeNumberForErrno(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
        return PermissionDenied;
    case ENOENT:
    case ENOTDIR:
        return PathNotFound;
    case EEXIST:
        return FileExists;
    case ENOSPC:
    case EDQUOT:
        return DiskFull;
    case EIO:
        return DeviceError;
    case EMFILE:
    case ENFILE:
        return TooManyFiles;
    case ENAMETOOLONG:
        return BadFileName;
    default:
        return PathFileAccessError;
    }
}

Tovanel::Failure ErrnoFailure(int err)
{
    return Tovanel::Failure(QString::fromLocal8Bit(std::strerror(err)), RuntimeNumberForErrno(err));
}

QByteArray EncodePath(const QString& path)
{
    // UTF-8, as QFile::encodeName gives it, but a byte kept from a name that is not UTF-8 goes back as it came.
    return Main::EncodeKeptBytes(path);
}

bool DecodeName(const char* raw, size_t length, QString& out)
{
    // Plain ASCII is by far the common case and always round-trips.
    bool ascii = true;
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(raw[i]) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        out = QString::fromLatin1(raw, static_cast<qsizetype>(length));
        return true;
    }
    out = QString::fromUtf8(raw, static_cast<qsizetype>(length));
    const QByteArray back = out.toUtf8();
    if (back.size() == static_cast<qsizetype>(length) && std::memcmp(back.constData(), raw, length) == 0)
        return true;
    if (!Main::ListingKeepsBytes())
        return false;
    out = Main::DecodeKeepingBytes(QByteArray(raw, static_cast<qsizetype>(length)));
    return true;
}

namespace {

std::u32string FoldForMatch(const QString& text)
{
    std::u32string out;
    const QList<uint> ucs = text.toCaseFolded().toUcs4();
    out.reserve(static_cast<size_t>(ucs.size()));
    for (uint c : ucs)
        out.push_back(static_cast<char32_t>(c));
    return out;
}

bool GlobMatch(const std::u32string& pattern, const std::u32string& name)
{
    // Greedy match with one backtrack point: the last "*" seen and where it started to consume.
    size_t p = 0, n = 0;
    size_t starP = std::u32string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u32string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*')
        ++p;
    return p == pattern.size();
}

} // namespace

Wildcard::Wildcard(const QString& pattern)
{
    if (pattern == QLatin1String("*.*") || pattern == QLatin1String("*")) {
        all_ = true;
        return;
    }
    folded_ = FoldForMatch(pattern);
}

bool Wildcard::matches(const QString& name) const
{
    return all_ || GlobMatch(folded_, FoldForMatch(name));
}

QString CaseKey(const QString& name)
{
    QString key = name;
    for (QChar& c : key)
        c = c.toUpper();
    return key;
}

bool CaseKeyLess(const QString& keyA, const QString& nameA, const QString& keyB, const QString& nameB)
{
    const int byKey = QString::compare(keyA, keyB, Qt::CaseSensitive);
    return byKey != 0 ? byKey < 0 : QString::compare(nameA, nameB, Qt::CaseSensitive) < 0;
}

void SortNamesIgnoringCase(QStringList& names)
{
    struct Keyed {
        QString key;
        QString name;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(static_cast<size_t>(names.size()));
    for (const QString& name : names)
        keyed.push_back({CaseKey(name), name});
    std::sort(keyed.begin(), keyed.end(),
              [](const Keyed& a, const Keyed& b) { return CaseKeyLess(a.key, a.name, b.key, b.name); });
    names.clear();
    names.reserve(static_cast<qsizetype>(keyed.size()));
    for (Keyed& k : keyed)
        names.append(std::move(k.name));
}

bool StatPath(const QString& path, struct stat& st, bool followLinks)
{
    if (path.isEmpty())
        return false;
    const QByteArray raw = EncodePath(path);
    return (followLinks ? ::stat(raw.constData(), &st) : ::lstat(raw.constData(), &st)) == 0;
}

bool IsExistingFileAt(int dirFd, const char* name)
{
    // A name with a wildcard is never a file to this program, whatever the file system allows.
    if (std::strpbrk(name, "*?") != nullptr)
        return false;
    // stat, not open: a FIFO or device must never block us, and a file we may not read is still a
    // file that exists (the user learns of the missing right when it is used).
    struct stat st;
    if (::fstatat(dirFd, name, &st, 0) != 0)
        return false;
    return S_ISREG(st.st_mode);
}

bool HasWildcardOrTrailingSlash(const QString& path)
{
    return path.contains(QLatin1Char('*')) || path.contains(QLatin1Char('?')) || path.endsWith(QLatin1Char('/'));
}

} // namespace Tovanel::FsDetail
