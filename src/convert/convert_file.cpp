// One file of the run: copy into the run folder, split into pages, one PNG per page, clean up.
#include "convert/convert_file.h"

#include "convert/procs/conversion.h"
#include "fs/addfolder.h"
#include "fs/main_procs.h"
#include "platform/error_trap.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace Tovanel {

using namespace Convert;

FileConversion::FileConversion(ConversionRun& run, ErrorTrap& trap, QString source, int position)
    : run_(run), trap_(trap), source_(std::move(source)), position_(position)
{
    outcome_.source = source_;
}

FileOutcome FileConversion::Run()
{
    // Without its run folder the file has nowhere to be worked on: that is said once, at 142, rather
    // than again by every step after it.
    if (!trap_.run(142, [&] { folder_ = run_.RunFolder(); })) {
        outcome_.fileReason = QStringLiteral("the run's working folder could not be made");
        return outcome_;
    }
    Prepare();
    ChooseOutputBase();
    Split();
    QList<int> split;
    for (const QString& name : Pages()) {
        if (name.startsWith(QLatin1Char('~')))                                           // 190
            continue;
        // Output N is page N: the number comes from the page file's name, never from a count.
        const int page = PageNumberOf(name);
        if (page == 0)
            continue;
        split << page;
        ConvertPage(name, page);
    }
    NoteUnsplit(split);
    trap_.run(252, [&] { if (!ownCopy_) Main::DeleteFileQuiet(copy_); });
    std::sort(outcome_.written.begin(), outcome_.written.end());
    return outcome_;
}

void FileConversion::Prepare()
{
    run_.WriteMarker(trap_, 144, folder_);
    ClearStalePages();
    trap_.run(156, [&] {
        copy_ = TempPath(folder_, Main::GetFileNamePart(source_));
        // A source already lying in the run folder is its own copy: never copied onto, never deleted.
        ownCopy_ = SameFile(source_, copy_);
        // Any other copy named like the page files would be taken for a page.
        if (!ownCopy_)
            copy_ = TempPath(folder_, CopyName(Main::GetFileNamePart(source_)));
    });
    // The copy is a working file of this run only: no flush to disk for it.
    trap_.run(158, [&] { if (!ownCopy_) copyError_ = Main::CopyFileChecked(source_, copy_, false); });
    trap_.run(160, [] {});   // the output format, always PNG
    trap_.run(162, [&] { splitter_ = TempPath(folder_, kSplitTool); });
}

// Pages left by an interrupted run must never be taken for this file's pages.
void FileConversion::ClearStalePages()
{
    QStringList stale;
    trap_.run(146, [&] {
        ClearLeftovers(folder_);
        stale = folder_.isEmpty() ? QStringList() : AddFolder::GetFolderFiles(folder_, kPagePattern);
    });
    for (const QString& name : stale)
        trap_.run(150, [&] {
            if (!SameFile(TempPath(folder_, name), source_))
                Main::DeleteFileQuiet(TempPath(folder_, name));
        });
}

// The base is the source's own name less its last extension; a name without one is taken whole.
// With neither option selected the base of the file before stays.
void FileConversion::ChooseOutputBase()
{
    RunHost& host = run_.host_;
    QString& base = run_.outputBase_;
    if (trap_.test(164, [&] { return host.destination() == Destination::Folder; })) {
        trap_.run(166, [&] {
            subfolder_ = host.outputSubfolder(position_);
            base = OwnOutputBase(EntryOutputFolder(host, position_), source_);
        });
    } else if (trap_.test(168, [&] { return host.destination() == Destination::BesideSource; })) {
        trap_.run(170, [&] { base = OwnOutputBase(Main::GetFolderPart(source_), source_); });
    }
    outcome_.base = base;
    KeepBaseToThisSource();
    if (!base.isEmpty() && !run_.outputFolders_.contains(Main::GetFolderPart(base)))
        run_.outputFolders_ << Main::GetFolderPart(base);
}

void FileConversion::KeepBaseToThisSource()
{
    const QString own = outcome_.base;
    outcome_.base = run_.baseOwners_.Take(own, source_);
    if (outcome_.base != own)
        outcome_.takenBase = own;
}

void FileConversion::Split()
{
    const QString errors = folder_.isEmpty() ? QString() : TempPath(folder_, kSplitErrors);
    Main::DeleteFileQuiet(errors);
    run_.RunToolCall(trap_, {0, 172, 176, 178, 180}, folder_, kSplitScript,
                     [&] { return WithErrorsTo(SplitterCommand(splitter_, copy_), errors); });
    splitSaid_ = ReadToolMessage(errors);
    // The tools name the copy they worked on; the user knows the file by its own name.
    splitSaid_.detail.replace(copy_, source_);
}

