// Boxes as text on standard error: the same words as the window's boxes, the details under them.
#include "batch/console_dialogs.h"

namespace Tovanel::Batch {

void ConsoleDialogs::print(const QString& text)
{
    if (beforePrint_)
        beforePrint_();
    QString out = text;
    // The error report box breaks its lines as a Windows box does; a terminal wants plain line ends.
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (!out.endsWith(QLatin1Char('\n')))
        out += QLatin1Char('\n');
    std::fputs(out.toLocal8Bit().constData(), err_);
    std::fflush(err_);
}

void ConsoleDialogs::say(const QString& text) { print(QStringLiteral("tovanel-batch: ") + text); }

Answer ConsoleDialogs::message(QObject*, const QString& text, const QString& title, Buttons buttons, Icon,
                               const QString& details)
{
    if (!title.isEmpty())
        print(title + QStringLiteral(": ") + text + (details.isEmpty() ? QString() : QLatin1Char('\n') + details));
    else if (!silenced_)
        print(details.isEmpty() ? text : text + QLatin1Char('\n') + details);
    return buttons == Buttons::Ok ? Answer::Ok : Answer::No;
}

} // namespace Tovanel::Batch
