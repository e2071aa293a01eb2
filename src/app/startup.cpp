// Placeholder until the start-up procedures land.
#include "startup.h"
#include "error_trap.h"
#include "form1.h"
#include <QDir>
namespace Main {
const char* const WebSiteAddress = "https://tovanel.org/";
QString GetDesktopFolder() { return QDir::homePath() + QStringLiteral("/Desktop/"); }
}
namespace Tovanel {
void Form1::OpenWebSiteByChance() {}
}
