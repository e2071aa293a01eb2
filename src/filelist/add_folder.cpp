// "Add All TIFF File(s) In Folder": every file with the asked extension in a folder tree appended to the list.
#include "app/form1.h"

#include "filelist/add_tree.h"
#include "filelist/drop.h"
#include "fs/addfolder.h"
#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "settings/settings.h"

namespace Tovanel {

void Form1::PushButton3_Click()
{
    ErrorTrap trap(dialogs_, FormLocation("PushButton3_Click"));
    QString answer;
    trap.run(100, [&] {
        answer = dialogs_.inputBox(this,
                                   QStringLiteral("Enter file extension to load:\r\r(* for all files, txt for all txt "
                                                  "files, doc for all doc files, etc.)"),
                                   QString(), GetSetting(QStringLiteral("Extension"), QStringLiteral("tif")));
    });
    if (trap.leaveIf(102, [&] { return answer.isEmpty(); }))
        return;
    // "Extension" reads naturally as ".tif" too.
    answer = Intake::WithoutLeadingDot(answer);
    trap.run(104, [&] { SaveSetting(QStringLiteral("Extension"), answer); });

    QString chosen;
    trap.run(106, [&] {
        chosen = AddFolder::BrowseForFolder(dialogs_, this, QStringLiteral("Please select folder:"),
                                            GetSetting(QStringLiteral("LastFolder"), QString()));
    });
    if (trap.leaveIf(108, [&] { return chosen.isEmpty(); }))
        return;
    QString lastFolder;
    trap.run(333, [&] { lastFolder = chosen; });
    trap.run(334, [&] { SaveSetting(QStringLiteral("LastFolder"), lastFolder); });

    trap.run(114, [&] { setMousePointer(PointerHourglass); });
    QList<QByteArray> undecodable;
    const QStringList folders = Intake::ScanFolderTree(dialogs_, trap, chosen, &undecodable);
    Intake::AddFolderListFiles(trap, folders, {answer}, [this](const QString& path) { addListItem(path); },
                               &undecodable);
    if (!undecodable.isEmpty())
        Intake::ReportUndecodableNames(dialogs_, this, undecodable);
    // A run that was going on when the add began still is: its busy state must keep guarding the list.
    trap.run(138, [&] { setMousePointer(isConverting() ? PointerHourglass : PointerDefault); });
}

} // namespace Tovanel
