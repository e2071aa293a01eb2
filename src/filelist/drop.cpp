// Drag-and-drop intake: dropped files appended as they are, dropped folders with all their files.
#include "filelist/drop.h"

#include "app/form1.h"

#include "filelist/add_tree.h"
#include "platform/error_trap.h"
#include "fs/main_procs.h"

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace Tovanel {

namespace {

// The dropped files and folders, in the drop's order. Only local paths are files to this program; a
// link to a web page carries a URL list too, but names nothing we could convert.
QStringList DroppedPaths(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths.append(url.toLocalFile());
    return paths;
}

} // namespace

bool Intake::AnswerAsCopy(QDropEvent& event, bool welcome)
{
    if (!welcome || !(event.possibleActions() & Qt::CopyAction)) {
        event.ignore();
        return false;
    }
    // Whatever the source proposed (a file manager proposes a move with Shift held), we only read.
    event.setDropAction(Qt::CopyAction);
    event.accept();
    return true;
}

bool Form1::ListView1_OLEDragOver(const QMimeData* data) { return !DroppedPaths(data).isEmpty(); }

void Form1::ListView1_OLEDragDrop(const QMimeData* data)
{
    ErrorTrap trap(dialogs_, FormLocation("ListView1_OLEDragDrop"));
    // Taken before any event runs: the drag's data is not ours to keep once other events are handled.
    QStringList dropped;
    trap.run(100, [&] { dropped = DroppedPaths(data); });
    for (const QString& path : dropped) { // 102
        int attributes = 0;
        try {
            attributes = Main::GetAttr(path);
        } catch (const Failure&) {
            // Gone since the drag began: nothing to add, and the other dropped paths still count.
            continue;
        }
        if (!(attributes & Main::Directory)) {
            trap.run(104, [&] { addListItem(path); });
            continue;
        }
        const QStringList folders = Intake::ScanFolderTree(dialogs_, trap, path);
        Intake::AddFolderListFiles(trap, folders, QStringLiteral("*.*"),
                                   [this](const QString& found) { addListItem(found); });
    }
}

} // namespace Tovanel
