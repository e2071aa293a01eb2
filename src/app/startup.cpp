// Start-up procedures: the desktop folder and the occasional visit to the maker's web site.
#include "app/startup.h"

#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "app/form1.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include <cmath>

namespace Tovanel::Main {

const char* const WebSiteAddress = "https://tovanel.org/";

QString GetSpecialFolderPath(int folderId)
{
    constexpr int kDesktop = 0;
    if (folderId != kDesktop)
        return QString();
    // The user's own desktop as the desktop environment names it (user-dirs.dirs), else ~/Desktop.
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
}

QString GetDesktopFolder()
{
    const QString path = GetSpecialFolderPath(0);
    // Cutting an empty answer at its terminator is what fails in the design, with the runtime's words.
    if (path.isEmpty())
        throw Tovanel::Failure(QStringLiteral("Invalid procedure call or argument"), 5);
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

QString GetDefaultOutputFolder()
{
    const QString desktop = GetDesktopFolder();
    if (QFileInfo(desktop).isDir())
        return desktop;
    const QString home = QDir::homePath();
    return home.endsWith(QLatin1Char('/')) ? home : home + QLatin1Char('/');
}

int WebSiteDraw(double r) { return static_cast<int>(std::floor(r * 100.0)) + 1; }

} // namespace Tovanel::Main

namespace Tovanel {

void Form1::OpenWebSiteByChance()
{
    // About one start in a hundred; the seam supplies the timer-seeded random number.
    if (Main::WebSiteDraw(dialogs_.random()) == 7)
        dialogs_.openUrl(QUrl(QString::fromLatin1(Main::WebSiteAddress)));
}

} // namespace Tovanel
