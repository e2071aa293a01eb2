// The conversion run: checks, tools in, every listed file, tools out, "Done.".
#include "convert/conversion_run.h"

#include "common/cores.h"

#include "convert/convert_file.h"
#include "convert/procs/conversion.h"
#include "convert/procs/shell32.h"
#include "convert/procs/tool_slots.h"
#include "fs/file.h"
#include "fs/main_procs.h"
#include "platform/dialogs.h"
#include "platform/error_trap.h"

#include <QDir>
#include <QRegularExpression>


namespace Tovanel {

ConversionRun::ConversionRun(RunHost& host, qint64 toolTimeoutMs) : host_(host), toolTimeoutMs_(toolTimeoutMs) {}

ConversionRun::~ConversionRun() = default;

bool ConversionRun::Start()
{
    if (IsConverting)                                                                   // 100
        return false;
    ErrorTrap trap(host_.dialogs(), FormLocation("PushButton2_Click"));
    trap.run(102, [&] {
        IsConverting = true;
        stopRequested_ = false;
        quietStop_ = false;
        outputFolders_.clear();
        baseOwners_.clear();
        basesOnDisk_.clear();
        outcomes_.clear();
        notConverted_.clear();
    });
    if (Refused(trap))
        return false;
    trap.run(108, [&] { host_.setMousePointer(PointerHourglass); });
    // The run's own folder: every fixed name below lives in it. Its failure is reported by the steps that need it.
    runFolder_.make();
    DeployTools(trap);                                                                  // 110 to 116
    ConvertListed(trap);                                                                // 130 to 252
    RemoveTools(trap);                                                                  // 256 to 268
    runFolder_.remove();
    Convert::FlushFolders(outputFolders_);
    Finish(trap);                                                                       // 270 to 282
    return true;
}

// Nothing listed (104) or no folder to write to (106): the box says why and the run ends at once.
bool ConversionRun::Refused(ErrorTrap& trap)
{
    if (trap.test(104, [&] { return host_.listCount() == 0; })) {
        trap.run(280, [&] {
            host_.dialogs().message(host_.dialogOwner(), QStringLiteral("No files added."), QString(), Buttons::Ok,
                                    Icon::None);
        });
    } else if (!trap.test(106, [&] {
                   return Main::FolderExists(host_.destinationFolder())
                          || host_.destination() == Destination::BesideSource;
               })) {
        trap.run(278, [&] {
            host_.dialogs().message(host_.dialogOwner(),
                                    QStringLiteral("Folder does not exist. Please select another folder."), QString(),
                                    Buttons::Ok, Icon::None);
        });
    } else if (host_.destination() == Destination::None) {
        // With neither option selected every page would be converted and then written nowhere.
        trap.run(279, [&] {
            host_.dialogs().message(host_.dialogOwner(), kNoDestinationMessage, QString(), Buttons::Ok, Icon::None);
        });
    } else {
        return false;
    }
    trap.run(282, [&] { IsConverting = false; });
    return true;
}

// Files begin in list order whenever a slot would otherwise be idle; their tool calls then share the
// slots, earlier files' pages first, so a one-slot run is the designed one-call-at-a-time run.
void ConversionRun::ConvertListed(ErrorTrap& trap)
{
    int n = 0;
    trap.run(130, [&] { n = host_.listCount(); });
    const int jobs = host_.jobs() > 0 ? host_.jobs() : static_cast<int>(UsableCores());
    slots_ = std::make_unique<Convert::ToolSlots>(runFolder_.isMade() ? RunFolder() : QString(), jobs,
                                                  toolTimeoutMs_, &host_.dialogs());
    int next = 1;
    for (;;) {
        // A few files ahead at most: each holds a copy of its source in the run folder.
        while (next <= n && slots_->running() + slots_->waiting() < slots_->count()
               && inFlight_.size() <= static_cast<size_t>(slots_->count()))
            BeginEntry(trap, next++);
        CollectFinished();
        if (next > n && inFlight_.empty())
            break;
        // The window stays responsive while the tools run: its events at most 100 ms apart.
        Fs::ProcessPendingEvents();
        slots_->pump(100);
        runningToolGroup_ = slots_->toolGroup();
    }
    runningToolGroup_ = 0;
    slots_.reset();
    // Files listed while the run went are not converted by it; the closing box counts them.
    for (int i = n + 1; i <= host_.listCount(); ++i)
        notConverted_ << host_.listText(i);
}

void ConversionRun::BeginEntry(ErrorTrap& trap, int i)
{
    QString path;
    trap.run(132, [&] { path = host_.listText(i); });
    trap.run(134, [&] { host_.setProgressValue(static_cast<double>(i) / host_.listCount() * 100.0); });
    trap.run(136, [&] { host_.setProgressText(QStringLiteral("Processing: ") + Main::GetFileNamePart(path)); });
    trap.run(138, [&] { host_.processEvents(); });
    trap.run(140, [&] { host_.setMousePointer(PointerHourglass); });
    // An entry that could not be read is passed over rather than taken for the one before it.
    if (path.isEmpty())
        return;
    if (!host_.convertsEntry(i)) {
        KeepPlaceInNaming(i, path);
        return;
    }
    inFlight_.push_back(std::make_unique<FileConversion>(*this, trap, i, path));
    if (stopRequested_)
        inFlight_.back()->PassOver(QStringLiteral("the run was stopped before its turn"));
    else
        inFlight_.back()->Begin();                                                      // 142 to 252
}

void ConversionRun::KeepPlaceInNaming(int position, const QString& source)
{
    const QString own = OwnBaseOf(host_, position, source, host_.destination());
    std::function<bool(const QString&)> usedOnDisk;
    if (!host_.namesFromListOnly())
        usedOnDisk = [this](const QString& base) { return BaseUsedOnDisk(base); };
    baseOwners_.Take(own, source, usedOnDisk);
}

void ConversionRun::CollectFinished()
{
    while (!inFlight_.empty() && inFlight_.front()->finished()) {
        outcomes_ << inFlight_.front()->outcome();
        host_.fileFinished(inFlight_.front()->position(), outcomes_.last());
        inFlight_.pop_front();
    }
}

void ConversionRun::Finish(ErrorTrap& trap)
{
    trap.run(270, [&] { host_.setMousePointer(PointerDefault); });
    trap.run(272, [&] { host_.setProgressValue(0); });
    trap.run(274, [&] { host_.setProgressText(QStringLiteral("Progress Bar")); });
    // "Done." alone when everything converted; otherwise a warning, with what did not and why in the details.
    trap.run(276, [&] {
        if (quietStop_)
            return;
        const RunSummary summary = Summarize(outcomes_, notConverted_, stopRequested_);
        host_.dialogs().message(host_.dialogOwner(), summary.text, QString(), Buttons::Ok,
                                summary.text == QLatin1String("Done.") ? Icon::None : Icon::Warning, summary.details);
    });
    trap.run(282, [&] { IsConverting = false; });
}

void ConversionRun::Stop(StopMode mode)
{
    if (!IsConverting)
        return;
    stopRequested_ = true;
    quietStop_ = quietStop_ || mode == StopQuietly;
    // The running calls end and say so; the waiting ones start nothing.
    if (slots_)
        slots_->endRunning();
}

bool ConversionRun::BaseUsedOnDisk(const QString& base)
{
    const QString folder = Main::GetFolderPart(base);
    auto found = basesOnDisk_.find(folder);
    if (found == basesOnDisk_.end()) {
        // One listing per folder and run, and only when a base is taken: a run of many files with one
        // base in a folder of many outputs stays linear. Outputs this run writes are in baseOwners_.
        static const QRegularExpression output(QStringLiteral("^(.*)_[0-9]+\\.png$"));
        QSet<QString> bases;
        for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System))
            if (const QRegularExpressionMatch m = output.match(name); m.hasMatch())
                bases.insert(m.captured(1));
        found = basesOnDisk_.insert(folder, bases);
    }
    return found->contains(Main::GetFileNamePart(base));
}

