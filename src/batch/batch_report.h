// The run's report as JSON Lines (one line per page, one per file that gave no page), and the
// reports of earlier runs read back to resume.
#pragma once

#include "convert/page_selection.h"

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

    // Puts a new report at path holding first, the lines it starts with (Fs::PlaceOwnFile: never
    // through a link, never into another user's file); the report there before, if any, stays whole
    // until then. False with why when it cannot.
    bool open(const QString& path, const QList<QByteArray>& first, QString& why);
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
    // The longest report line read; a longer one is not read into memory: its report is refused.
    static constexpr qint64 kMaxLineBytes = qint64{1} << 20;

    // Adds the report at path. A report that does not exist yet adds nothing (a first run of a job that
    // resumes from its own report); one that cannot be read, or holds a line longer than kMaxLineBytes,
    // gives false with why. Lines that are not whole JSON objects (the last line of a killed run), and
    // lines that do not say what the source was (its page count, size and modification time), are
    // passed over.
    bool read(const QString& path, QString& why);
    // True when the reports show source as it is now (the same size and modification time) with every
    // page of the count they record converted (of those asked), under the names base gives, and each output is still a
    // file of the size reported.
    bool done(const QString& source, const QString& base, const PageSelection* asked = nullptr);
    // The report lines of a source that done() last accepted, for the new report.
    QList<QByteArray> lines(const QString& source) const;
    // Its outputs with the sha256 each line gives (none for lines of a report that gave none).
    QList<QPair<QString, QString>> checksums(const QString& source) const;

private:
    struct Page {
        QString output;
        qint64 bytes = -1;
        QString sha256;
        QStringList metadata;
        QStringList sidecars;
    };
    // One state of a source as reports saw it: its page count, size and modification time (as the
    // report writes it), and the pages converted from it.
    struct Take {
        int pages = 0;
        qint64 sourceBytes = -1;
        QString time;
        QMap<int, Page> converted;
    };
    QHash<QString, QList<Take>> takes_;   // source -> what the reports saw of it
    QHash<QString, qsizetype> accepted_;  // source -> the take done() found whole
};

} // namespace Tovanel::Batch
