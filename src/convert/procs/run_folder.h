// Module Convert: each run's own working folder inside the temporary folder, locked while the run lives.
#pragma once

#include "fs/file.h"

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

namespace Tovanel::Convert {

// Run folders are named this prefix and six random letters or digits.
inline const QString kRunFolderPrefix = QStringLiteral("tovanel-run-");
// The file inside every run folder that says the program made it (see SweepDeadRuns). Its name is
// hidden and outside the names a run clears as leftovers, and no copy of a source ever takes it.
inline const QString kRunMark = QStringLiteral(".made-by-tovanel");

// True when name has the exact shape of a run folder's name.
bool IsRunFolderName(const QString& name);

// A fresh folder (mode 0700, this user's) that holds every fixed name of one run: tools, scripts,
// marker, copy, pages and PNGs. Other users, other runs and the user's own files in the temporary
// folder never meet those names. The folder stays locked (flock on the folder itself) while it is
// open; the kernel drops the lock when the program dies, which is how a later run tells a dead run's
// folder from a live one.
class RunFolder {
public:
    RunFolder() = default;
    ~RunFolder() { remove(); }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Removes the folders of dead runs from the temporary folder, then makes and locks a new folder
    // there. Never throws: what kept the folder from being made is thrown by path().
    void make();
    // As make(), in base instead of the temporary folder. base must be a real path (no link on it)
    // whose every folder, from the root down to base itself, is safe (IsSafeFolder); otherwise no folder
    // is made. The run folder's path then leads to it alone for as long as the run lives.
    void makeIn(const QString& base);
    // The folder; throws Tovanel::Failure with the reason when it could not be made.
    QString path() const;
    bool isMade() const { return lock_.valid(); }
    // Removes the folder with everything in it, following no link, and drops the lock. Reports nothing.
    void remove();

private:
    QString path_;
    QString failure_;
    Fs::File base_;   // the folder it was made in, for removing it by name there
    QByteArray name_;
    Fs::File lock_;   // the folder itself, open and locked while the run lives
};

// Removes from base the folders of runs that ended without cleaning up. It lists base for names shaped
// like a run folder's and removes only those that the program made: a folder (never a link) of this
// user, holding the run mark written for that very folder, with a free lock. Anything else so named
// (a folder of the user's, another user's, a link, a file) is left alone. Returns how many were removed.
int SweepDeadRuns(const QString& base);

// True when nobody but root and this user can rename in the folder st describes: a folder owned by one
// of them, not writable by the group or others unless sticky.
bool IsSafeFolder(const struct stat& st);

// Removes the entry name of the folder open as dirFd, and everything under it, without following any
// link: a link inside is removed as a link. Returns true when the entry is gone.
bool RemoveTree(int dirFd, const QByteArray& name);

} // namespace Tovanel::Convert