QString ConversionRun::RunFolder() const { return runFolder_.path(); }

// Each tool: its resource read (110, 114), then put in the run folder (112, 116). The numbers
// 118 to 128 are not used: the tools link the system's libraries, so no library files travel along.
void ConversionRun::DeployTools(ErrorTrap& trap)
{
    int line = 110;
    for (const Convert::ToolFile& tool : Convert::kTools) {
        QByteArray bytes;
        trap.run(line, [&] { bytes = Convert::ReadToolResource(tool.resourceId); });
        trap.run(line + 2, [&] {
            if (!bytes.isEmpty())
                Convert::DeployTool(bytes, Convert::TempPath(RunFolder(), tool.fileName));
        });
        line += 4;
    }
}

// 256 and 258 remove the tools, 266 and 268 the scripts; 260 to 264 belonged to the library files,
// which do not exist here.
void ConversionRun::RemoveTools(ErrorTrap& trap)
{
    const std::pair<int, QString> files[] = {{256, Convert::kConvertTool}, {258, Convert::kSplitTool},
                                             {266, Convert::kConvertScript}, {268, Convert::kSplitScript}};
    for (const auto& [line, name] : files)
        trap.run(line, [&] {
            if (runFolder_.isMade())
                Main::DeleteFileQuiet(Convert::TempPath(RunFolder(), name));
        });
}

void ConversionRun::WriteMarker(ErrorTrap& trap, int statement, const QString& folder)
{
    trap.run(statement, [&] { Main::WriteTextFile(QStringLiteral("Tovanel"), Convert::TempPath(folder, Convert::kMarker)); });
}

} // namespace Tovanel
