// Module AddFolder: the folder picker, the file listing of one folder and the existence test.
#include "fs/addfolder.h"

#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "fs/fs_internal.h"
#include "fs/main_procs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace Tovanel::AddFolder {

QStringList GetFolderFiles(const QString& folder, const QString& pattern, QList<QByteArray>* undecodable)
{
    // An empty folder text is "/", the root, as the folder plus separator rule gives.
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    QStringList names;
    DIR* dir = ::opendir(FsDetail::EncodePath(prefix).constData());
    if (!dir) {
        if (errno == ENOENT || errno == ENOTDIR)
            return names;
        throw FsDetail::ErrnoFailure(errno);
    }
    const FsDetail::Wildcard wildcard(pattern);
    QList<QByteArray> notText;
    FsDetail::ForEachEntry(dir, [&](const dirent& entry, int dirFd) {
        const char* raw = entry.d_name;
        QString name;
        if (entry.d_type == DT_DIR)
            return;
        if (!FsDetail::DecodeName(raw, std::strlen(raw), name)) {
            if (undecodable && wildcard.matches(QString::fromUtf8(raw)) && FsDetail::IsExistingFileAt(dirFd, raw))
                notText.append(QByteArray(raw));
            return;
        }
        if (wildcard.matches(name) && FsDetail::IsExistingFileAt(dirFd, raw))
            names.append(name);
    });
    FsDetail::SortNamesIgnoringCase(names);
    if (undecodable) {
        std::sort(notText.begin(), notText.end());
        for (const QByteArray& raw : notText)
            undecodable->append(FsDetail::EncodePath(prefix) + raw);
    }
    return names;
}

ExtensionListing ListByExtension(const QString& folder, const QStringList& extensions)
{
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    ExtensionListing listing;
    DIR* dir = ::opendir(FsDetail::EncodePath(prefix).constData());
    if (!dir) {
        if (errno == ENOENT || errno == ENOTDIR)
            return listing;
        throw FsDetail::ErrnoFailure(errno);
    }
    // An extension of k dots ("tar.gz", ".tif") is matched against what follows the name's (k + 1)-th
    // dot from its end.
    std::vector<std::pair<FsDetail::Wildcard, qsizetype>> patterns;
    bool all = false;
    for (const QString& extension : extensions) {
        patterns.emplace_back(FsDetail::Wildcard(extension), extension.count(QLatin1Char('.')));
        all = all || extension == QLatin1String("*");
    }
    const auto matches = [&](const QString& name) {
        return all || std::any_of(patterns.begin(), patterns.end(), [&](const auto& pattern) {
                   qsizetype dot = name.size();
                   for (qsizetype k = 0; k <= pattern.second && dot > 0; ++k)
                       dot = name.lastIndexOf(QLatin1Char('.'), dot - 1);
                   return dot >= 0 && pattern.first.matches(name.mid(dot + 1));
               });
    };
    QList<QByteArray> notText;
    FsDetail::ForEachEntry(dir, [&](const dirent& entry, int dirFd) {
        const char* raw = entry.d_name;
        if (entry.d_type == DT_DIR)
            return;
        QString name;
        const bool text = FsDetail::DecodeName(raw, std::strlen(raw), name);
        if (!text)
            name = Main::DecodeKeepingBytes(QByteArray(raw));
        const bool taken = matches(name);
        // Only a name that could be taken, or counted, costs a look at the file.
        if (!taken && (raw[0] == '.' || raw[0] == '~'))
            return;
        struct stat st;
        if (::fstatat(dirFd, raw, &st, 0) != 0 || !S_ISREG(st.st_mode))
            return;
        if (!taken)
            ++listing.otherExtension;
        else if (text)
            listing.names.append(name);
        else
            notText.append(QByteArray(raw));
    });
    FsDetail::SortNamesIgnoringCase(listing.names);
    std::sort(notText.begin(), notText.end());
    for (const QByteArray& raw : notText)
        listing.undecodable.append(FsDetail::EncodePath(prefix) + raw);
    return listing;
}

bool IsExistingFile(const QString& path)
{
    if (path.isEmpty() || FsDetail::HasWildcardOrTrailingSlash(path))
        return false;
    // AT_FDCWD resolves a relative path as open() would; the name test inside is the same.
    return FsDetail::IsExistingFileAt(AT_FDCWD, FsDetail::EncodePath(path).constData());
}

bool HasUnsafeCharacters(const QString& name)
{
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const char16_t code = c.unicode();
        if (code < 32 || (code >= 127 && code <= 159) || code == u'?')
            return true;
        // A lone half of a surrogate pair has no UTF-8 form, so no file can carry it.
        if (c.isHighSurrogate()) {
            if (i + 1 >= name.size() || !name.at(i + 1).isLowSurrogate())
                return true;
            ++i;
        } else if (c.isLowSurrogate()) {
            return true;
        }
    }
    return false;
}

bool HasUnsafeCharacters(const QByteArray& name)
{
    QString decoded;
    if (!FsDetail::DecodeName(name.constData(), static_cast<size_t>(name.size()), decoded))
        return true;
    return HasUnsafeCharacters(decoded);
}

QString BrowseForFolder(Tovanel::Dialogs& dialogs, QObject* owner, const QString& prompt, const QString& startFolder)
{
    // A start folder that is gone would leave the dialog somewhere arbitrary; the default place is
    // what the user expects then.
    const QString start = Main::FolderExists(startFolder) ? startFolder : QString();
    return dialogs.pickFolder(owner, prompt, start);
}

} // namespace Tovanel::AddFolder
