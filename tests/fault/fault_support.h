// Shared by the fault tests: hand-built TIFF bytes, the whole-PNG check, mounts, other users, leftover processes.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

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

bool WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);

// Empty when path is a PNG whose every chunk length and CRC holds and which ends with IEND, with no
// byte after it; otherwise what is wrong.
QString PngDamage(const QString& path);
// The PNG as RGB888, colour space dropped; null when it does not decode.
QImage DecodePng(const QString& path);

// Every entry of folder, hidden ones included, by name.
QStringList Entries(const QString& folder);

// Mounts a tmpfs of the given size on folder (made when missing); the text says why not, empty on success.
QString MountTmpfs(const QString& folder, qint64 bytes, bool readOnly = false);
void Unmount(const QString& folder);

// Runs work in a child process with the identity of nobody (65534); its exit status, or -1 with
// why set when the child cannot take that identity (not root, no such user).
int AsNobody(const std::function<bool()>& work, QString* why);

// Processes whose working folder is folder (tools left running by a killed program).
QList<int> ProcessesWorkingIn(const QString& folder);
// Waits until none has been left for a moment, at most waitMs, then kills the rest; returns how many
// had to be killed.
int AwaitProcessesIn(const QString& folder, int waitMs);

} // namespace Fault
