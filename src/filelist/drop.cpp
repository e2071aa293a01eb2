// Drag-and-drop intake: dropped files appended as they are, dropped folders with all their files.
#include "filelist/drop.h"

#include "app/form1.h"

#include "filelist/add_tree.h"
#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "fs/main_procs.h"

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace Tovanel {

namespace {

struct DroppedPath {
    QString path;
    // The name as the file system has it. A file manager percent-encodes a name's bytes in the URL,
    // whatever they are; as text, bytes that are not UTF-8 become U+FFFD and name no file at all.
    QByteArray bytes;
};

// The dropped files and folders, in the drop's order. Only local paths are files to this program; a
// link to a web page carries a URL list too, but names nothing we could convert.
QList<DroppedPath> DroppedPaths(const QMimeData* data)
{
    QList<DroppedPath> paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths.append({url.toLocalFile(),
                          QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1())});
    }
    return paths;
}

} // namespace

// The list, the run and the tools all work on names as text, so a name that is not text can't join the
// list. The user hears which ones, in one box for the whole add, to rename them.
void Intake::ReportUndecodableNames(Dialogs& dialogs, QObject* owner, const QList<QByteArray>& names)
{
    QStringList shown;
    for (const QByteArray& name : names)
        shown << Main::ShownName(name);
    if (shown.size() == 1) {
        dialogs.message(owner,
                        shown.first() + QStringLiteral(" could not be added: the name is not valid text. "
                                                       "Renamed, it can be added."),
                        QString(), Buttons::Ok, Icon::Warning);
        return;
    }
    dialogs.message(owner,
                    QString::number(shown.size())
                        + QStringLiteral(" files or folders could not be added: the name of each is not valid text "
                                         "(see the details). Renamed, they can be added."),
                    QString(), Buttons::Ok, Icon::Warning, shown.join(QLatin1Char('\n')));
}

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
    QList<DroppedPath> dropped;
    trap.run(100, [&] { dropped = DroppedPaths(data); });
    QList<QByteArray> undecodable;
    for (const DroppedPath& item : dropped) { // 102
        if (!Main::IsValidUtf8(item.bytes)) {
            undecodable.append(item.bytes);
            continue;
        }
        const QString& path = item.path;
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
        const QStringList folders = Intake::ScanFolderTree(dialogs_, trap, path, &undecodable);
        Intake::AddFolderListFiles(
            trap, folders, {QStringLiteral("*")}, [this](const QString& found) { addListItem(found); }, &undecodable);
    }
    if (!undecodable.isEmpty())
        Intake::ReportUndecodableNames(dialogs_, this, undecodable);
}

} // namespace Tovanel
