// Shared by the fault tests: hand-built TIFF bytes, the whole-PNG check, mounts, other users, leftover processes.
#include "fault_support.h"
#include "sample_values.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <unistd.h>
#include <zlib.h>

namespace Fault {

namespace {

void PutU16(QByteArray& b, uint16_t v)
{
    b.append(static_cast<char>(v & 0xff));
    b.append(static_cast<char>(v >> 8));
}
void PutU32(QByteArray& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.append(static_cast<char>((v >> (8 * i)) & 0xff));
}
void SetU32(QByteArray& b, qsizetype at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}
QByteArray U32Bytes(uint32_t v)
{
    QByteArray b;
    PutU32(b, v);
    return b;
}
void Align(QByteArray& b)
{
    if (b.size() % 2)
        b.append('\0');
}

} // namespace

Field Short(uint16_t tag, uint16_t v)
{
    QByteArray b;
    PutU16(b, v);
    return {tag, 3, 1, b};
}
Field Long(uint16_t tag, uint32_t v) { return {tag, 4, 1, U32Bytes(v)}; }
Field Shorts(uint16_t tag, const QList<uint16_t>& v)
{
    QByteArray b;
    for (uint16_t x : v)
        PutU16(b, x);
    return {tag, 3, static_cast<uint32_t>(v.size()), b};
}

QByteArray Tiff(const QList<Ifd>& ifds)
{
    QByteArray out("II*\0", 4);
    qsizetype nextSlot = out.size();   // where the offset of the next directory goes
    PutU32(out, 0);
    QList<uint32_t> ifdOffsets;
    QList<qsizetype> nextSlots;
    for (const Ifd& ifd : ifds) {
        Align(out);
        const auto dataOffset = static_cast<uint32_t>(out.size());
        out.append(ifd.data);
        QList<Field> fields = ifd.fields;
        std::sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) { return a.tag < b.tag; });
        for (Field& f : fields)
            if (f.tag == 273 && f.value.isEmpty())
                f.value = U32Bytes(dataOffset);
        QList<uint32_t> valueOffsets;
        for (const Field& f : fields) {
            Align(out);
            valueOffsets.append(static_cast<uint32_t>(out.size()));
            if (f.value.size() > 4)
                out.append(f.value);
        }
        Align(out);
        const auto ifdOffset = static_cast<uint32_t>(out.size());
        ifdOffsets.append(ifdOffset);
        SetU32(out, nextSlot, ifdOffset);
        PutU16(out, static_cast<uint16_t>(fields.size()));
        for (qsizetype i = 0; i < fields.size(); ++i) {
            const Field& f = fields[i];
            PutU16(out, f.tag);
            PutU16(out, f.type);
            PutU32(out, f.count);
            if (f.value.size() > 4) {
                PutU32(out, valueOffsets[i]);
            } else {
                QByteArray inlineValue = f.value;
                inlineValue.append(QByteArray(4 - f.value.size(), '\0'));
                out.append(inlineValue);
            }
        }
        nextSlot = out.size();
        nextSlots.append(nextSlot);
        PutU32(out, 0);
    }
    // Directories that point back (loops) are patched once every offset is known.
    for (qsizetype i = 0; i < ifds.size(); ++i)
        if (ifds[i].nextIfd >= 0)
            SetU32(out, nextSlots[i], ifdOffsets[ifds[i].nextIfd]);
    return out;
}

Ifd Plain(uint32_t width, uint32_t height, int samples, const QByteArray& pixels)
{
    Ifd ifd;
    ifd.data = pixels;
    ifd.fields = {Long(256, width),
                  Long(257, height),
                  samples == 1 ? Short(258, 8) : Shorts(258, {8, 8, 8}),
                  Short(259, 1),
                  Short(262, samples == 1 ? 1 : 2),
                  {273, 4, 1, {}},
                  Short(277, static_cast<uint16_t>(samples)),
                  Long(278, height),
                  Long(279, static_cast<uint32_t>(pixels.size()))};
    return ifd;
}

