// Module Convert: the temporary folder, the tools it holds, and the scripts that run them.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Tovanel::Convert {

// Fixed names in the temporary folder.
inline const QString kMarker = QStringLiteral("brisquet_varnholt.tmp");
inline const QString kSplitScript = QStringLiteral("tiffsplit.bat");
inline const QString kConvertScript = QStringLiteral("nconvert.bat");
inline const QString kSplitTool = QStringLiteral("tiffsplit.exe");
inline const QString kConvertTool = QStringLiteral("nconvert.exe");
inline const QString kPagePrefix = QStringLiteral("varnholt");
inline const QString kPagePattern = QStringLiteral("varnholt*.tif");
// Where each tool's one stderr line goes, so the run can say why a file or page gave nothing.
inline const QString kSplitErrors = QStringLiteral("tiffsplit.err");
inline const QString kConvertErrors = QStringLiteral("nconvert.err");
// Where each tool's exit status goes (the scripts record it), and the splitter's account of the pages.
inline const QString kSplitStatus = QStringLiteral("tiffsplit.status");
inline const QString kConvertStatus = QStringLiteral("nconvert.status");
inline const QString kSplitAccount = QStringLiteral("varnholt.pages");
// The converter's account of the metadata its PNG carries.
inline const QString kConvertAccount = QStringLiteral("nconvert.meta");

// The tools the program carries: resource id and file name in the temporary folder.
struct ToolFile {
    int resourceId;
    const QString& fileName;
};
inline const ToolFile kTools[] = {{101, kConvertTool}, {102, kSplitTool}};

// The folder the runs make their own folders in, as its real path (no link on it), from the first of
// these places that passes one rule: "TEMP" when set and not empty (made absolute); a private per-user
// folder ("tovanel-<uid>", made 0700) under the system temp folder ("TMPDIR", else /tmp); the same under
// the user's cache folder. A place passes when its links, resolved here once, are root's or the user's
// and every folder on its way (the one holding a link included, at every level of links) is owned by
// root or the user and writable by no one else unless sticky, so that no other user can ever change
// where the path leads; and when it allows programs to run (not noexec: a "TEMP" that forbids them
// sends the run straight to the cache folder). Throws Tovanel::Failure saying which places were refused
// and why when none passes, or when a private folder can't be made safe (a link, another owner).
QString TempFolder();
// folder + "/" + name; throws Tovanel::Failure when folder is empty, so nothing lands at the root.
QString TempPath(const QString& folder, const QString& name);

// The tool's bytes from the program's resources. Throws Tovanel::Failure when the program lacks them.
QByteArray ReadToolResource(int id);
// Puts bytes at path with the run bit. A file already there is kept only when it is a plain file of
// ours holding exactly these bytes; anything else is replaced atomically. Lets events run first.
// Throws Tovanel::Failure when the file can't be written.
void DeployTool(const QByteArray& bytes, const QString& path);

// text as one word for /bin/sh: single-quoted, a quote inside written as '\''.
QString QuoteForShell(const QString& text);
// Line 1 of the scripts: the splitter on the copy with the page prefix; the converter on one input,
// on at most threads threads (0: as many as the cores it may use), writing its metadata account to
// account when given, with the page's metadata unless keepMetadata is false.
QString SplitterCommand(const QString& tool, const QString& copy);
QString ConverterCommand(const QString& tool, const QString& input, int threads = 0, const QString& account = {},
                         bool keepMetadata = true);
// command with its stderr sent to the file errors and its exit status written to the file status
// (both replaced at each call).
QString WithErrorsTo(const QString& command, const QString& errors, const QString& status);
// A tool script: its command, then the line that removes the marker.
QString ToolScript(const QString& command, const QString& marker);

// Removes what a killed run can leave in the temporary folder besides pages: the half-written copies,
// tools and pages under their private temporary names. Reports nothing.
void ClearLeftovers(const QString& folder);

// The name of a source's copy in the run's folder: the source's own name, unless it is one of the
// fixed names (tools, scripts, marker), one the pages or their PNGs take ("varnholt*" in any letter
// case) or a hidden name; such a copy gets "~" in front, which no fixed name and no page listing has.
// A copy whose own PNG would take its name (a ".png" source) gets ".tif" after it. "*" and "?" become
// "_", so that no step working on the copy takes its name for a pattern.
QString CopyName(const QString& sourceName);

// Page names of the listing in ascending order, which is the splitter's page order.
QStringList SortedPages(QStringList names);
// The part of name before its first "." (all of name if it has none).
QString BeforeFirstDot(const QString& name);

// Brings a finished PNG from the temporary folder to its output name: renamed there when both lie on
// one file system, otherwise copied by CopyFileChecked (FlushFolders makes it durable at the end of
// the run).
// Either way the output appears whole or not at all, and the rules of CopyFileChecked hold: nothing
// happens when the PNG is missing or the output's folder does not exist. Returns 0 when the output is
// in place, otherwise the errno that says why not.
int MoveOutput(const QString& png, const QString& target);

// The files the converter writes beside the PNG at png (NAME.png) when its page lies on a map: the
// world file NAME.pgw and the coordinate system NAME.png.aux.xml.
QStringList SidecarsOf(const QString& png);

// Flushes the file systems holding these folders to disk, once each: a run's outputs are durable
// when "Done." shows, without a flush per page. Reports nothing.
void FlushFolders(const QStringList& folders);

// True when both paths name one existing file (a source already lying where its copy would go).
bool SameFile(const QString& a, const QString& b);

// The marker wait, once ShellAndWait has seen the script's process end: the marker is then gone, or
// will never go (a stopped tool, a script that never started), so a leftover one is removed and the
// folder ends clean.
void EndMarkerWait(const QString& marker);

} // namespace Tovanel::Convert
