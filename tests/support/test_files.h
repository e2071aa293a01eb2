// Whole files written and read back and a folder's entries, for the suites of every level.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStringList>

#include <sys/stat.h>

namespace Tovanel::TestFiles {

// Writes bytes as the whole file at path; false when it cannot. makeFolders: the folders on the way
// are made first (off where a missing folder must make the write fail).
inline bool WriteFile(const QString& path, const QByteArray& bytes, bool makeFolders = false)
{
    if (makeFolders && !QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// As WriteFile, then the file's permission bits set to mode.
inline bool WriteFileWithMode(const QString& path, const QByteArray& bytes, mode_t mode)
{
    return WriteFile(path, bytes) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// The file's bytes; empty when it cannot be read.
inline QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every entry of folder, hidden ones included, by name.
inline QStringList Entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Every file under folder, at any depth, by its path relative to folder, with its bytes.
inline QMap<QString, QByteArray> Tree(const QString& folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path), ReadFile(path));
    }
    return files;
}

} // namespace Tovanel::TestFiles
