// What each file of a run gave: the tools' stderr lines read back, reasons in words, the closing box.
#include "convert/run_report.h"

#include "convert/output_names.h"

#include "convert/procs/conversion.h"
#include "status.h"
#include "fs/main_procs.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace Tovanel {

namespace {

QString WithDetail(const QString& words, const QString& detail)
{
    return detail.isEmpty() ? words : words + QStringLiteral(" (") + detail + QLatin1Char(')');
}

// Page numbers, three or more in a row as a range: "1 to 3, 5, 6".
QString PageList(const QList<int>& pages)
{
    QStringList parts;
    for (qsizetype i = 0; i < pages.size();) {
        qsizetype j = i;
        while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1)
            ++j;
        if (j - i >= 2) {
            parts << QString::number(pages[i]) + QStringLiteral(" to ") + QString::number(pages[j]);
            i = j + 1;
        } else {
            parts << QString::number(pages[i]);
            ++i;
        }
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

ToolMessage ReadToolMessage(const QString& statusPath, const QString& errorsPath, const QString& input)
{
    ToolMessage said;
    QFile status(statusPath);
    bool number = false;
    if (statusPath.isEmpty() || !status.open(QIODevice::ReadOnly))
        return said;
    said.status = status.read(16).trimmed().toInt(&number);
    if (!number || said.status < 0)
        return {};
    QFile errors(errorsPath);
    if (errorsPath.isEmpty() || !errors.open(QIODevice::ReadOnly))
        return said;
    // One line is all a tool says; a longer file is cut rather than read whole.
    const QString line = QString::fromUtf8(errors.read(64 * 1024)).section(QLatin1Char('\n'), 0, 0).trimmed();
    // "tool: INPUT: words: detail", the words being the ones the status stands for: what follows them
    // is the detail. A line of another shape (a crash, the shell) is the detail as it stands.
    const QString words = input + QStringLiteral(": ") + QString::fromLatin1(tovanel::tools::ExitText(said.status));
    const qsizetype at = line.indexOf(words);
    said.detail = at < 0 ? line : line.mid(at + words.size());
    if (said.detail.startsWith(QLatin1Char(':')))
        said.detail = said.detail.mid(1);
    said.detail = said.detail.trimmed();
    return said;
}

SplitAccount ReadSplitAccount(const QString& path)
{
    SplitAccount account;
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return account;
    while (!file.atEnd()) {
        const QStringList fields = QString::fromUtf8(file.readLine()).chopped(1).split(QLatin1Char('\t'));
        if (fields.value(0) == QLatin1String("pages")) {
            account.pages = fields.value(1).toInt();
        } else if (fields.value(0) == QLatin1String("skipped") && fields.size() >= 3) {
            bool number = false;
            const int status = fields[2].toInt(&number);
            if (number)
                account.skipped.insert(fields[1].toInt(), {status, fields.mid(3).join(QLatin1Char(' ')).trimmed()});
        }
    }
    return account;
}

void ReadMetadataAccount(const QString& path, QStringList& carried, QStringList& omitted, QString& sha256)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd()) {
        const QStringList fields = QString::fromUtf8(file.readLine()).chopped(1).split(QLatin1Char('\t'));
        if (fields.value(0) == QLatin1String("metadata"))
            carried = fields.value(1).split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (fields.value(0) == QLatin1String("omitted") && fields.size() >= 3)
            omitted << fields[1] + QStringLiteral(": ") + fields.mid(2).join(QLatin1Char(' '));
        else if (fields.value(0) == QLatin1String("sha256"))
            sha256 = fields.value(1);
    }
}

ToolMessage WithoutWorkingName(ToolMessage message, const QString& path, const QString& shownAs)
{
    if (path.isEmpty())
        return message;
    message.detail.replace(path, shownAs);
    // The bare name only where it stands as a word of its own, not inside a longer name.
    const QString name = QRegularExpression::escape(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1));
    message.detail.replace(QRegularExpression(QStringLiteral("(?<![\\w./-])") + name + QStringLiteral("(?![\\w.-])")),
                           shownAs);
    return message;
}

QString ReasonFor(const ToolMessage& message, const QString& tool, const QString& folder)
{
    using namespace tovanel::tools;
    if (!message.said())
        return QStringLiteral("the ") + tool
               + QStringLiteral(" ended without a result (it was stopped or took too long)");
    switch (message.status) {
    case CannotOpen:
        return WithDetail(QStringLiteral("the file was gone or could not be read when its turn came"), message.detail);
    case NotTiff: return QString::fromLatin1(ExitText(NotTiff));
    case Damaged: return WithDetail(QStringLiteral("damaged"), message.detail);
    case Unsupported:
        return WithDetail(QStringLiteral("a kind of image that cannot be converted"), message.detail);
    case TooLarge: return WithDetail(QStringLiteral("too large"), message.detail);
    case WriteFailed:
        return WithDetail(QStringLiteral("the working folder ") + folder + QStringLiteral(" cannot be written"),
                          message.detail);
    case TooManyPages: return QStringLiteral("more than 17,576 pages");
    default: break;
    }
    // The shell gives 128 + the signal for a tool that a signal ended.
    if (message.status > 128 && message.status < 128 + 65)
        return WithDetail(QStringLiteral("the ") + tool + QStringLiteral(" crashed (signal ")
                              + QString::number(message.status - 128) + QLatin1Char(')'),
                          message.detail);
    return WithDetail(QStringLiteral("the ") + tool + QStringLiteral(" failed (exit status ")
                          + QString::number(message.status) + QLatin1Char(')'),
                      message.detail);
}

