// Module Convert: the private temporary folder, checked tool deployment, and the tool scripts.
#include "convert/procs/conversion.h"

#include "convert/procs/run_folder.h"
#include "fs/addfolder.h"
#include "platform/error_trap.h"
#include "fs/fs_internal.h"
#include "fs/main_procs.h"
#include "status.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace Tovanel::Convert {

namespace {

using FsDetail::ErrnoFailure;

// A private folder that nobody else controls: made 0700 when missing, refused when it is a link or
// belongs to someone else (another user could otherwise plant the tools we are about to run).
QString PrivateFolder(const QString& base)
{
    QDir().mkpath(base);
    const QString folder = base + QStringLiteral("/tovanel-") + QString::number(::geteuid());
    const QByteArray raw = QFile::encodeName(folder);
    if (::mkdir(raw.constData(), 0700) != 0 && errno != EEXIST)
        throw ErrnoFailure(errno);
    struct stat st;
    if (::lstat(raw.constData(), &st) != 0)
        throw ErrnoFailure(errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw Tovanel::Failure(QStringLiteral("Permission denied"));
    if ((st.st_mode & 077) != 0 && ::chmod(raw.constData(), 0700) != 0)
        throw ErrnoFailure(errno);
    return folder;
}

bool AllowsPrograms(const QString& folder)
{
    struct statvfs vfs;
    if (::statvfs(QFile::encodeName(folder).constData(), &vfs) != 0)
        return true;   // can't tell: try it
    return (vfs.f_flag & ST_NOEXEC) == 0;
}

// Ours and unchanged: a plain file (not a link) of this user, writable by nobody else, runnable,
// holding exactly bytes.
bool IsDeployed(const QByteArray& bytes, const QString& path)
{
    const QByteArray raw = QFile::encodeName(path);
    const Fs::File file(::open(raw.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!file.valid())
        return false;
    struct stat st;
    bool same = ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
                && (st.st_mode & 022) == 0 && (st.st_mode & S_IXUSR) != 0 && st.st_size == bytes.size();
    if (same) {
        QFile reader;
        same = reader.open(file.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle) && reader.readAll() == bytes;
    }
    return same;
}

// Where the absolute path folder really leads, resolved one name at a time as the kernel would, into
// real. False when anyone but root and the user could change where it leads: a folder on the way that
// others could rename in (see IsSafeFolder), the folder holding a link included, at every level of
// links, or a link of another user. A part that does not exist (or is no folder) is kept as written
// after the part that does, for making the run folder there to fail on, and so is a loop of links.
bool ResolveSafely(const QString& folder, QString& real)
{
    struct stat st;
    if (::lstat("/", &st) != 0 || !IsSafeFolder(st))
        return false;
    QByteArrayList todo = QFile::encodeName(folder).split('/');
    QByteArray done;   // empty for the root
    int links = 0;
    while (!todo.isEmpty()) {
        const QByteArray name = todo.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            done.truncate(std::max<qsizetype>(0, done.lastIndexOf('/')));
            continue;
        }
        const QByteArray next = done + '/' + name;
        const bool exists = ::lstat(next.constData(), &st) == 0;
        if (exists && S_ISLNK(st.st_mode) && links < 40) {
            if (st.st_uid != ::geteuid() && st.st_uid != 0)
                return false;
            QByteArray target(PATH_MAX, Qt::Uninitialized);
            const ssize_t size = ::readlink(next.constData(), target.data(), static_cast<size_t>(target.size()));
            if (size < 0 || size >= target.size())
                return false;
            target.truncate(size);
            ++links;
            if (target.startsWith('/'))
                done.clear();
            todo = target.split('/') + todo;
            continue;
        }
        if (!exists || !S_ISDIR(st.st_mode)) {
            todo.prepend(next);
            real = QFile::decodeName(todo.join('/'));
            return true;
        }
        if (!IsSafeFolder(st))
            return false;
        done = next;
    }
    real = done.isEmpty() ? QStringLiteral("/") : QFile::decodeName(done);
    return true;
}

// base resolved by the one rule (ResolveSafely) into real, where programs may run; why, when not, says so.
bool IsRunPlace(const QString& base, QString& real, QString& why)
{
    if (base.isEmpty())
        return false;
    if (!ResolveSafely(base, real)) {
        why = QStringLiteral("other users can change its way");
        return false;
    }
    if (AllowsPrograms(real))
        return true;
    why = QStringLiteral("programs may not run there");
    return false;
}

} // namespace

QString TempFolder()
{
    const QString temp = qEnvironmentVariable("TEMP");
    // The system temp folder as the variable gives it: its links are checked, not resolved unasked.
    const QString system = qEnvironmentVariable("TMPDIR", QStringLiteral("/tmp"));
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    const auto absolute = [](const QString& path) {
        return path.isEmpty() || QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path);
    };
    // Each place in turn, checked by the same rule and resolved here once: the run never goes through
    // a link again, and nobody but root and the user can rename a folder on the way to it.
    QStringList refused;
    QString real, why;
    if (!temp.isEmpty()) {
        if (IsRunPlace(absolute(temp), real, why))
            return real;
        refused << QStringLiteral("TEMP ") + temp + QStringLiteral(": ") + why;
    }
    // A "TEMP" that forbids programs sends the run to the cache folder, not to the system temp folder.
    const bool noexecTemp = why == QLatin1String("programs may not run there");
    for (const QString& base : {noexecTemp ? QString() : absolute(system), absolute(cache)}) {
        if (IsRunPlace(base, real, why))
            return PrivateFolder(real);
        if (!base.isEmpty())
            refused << base + QStringLiteral(": ") + why;
    }
    throw Tovanel::Failure(QStringLiteral("no safe temporary folder (") + refused.join(QStringLiteral("; "))
                           + QStringLiteral("); set TEMP to a folder of your own"));
}

