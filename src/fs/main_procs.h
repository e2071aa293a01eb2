// Module Main: path and file procedures shared by the intake paths and the conversion.
#pragma once

#include <QByteArray>
#include <QString>

namespace Tovanel::Main {

bool FileExistsByDate(const QString& path);
QString GetFolderPart(const QString& path);
QString StripExtension(const QString& path);
QString GetFileNamePart(const QString& path);
bool FolderExists(const QString& path);
// Deletes every file matching the last part of path (wildcards allowed), read-only ones too.
// Processes pending events first; reports nothing.
void DeleteFileQuiet(const QString& path);
// Processes pending events; writes bytes to path only when no file is there. Throws Tovanel::Failure.
void WriteBytesIfMissing(const QByteArray& bytes, const QString& path);
// Creates or empties path and writes text as UTF-8 followed by one LF. Throws Tovanel::Failure.
void WriteTextFile(const QString& text, const QString& path);
// Copies source over target (atomically) when source is a file and target's folder exists. Returns 0
// when copied, otherwise the errno that says why not (ENOENT for a missing source or folder); callers
// that only want the copy may ignore it.
int CopyFileChecked(const QString& source, const QString& target);
// A working copy that need not survive a power loss (not flushed to disk), both names taken as they
// stand: a "*" or "?" in them is part of the name. Returns 0 or the errno, as CopyFileChecked.
int CopyWorkingFile(const QString& source, const QString& target);
QString NormalizePath(const QString& path);
// Makes the folder path and every missing folder above it, as "mkdir -p"; true when it is a folder then.
bool MakeFolders(const QString& path);

// File attributes as the design knows them: read-only 1, hidden 2, directory 16, archive 32,
// alias 1024. Throws Tovanel::Failure when the path can't be examined.
enum Attribute { ReadOnly = 1, Hidden = 2, System = 4, Directory = 16, Archive = 32, Alias = 1024 };
int GetAttr(const QString& path);

// File names are bytes; these are for names that are not UTF-8 (written under another encoding).
// Text for bytes: valid UTF-8 decoded, every other byte b kept as the lone surrogate U+DC00 + b, which
// no decoded text holds, so that EncodeKeptBytes gives the very bytes back.
QString DecodeKeepingBytes(const QByteArray& bytes);
QByteArray EncodeKeptBytes(const QString& text);
bool IsValidUtf8(const QByteArray& bytes);
// Every path this program hands the file system is encoded by EncodeKeptBytes. A program that takes its
// paths by their bytes (the batch command) also lists names that are not UTF-8, as DecodeKeepingBytes
// gives them; otherwise listings pass them over (and name them where the caller asks).
void SetListingKeepsBytes(bool keep);
bool ListingKeepsBytes();
// A name to show the user: what is text as text, each other byte (and each control character) as
// "\xFF", so that the file can be found again.
QString ShownName(const QByteArray& bytes);

} // namespace Tovanel::Main
