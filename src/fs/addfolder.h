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