QStringList FileConversion::Pages()
{
    QStringList pages;
    trap_.run(184, [&] {
        pages = SortedPages(folder_.isEmpty() ? QStringList() : AddFolder::GetFolderFiles(folder_, kPagePattern));
    });
    if (ownCopy_)
        pages.removeAll(Main::GetFileNamePart(copy_));
    return pages;
}

ToolMessage FileConversion::Convert(const ToolStatements& at, const QString& input)
{
    const QString errors = folder_.isEmpty() ? QString() : TempPath(folder_, kConvertErrors);
    Main::DeleteFileQuiet(errors);
    run_.RunToolCall(trap_, at, folder_, kConvertScript,
                     [&] { return WithErrorsTo(ConverterCommand(TempPath(folder_, kConvertTool), input), errors); });
    ToolMessage said = ReadToolMessage(errors);
    said.detail.replace(copy_, source_);
    return said;
}

void FileConversion::ConvertPage(const QString& name, int page)
{
    QString path;
    if (run_.stopRequested_) {
        outcome_.missing.insert(page, QStringLiteral("the run was stopped"));
        trap_.run(248, [&] { Main::DeleteFileQuiet(TempPath(folder_, name)); });
        return;
    }
    run_.WriteMarker(trap_, 192, folder_);
    trap_.run(194, [&] { path = TempPath(folder_, name); });
    ToolMessage said = Convert({0, 196, 202, 204, 206}, path);
    QString png;
    trap_.run(210, [&] { png = TempPath(folder_, BeforeFirstDot(name) + QStringLiteral(".png")); });
    bool took = TakeOutput(png, 212, page);
    // The whole copy's PNG is the converter's result for the file's first page: it can stand in for
    // page 1 only, and for a later page it would be page 1 under that page's number.
    if (!took && page == 1) {
        // Found under the name the converter really writes (the copy's last extension replaced).
        QString whole;
        trap_.run(220, [&] {
            whole = TempPath(folder_, Main::StripExtension(Main::GetFileNamePart(copy_)) + QStringLiteral(".png"));
        });
        const ToolMessage wholeSaid = Convert({224, 226, 232, 234, 236}, copy_);
        took = TakeOutput(whole, 240, page);
        if (!said.said())
            said = wholeSaid;
    }
    if (!took)
        outcome_.missing.insert(page, run_.stopRequested_ ? QStringLiteral("the run was stopped")
                                                          : ReasonFor(said, QStringLiteral("converter"), folder_));
    trap_.run(248, [&] { Main::DeleteFileQuiet(path); });
}

bool FileConversion::TakeOutput(const QString& png, int at, int page)
{
    if (!trap_.test(at, [&] { return Main::FileExistsByDate(png); }))
        return false;
    int err = 0;
    // A mirrored tree's folders appear as their files' first pages come, never empty.
    if (!subfolder_.isEmpty() && !outcome_.base.isEmpty())
        QDir().mkpath(Main::GetFolderPart(outcome_.base));
    trap_.run(at + 2, [&] { err = outcome_.base.isEmpty() ? 0 : MoveOutput(png, OutputName(outcome_.base, page)); });
    trap_.run(at + 4, [&] { Main::DeleteFileQuiet(png); });
    // With no destination chosen nothing is written, by that choice: the page counts as done.
    if (err != 0)
        outcome_.missing.insert(page, OutputFolderReason(err, Main::GetFolderPart(outcome_.base)));
    else
        trap_.run(at + 6, [&] { outcome_.written << page; });
    return true;
}

void FileConversion::NoteUnsplit(const QList<int>& split)
{
    // "N of M pages written; page K skipped: why; ..." tells the page count and why each page is missing.
    static const QRegularExpression count(QStringLiteral("(\\d+) of (\\d+) pages written"));
    static const QRegularExpression skipped(QStringLiteral("page (\\d+) skipped: ([^;]*)"));
    int pages = split.isEmpty() ? 0 : *std::max_element(split.begin(), split.end());
    const QRegularExpressionMatch total = count.match(splitSaid_.detail);
    if (total.hasMatch())
        pages = std::max(pages, total.captured(2).toInt());
    QMap<int, QString> why;
    for (auto it = skipped.globalMatch(splitSaid_.detail); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        why.insert(m.captured(1).toInt(), m.captured(2).trimmed());
        pages = std::max(pages, m.captured(1).toInt());
    }
    outcome_.pages = pages;
    if (pages == 0) {
        outcome_.fileReason = copyError_ != 0 ? CopyReason(source_, copyError_, folder_)
                                              : ReasonFor(splitSaid_, QStringLiteral("page splitter"), folder_);
        return;
    }
    const QSet<int> present(split.begin(), split.end());
    for (int page = 1; page <= pages; ++page)
        if (!present.contains(page))
            outcome_.missing.insert(page, ReasonFor({splitSaid_.meaning, why.value(page)},
                                                    QStringLiteral("page splitter"), folder_));
}

} // namespace Tovanel
