// Module Convert: each run's own working folder inside the temporary folder, locked while the run lives.
#pragma once

#include "fs/file.h"

#include <QByteArray>
#include <QString>

namespace Tovanel::Convert {

// Run folders are named this prefix and six characters from mkdtemp; nothing else is ever swept.
inline const QString kRunFolderPrefix = QStringLiteral("tovanel-run-");

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
    // As make(), in base instead of the temporary folder.
    void makeIn(const QString& base);
    // The folder; throws Tovanel::Failure with the reason when it could not be made.
    QString path() const;
    bool isMade() const { return lock_.valid(); }
    // Removes the folder with everything in it, following no link, and drops the lock. Reports nothing.
    void remove();

private:
    QString path_;
    QString failure_;
    Fs::File lock_;   // the folder itself, open and locked while the run lives
};

// Removes from base the run folders whose lock is free (runs that ended without cleaning up): only
// entries named like run folders, that are folders (never links) and belong to this user. Returns
// how many were removed.
int SweepDeadRuns(const QString& base);

// Removes the entry name of the folder open as dirFd, and everything under it, without following any
// link: a link inside is removed as a link. Returns true when the entry is gone.
bool RemoveTree(int dirFd, const QByteArray& name);

} // namespace Tovanel::Convert
