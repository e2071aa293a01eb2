// The conversion run behind "Start Converting": checks, tools in, every listed file, tools out, "Done.".
#include "form1.h"

#include "convert/procs/conversion.h"
#include "dialogs.h"
#include "error_trap.h"
#include "main_procs.h"
#include "convert/procs/shell32.h"
#include "ui_form1.h"

#include <QCoreApplication>

namespace Tovanel {

void Form1::PushButton2_Click()
{
    if (IsConverting)                                                                   // 100
        return;
    ErrorTrap trap(dialogs_, FormLocation("PushButton2_Click"));
    trap.run(102, [&] { IsConverting = true; outputBase_.clear(); outputFolders_.clear(); });
    if (trap.test(104, [&] { return listCount() == 0; })) {
        trap.run(280, [&] { dialogs_.message(this, QStringLiteral("No files added."), QString(), Buttons::Ok, Icon::None); });
        trap.run(282, [&] { IsConverting = false; });
        return;
    }
    if (!trap.test(106, [&] { return Main::FolderExists(ui_->Text1->text()) || ui_->Option2->isChecked(); })) {
        trap.run(278, [&] {
            dialogs_.message(this, QStringLiteral("Folder does not exist. Please select another folder."), QString(),
                             Buttons::Ok, Icon::None);
        });
        trap.run(282, [&] { IsConverting = false; });
        return;
    }
    trap.run(108, [&] { setMousePointer(PointerHourglass); });
    // The run's own folder: every fixed name below lives in it. Its failure is reported by the steps that need it.
    runFolder_.make();
    DeployTools(trap);                                                                  // 110 to 116

    int n = 0;
    trap.run(130, [&] { n = listCount(); });
    for (int i = 1; i <= n; ++i) {
        QString path;
        trap.run(132, [&] { path = listText(i); });
        trap.run(134, [&] { setProgressValue(static_cast<double>(i) / listCount() * 100.0); });
        trap.run(136, [&] { setProgressText(QStringLiteral("Processing: ") + Main::GetFileNamePart(path)); });
        trap.run(138, [] { QCoreApplication::processEvents(); });
        trap.run(140, [&] { setMousePointer(PointerHourglass); });
        // An entry that could not be read is passed over rather than taken for the one before it.
        if (!path.isEmpty())
            ConvertFile(trap, path);                                                    // 142 to 252
    }

    RemoveTools(trap);                                                                  // 256 to 268
    runFolder_.remove();
    Convert::FlushFolders(outputFolders_);
    trap.run(270, [&] { setMousePointer(PointerDefault); });
    trap.run(272, [&] { setProgressValue(0); });
    trap.run(274, [&] { setProgressText(QStringLiteral("Progress Bar")); });
    trap.run(276, [&] { dialogs_.message(this, QStringLiteral("Done."), QString(), Buttons::Ok, Icon::None); });
    trap.run(282, [&] { IsConverting = false; });
    emit runFinished();
}

// Each tool: its resource read (110, 114), then put in the temporary folder (112, 116). The numbers
// 118 to 128 are not used: the tools link the system's libraries, so no library files travel along.
void Form1::DeployTools(ErrorTrap& trap)
{
    int line = 110;
    for (const Convert::ToolFile& tool : Convert::kTools) {
        QByteArray bytes;
        trap.run(line, [&] { bytes = Convert::ReadToolResource(tool.resourceId); });
        trap.run(line + 2, [&] {
            if (!bytes.isEmpty())
                Convert::DeployTool(bytes, Convert::TempPath(runFolder_.path(), tool.fileName));
        });
        line += 4;
    }
}

// 256 and 258 remove the tools, 266 and 268 the scripts; 260 to 264 belonged to the library files,
// which do not exist here.
void Form1::RemoveTools(ErrorTrap& trap)
{
    const std::pair<int, QString> files[] = {{256, Convert::kConvertTool}, {258, Convert::kSplitTool},
                                             {266, Convert::kConvertScript}, {268, Convert::kSplitScript}};
    for (const auto& [line, name] : files)
        trap.run(line, [&] {
            if (runFolder_.isMade())
                Main::DeleteFileQuiet(Convert::TempPath(runFolder_.path(), name));
        });
}

int Form1::RunToolScript(const QString& script, const QString& folder)
{
    Shell32::Session session;
    session.dialogs = &dialogs_;
    session.runningGroup = &runningToolGroup;
    session.timeoutMs = toolTimeoutMs;
    int style = Shell32::Hidden;
    return Shell32::ShellAndWait(script, style, folder, session);
}

} // namespace Tovanel
