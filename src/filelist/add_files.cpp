// "Add TIFF File(s)": files chosen in the open-file dialog appended to the list.
#include "app/form1.h"

#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "fs/main_procs.h"

namespace Tovanel {

namespace {

// The buffer the chosen files have always had to fit; users know "Add All" for more.
constexpr qsizetype MaxFileSize = 30000;

// The folder a path lies in, as the dialog names it: without a closing "/", except the root "/".
QString FolderOf(const QString& path)
{
    const QString folder = Main::GetFolderPart(path);
    return folder.size() > 1 ? folder.chopped(1) : folder;
}

// The size of the selection in the dialog's one-text form: the folder, each name, a NUL after each of
// them and a closing NUL (a single file is its full path, its NUL and the closing NUL).
qsizetype SelectionSize(const QStringList& paths)
{
    if (paths.size() == 1)
        return paths.first().size() + 2;
    qsizetype size = FolderOf(paths.first()).size() + 1;
    for (const QString& path : paths)
        size += Main::GetFileNamePart(path).size() + 1;
    return size + 1;
}

} // namespace

void Form1::PushButton1_Click()
{
    ErrorTrap trap(dialogs_, FormLocation("PushButton1_Click"));
    OpenFilesRequest request;
    trap.run(104, [&] { request = OpenFilesRequest{}; });
    trap.run(106, [&] { request.multiple = true; });
    trap.run(108, [&] { request.title = QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files"); });
    trap.run(110, [&] { request.filter = QStringLiteral("TIFF Files (*.tif*)"); });
    QStringList chosen;
    trap.run(112, [&] { chosen = dialogs_.openFiles(this, request); });
    if (!chosen.isEmpty() && SelectionSize(chosen) > MaxFileSize) {
        dialogs_.message(this,
                         QStringLiteral("You've selected too many files to add.\r\rPlease try adding via the \"Add All\" "
                                        "button."),
                         QString(), Buttons::Ok, Icon::None);
        return;
    }
    if (trap.leaveIf(114, [&] { return chosen.isEmpty(); }))
        return;
    if (trap.test(118, [&] { return chosen.size() == 1; })) {
        QString path;
        trap.run(120, [&] { path = chosen.first(); });
        trap.run(122, [&] { addListItem(path); });
        return;
    }
    for (const QString& chosenPath : chosen) { // 124 to 134
        QString path;
        trap.run(136, [&] { path = FolderOf(chosenPath) + QLatin1Char('/') + Main::GetFileNamePart(chosenPath); });
        trap.run(138, [&] { path = Main::NormalizePath(path); });
        trap.run(140, [&] { addListItem(path); });
    } // 142
}

} // namespace Tovanel
