// The conversion run behind "Start Converting", without widgets: it talks to its host only.
#pragma once

#include "convert/output_names.h"
#include "convert/procs/run_folder.h"
#include "convert/run_host.h"
#include "convert/run_report.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <deque>
#include <functional>
#include <memory>

namespace Tovanel {

namespace Convert { class ToolSlots; }
class ErrorTrap;
class FileConversion;

// Said instead of starting when neither destination option is selected.
inline const QString kNoDestinationMessage = QStringLiteral(
    "Choose where the results go: \"Save results to this folder:\" or \"Save results in folder of original file\".");

class ConversionRun {
public:
    // A tool still running after this long is stopped with its process group; its page gives no PNG.
    static constexpr qint64 kDefaultToolTimeoutMs = 10 * 60 * 1000;

    explicit ConversionRun(RunHost& host, qint64 toolTimeoutMs = kDefaultToolTimeoutMs);
    ~ConversionRun();

    // Converts every listed file. Returns true when the run went through to "Done.", false when it
    // was refused (nothing listed, no such folder) or another run is still going.
    bool Start();

    bool isConverting() const { return IsConverting; }
    // Ends the run early: running tools are stopped, outputs already written stay, files not yet done
    // are named as not converted, and the closing box says the run was stopped. Safe to call from an
    // event handler while the run waits, or from a signal's notifier.
    enum StopMode { StopAndSay, StopQuietly };
    void Stop(StopMode mode = StopAndSay);
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

    // True when the folder of base held an output of base (base + "_N.png") when the run first looked
    // there.
    bool BaseUsedOnDisk(const QString& base);

    // The folder that holds this run's tools, scripts, marker, copies and pages.
    QString RunFolder() const;
    void WriteMarker(ErrorTrap& trap, int statement, const QString& folder);
    // Starts the entry at position (statements 132 to 142 and what follows), in list order.
    void BeginEntry(ErrorTrap& trap, int position);
    // Hands the finished files at the front of the list to the outcomes, in list order.
    void CollectFinished();

    RunHost& host_;
    qint64 toolTimeoutMs_;
    bool IsConverting = false;
    bool stopRequested_ = false;
    bool quietStop_ = false;   // stopped on the way out: no closing box
    QStringList outputFolders_;   // where this run wrote, flushed to disk once at its end
    BaseOwners baseOwners_;                // which source of the list writes under which output base
    QHash<QString, QSet<QString>> basesOnDisk_;   // output folder -> the bases of the outputs found there
    QList<FileOutcome> outcomes_;          // what each converted file gave, for the closing box
    QStringList notConverted_;             // entries listed during the run, which it leaves alone
    qint64 runningToolGroup_ = 0;
    Convert::RunFolder runFolder_;   // the running run's private working folder
    std::unique_ptr<Convert::ToolSlots> slots_;   // the running run's tool calls
    std::deque<std::unique_ptr<FileConversion>> inFlight_;   // begun and not yet collected, in list order
};

} // namespace Tovanel
