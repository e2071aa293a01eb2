// JSON Lines out and in: source, page, output, status, reason, bytes, and the source as the run took
// it: pages, source_bytes, source_mtime.
#include "batch/batch_report.h"

#include "convert/output_names.h"
#include "convert/run_report.h"
#include "common/file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace Tovanel::Batch {

namespace {

// A value as JSON text (strings escaped, control characters included).
QByteArray Json(const QJsonValue& value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// The modification time as UTC text to the nanosecond, "2026-03-01T09:30:12.123456789Z": exact,
// where a JSON number would be rounded. Empty for a stamp not known.
QString TimeText(const SourceStamp& stamp)
{
    if (!stamp.known())
        return QString();
    const std::time_t seconds = static_cast<std::time_t>(stamp.seconds);
    std::tm utc {};
    char text[80];
    if (!::gmtime_r(&seconds, &utc))
        return QString();
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%09lldZ", static_cast<long long>(stamp.nanoseconds));
    return QString::fromLatin1(text);
}

// What a converted page's line says beyond its size: its checksum, the metadata its PNG carries and
// those left out (and why), and the files written beside it.
struct PageExtras {
    QString sha256;
    const QStringList* metadata = nullptr;
    QStringList omitted;
    QStringList sidecars;
};

// The fields in the order a reader expects them: what, which page, where, how, why, how big; then
// the source as the run took it: its page count, size and modification time; then, for a converted
// page, its checksum, its metadata and the files beside it.
QByteArray Line(const QString& source, const QJsonValue& page, const QJsonValue& output, bool converted,
                const QJsonValue& reason, qint64 bytes, int pages, qint64 sourceBytes, const QString& time,
                const PageExtras& extras = {})
{
    QByteArray line = "{\"source\":" + Json(source) + ",\"page\":" + Json(page) + ",\"output\":" + Json(output)
                      + ",\"status\":" + (converted ? "\"converted\"" : "\"failed\"") + ",\"reason\":" + Json(reason)
                      + ",\"bytes\":" + QByteArray::number(bytes) + ",\"pages\":" + QByteArray::number(pages)
                      + ",\"source_bytes\":" + (sourceBytes >= 0 ? QByteArray::number(sourceBytes) : QByteArray("null"))
                      + ",\"source_mtime\":" + (time.isEmpty() ? QByteArray("null") : Json(time));
    if (!extras.sha256.isEmpty())
        line += ",\"sha256\":" + Json(extras.sha256);
    if (extras.metadata)
        line += ",\"metadata\":" + Json(QJsonArray::fromStringList(*extras.metadata));
    if (!extras.omitted.isEmpty())
        line += ",\"metadata_omitted\":" + Json(QJsonArray::fromStringList(extras.omitted));
    if (!extras.sidecars.isEmpty())
        line += ",\"sidecars\":" + Json(QJsonArray::fromStringList(extras.sidecars));
    return line + "}";
}

QString Why(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

} // namespace

QList<QByteArray> ReportLines(const FileOutcome& outcome)
{
    QList<QByteArray> lines;
    if (outcome.pages == 0 || !outcome.fileReason.isEmpty()) {
        lines << Line(outcome.source, QJsonValue::Null, QJsonValue::Null, false,
                      outcome.fileReason.isEmpty() ? QJsonValue(QStringLiteral("no page")) : QJsonValue(outcome.fileReason),
                      0, 0, outcome.stamp.bytes, TimeText(outcome.stamp));
        return lines;
    }
    for (int page = 1; page <= outcome.pages; ++page) {
        if (outcome.notAsked.contains(page))
            continue;
        if (outcome.written.contains(page)) {
            const QString output = OutputName(outcome.base, page, outcome.pages);
            const QStringList metadata = outcome.metadata.value(page);
            lines << Line(outcome.source, page, output, true, QJsonValue::Null, QFileInfo(output).size(), outcome.pages,
                          outcome.stamp.bytes, TimeText(outcome.stamp),
                          {outcome.sha256.value(page), &metadata, outcome.omitted.value(page),
                           outcome.sidecars.value(page)});
        } else {
            lines << Line(outcome.source, page, QJsonValue::Null, false,
                          outcome.missing.value(page, QStringLiteral("no output")), 0, outcome.pages,
                          outcome.stamp.bytes, TimeText(outcome.stamp));
        }
    }
    return lines;
}

ReportFile::~ReportFile()
{
    if (file_)
        std::fclose(file_);
}

bool ReportFile::open(const QString& path, const QList<QByteArray>& first, QString& why)
{
    QByteArray text;
    for (const QByteArray& line : first)
        text += line + '\n';
    int err = 0;
    Fs::File placed = Fs::PlaceOwnFile(QFile::encodeName(path).toStdString(), 0666, [&](int fd) {
        return Fs::WriteAll(fd, text.constData(), static_cast<size_t>(text.size()));
    }, err);
    if (placed.valid() && (file_ = ::fdopen(placed.get(), "we")) != nullptr)
        placed.release();
    else
        why = err == EPERM ? QStringLiteral("another user's file or link is there") : Why(err != 0 ? err : errno);
    return file_ != nullptr;
}

bool ReportFile::write(const QList<QByteArray>& lines)
{
    if (!file_)
        return false;
    for (const QByteArray& line : lines) {
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), file_);
        std::fputc('\n', file_);
    }
    return std::fflush(file_) == 0 && !std::ferror(file_);
}

