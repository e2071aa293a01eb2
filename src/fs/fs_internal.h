// Helpers shared by the path, listing and scan procedures; not part of any module's interface.
#pragma once

#include "fs/file.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

namespace Tovanel { class Failure; }

namespace Tovanel::FsDetail {

// The runtime numbers a failure carries, which callers test.
enum FailureNumber : int {
    OutOfMemory = 7,
    BadFileName = 52,
    FileNotFound = 53,
    DeviceError = 57,
    FileExists = 58,
    DiskFull = 61,
    TooManyFiles = 67,
    PermissionDenied = 70,
    PathFileAccessError = 75,
    PathNotFound = 76,
};

// The failure for an errno value: the platform's wording, and the runtime number for it.
Tovanel::Failure ErrnoFailure(int err);
int RuntimeNumberForErrno(int err);

// The bytes of a path as the file system sees them.
QByteArray EncodePath(const QString& path);

// True when raw holds a name that survives the round trip through QString unchanged; other names
// can't be named again by any later call, so every listing drops them.
bool DecodeName(const char* raw, size_t length, QString& out);

// The rule every listing uses: "*" any run, "?" one character, letter case ignored, and "*.*"
// matching every name, a name without a dot included.
class Wildcard {
public:
    explicit Wildcard(const QString& pattern);
    bool matches(const QString& name) const;
    bool matchesEverything() const { return all_; }
private:
    std::u32string folded_;
    bool all_ = false;
};

// Sorts names the way an upper-casing file system orders them: each character upper-cased on its own,
// then compared by code; names equal that way keep a fixed order by their exact text.
void SortNamesIgnoringCase(QStringList& names);
QString CaseKey(const QString& name);
bool CaseKeyLess(const QString& keyA, const QString& nameA, const QString& keyB, const QString& nameB);

// stat()/lstat() without exceptions; false when the call failed.
bool StatPath(const QString& path, struct stat& st, bool followLinks = true);

// True exactly for a name that IsExistingFile would accept inside an already open folder.
bool IsExistingFileAt(int dirFd, const char* name);
bool HasWildcardOrTrailingSlash(const QString& path);


// Calls visit(entry, folderFd) for every entry of an open folder but "." and "..", then closes it.
// A failure of the listing itself is thrown once the folder is closed.
template <class Visit>
void ForEachEntry(DIR* opened, Visit visit)
{
    int err = 0;
    {
        const Fs::Dir dir(opened);
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir.get());
            if (!entry)
                break;
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                visit(*entry, dir.fd());
        }
        err = errno;
    }
    if (err != 0)
        throw ErrnoFailure(err);
}

} // namespace Tovanel::FsDetail
