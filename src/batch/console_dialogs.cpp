// Boxes as text on standard error: the same words as the window's boxes, the details under them.
#include "batch/console_dialogs.h"

#include <algorithm>

namespace Tovanel::Batch {

namespace {

// A byte kept from a name that is not UTF-8 (Main::DecodeKeepingBytes): a lone U+DC80 to U+DCFF.
bool KeptByte(const QString& text, qsizetype i)
{
    const char16_t u = text.at(i).unicode();
    return u >= 0xdc80 && u <= 0xdcff && (i == 0 || !text.at(i - 1).isHighSurrogate());
}

bool Plain(const QString& text, qsizetype i)
{
    const char16_t u = text.at(i).unicode();
    return u >= 0x20 && u != 0x7f && !(u >= 0x80 && u <= 0x9f) && !KeptByte(text, i);
}

QString Hex(int byte) { return QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0')); }

} // namespace

QString ShownName(const QString& name)
{
    qsizetype i = 0;
    while (i < name.size() && Plain(name, i))
        ++i;
    if (i == name.size())
        return name;
    QString shown = QStringLiteral("$'");
    for (i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c == QLatin1Char('\\') || c == QLatin1Char('\''))
            shown += QLatin1Char('\\') + c;
        else if (Plain(name, i))
            shown += c;
        else if (c == QLatin1Char('\n'))
            shown += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            shown += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            shown += QStringLiteral("\\r");
        else if (KeptByte(name, i))
            shown += Hex(c.unicode() - 0xdc00);
        else
            for (const char b : QString(c).toUtf8())
                shown += Hex(static_cast<uchar>(b));
    }
    return shown + QLatin1Char('\'');
}

void NameEscapes::add(const QString& name)
{
    const QString shown = ShownName(name);
    if (shown == name)
        return;
    const auto at = std::find_if(names_.begin(), names_.end(), [&](const auto& n) { return n.first.size() < name.size(); });
    names_.insert(at, {name, shown});
}

QString NameEscapes::apply(QString text) const
{
    for (const auto& [name, shown] : names_)
        text.replace(name, shown);
    return text;
}

void ConsoleDialogs::print(const QString& text)
{
    if (beforePrint_)
        beforePrint_();
    QString out = escapes_ ? escapes_->apply(text) : text;
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
