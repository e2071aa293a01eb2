// Small folder trees and synthesized drops for the intake tests.
#pragma once

#include "window_fixture.h"

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTreeWidget>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

namespace Tovanel {

// Each entry is one line: "a/b.tif" a file, "a/c/" a folder, "a/loop -> .." a symbolic link,
// "x.tif ro" a file without the owner's write bit. Folders on the way are made as needed.
inline bool MakeTree(const QString& root, const QStringList& entries)
{
    for (const QString& entry : entries) {
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
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    data->setUrls(urls);
    return data;
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