bool ResumeRecord::read(const QString& path, QString& why)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString();
        return false;
    }
    // One buffer for every line, read into at most its size: a line that does not end within it is not
    // a line we wrote.
    QByteArray buffer(kMaxLineBytes + 2, Qt::Uninitialized);
    for (qint64 number = 1; !file.atEnd(); ++number) {
        const qint64 read = file.readLine(buffer.data(), buffer.size());
        if (read < 0)
            break;
        const QByteArray text = QByteArray::fromRawData(buffer.constData(), read);
        const bool ended = text.endsWith('\n');
        if (text.size() - (ended ? 1 : 0) > kMaxLineBytes || (!ended && !file.atEnd())) {
            why = QStringLiteral("line %1 is longer than %2 MiB: the report is damaged").arg(number).arg(kMaxLineBytes >> 20);
            return false;
        }
        const QJsonObject line = QJsonDocument::fromJson(text).object();
        const int page = line.value(QStringLiteral("page")).toInt(0);
        const int pages = line.value(QStringLiteral("pages")).toInt(0);
        const QString source = line.value(QStringLiteral("source")).toString();
        const QJsonValue size = line.value(QStringLiteral("source_bytes"));
        const QString time = line.value(QStringLiteral("source_mtime")).toString();
        // A line without what the source was (an older report) or of a page past the count tells nothing.
        if (page < 1 || page > pages || source.isEmpty() || !size.isDouble() || time.isEmpty()
            || line.value(QStringLiteral("status")).toString() != QLatin1String("converted"))
            continue;
        QList<Take>& takes = takes_[source];
        const auto same = std::find_if(takes.begin(), takes.end(), [&](const Take& take) {
            return take.pages == pages && take.sourceBytes == static_cast<qint64>(size.toDouble()) && take.time == time;
        });
        Take& take = same != takes.end() ? *same : takes.emplace_back(Take{pages, static_cast<qint64>(size.toDouble()), time, {}});
        QStringList metadata;
        for (const QJsonValue& kind : line.value(QStringLiteral("metadata")).toArray())
            metadata << kind.toString();
        QStringList sidecars;
        for (const QJsonValue& file : line.value(QStringLiteral("sidecars")).toArray())
            sidecars << file.toString();
        take.converted[page] = {line.value(QStringLiteral("output")).toString(),
                                static_cast<qint64>(line.value(QStringLiteral("bytes")).toDouble(-1)),
                                line.value(QStringLiteral("sha256")).toString(), metadata, sidecars};
    }
    if (file.error() != QFileDevice::NoError) {
        why = file.errorString();
        return false;
    }
    return true;
}

bool ResumeRecord::done(const QString& source, const QString& base, const PageSelection* asked)
{
    accepted_.remove(source);
    const auto found = takes_.constFind(source);
    if (found == takes_.constEnd() || base.isEmpty())
        return false;
    const SourceStamp now = StampOf(source);
    if (!now.known())
        return false;
    const QString time = TimeText(now);
    for (qsizetype i = 0; i < found->size(); ++i) {
        const Take& take = found->at(i);
        // Pages 1 to the count (those asked for), each one converted (a report cut inside the file's
        // lines, or a page's line taken out, leaves one missing), of the source as it is now.
        if (take.sourceBytes != now.bytes || take.time != time)
            continue;
        int wanted = 0;
        for (int page = 1; page <= take.pages; ++page)
            wanted += !asked || asked->contains(page, take.pages) ? 1 : 0;
        const bool whole = take.converted.size() == wanted
                           && std::all_of(take.converted.keyValueBegin(), take.converted.keyValueEnd(), [&](const auto& page) {
            const QFileInfo output(page.second.output);
            return (!asked || asked->contains(page.first, take.pages))
                   && page.second.output == OutputName(base, page.first, take.pages) && output.isFile()
                   && output.size() == page.second.bytes;
        });
        if (whole) {
            accepted_.insert(source, i);
            return true;
        }
    }
    return false;
}

QList<QByteArray> ResumeRecord::lines(const QString& source) const
{
    QList<QByteArray> out;
    const auto accepted = accepted_.constFind(source);
    if (accepted == accepted_.constEnd())
        return out;
    const Take& take = takes_.constFind(source)->at(*accepted);
    for (auto it = take.converted.cbegin(); it != take.converted.cend(); ++it)
        out << Line(source, it.key(), it->output, true, QJsonValue::Null, it->bytes, take.pages, take.sourceBytes,
                    take.time, {it->sha256, &it->metadata, {}, it->sidecars});
    return out;
}

QList<QPair<QString, QString>> ResumeRecord::checksums(const QString& source) const
{
    QList<QPair<QString, QString>> out;
    const auto accepted = accepted_.constFind(source);
    if (accepted == accepted_.constEnd())
        return out;
    for (const Page& page : takes_.constFind(source)->at(*accepted).converted)
        if (!page.sha256.isEmpty())
            out << qMakePair(page.output, page.sha256);
    return out;
}

int WriteManifest(const QString& path, const QList<QPair<QString, QString>>& checksums)
{
    const QDir folder = QFileInfo(path).absoluteDir();
    QByteArray text;
    for (const auto& [output, sha256] : checksums) {
        QByteArray relative = folder.relativeFilePath(output).toUtf8();
        relative.replace("%", "%25").replace("\n", "%0A").replace("\r", "%0D");
        text += sha256.toLatin1() + "  " + relative + "\n";
    }
    // Put in place as the report is: never through a link, never over another user's file.
    int err = 0;
    const Fs::File placed = Fs::PlaceOwnFile(
        QFile::encodeName(path).toStdString(), 0666,
        [&](int fd) { return Fs::WriteAll(fd, text.constData(), static_cast<size_t>(text.size())); }, err);
    return placed.valid() ? 0 : err;
}

} // namespace Tovanel::Batch
