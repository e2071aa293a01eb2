// The sample files: recorded once at the first start, loaded into the list on request.
#include "app/form1.h"

#include "fs/addfolder.h"
#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "filelist/list_contains.h"
#include "fs/main_procs.h"
#include "settings/settings.h"
#include "ui_form1.h"

#include <QUrl>

namespace Tovanel {

void Form1::TakeSampleSnapshot()
{
    const QStringList names = AddFolder::GetFolderFiles(programFolder_ + QStringLiteral("/Samples"), QStringLiteral("*.*"));
    QStringList paths;
    for (const QString& name : names)
        paths.append(programFolder_ + QStringLiteral("/Samples/") + name);
    // An empty folder stores the empty text, so the next start looks again.
    SaveSetting(QStringLiteral("Snapshot"), paths.join(QLatin1Char('|')));
}

void Form1::LoadSampleFiles()
{
    const QString snapshot = GetSetting(QStringLiteral("Snapshot"), QString());
    // The recorded files, not what the folder holds now: files added later are not samples.
    const QStringList paths = snapshot.isEmpty() ? QStringList() : snapshot.split(QLatin1Char('|'));
    for (const QString& path : paths)
        if (Main::FileExistsByDate(path) && !Main::ListContainsText(ui_->ListView1, path))
            addListItem(path);
    const Answer answer = dialogs_.message(
        this,
        QStringLiteral("Would you like this software to open the folder where these sample files are stored (so "
                       "that you can view them before working with them)?"),
        QString(), Buttons::YesNo, Icon::None);
    // Whether a file browser came up is not examined: there is nothing the user could do about it.
    if (answer == Answer::Yes)
        dialogs_.openUrl(QUrl::fromLocalFile(programFolder_ + QStringLiteral("/Samples/")));
}

void Form1::PushButton5_Click()
{
    ErrorTrap trap(dialogs_, FormLocation("PushButton5_Click"));
    trap.run(100, [&] { LoadSampleFiles(); });
}

} // namespace Tovanel
