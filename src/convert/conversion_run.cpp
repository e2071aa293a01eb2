// The conversion run: checks, tools in, every listed file, tools out, "Done.".
#include "convert/conversion_run.h"

#include "convert/convert_file.h"
#include "convert/procs/conversion.h"
#include "convert/procs/shell32.h"
#include "fs/main_procs.h"
#include "platform/dialogs.h"
#include "platform/error_trap.h"

#include <csignal>

namespace Tovanel {

ConversionRun::ConversionRun(RunHost& host, qint64 toolTimeoutMs) : host_(host), toolTimeoutMs_(toolTimeoutMs) {}

bool ConversionRun::Start()
{
    if (IsConverting)                                                                   // 100
        return false;
    ErrorTrap trap(host_.dialogs(), FormLocation("PushButton2_Click"));
    trap.run(102, [&] {
        IsConverting = true;
        stopRequested_ = false;
        outputBase_.clear();
        outputFolders_.clear();
        baseOwners_.clear();
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
    } else {
        return false;
    }
    trap.run(282, [&] { IsConverting = false; });
    return true;
}

void ConversionRun::ConvertListed(ErrorTrap& trap)
{
    int n = 0;
    trap.run(130, [&] { n = host_.listCount(); });
    for (int i = 1; i <= n; ++i) {
        QString path;
        trap.run(132, [&] { path = host_.listText(i); });
        trap.run(134, [&] { host_.setProgressValue(static_cast<double>(i) / host_.listCount() * 100.0); });
        trap.run(136, [&] { host_.setProgressText(QStringLiteral("Processing: ") + Main::GetFileNamePart(path)); });
        trap.run(138, [&] { host_.processEvents(); });
        trap.run(140, [&] { host_.setMousePointer(PointerHourglass); });
        // An entry that could not be read is passed over rather than taken for the one before it.
        if (path.isEmpty())
            continue;
        if (!host_.convertsEntry(i)) {
            KeepPlaceInNaming(i, path);
            continue;
        }
        if (stopRequested_) {
            FileOutcome stopped;
            stopped.source = path;
            stopped.fileReason = QStringLiteral("the run was stopped before its turn");
            outcomes_ << stopped;
        } else {
            outcomes_ << FileConversion(*this, trap, path, i).Run();                    // 142 to 252
        }
        host_.fileFinished(i, outcomes_.last());
    }
    // Files listed while the run went are not converted by it; the closing box counts them.
    for (int i = n + 1; i <= host_.listCount(); ++i)
        notConverted_ << host_.listText(i);
}

void ConversionRun::KeepPlaceInNaming(int position, const QString& source)
{
    if (host_.destination() == Destination::Folder)
        outputBase_ = OwnOutputBase(EntryOutputFolder(host_, position), source);
    else if (host_.destination() == Destination::BesideSource)
        outputBase_ = OwnOutputBase(Main::GetFolderPart(source), source);
    baseOwners_.Take(outputBase_, source);
}

void ConversionRun::Finish(ErrorTrap& trap)
{
    trap.run(270, [&] { host_.setMousePointer(PointerDefault); });
    trap.run(272, [&] { host_.setProgressValue(0); });
    trap.run(274, [&] { host_.setProgressText(QStringLiteral("Progress Bar")); });
    // "Done." alone when everything converted; otherwise what did not, and why, in the box's details.
    trap.run(276, [&] {
        const RunSummary summary = Summarize(outcomes_, notConverted_, stopRequested_);
        host_.dialogs().message(host_.dialogOwner(), summary.text, QString(), Buttons::Ok, Icon::None, summary.details);
    });
    trap.run(282, [&] { IsConverting = false; });
}

void ConversionRun::Stop()
{
    if (!IsConverting)
        return;
    stopRequested_ = true;
    // Group 1 is never a tool's: kill(-1) would signal every process of the user.
    if (runningToolGroup_ > 1)
        ::kill(static_cast<pid_t>(-runningToolGroup_), SIGKILL);
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

void ConversionRun::RunToolCall(ErrorTrap& trap, const ToolStatements& at, const QString& folder,
                                const QString& scriptName, const std::function<QString()>& command)
{
    if (at.marker != 0)
        WriteMarker(trap, at.marker, folder);
    QString script;
    trap.run(at.script, [&] { script = Convert::ToolScript(command(), Convert::TempPath(folder, Convert::kMarker)); });
    // A script that could not be written is never started: what stands under its name is not ours.
    if (trap.run(at.write, [&] { Main::WriteTextFile(script, Convert::TempPath(folder, scriptName)); }))
        trap.run(at.run, [&] { RunToolScript(Convert::TempPath(folder, scriptName), folder); });
    const QString marker = folder.isEmpty() ? QString() : folder + QLatin1Char('/') + Convert::kMarker;
    trap.run(at.wait, [&] { Convert::EndMarkerWait(marker); });
}

int ConversionRun::RunToolScript(const QString& script, const QString& folder)
{
    Shell32::Session session;
    session.dialogs = &host_.dialogs();
    session.runningGroup = &runningToolGroup_;
    session.timeoutMs = toolTimeoutMs_;
    int style = Shell32::Hidden;
    return Shell32::ShellAndWait(script, style, folder, session);
}

} // namespace Tovanel
