// The conversion run behind "Start Converting", without widgets: it talks to its host only.
#pragma once

#include "convert/output_names.h"
#include "convert/procs/run_folder.h"
#include "convert/run_host.h"
#include "convert/run_report.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

namespace Tovanel {

class ErrorTrap;

// The statement numbers of one tool call; marker 0 when the caller has written the marker itself.
struct ToolStatements {
    int marker = 0;
    int script = 0;
    int write = 0;
    int run = 0;
    int wait = 0;
};

class ConversionRun {
public:
    // A tool still running after this long is stopped with its process group; its page gives no PNG.
    static constexpr qint64 kDefaultToolTimeoutMs = 10 * 60 * 1000;

    explicit ConversionRun(RunHost& host, qint64 toolTimeoutMs = kDefaultToolTimeoutMs);

    // Converts every listed file. Returns true when the run went through to "Done.", false when it
    // was refused (nothing listed, no such folder) or another run is still going.
    bool Start();

    bool isConverting() const { return IsConverting; }
    // Ends the run early: running tools are stopped, outputs already written stay, files not yet done
    // are named as not converted, and the closing box says the run was stopped. Safe to call from an
    // event handler while the run waits, or from a signal's notifier.
    void Stop();
    bool stopRequested() const { return stopRequested_; }
    // The process group of the tool running now (0 when none), so closing the window can stop it.
    qint64 runningToolGroup() const { return runningToolGroup_; }

private:
    friend class FileConversion;

    bool Refused(ErrorTrap& trap);
    void ConvertListed(ErrorTrap& trap);
    // An entry the host leaves out still takes its output base, so the entries after it are named
    // as a run over the whole list names them.
    void KeepPlaceInNaming(int position, const QString& source);
    void DeployTools(ErrorTrap& trap);
    void RemoveTools(ErrorTrap& trap);
    void Finish(ErrorTrap& trap);

    // The folder that holds this run's tools, scripts, marker, copies and pages.
    QString RunFolder() const;
    void WriteMarker(ErrorTrap& trap, int statement, const QString& folder);
    // One tool call in folder: the marker (unless the caller wrote it), the script around command()
    // built and written under scriptName, run when written, and the marker wait.
    void RunToolCall(ErrorTrap& trap, const ToolStatements& at, const QString& folder, const QString& scriptName,
                     const std::function<QString()>& command);
    int RunToolScript(const QString& script, const QString& folder);

    RunHost& host_;
    qint64 toolTimeoutMs_;
    bool IsConverting = false;
    bool stopRequested_ = false;
    QString outputBase_;          // kept from one file of a run to the next when no option is selected
    QStringList outputFolders_;   // where this run wrote, flushed to disk once at its end
    BaseOwners baseOwners_;                // which source of the list writes under which output base
    QList<FileOutcome> outcomes_;          // what each converted file gave, for the closing box
    QStringList notConverted_;             // entries listed during the run, which it leaves alone
    qint64 runningToolGroup_ = 0;
    Convert::RunFolder runFolder_;   // the running run's private working folder
};

} // namespace Tovanel
