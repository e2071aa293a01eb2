// One file of the run: copy into its folder, split into pages, one PNG per page, clean up; every
// tool call in a slot of the run's, side by side with the calls of other pages and files.
#include "convert/convert_file.h"

#include "convert/name_template.h"
#include "convert/page_selection.h"
#include "convert/procs/conversion.h"
#include "convert/procs/tool_slots.h"
#include "fs/addfolder.h"
#include "fs/main_procs.h"
#include "platform/error_trap.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <algorithm>

namespace Tovanel {

using namespace Convert;

namespace {

const QString kStopped = QStringLiteral("the run was stopped");

} // namespace

FileConversion::FileConversion(ConversionRun& run, ErrorTrap& trap, int position, QString source)
    : run_(run), trap_(trap), position_(position), source_(std::move(source))
{
    outcome_.source = source_;
}

void FileConversion::Begin()
{
    // Without its run folder the file has nowhere to be worked on: that is said once, at 142, rather
    // than again by every step after it. Each file has a folder of its own in it, so files of one
    // name from several folders never meet there.
    if (!trap_.run(142, [&] {
            folder_ = TempPath(run_.RunFolder(), QStringLiteral("file-") + QString::number(position_));
            if (!QDir().mkdir(folder_))
                throw Tovanel::Failure(QStringLiteral("Path not found"));
        })) {
        folder_.clear();
        outcome_.fileReason = QStringLiteral("the run's working folder could not be made");
        Finish();
        return;
    }
    Prepare();
    ChooseOutputBase();
    run_.slots_->submit({position_, 0}, {[this](const QString& slot) { return StartSplit(slot); },
                                         [this](const QString& slot, bool) { SplitEnded(slot); }});
}

void FileConversion::Prepare()
{
    trap_.run(156, [&] { copy_ = TempPath(folder_, CopyName(Main::GetFileNamePart(source_))); });
    // Taken before the copy: a source changed while it is copied or after shows another stamp later.
    outcome_.stamp = StampOf(source_);
    // The copy is a working file of this run only: no flush to disk for it.
    trap_.run(158, [&] { copyError_ = Main::CopyWorkingFile(source_, copy_); });
    trap_.run(160, [] {});   // the output format, always PNG
    trap_.run(162, [&] { splitter_ = TempPath(run_.RunFolder(), kSplitTool); });
}

// The base is the source's own name less its last extension; a name without one is taken whole.
void FileConversion::ChooseOutputBase()
{
    RunHost& host = run_.host_;
    QString base;
    if (trap_.test(164, [&] { return host.destination() == Destination::Folder; })) {
        trap_.run(166, [&] {
            subfolder_ = host.outputSubfolder(position_);
            base = OwnBaseOf(host, position_, source_, Destination::Folder);
        });
    } else if (trap_.test(168, [&] { return host.destination() == Destination::BesideSource; })) {
        trap_.run(170, [&] { base = OwnBaseOf(host, position_, source_, Destination::BesideSource); });
    }
    outcome_.base = base;
    KeepBaseToThisSource();
    const QString folder = Main::GetFolderPart(outcome_.base);
    if (!outcome_.base.isEmpty() && !run_.outputFolders_.contains(folder))
        run_.outputFolders_ << folder;
}

// Another source of this run already writes under the base: the next free " (k)". Where the host
// names from the list alone (shards, resumed runs), what lies in the folder does not count.
void FileConversion::KeepBaseToThisSource()
{
    const QString own = outcome_.base;
    std::function<bool(const QString&)> usedOnDisk;
    if (!run_.host_.namesFromListOnly())
        usedOnDisk = [this](const QString& base) { return run_.BaseUsedOnDisk(base); };
    outcome_.base = run_.baseOwners_.Take(own, source_, usedOnDisk);
    if (const QString first = QString(own).remove(kCopyMark); outcome_.base != first)
        outcome_.takenBase = first;
    if (const QString planned = run_.host_.plannedOwnBase(position_); !planned.isEmpty() && planned != outcome_.base)
        outcome_.takenBase = planned;
}

QString FileConversion::WriteScript(int scriptAt, int writeAt, const QString& slot, const QString& scriptName,
                                    const QString& command)
{
    QString script;
    trap_.run(scriptAt, [&] { script = ToolScript(command, TempPath(slot, kMarker)); });
    // A script that could not be written is never started: what stands under its name is not ours.
    if (!trap_.run(writeAt, [&] { Main::WriteTextFile(script, TempPath(slot, scriptName)); }))
        return QString();
    return TempPath(slot, scriptName);
}

QString FileConversion::StartSplit(const QString& slot)
{
    if (run_.stopRequested_ || folder_.isEmpty())
        return QString();
    run_.WriteMarker(trap_, 144, slot);
    // Pages a stopped call left in the slot must never be taken for this file's pages.
    QStringList stale;
    trap_.run(146, [&] {
        ClearLeftovers(slot);
        stale = AddFolder::GetFolderFiles(slot, kPagePattern);
    });
    for (const QString& name : stale)
        trap_.run(150, [&] { Main::DeleteFileQuiet(TempPath(slot, name)); });
    for (const QString& said : {kSplitErrors, kSplitStatus, kSplitAccount})
        Main::DeleteFileQuiet(TempPath(slot, said));
    return WriteScript(172, 176, slot, kSplitScript,
                       WithErrorsTo(SplitterCommand(splitter_, copy_), TempPath(slot, kSplitErrors),
                                    TempPath(slot, kSplitStatus)));
}

void FileConversion::SplitEnded(const QString& slot)
{
    trap_.run(180, [&] { EndMarkerWait(TempPath(slot, kMarker)); });
    // The tools name the copy they worked on; the user knows the file by its own name.
    if (!slot.isEmpty()) {
        splitSaid_ = WithoutWorkingName(
            ReadToolMessage(TempPath(slot, kSplitStatus), TempPath(slot, kSplitErrors), copy_), copy_, source_);
        account_ = ReadSplitAccount(TempPath(slot, kSplitAccount));
    }
    QStringList pages;
    trap_.run(184, [&] { pages = SortedPages(AddFolder::GetFolderFiles(slot, kPagePattern)); });
    QList<int> numbered;
    const PageSelection* asked = run_.host_.pageSelection();
    int count = PageCount();
    for (const QString& name : pages)
        count = std::max(count, PageNumberOf(name));
    for (const QString& name : pages) {
        if (name.startsWith(QLatin1Char('~')))                                           // 190
            continue;
        // Output N is page N: the number comes from the page file's name, never from a count.
        const int page = PageNumberOf(name);
        if (page != 0 && asked && !asked->contains(page, count)) {
            Main::DeleteFileQuiet(TempPath(slot, name));
            continue;
        }
        // The page waits in the file's folder until a slot takes it.
        if (page == 0 || folder_.isEmpty()
            || !QFile::rename(TempPath(slot, name), TempPath(folder_, name)))
            continue;
        numbered << page;
    }
    split_ = numbered;
    pagesLeft_ = static_cast<int>(numbered.size());
    if (pagesLeft_ == 0) {
        NoteUnsplit();
        Finish();
        return;
    }
    for (const QString& name : pages) {
        const int page = PageNumberOf(name);
        if (page == 0 || !numbered.contains(page))
            continue;
        run_.slots_->submit({position_, page},
                            {[this, name](const QString& s) { return StartPage(s, name); },
                             [this, name, page](const QString& s, bool timedOut) { PageEnded(s, name, page, timedOut); }});
    }
}

QString FileConversion::StartPage(const QString& slot, const QString& name)
{
    if (run_.stopRequested_)
        return QString();
    run_.WriteMarker(trap_, 192, slot);
    QString path;
    trap_.run(194, [&] {
        path = TempPath(slot, name);
        if (!QFile::rename(TempPath(folder_, name), path))
            throw Tovanel::Failure(QStringLiteral("File not found"));
    });
    return WriteScript(196, 202, slot, kConvertScript, ConverterLine(slot, path));
}

QString FileConversion::ConverterLine(const QString& slot, const QString& input)
{
    for (const QString& said : {kConvertErrors, kConvertStatus, kConvertAccount})
        Main::DeleteFileQuiet(TempPath(slot, said));
    // While other pages wait, their calls keep the other cores busy: this one takes its share.
    return WithErrorsTo(ConverterCommand(TempPath(run_.RunFolder(), kConvertTool), input, run_.slots_->threadsForCall(),
                                         TempPath(slot, kConvertAccount), run_.host_.keepsMetadata()),
                        TempPath(slot, kConvertErrors), TempPath(slot, kConvertStatus));
}

ToolMessage FileConversion::ConverterSaid(const QString& slot, const QString& input, bool timedOut)
{
    if (timedOut)
        return {};
    // The tools name the copy or the page file they worked on; the user knows the file by its own
    // name, and a page by its number, which the closing box gives.
    const ToolMessage said = ReadToolMessage(TempPath(slot, kConvertStatus), TempPath(slot, kConvertErrors), input);
    if (input == copy_)
        return WithoutWorkingName(said, copy_, source_);
    return WithoutWorkingName(said, input, QStringLiteral("the page"));
}

void FileConversion::PageEnded(const QString& slot, const QString& name, int page, bool timedOut)
{
    trap_.run(206, [&] { EndMarkerWait(TempPath(slot, kMarker)); });
    const QString path = TempPath(slot, name);
    const ToolMessage said = ConverterSaid(slot, path, timedOut);
    QString png;
    trap_.run(210, [&] { png = TempPath(slot, BeforeFirstDot(name) + QStringLiteral(".png")); });
    const bool took = TakeOutput(png, 212, page, slot);
    trap_.run(248, [&] {
        Main::DeleteFileQuiet(path);
        Main::DeleteFileQuiet(TempPath(folder_, name));   // still waiting there when the run was stopped
    });
    // The whole copy's PNG is the converter's result for the file's first page: it can stand in for
    // page 1 only, and for a later page it would be page 1 under that page's number.
    if (!took && page == 1 && !run_.stopRequested_) {
        run_.slots_->submit({position_, page}, {[this](const QString& s) { return StartWhole(s); },
                                                [this, said](const QString& s, bool timedOut) {
                                                    WholeEnded(s, said, timedOut);
                                                }});
        return;
    }
    PageDone(page, took, said);
}

QString FileConversion::StartWhole(const QString& slot)
{
    if (run_.stopRequested_)
        return QString();
    run_.WriteMarker(trap_, 224, slot);
    return WriteScript(226, 232, slot, kConvertScript, ConverterLine(slot, copy_));
}

void FileConversion::WholeEnded(const QString& slot, const ToolMessage& pageSaid, bool timedOut)
{
    trap_.run(236, [&] { EndMarkerWait(TempPath(slot, kMarker)); });
    const ToolMessage wholeSaid = ConverterSaid(slot, copy_, timedOut);
    // Found under the name the converter really writes (the copy's last extension replaced).
    QString whole;
    trap_.run(220, [&] {
        whole = TempPath(folder_, Main::StripExtension(Main::GetFileNamePart(copy_)) + QStringLiteral(".png"));
    });
    const bool took = TakeOutput(whole, 240, 1, slot);
    PageDone(1, took, pageSaid.said() ? pageSaid : wholeSaid);
}

bool FileConversion::TakeOutput(const QString& png, int at, int page, const QString& slot)
{
    if (!trap_.test(at, [&] { return Main::FileExistsByDate(png); }))
        return false;
    int err = 0;
    // A mirrored tree's folders appear as their files' first pages come, never empty.
    // So do the folders a name template gives.
    const QString output = OutputName(outcome_.base, page, PageCount());
    if ((!subfolder_.isEmpty() || outcome_.base.contains(kPageMark)) && !outcome_.base.isEmpty())
        Main::MakeFolders(Main::GetFolderPart(output));
    trap_.run(at + 2, [&] { err = outcome_.base.isEmpty() ? 0 : MoveWithSidecars(png, output, page); });
    trap_.run(at + 4, [&] {
        QStringList files = SidecarsOf(png);
        files << png;
        for (const QString& file : files)
            Main::DeleteFileQuiet(file);
    });
    if (err != 0) {
        outcome_.missing.insert(page, OutputFolderReason(err, Main::GetFolderPart(outcome_.base)));
        return true;
    }
    trap_.run(at + 6, [&] { outcome_.written << page; });
    // The converter's account of the PNG's metadata lies in the slot it ran in.
    QStringList carried, omitted;
    QString sha256;
    if (!slot.isEmpty())
        ReadMetadataAccount(slot + QLatin1Char('/') + kConvertAccount, carried, omitted, sha256);
    outcome_.metadata.insert(page, carried);
    if (!sha256.isEmpty())
        outcome_.sha256.insert(page, sha256);
    if (!omitted.isEmpty())
        outcome_.omitted.insert(page, omitted);
    return true;
}

int FileConversion::MoveWithSidecars(const QString& png, const QString& target, int page)
{
    // A page's world file and coordinate system come first, so its PNG never appears without them;
    // they go again when the PNG cannot follow.
    const QStringList from = SidecarsOf(png);
    const QStringList to = SidecarsOf(target);
    QStringList moved;
    int err = 0;
    for (qsizetype i = 0; i < from.size() && err == 0; ++i) {
        if (!AddFolder::IsExistingFile(from[i]))
            continue;
        err = MoveOutput(from[i], to[i]);
        if (err == 0)
            moved << to[i];
    }
    if (err == 0)
        err = MoveOutput(png, target);
    if (err != 0) {
        for (const QString& file : moved)
            Main::DeleteFileQuiet(file);
        return err;
    }
    if (!moved.isEmpty())
        outcome_.sidecars.insert(page, moved);
    return 0;
}

void FileConversion::PageDone(int page, bool took, const ToolMessage& said)
{
    if (!took)
        outcome_.missing.insert(page, run_.stopRequested_ ? kStopped
                                                          : ReasonFor(said, QStringLiteral("converter"), folder_));
    if (--pagesLeft_ > 0)
        return;
    NoteUnsplit();
    Finish();
}

int FileConversion::PageCount() const
{
    // The splitter's account gives the page count and why each page it did not write is missing.
    int pages = split_.isEmpty() ? 0 : *std::max_element(split_.begin(), split_.end());
    pages = std::max(pages, account_.pages);
    if (!account_.skipped.isEmpty())
        pages = std::max(pages, account_.skipped.lastKey());
    return pages;
}

void FileConversion::NoteUnsplit()
{
    const int pages = PageCount();
    outcome_.pages = pages;
    if (const PageSelection* asked = run_.host_.pageSelection()) {
        for (int page = 1; page <= pages; ++page)
            if (!asked->contains(page, pages))
                outcome_.notAsked << page;
        if (pages > 0)
            outcome_.absent = asked->absent(pages);
    }
    if (pages == 0) {
        if (run_.stopRequested_ && !splitSaid_.said())
            outcome_.fileReason = kStopped;
        else
            outcome_.fileReason = copyError_ != 0 ? CopyReason(source_, copyError_, folder_)
                                                  : ReasonFor(splitSaid_, QStringLiteral("page splitter"), folder_);
        return;
    }
    const QSet<int> present(split_.begin(), split_.end());
    for (int page = 1; page <= pages; ++page)
        if (!present.contains(page) && !outcome_.notAsked.contains(page))
            outcome_.missing.insert(page, ReasonFor(account_.skipped.value(page, {splitSaid_.status, QString()}),
                                                    QStringLiteral("page splitter"), folder_));
}

void FileConversion::Finish()
{
    trap_.run(252, [&] { Main::DeleteFileQuiet(copy_); });
    // Pages a stop left waiting go with the file's folder.
    if (!folder_.isEmpty())
        QDir(folder_).removeRecursively();
    std::sort(outcome_.written.begin(), outcome_.written.end());
    finished_ = true;
}

} // namespace Tovanel
