// One file of the run: copy into the run folder, split into pages, one PNG per page, clean up.
#include "convert/convert_file.h"

#include "convert/conversion_run.h"
#include "convert/procs/conversion.h"
#include "fs/addfolder.h"
#include "fs/main_procs.h"
#include "platform/error_trap.h"

namespace Tovanel {

using namespace Convert;

QString OutputName(const QString& base, int n)
{
    return base + QLatin1Char('_') + QString::number(n) + QStringLiteral(".png");
}

FileConversion::FileConversion(ConversionRun& run, ErrorTrap& trap, QString source)
    : run_(run), trap_(trap), source_(std::move(source))
{
}

void FileConversion::Run()
{
    // Without its run folder the file has nowhere to be worked on: that is said once, at 142, rather
    // than again by every step after it.
    if (!trap_.run(142, [&] { folder_ = run_.RunFolder(); }))
        return;
    Prepare();
    ChooseOutputBase();
    Split();
    for (const QString& name : Pages()) {
        if (name.startsWith(QLatin1Char('~')))                                           // 190
            continue;
        ConvertPage(name);
    }
    trap_.run(252, [&] { if (!ownCopy_) Main::DeleteFileQuiet(copy_); });
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
    trap_.run(158, [&] { if (!ownCopy_) Main::CopyFileChecked(source_, copy_, false); });
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
    const QString baseName = Main::StripExtension(Main::GetFileNamePart(source_)) + QStringLiteral(".png");
    if (trap_.test(164, [&] { return host.destination() == Destination::Folder; })) {
        trap_.run(166, [&] { base = Main::NormalizePath(host.destinationFolder() + QLatin1Char('/') + baseName); });
    } else if (trap_.test(168, [&] { return host.destination() == Destination::BesideSource; })) {
        trap_.run(170, [&] { base = Main::NormalizePath(Main::GetFolderPart(source_) + QLatin1Char('/') + baseName); });
    }
    if (!base.isEmpty() && !run_.outputFolders_.contains(Main::GetFolderPart(base)))
        run_.outputFolders_ << Main::GetFolderPart(base);
}

void FileConversion::Split()
{
    run_.RunToolCall(trap_, {0, 172, 176, 178, 180}, folder_, kSplitScript,
                     [&] { return SplitterCommand(splitter_, copy_); });
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

void FileConversion::ConvertPage(const QString& name)
{
    QString page;
    run_.WriteMarker(trap_, 192, folder_);
    trap_.run(194, [&] { page = TempPath(folder_, name); });
    run_.RunToolCall(trap_, {0, 196, 202, 204, 206}, folder_, kConvertScript,
                     [&] { return ConverterCommand(TempPath(folder_, kConvertTool), page); });
    QString png;
    trap_.run(210, [&] { png = TempPath(folder_, BeforeFirstDot(name) + QStringLiteral(".png")); });
    if (!TakeOutput(png, 212)) {
        // The page gave nothing: the converter's result for the whole copy stands in for it, found
        // under the name the converter really writes (the copy's last extension replaced).
        QString whole;
        trap_.run(220, [&] {
            whole = TempPath(folder_, Main::StripExtension(Main::GetFileNamePart(copy_)) + QStringLiteral(".png"));
        });
        run_.RunToolCall(trap_, {224, 226, 232, 234, 236}, folder_, kConvertScript,
                         [&] { return ConverterCommand(TempPath(folder_, kConvertTool), copy_); });
        TakeOutput(whole, 240);
    }
    trap_.run(248, [&] { Main::DeleteFileQuiet(page); });
}

bool FileConversion::TakeOutput(const QString& png, int at)
{
    if (!trap_.test(at, [&] { return Main::FileExistsByDate(png); }))
        return false;
    trap_.run(at + 2, [&] { MoveOutput(png, OutputName(run_.outputBase_, next_)); });
    trap_.run(at + 4, [&] { Main::DeleteFileQuiet(png); });
    trap_.run(at + 6, [&] { ++next_; });
    return true;
}

} // namespace Tovanel