QByteArray Noise(qsizetype size, quint32 seed)
{
    Tovanel::SampleValues::NoiseStream stream(seed);
    QByteArray b(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = static_cast<char>(stream.next() & 0xff);
    return b;
}

QImage PlainImage(uint32_t width, uint32_t height, int samples, const QByteArray& pixels)
{
    QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB888);
    for (uint32_t y = 0; y < height; ++y) {
        uchar* line = image.scanLine(static_cast<int>(y));
        for (uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                line[x * 3 + c] = static_cast<uchar>(pixels[(y * width + x) * samples + (samples == 1 ? 0 : c)]);
    }
    return image;
}

Ifd WhiteG4(uint32_t width, uint32_t height)
{
    // On a white reference line an all-white row codes as one vertical-0 step: one bit per row.
    Ifd ifd;
    ifd.data = QByteArray(static_cast<qsizetype>((height + 7) / 8), '\xff');
    ifd.data.append(QByteArray::fromHex("001001"));   // end of facsimile block
    ifd.fields = {Long(256, width), Long(257, height), Short(258, 1), Short(259, 4), Short(262, 0),
                  {273, 4, 1, {}}, Short(277, 1), Long(278, height),
                  Long(279, static_cast<uint32_t>(ifd.data.size())), Long(293, 0)};
    return ifd;
}

QString PngDamage(const QString& path)
{
    const QByteArray b = ReadFile(path);
    if (!b.startsWith(QByteArray::fromHex("89504e470d0a1a0a")))
        return QStringLiteral("no PNG signature (%1 bytes)").arg(b.size());
    qsizetype at = 8;
    auto u32 = [&](qsizetype p) {
        return (static_cast<uint32_t>(static_cast<uchar>(b[p])) << 24) | (static_cast<uint32_t>(static_cast<uchar>(b[p + 1])) << 16)
               | (static_cast<uint32_t>(static_cast<uchar>(b[p + 2])) << 8) | static_cast<uchar>(b[p + 3]);
    };
    while (at + 12 <= b.size()) {
        const uint32_t length = u32(at);
        if (length > static_cast<uint32_t>(b.size() - at - 12))
            return QStringLiteral("chunk at %1 runs past the end").arg(at);
        const QByteArray type = b.mid(at + 4, 4);
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(b.constData() + at + 4), length + 4);
        if (crc != u32(at + 8 + length))
            return QStringLiteral("bad CRC in %1 chunk at %2").arg(QString::fromLatin1(type)).arg(at);
        at += 12 + length;
        if (type == "IEND")
            return at == b.size() ? QString() : QStringLiteral("%1 bytes after IEND").arg(b.size() - at);
    }
    return QStringLiteral("no IEND (%1 bytes)").arg(b.size());
}

bool MakeOpen(const QString& path, mode_t mode)
{
    return QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QString MountTmpfs(const QString& folder, qint64 bytes, bool readOnly)
{
    QDir().mkpath(folder);
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
    const QByteArray target = QFile::encodeName(folder);
    if (::mount("tmpfs", target.constData(), "tmpfs", readOnly ? MS_RDONLY : 0, options.constData()) != 0)
        return QStringLiteral("cannot mount a tmpfs on %1 (%2); the case needs root and a sandbox that allows mounts")
            .arg(folder, QString::fromLocal8Bit(strerror(errno)));
    return {};
}

void Unmount(const QString& folder)
{
    ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
}

QList<int> ProcessesWorkingIn(const QString& folder)
{
    const QString wanted = QFileInfo(folder).canonicalFilePath();
    QList<int> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        if (!isPid || pid == ::getpid())
            continue;
        const QString cwd = QFileInfo(QStringLiteral("/proc/") + entry + QStringLiteral("/cwd")).symLinkTarget();
        if (!wanted.isEmpty() && (cwd == wanted || cwd.startsWith(wanted + u'/')))
            found.append(pid);
    }
    return found;
}

int AwaitProcessesIn(const QString& folder, int waitMs, qint64* lastSeenMs)
{
    // A tool the killed program was just starting enters the folder only right before it runs, so
    // one empty look proves nothing: the folder must stay empty for a while.
    constexpr int kQuietMs = 300;
    QElapsedTimer clock, quiet;
    clock.start();
    quiet.start();
    if (lastSeenMs)
        *lastSeenMs = 0;
    while (clock.elapsed() < waitMs) {
        if (!ProcessesWorkingIn(folder).isEmpty()) {
            quiet.restart();
            if (lastSeenMs)
                *lastSeenMs = clock.elapsed();
        } else if (quiet.elapsed() >= kQuietMs) {
            return 0;
        }
        QThread::msleep(10);
    }
    if (lastSeenMs)
        *lastSeenMs = clock.elapsed();
    const QList<int> rest = ProcessesWorkingIn(folder);
    for (int pid : rest)
        ::kill(pid, SIGKILL);
    return static_cast<int>(rest.size());
}

} // namespace Fault

namespace Fault {

QProcess* StartDriver(QObject* parent, const QString& temp, const QString& out, const QStringList& sources,
                      const QString& home, unsigned uid, const QStringList& command)
{
    auto* driver = new QProcess(parent);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TEMP"), temp);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/cache"));
    env.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const char* sub : {"/config", "/cache", "/tmp"}) {
        QDir().mkpath(home + QLatin1String(sub));
        if (uid != 0)
            ::chown(QFile::encodeName(home + QLatin1String(sub)).constData(), uid, uid);
    }
    driver->setProcessEnvironment(env);
    if (uid != 0) {
        driver->setChildProcessModifier([uid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
                ::_exit(77);
        });
    }
    driver->start(command.value(0, QStringLiteral(FAULT_RUN_DRIVER)), command.mid(1) + QStringList{out} + sources);
    return driver;
}

QMap<QString, QByteArray> Snapshot(const QString& folder)
{
    QMap<QString, QByteArray> found;
    const QDir dir(folder);
    for (const QString& name : Entries(folder)) {
        const QString path = folder + u'/' + name;
        const QFileInfo info(path);
        if (info.isSymLink()) {
            found.insert(name, "link:" + QFile::encodeName(info.symLinkTarget()));
        } else if (info.isDir()) {
            found.insert(name, "dir");
            const QMap<QString, QByteArray> inner = Snapshot(path);
            for (auto it = inner.begin(); it != inner.end(); ++it)
                found.insert(name + u'/' + it.key(), it.value());
        } else {
            found.insert(name, "file:" + ReadFile(path));
        }
    }
    return found;
}

} // namespace Fault
