// One file of the run as its own steps: copy into the run folder, split into pages, one PNG per page.
#pragma once

#include "convert/conversion_run.h"
#include "convert/output_names.h"
#include "convert/run_report.h"

#include <QString>
#include <QStringList>

namespace Tovanel {

// A file's tool calls go through the run's slots, so pages of this file and of the files next to it
// convert side by side; everything else happens on the run's thread, between the calls.
class FileConversion {
public:
    FileConversion(ConversionRun& run, ErrorTrap& trap, int position, QString source);
    FileConversion(const FileConversion&) = delete;
    FileConversion& operator=(const FileConversion&) = delete;

    // Statements 142 to 170 here, then the splitter is handed to the slots; the rest follows as the
    // calls end. Failures are reported through the trap and the file goes on.
    void Begin();
    // The file is not converted, for this reason.
    void PassOver(const QString& reason)
    {
        outcome_.fileReason = reason;
        finished_ = true;
    }
    bool finished() const { return finished_; }
    int position() const { return position_; }
    // What the file gave: the pages written and why any other page or the whole file gave nothing.
    const FileOutcome& outcome() const { return outcome_; }

private:
    void Prepare();
    void ChooseOutputBase();
    // Another source of this run already writes under the base in this folder: the next free " (k)".
    void KeepBaseToThisSource();
    QString StartSplit(const QString& slot);
    void SplitEnded(const QString& slot);
    QString StartPage(const QString& slot, const QString& name);
    void PageEnded(const QString& slot, const QString& name, int page, bool timedOut);
    QString StartWhole(const QString& slot);
    void WholeEnded(const QString& slot, const ToolMessage& pageSaid, bool timedOut);
    // One tool script written in slot around command (statements scriptAt, then scriptAt's write at
    // writeAt); returns the script to run, or empty when it could not be written.
    QString WriteScript(int scriptAt, int writeAt, const QString& slot, const QString& scriptName,
                        const QString& command);
    // The converter's line of a script in slot, on input, its stderr and status recorded in slot.
    QString ConverterLine(const QString& slot, const QString& input);
    // What the converter said in slot about input.
    ToolMessage ConverterSaid(const QString& slot, const QString& input, bool timedOut);
    // The PNG at png, when there is one, becomes output number page (statements at to at + 6).
    bool TakeOutput(const QString& png, int at, int page, const QString& slot);
    // The pages the file is known to have so far.
    int PageCount() const;
    // Moves the PNG at png, and the files the converter wrote beside it, to target: 0 or an errno.
    int MoveWithSidecars(const QString& png, const QString& target, int page);
    // A page's result: none when took, otherwise why.
    void PageDone(int page, bool took, const ToolMessage& said);
    // Pages the splitter did not write, and why; a file that gave no page at all.
    void NoteUnsplit();
    void Finish();

    ConversionRun& run_;
    ErrorTrap& trap_;
    const int position_;
    const QString source_;
    QString subfolder_;   // the outputs' folder under the destination, made when the first output comes
    QString folder_;   // the file's own folder inside the run folder: its copy and its pages
    QString copy_;     // the source's copy in it
    int copyError_ = 0;
    QString splitter_;
    ToolMessage splitSaid_;
    SplitAccount account_;
    QList<int> split_;     // the pages the splitter wrote
    int pagesLeft_ = 0;    // page calls not yet ended
    bool finished_ = false;
    FileOutcome outcome_;
};

} // namespace Tovanel
