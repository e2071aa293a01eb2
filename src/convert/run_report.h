// What each file of a run gave, in words a user can act on, and the run's closing box built from it.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace Tovanel {

// What a tool said: its exit status as the run recorded it, and the detail of its one stderr line.
// Status -1 when there is none (the tool was stopped, or never ran).
struct ToolMessage {
    int status = -1;
    QString detail;
    bool said() const { return status >= 0; }
};

// Reads what the tool said when it ran on input: the exit status the tool's script recorded at
// statusPath, and from the first line the tool wrote to errorsPath the detail after its own words for
// that status. A missing status file gives an empty message.
ToolMessage ReadToolMessage(const QString& statusPath, const QString& errorsPath, const QString& input);

// The message of a tool's exit status (tools/README.md) with the detail it gave.
inline ToolMessage ToolMessageOfStatus(int status, const QString& detail) { return {status, detail}; }

// The splitter's account of a file (its pages file): how many pages it has, and why each one it did
// not write was skipped (the splitter's exit status for it, and the detail).
struct SplitAccount {
    int pages = 0;
    QMap<int, ToolMessage> skipped;
};
// An unreadable or missing file gives no pages and nothing skipped.
SplitAccount ReadSplitAccount(const QString& path);

// The converter's account of one PNG (tools/common/status.h): the kinds of metadata it carries, each
// kind left out as "kind: why", and the PNG's sha256. An unreadable or missing file gives none.
void ReadMetadataAccount(const QString& path, QStringList& carried, QStringList& omitted, QString& sha256);

// The message with the working file at path (by its path, or its bare name as libtiff may give it)
// named as shownAs instead: the user knows neither the run's folder nor its page files.
ToolMessage WithoutWorkingName(ToolMessage message, const QString& path, const QString& shownAs);

// A tool's message in the words the closing box uses ("damaged (...)", "too large (...)", ...);
// tool names the tool for one that said nothing, folder the run's working folder for one that could
// not write there.
QString ReasonFor(const ToolMessage& message, const QString& tool, const QString& folder);
// A source that could not be copied into the run's folder (err from the copy): gone or unreadable, or
// the working folder could not take it.
QString CopyReason(const QString& source, int err, const QString& folder);
// An output that could not be written to its folder, from the errno of the write.
QString OutputFolderReason(int err, const QString& folder);

// The 1-based page index a page file's name carries ("varnholtaaa.tif" is 1, "varnholtaab.tif" 2);
// 0 when the name is not a page file's.
int PageNumberOf(const QString& pageName);

// A source file as it was when the run took it: its size and modification time. bytes is -1 when
// the file could not be looked at.
struct SourceStamp {
    qint64 bytes = -1;
    qint64 seconds = 0;       // modification time, since the epoch
    qint64 nanoseconds = 0;
    bool known() const { return bytes >= 0; }
};
// The stamp of the file at path now (following links, as the copy does).
SourceStamp StampOf(const QString& path);

// One source of the run.
struct FileOutcome {
    QString source;
    QString takenBase;            // set when another source of this run already had the file's own base
    QString base;                 // the base its outputs have
    int pages = 0;                // the pages the file is known to have (0 when it could not be read)
    QList<int> written;           // page numbers whose PNG is in place, ascending
    QMap<int, QString> missing;   // page number -> why it has no PNG
    QMap<int, QStringList> sidecars;   // page number -> the files written beside its PNG (a world file, ...)
    QList<int> notAsked;          // pages the run was not asked to convert (a page selection), ascending
    QStringList absent;           // page numbers asked for that the file does not have ("5", "7-9", "-4")
    QString fileReason;           // why nothing of the file could be converted, when that is the case
    SourceStamp stamp;            // the source as it was just before the run copied it
    QMap<int, QStringList> metadata;   // page number -> the metadata its PNG carries ("text", "exif", ...)
    QMap<int, QStringList> omitted;    // page number -> its metadata left out, "kind: why"
    QMap<int, QString> sha256;         // page number -> its PNG's sha256, as the converter wrote it

    bool complete() const { return fileReason.isEmpty() && missing.isEmpty() && pages > 0; }
    // "path: 2 of 3 pages written; page 2: damaged (...)", and the renaming when there was one.
    QStringList lines() const;
};

// The closing box of a run: "Done." alone when every file converted completely, otherwise "Done."
// with the count and one detail line per file that was incomplete, renamed or not converted.
struct RunSummary {
    QString text;
    QString details;
};
// notConverted: the entries added to the list during the run, which it did not convert; they count
// among the files too.
// stopped: the user ended the run early; the box then starts with "Stopped." instead of "Done.".
RunSummary Summarize(const QList<FileOutcome>& outcomes, const QStringList& notConverted, bool stopped = false);

} // namespace Tovanel
