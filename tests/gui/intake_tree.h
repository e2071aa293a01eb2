// Small folder trees and synthesized drops for the intake tests.
#pragma once

#include "window_fixture.h"

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTreeWidget>
#include <QUrl>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tovanel {

// The bytes of a test path, where "\xFF" stands for a byte that is not UTF-8 (a name written under
// another encoding, which no QString can name). The program shows such a name in the same notation.
inline QByteArray TestPathBytes(const QString& path)
{
    QByteArray bytes = QFile::encodeName(path);
    for (qsizetype at = bytes.indexOf("\\x"); at >= 0; at = bytes.indexOf("\\x", at + 1))
        bytes.replace(at, 4, QByteArray(1, char(bytes.mid(at + 2, 2).toInt(nullptr, 16))));
    return bytes;
}

// A file whose path holds such bytes, with the folders on the way.
inline bool MakeFileAtBytes(const QByteArray& path)
{
    for (qsizetype slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
        if (::mkdir(path.left(slash).constData(), 0755) != 0 && errno != EEXIST)
            return false;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool written = fd >= 0 && ::write(fd, "II*\0", 4) == 4;
    return fd >= 0 && ::close(fd) == 0 && written;
}

// Each entry is one line: "a/b.tif" a file, "a/c/" a folder, "a/loop -> .." a symbolic link,
// "x.tif ro" a file without the owner's write bit, "a\xE9/b\xFF.tif" a file with bytes that are not
// UTF-8 (remove such a tree with TestSupport::RemoveTreeAt). Folders on the way are made as needed.
inline bool MakeTree(const QString& root, const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (entry.contains(QLatin1String("\\x"))) {
            if (!MakeFileAtBytes(TestPathBytes(root + QLatin1Char('/') + entry)))
                return false;
            continue;
        }
        if (entry.contains(QLatin1String(" -> "))) {
            const QString link = root + QLatin1Char('/') + entry.section(QLatin1String(" -> "), 0, 0);
            const QString target = entry.section(QLatin1String(" -> "), 1);
            if (!QDir().mkpath(QFileInfo(link).path())
                || ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) != 0)
                return false;
            continue;
        }
        const bool readOnly = entry.endsWith(QLatin1String(" ro"));
        const QString relative = readOnly ? entry.chopped(3) : entry;
        const QString path = root + QLatin1Char('/') + relative;
        if (relative.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path))
                return false;
            continue;
        }
        if (!QDir().mkpath(QFileInfo(path).path()))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("II*\0", 4) != 4)
            return false;
        file.close();
        if (readOnly && ::chmod(QFile::encodeName(path).constData(), 0444) != 0)
            return false;
    }
    return true;
}

inline QStringList UnderRoot(const QString& root, const QStringList& relatives)
{
    QStringList out;
    for (const QString& r : relatives)
        out << root + QLatin1Char('/') + r;
    return out;
}

inline QMimeData* FileDrag(const QStringList& paths)
{
    auto* data = new QMimeData;
    QList<QUrl> urls;
    // A name with bytes that are not UTF-8 travels percent-encoded, as file managers send it.
    for (const QString& p : paths)
        urls << (p.contains(QLatin1String("\\x"))
                     ? QUrl::fromEncoded("file://" + TestPathBytes(p).toPercentEncoding("/"))
                     : QUrl::fromLocalFile(p));
    data->setUrls(urls);
    return data;
}

// What is wrong with what an add showed about the paths it refused since their names are not text
// (empty when right): nothing at all for none, otherwise one box that names each of them.
inline QString RefusedNamesProblem(const FakeDialogs& dialogs, const QStringList& refused)
{
    const QList<Shown> boxes = dialogs.messages();
    if (dialogs.shown.size() != boxes.size() || boxes.size() != (refused.isEmpty() ? 0 : 1))
        return QStringLiteral("%1 things shown").arg(dialogs.shown.size());
    for (const QString& path : refused)
        if (!(boxes[0].text + boxes[0].details).contains(path)
            || !boxes[0].text.contains(QLatin1String("could not be added: the name")))
            return path + QStringLiteral(" not named in: ") + boxes[0].text + boxes[0].details;
    return QString();
}

// Drags data over the list and drops it there, as the desktop would: enter, move, and the drop only when
// the list welcomed the drag. The source offers `offered`, and proposes what the desktop derives from
// the keys held (Shift: a move). Returns whether the list took the drop; `answers` (when given) gets
// the action the list answered to each of the events it accepted.
inline bool DropOnList(WindowFixture& f, const QMimeData* data,
                       Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction,
                       Qt::KeyboardModifiers keys = Qt::NoModifier, QList<Qt::DropAction>* answers = nullptr)
{
    QWidget* viewport = f.ui().ListView1->viewport();
    const QPoint at = viewport->rect().center();
    QDragEnterEvent enter(at, offered, data, Qt::LeftButton, keys);
    QDragMoveEvent move(at, offered, data, Qt::LeftButton, keys);
    QDropEvent drop(QPointF(at), offered, data, Qt::LeftButton, keys);
    for (QDropEvent* event : {static_cast<QDropEvent*>(&enter), static_cast<QDropEvent*>(&move), &drop}) {
        QCoreApplication::sendEvent(viewport, event);
        if (!event->isAccepted())
            return false;
        if (answers)
            answers->append(event->dropAction());
    }
    return true;
}

} // namespace Tovanel
