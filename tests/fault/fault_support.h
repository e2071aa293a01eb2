// Shared by the fault tests: hand-built TIFF bytes, the whole-PNG check, mounts, other users, leftover processes.
#pragma once

#include "as_nobody.h"
#include "test_files.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <sys/types.h>

namespace Fault {

// One directory entry as it will be stored. A value longer than 4 bytes goes out of line.
struct Field {
    uint16_t tag;
    uint16_t type;      // 1 BYTE, 2 ASCII, 3 SHORT, 4 LONG, or anything a damaged file may hold
    uint32_t count;
    QByteArray value;   // little-endian bytes; StripOffsets left empty is pointed at the page's data
};
Field Short(uint16_t tag, uint16_t v);
Field Long(uint16_t tag, uint32_t v);
Field Shorts(uint16_t tag, const QList<uint16_t>& v);

struct Ifd {
    QList<Field> fields;
    QByteArray data;     // the one strip
    int nextIfd = -1;    // -1: the following directory (none after the last); else an earlier index or itself
};

// A little-endian classic TIFF: header, then per directory its strip, its out-of-line values, itself.
QByteArray Tiff(const QList<Ifd>& ifds);
// An uncompressed one-strip page of width x height, 1 (grey) or 3 (RGB) 8-bit samples.
Ifd Plain(uint32_t width, uint32_t height, int samples, const QByteArray& pixels);
// Reproducible noise bytes, which no PNG filter can shrink much.
QByteArray Noise(qsizetype size, quint32 seed);
// The pixels of a Plain page as the PNG should show them.
QImage PlainImage(uint32_t width, uint32_t height, int samples, const QByteArray& pixels);
// A 1-bit G4 page of all-white rows: a few kilobytes that claim width x height pixels.
Ifd WhiteG4(uint32_t width, uint32_t height);

using Tovanel::TestFiles::ReadFile;
using Tovanel::TestFiles::WriteFile;

// Empty when path is a PNG whose every chunk length and CRC holds and which ends with IEND, with no
// byte after it; otherwise what is wrong.
QString PngDamage(const QString& path);

using Tovanel::TestFiles::Entries;

// Makes folder path (and those on the way) and gives it the mode, set bits included; false when either fails.
bool MakeOpen(const QString& path, mode_t mode);

// Mounts a tmpfs of the given size on folder (made when missing); the text says why not, empty on success.
QString MountTmpfs(const QString& folder, qint64 bytes, bool readOnly = false);
void Unmount(const QString& folder);

using TestSupport::AsNobody;

// Processes whose working folder is folder or lies under it (tools left running by a killed program,
// which work in a run's folder inside the temporary folder).
QList<int> ProcessesWorkingIn(const QString& folder);
// Waits until none has been left for a moment, at most waitMs, then kills the rest; returns how many
// had to be killed. lastSeenMs, when given, receives how long after the call one was last seen alive
// (0 when none was).
int AwaitProcessesIn(const QString& folder, int waitMs, qint64* lastSeenMs = nullptr);

// The program (tests/fault/run_driver.cpp) converting sources into out with TEMP = temp. Its settings,
// cache and system temp folder lie in home, which it also gets as HOME. With uid other than 0 it runs
// under that user and group id (the caller must be root). Started, not waited for; command, when given,
// runs in its place with out and sources after its own arguments.
QProcess* StartDriver(QObject* parent, const QString& temp, const QString& out, const QStringList& sources,
                      const QString& home, unsigned uid = 0, const QStringList& command = {});

// Everything under folder, links not followed: path -> "dir", "link:" + target or "file:" + bytes.
QMap<QString, QByteArray> Snapshot(const QString& folder);

} // namespace Fault
