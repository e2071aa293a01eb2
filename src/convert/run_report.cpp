// What each file of a run gave: the tools' stderr lines read back, reasons in words, the closing box.
#include "convert/run_report.h"

#include "convert/procs/conversion.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <iterator>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Tovanel {

namespace {

// The tools' exit texts (tools/common/tiffcommon.cpp), as their stderr line carries them: statuses 3
// to 9, then 2, then any other.
const char* const kMeanings[] = {"cannot open the input file", "not a TIFF file", "damaged or truncated TIFF file",
                                 "unsupported TIFF image format", "image too large", "cannot write the output file",
                                 "too many pages", "wrong command line", "unknown error"};

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

ToolMessage ReadToolMessage(const QString& path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    // One line is all a tool says; a longer file is cut rather than read whole.
    const QString line = QString::fromUtf8(file.read(64 * 1024)).section(QLatin1Char('\n'), 0, 0).trimmed();
    // "tool: INPUT: meaning: detail": the meaning is found by its text, the first one on the line (a
    // detail may quote another tool's words).
    qsizetype first = -1;
    QString found;
    for (const char* meaning : kMeanings) {
        const qsizetype at = line.indexOf(QStringLiteral(": ") + QString::fromLatin1(meaning));
        if (at >= 0 && (first < 0 || at < first)) {
            first = at;
            found = QString::fromLatin1(meaning);
        }
    }
    if (first >= 0) {
        QString rest = line.mid(first + 2 + found.size());
        if (rest.startsWith(QStringLiteral(": ")))
            rest = rest.mid(2);
        return {found, rest.trimmed()};
    }
    return line.isEmpty() ? ToolMessage{} : ToolMessage{QStringLiteral("unknown error"), line};
}

ToolMessage ToolMessageOfStatus(int status, const QString& detail)
{
    constexpr int known = static_cast<int>(std::size(kMeanings));
    const int index = status >= 3 && status <= 9 ? status - 3 : status == 2 ? known - 2 : known - 1;
    return {QString::fromLatin1(kMeanings[index]), detail};
}

QString ReasonFor(const ToolMessage& message, const QString& tool, const QString& folder)
{
    const QString& m = message.meaning;
    if (!message.said())
        return QStringLiteral("the ") + tool
               + QStringLiteral(" ended without a result (it was stopped or took too long)");
    if (m == QLatin1String("cannot open the input file"))
        return WithDetail(QStringLiteral("the file was gone or could not be read when its turn came"), message.detail);
    if (m == QLatin1String("not a TIFF file"))
        return QStringLiteral("not a TIFF file");
    if (m == QLatin1String("damaged or truncated TIFF file"))
        return WithDetail(QStringLiteral("damaged"), message.detail);
    if (m == QLatin1String("unsupported TIFF image format"))
        return WithDetail(QStringLiteral("a kind of image that cannot be converted"), message.detail);
    if (m == QLatin1String("image too large"))
        return WithDetail(QStringLiteral("too large"), message.detail);
    if (m == QLatin1String("cannot write the output file"))
        return WithDetail(QStringLiteral("the working folder ") + folder + QStringLiteral(" cannot be written"),
                          message.detail);
    if (m == QLatin1String("too many pages"))
        return QStringLiteral("more than 17,576 pages");
    return WithDetail(m, message.detail);
}

QString CopyReason(const QString& source, int err, const QString& folder)
{
    const QByteArray raw = QFile::encodeName(source);
    struct stat st;
    if (::stat(raw.constData(), &st) != 0 || ::access(raw.constData(), R_OK) != 0)
        return QStringLiteral("the file was gone or could not be read when its turn came (")
               + QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char(')');
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a file that holds an image (a folder, FIFO or device)");
    return QStringLiteral("the working folder ") + folder + QStringLiteral(" cannot be written (")
           + QString::fromLocal8Bit(std::strerror(err)) + QLatin1Char(')');
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
        out << source + QStringLiteral(": saved as ") + base + QStringLiteral("_N.png, since ") + takenBase
                   + QStringLiteral("_N.png came from another file of this run");
    if (!fileReason.isEmpty()) {
        out << source + QStringLiteral(": not converted: ") + fileReason;
        return out;
    }
    if (complete())
        return out;
    QString line = source + QStringLiteral(": ") + QString::number(written.size()) + QStringLiteral(" of ")
                   + QString::number(pages) + QStringLiteral(" pages written");
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
    else
        text += QStringLiteral("\nEvery file was converted; some were saved under another name (see the details).");
    return {text, details.join(QLatin1Char('\n'))};
}

} // namespace Tovanel