QString CopyReason(const QString& source, int err, const QString& folder)
{
    const QByteArray raw = Main::EncodeKeptBytes(source);
    struct stat st;
    if (::stat(raw.constData(), &st) != 0 || ::access(raw.constData(), R_OK) != 0)
        return QStringLiteral("the file was gone or could not be read when its turn came (")
               + QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char(')');
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a file that holds an image (a folder, FIFO or device)");
    return QStringLiteral("the working folder ") + folder + QStringLiteral(" cannot be written (")
           + QString::fromLocal8Bit(std::strerror(err)) + QLatin1Char(')');
}

SourceStamp StampOf(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {static_cast<qint64>(st.st_size), static_cast<qint64>(st.st_mtim.tv_sec),
            static_cast<qint64>(st.st_mtim.tv_nsec)};
}

QString OutputFolderReason(int err, const QString& folder)
{
    return QStringLiteral("the output folder ") + folder + QStringLiteral(" cannot be written (")
           + QString::fromLocal8Bit(std::strerror(err)) + QLatin1Char(')');
}

int PageNumberOf(const QString& pageName)
{
    static const QRegularExpression page(QLatin1Char('^') + Convert::kPagePrefix
                                         + QStringLiteral("([a-z])([a-z])([a-z])\\.tif$"));
    const QRegularExpressionMatch m = page.match(pageName);
    if (!m.hasMatch())
        return 0;
    int index = 0;
    for (int i = 1; i <= 3; ++i)
        index = index * 26 + (m.captured(i).at(0).unicode() - u'a');
    return index + 1;
}

QStringList FileOutcome::lines() const
{
    QStringList out;
    if (!takenBase.isEmpty())
        out << source + QStringLiteral(": saved as ") + OutputPattern(base) + QStringLiteral(", since ")
                   + OutputPattern(takenBase) + QStringLiteral(" came from another file of this run");
    if (!fileReason.isEmpty()) {
        out << source + QStringLiteral(": not converted: ") + fileReason;
        return out;
    }
    if (!absent.isEmpty()) {
        const bool one = absent.size() == 1 && !absent.first().mid(1).contains(QLatin1Char('-'));   // "5", "-4"
        out << source + (one ? QStringLiteral(": page ") : QStringLiteral(": pages ")) + absent.join(QStringLiteral(", "))
                   + (one ? QStringLiteral(" is") : QStringLiteral(" are")) + QStringLiteral(" not in the file, which has ")
                   + QString::number(pages) + (pages == 1 ? QStringLiteral(" page") : QStringLiteral(" pages"));
    }
    if (complete())
        return out;
    QString line = source + QStringLiteral(": ") + QString::number(written.size()) + QStringLiteral(" of ")
                   + QString::number(pages - notAsked.size()) + QStringLiteral(" pages written");
    if (!written.isEmpty())
        line += QStringLiteral(" (") + PageList(written) + QLatin1Char(')');
    // Neighbouring pages missing for one reason share one entry (a full disk would otherwise name
    // every page after it).
    for (auto it = missing.cbegin(); it != missing.cend();) {
        QList<int> run{it.key()};
        const QString reason = it.value();
        for (++it; it != missing.cend() && it.key() == run.last() + 1 && it.value() == reason; ++it)
            run << it.key();
        line += (run.size() == 1 ? QStringLiteral("; page ") : QStringLiteral("; pages ")) + PageList(run)
                + QStringLiteral(": ") + reason;
    }
    out << line;
    return out;
}

RunSummary Summarize(const QList<FileOutcome>& outcomes, const QStringList& notConverted, bool stopped)
{
    QStringList details;
    int incomplete = 0;
    for (const FileOutcome& outcome : outcomes) {
        incomplete += outcome.complete() ? 0 : 1;
        details << outcome.lines();
    }
    for (const QString& path : notConverted)
        details << path + QStringLiteral(": not converted: added to the list during the run");
    incomplete += static_cast<int>(notConverted.size());
    const QString first = stopped ? QStringLiteral("Stopped.") : QStringLiteral("Done.");
    if (details.isEmpty())
        return {first, QString()};
    const int total = static_cast<int>(outcomes.size() + notConverted.size());
    QString text = first;
    if (incomplete > 0)
        text += QLatin1Char('\n') + QString::number(incomplete) + QStringLiteral(" of ") + QString::number(total)
                + (total == 1 ? QStringLiteral(" file was") : QStringLiteral(" files were"))
                + QStringLiteral(" not converted completely.");
    else if (std::any_of(outcomes.begin(), outcomes.end(), [](const FileOutcome& o) { return !o.absent.isEmpty(); }))
        text += QStringLiteral("\nEvery page asked for was converted; some pages asked for are not in their file "
                               "(see the details).");
    else
        text += QStringLiteral("\nEvery file was converted; some were saved under another name (see the details).");
    return {text, details.join(QLatin1Char('\n'))};
}

} // namespace Tovanel
