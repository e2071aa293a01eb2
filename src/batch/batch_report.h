// The run's report as JSON Lines (one line per page, one per file that gave no page), and the
// reports of earlier runs read back to resume.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QStringList>
#include <QString>

#include <cstdio>

namespace Tovanel {
struct FileOutcome;
}

namespace Tovanel::Batch {

// The lines of one converted source: per page its output and size, or why it has none; one line for a
// file that gave no page. Sizes are read from the outputs as they are now.
QList<QByteArray> ReportLines(const FileOutcome& outcome);

// The report being written: lines go out as each file ends, so a stopped or killed run leaves the
// report of what it did.
class ReportFile {
public:
    ReportFile() = default;
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Creates or empties path; false with why when it cannot.
    bool open(const QString& path, QString& why);
    bool isOpen() const { return file_ != nullptr; }
    // Appends lines and hands them to the system at once. False when the write failed.
    bool write(const QList<QByteArray>& lines);

private:
    std::FILE* file_ = nullptr;
};

// A BagIt manifest of these outputs and their sha256 ("HASH  PATH" a line, paths relative to the
// manifest's folder, line breaks and "%" in them percent-encoded), written whole or not at all: 0 or an
// errno value.
int WriteManifest(const QString& path, const QList<QPair<QString, QString>>& checksums);

// What earlier reports say was converted, page by page, for resuming.
class ResumeRecord {
public:
    // Adds the report at path. A report that does not exist yet adds nothing (a first run of a job that
    // resumes from its own report); one that cannot be read gives false with why. Lines that are not
    // whole JSON objects (the last line of a killed run) are passed over.
    bool read(const QString& path, QString& why);
    // True when the reports show every page of source converted, under the names base gives, and each
    // output is still a file of the size reported.
    bool done(const QString& source, const QString& base) const;
    // The report lines of a source that done() accepted, for the new report.
    QList<QByteArray> lines(const QString& source) const;
    // Its outputs with the sha256 each line gives (none for lines of a report that gave none).
    QList<QPair<QString, QString>> checksums(const QString& source) const;

private:
    struct Page {
        QString output;
        qint64 bytes = -1;
        QString sha256;
        QStringList metadata;
    };
    QHash<QString, QMap<int, Page>> converted_;   // source -> page -> its output as reported
    QHash<QString, int> lastPage_;                // source -> the last page any line names
};

} // namespace Tovanel::Batch
