// The error report box and the trap that shows it.
#include "platform/error_trap.h"

#include "platform/dialogs.h"

namespace Tovanel {

const char* const SupportAddress = "support@tovanel.org";

QString ErrorReportText(const QString& location, const QString& description, int statement)
{
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") + QString::number(statement)
        + QStringLiteral("\r\r") + QStringLiteral("Please email screenshot of this message to ")
        + QString::fromLatin1(SupportAddress);
}

void ShowErrorReport(Dialogs& dialogs, const QString& location, const QString& description, int statement)
{
    dialogs.message(nullptr, ErrorReportText(location, description, statement), QStringLiteral("Application Error"),
                    Buttons::Ok, Icon::Warning);
}

void ErrorTrap::report(const QString& description)
{
    ++failures_;
    ShowErrorReport(dialogs_, location_, description, statement_);
}

QString FormLocation(const char* handler)
{
    return QStringLiteral("in Brisquet2021/08/31.Form1.") + QString::fromLatin1(handler) + QLatin1Char(' ');
}

namespace {
QString& appTitle()
{
    static QString title = QStringLiteral("Tovanel");
    return title;
}
} // namespace

QString AppTitle() { return appTitle(); }
void SetAppTitleText(const QString& title) { appTitle() = title; }

} // namespace Tovanel
