// Placeholder until the settings store lands: every call fails loudly.
#include "settings.h"
#include "error_trap.h"
namespace Tovanel {
QString GetSetting(const QString&, const QVariant& d) { return d.toString(); }
void SaveSetting(const QString&, const QString&) { throw Failure(QStringLiteral("Settings store not built yet")); }
bool ToTruthValue(const QString& t) { return t == QLatin1String("True") || t == QLatin1String("1"); }
}