QString TempPath(const QString& folder, const QString& name)
{
    if (folder.isEmpty())
        throw Tovanel::Failure(QStringLiteral("Path not found"));
    return folder + QLatin1Char('/') + name;
}

QByteArray ReadToolResource(int id)
{
    QFile resource(QStringLiteral(":/tools/") + QString::number(id));
    if (!resource.open(QIODevice::ReadOnly))
        throw Tovanel::Failure(QStringLiteral("Resource not found"));
    return resource.readAll();
}

void DeployTool(const QByteArray& bytes, const QString& path)
{
    Fs::ProcessPendingEvents();
    if (IsDeployed(bytes, path))
        return;
    // The rename replaces whatever was there, a link included, in one step: the name never holds a
    // half-written or foreign program while it could be run. The run bit is set whatever the umask.
    const int err = Fs::WriteAtomically(path, 0700, [&](int fd) {
        return Fs::WriteAll(fd, bytes.constData(), static_cast<size_t>(bytes.size())) && ::fchmod(fd, 0700) == 0;
    }, false);
    if (err != 0)
        throw ErrnoFailure(err);
}

QString QuoteForShell(const QString& text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString SplitterCommand(const QString& tool, const QString& copy)
{
    return QuoteForShell(tool) + QLatin1Char(' ') + QuoteForShell(copy) + QLatin1Char(' ') + kPagePrefix;
}

QString ConverterCommand(const QString& tool, const QString& input, int threads, const QString& account,
                         bool keepMetadata)
{
    const QString limit = threads > 0 ? QStringLiteral(" -threads ") + QString::number(threads) : QString();
    QString environment;
    if (!account.isEmpty())
        environment += QLatin1String(tovanel::tools::kMetadataAccountVariable) + QLatin1Char('=') + QuoteForShell(account) + QLatin1Char(' ');
    if (!keepMetadata)
        environment += QLatin1String(tovanel::tools::kMetadataVariable) + QStringLiteral("=none ");
    return environment + QuoteForShell(tool) + limit + QStringLiteral(" -out png ") + QuoteForShell(input);
}

QString WithErrorsTo(const QString& command, const QString& errors, const QString& status)
{
    return command + QStringLiteral(" 2>") + QuoteForShell(errors) + QStringLiteral("; echo $? >")
           + QuoteForShell(status);
}

QString ToolScript(const QString& command, const QString& marker)
{
    return command + QStringLiteral("\nrm -f -- ") + QuoteForShell(marker);
}

void ClearLeftovers(const QString& folder)
{
    if (folder.isEmpty())
        return;
    // The private names under which files are written before they are renamed into place: the one
    // writer's, which the program (copies, tools, scripts, marker) and the tools (pages, PNGs) share,
    // and those of earlier versions (named after the page or the tool), which a run killed before this
    // version may have left.
    for (const QString& pattern : {QLatin1String(Fs::kTempPrefix) + QLatin1Char('*'), QStringLiteral(".varnholt*"),
                                   QStringLiteral(".") + kConvertTool + QStringLiteral(".*"),
                                   QStringLiteral(".") + kSplitTool + QStringLiteral(".*")})
        Main::DeleteFileQuiet(folder + QLatin1Char('/') + pattern);
}

QString CopyName(const QString& sourceName)
{
    // "varnholt*" covers the pages and the PNGs made from them; a leading "." the private names of
    // files still being written.
    static const FsDetail::Wildcard pages(kPagePrefix + QLatin1Char('*'));
    bool fixed = pages.matches(sourceName) || sourceName.startsWith(QLatin1Char('.'));
    for (const QString& name : {kMarker, kSplitScript, kConvertScript, kSplitTool, kConvertTool, kSplitErrors,
                                kConvertErrors, kSplitStatus, kConvertStatus, kConvertAccount})
        fixed = fixed || sourceName.compare(name, Qt::CaseInsensitive) == 0;
    QString copy = fixed ? QLatin1Char('~') + sourceName : sourceName;
    // The run's own file procedures take "*" and "?" in a name for wildcards (and are right to, for the
    // names they are given by the user's patterns); the copy is only ever named by the run, so it
    // carries none, nor a byte kept from a name that is not UTF-8, which the scripts, written as text,
    // could not name. The output keeps the source's own name.
    for (qsizetype i = 0; i < copy.size(); ++i) {
        QChar& c = copy[i];
        const bool loneHalf = (c.isLowSurrogate() && (i == 0 || !copy.at(i - 1).isHighSurrogate()))
                              || (c.isHighSurrogate() && (i + 1 == copy.size() || !copy.at(i + 1).isLowSurrogate()));
        if (c == u'*' || c == u'?' || loneHalf)
            c = u'_';
    }
    // The converter writes the copy's name with ".png" in place of its extension: never onto the copy.
    if (Main::StripExtension(copy) + QStringLiteral(".png") == copy)
        copy += QStringLiteral(".tif");
    return copy;
}

QStringList SortedPages(QStringList names)
{
    std::sort(names.begin(), names.end());
    return names;
}

QString BeforeFirstDot(const QString& name)
{
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.left(dot);
}

int MoveOutput(const QString& png, const QString& target)
{
    if (png.trimmed().isEmpty() || target.trimmed().isEmpty())
        return ENOENT;
    const QString s = Main::NormalizePath(png);
    const QString t = Main::NormalizePath(target);
    if (t.endsWith(QLatin1Char('/')))
        return EISDIR;
    if (!AddFolder::IsExistingFile(s) || !Main::FolderExists(Main::GetFolderPart(t)))
        return Main::CopyFileChecked(s, t);   // says which of the two is missing
    if (::rename(Main::EncodeKeptBytes(s).constData(), Main::EncodeKeptBytes(t).constData()) == 0)
        return 0;
    // Another file system is crossed by a copy; when the copy fails too, its errno says why.
    return Main::CopyFileChecked(s, t);
}

QStringList SidecarsOf(const QString& png)
{
    const QString stem = png.endsWith(QStringLiteral(".png")) ? png.chopped(4) : png;
    return {stem + QStringLiteral(".pgw"), png + QStringLiteral(".aux.xml")};
}

void FlushFolders(const QStringList& folders)
{
    QSet<quint64> done;
    for (const QString& folder : folders) {
        const Fs::File dir(::open(Main::EncodeKeptBytes(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid())
            continue;
        struct stat st;
        if (::fstat(dir.get(), &st) == 0 && !done.contains(st.st_dev)) {
            done.insert(st.st_dev);
            ::syncfs(dir.get());
        }
    }
}

bool SameFile(const QString& a, const QString& b)
{
    struct stat sa, sb;
    return ::stat(Main::EncodeKeptBytes(a).constData(), &sa) == 0 && ::stat(Main::EncodeKeptBytes(b).constData(), &sb) == 0
           && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void EndMarkerWait(const QString& marker)
{
    const QByteArray raw = QFile::encodeName(marker);
    struct stat st;
    if (::lstat(raw.constData(), &st) == 0 && S_ISREG(st.st_mode))
        ::unlink(raw.constData());
}

} // namespace Tovanel::Convert
