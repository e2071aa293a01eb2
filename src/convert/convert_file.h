// One file of the run as its own step: copy into the run folder, split into pages, one PNG per page.
#pragma once

#include "convert/conversion_run.h"
#include "convert/output_names.h"
#include "convert/run_report.h"

#include <QString>
#include <QStringList>

namespace Tovanel {

class FileConversion {
public:
    // position: the source's place in the host's list.
    FileConversion(ConversionRun& run, ErrorTrap& trap, QString source, int position);
    // Statements 142 to 252; failures are reported through the trap and the file goes on. Returns what
    // the file gave: the pages written and why any other page or the whole file gave nothing.
    FileOutcome Run();

private:
    void Prepare();
    void ClearStalePages();
    void ChooseOutputBase();
    // Another source of this run already writes under the base in this folder: the next free " (k)".
    void KeepBaseToThisSource();
    void Split();
    QStringList Pages();
    void ConvertPage(const QString& name, int page);
    // The converter on input, its stderr line read back.
    ToolMessage Convert(const ToolStatements& at, const QString& input);
    // The PNG at png, when there is one, becomes output number page (statements at to at + 6).
    bool TakeOutput(const QString& png, int at, int page);
    // Pages the splitter did not write, and why; a file that gave no page at all.
    void NoteUnsplit(const QList<int>& split);

    ConversionRun& run_;
    ErrorTrap& trap_;
    const QString source_;
    const int position_;
    QString subfolder_;   // the outputs' folder under the destination, made when the first output comes
    QString folder_;   // the run folder
    QString copy_;     // the source's copy in it
    bool ownCopy_ = false;
    int copyError_ = 0;
    QString splitter_;
    ToolMessage splitSaid_;
    FileOutcome outcome_;
};

} // namespace Tovanel
