// JSON Lines out and in: source, page, output, status, reason, bytes.
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
#include <cstring>

namespace Tovanel::Batch {

namespace {

// A value as JSON text (strings escaped, control characters included).
QByteArray Json(const QJsonValue& value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// The fields in the order a reader expects them: what, which page, where, how, why, how big.
// A converted page's line also says which metadata its PNG carries, and which were left out and why.
QByteArray Line(const QString& source, const QJsonValue& page, const QJsonValue& output, bool converted,
                const QJsonValue& reason, qint64 bytes, const QStringList* metadata = nullptr,
                const QStringList& omitted = {}, const QString& sha256 = {})
{
    QByteArray line = "{\"source\":" + Json(source) + ",\"page\":" + Json(page) + ",\"output\":" + Json(output)
                      + ",\"status\":" + (converted ? "\"converted\"" : "\"failed\"") + ",\"reason\":" + Json(reason)
                      + ",\"bytes\":" + QByteArray::number(bytes);
    if (!sha256.isEmpty())
        line += ",\"sha256\":" + Json(sha256);
    if (metadata)
        line += ",\"metadata\":" + Json(QJsonArray::fromStringList(*metadata));
    if (!omitted.isEmpty())
        line += ",\"metadata_omitted\":" + Json(QJsonArray::fromStringList(omitted));
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
                      0);
        return lines;
    }
    for (int page = 1; page <= outcome.pages; ++page) {
        if (outcome.written.contains(page)) {
            const QString output = OutputName(outcome.base, page);
            const QStringList metadata = outcome.metadata.value(page);
            lines << Line(outcome.source, page, output, true, QJsonValue::Null, QFileInfo(output).size(), &metadata,
                          outcome.omitted.value(page), outcome.sha256.value(page));
        } else {
            lines << Line(outcome.source, page, QJsonValue::Null, false,
                          outcome.missing.value(page, QStringLiteral("no output")), 0);
        }
    }
    return lines;
}

ReportFile::~ReportFile()
{
    if (file_)
        std::fclose(file_);
}

bool ReportFile::open(const QString& path, QString& why)
{
    file_ = std::fopen(QFile::encodeName(path).constData(), "we");
    if (!file_)
        why = Why(errno);
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
    while (!file.atEnd()) {
        const QJsonObject line = QJsonDocument::fromJson(file.readLine()).object();
        const int page = line.value(QStringLiteral("page")).toInt(0);
        const QString source = line.value(QStringLiteral("source")).toString();
        if (page < 1 || source.isEmpty())
            continue;
        lastPage_[source] = std::max(lastPage_.value(source), page);
        if (line.value(QStringLiteral("status")).toString() != QLatin1String("converted"))
            continue;
        QStringList metadata;
        for (const QJsonValue& kind : line.value(QStringLiteral("metadata")).toArray())
            metadata << kind.toString();
        converted_[source][page] = {line.value(QStringLiteral("output")).toString(),
                                    static_cast<qint64>(line.value(QStringLiteral("bytes")).toDouble(-1)),
                                    line.value(QStringLiteral("sha256")).toString(), metadata};
    }
    if (file.error() != QFileDevice::NoError) {
        why = file.errorString();
        return false;
    }
    return true;
}

bool ResumeRecord::done(const QString& source, const QString& base) const
{
    const auto found = converted_.constFind(source);
    if (found == converted_.constEnd() || base.isEmpty())
        return false;
    const QMap<int, Page>& pages = *found;
    // Pages 1 to the last one any report names, every one converted.
    if (lastPage_.value(source) != pages.size() || pages.lastKey() != pages.size())
        return false;
    for (auto it = pages.cbegin(); it != pages.cend(); ++it) {
        const QFileInfo output(it->output);
        if (it->output != OutputName(base, it.key()) || !output.isFile() || output.size() != it->bytes)
            return false;
    }
    return true;
}

QList<QByteArray> ResumeRecord::lines(const QString& source) const
{
    QList<QByteArray> out;
    const QMap<int, Page> pages = converted_.value(source);
    for (auto it = pages.cbegin(); it != pages.cend(); ++it)
        out << Line(source, it.key(), it->output, true, QJsonValue::Null, it->bytes, &it->metadata, {}, it->sha256);
    return out;
}

QList<QPair<QString, QString>> ResumeRecord::checksums(const QString& source) const
{
    QList<QPair<QString, QString>> out;
    const QMap<int, Page> pages = converted_.value(source);
    for (const Page& page : pages)
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
    return Fs::WriteAtomically(QFile::encodeName(path).toStdString(), 0666,
                               [&](int fd) { return Fs::WriteAll(fd, text.constData(), static_cast<size_t>(text.size())); },
                               true);
}

} // namespace Tovanel::Batch
