// Module AddFolder: folder picker, recursive folder scan, file listing and existence test.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class QObject;
namespace Tovanel { class Dialogs; }

namespace Tovanel::AddFolder {

// Names (without folder) of the openable files of folder that match pattern ("*", "?", any case),
// hidden files included, folders never, sorted by name ignoring case. Names that are not valid
// UTF-8 are left out; undecodable (when given) gets the full path bytes of each such file. A missing
// folder gives an empty list; a folder that can't be read (no right) throws Tovanel::Failure for the
// caller's trap.
QStringList GetFolderFiles(const QString& folder, const QString& pattern, QList<QByteArray>* undecodable = nullptr);
// What one folder gives the intake by extension.
struct ExtensionListing {
    QStringList names;                // sorted by name ignoring case
    QList<QByteArray> undecodable;    // full path bytes of matching files whose names are not text
    qsizetype otherExtension = 0;     // files that no extension took (names beginning "." or "~" not counted)
};
// The files of folder (links to one included, hidden ones too, folders never) whose extension, the part
// after the last dot, matches one of extensions ("*" and "?" wildcards, any case; "*" alone takes every
// file, one without a dot too). The patterns apply to the extension alone: a "*", "?", "[" or "{" in a
// name is part of the name. A missing folder gives nothing; one that can't be read throws.
ExtensionListing ListByExtension(const QString& folder, const QStringList& extensions);
// True exactly for an existing regular file (a link to one included), even one without read right;
// false for folders, wildcards and a trailing "/". Only examines the entry: never blocks on a FIFO.
bool IsExistingFile(const QString& path);
// Appends every subfolder of the listed folders (each ending in "/") breadth-first. A subfolder whose
// name is not valid UTF-8 is passed over; undecodable (when given) gets its full path bytes.
void GetSubDirectories2016(QStringList& folders, bool descend, Tovanel::Dialogs& dialogs,
                           QList<QByteArray>* undecodable = nullptr);
bool HasUnsafeCharacters(const QByteArray& name);
bool HasUnsafeCharacters(const QString& name);
// The folder picker: the chosen folder, or the empty text when cancelled.
QString BrowseForFolder(Tovanel::Dialogs& dialogs, QObject* owner, const QString& prompt, const QString& startFolder);

} // namespace Tovanel::AddFolder
