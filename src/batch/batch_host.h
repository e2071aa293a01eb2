// The conversion run's console host: the list, the destination, which entries this run converts, and
// where each file's outcome goes (report, progress).
#pragma once

#include "batch/batch_inputs.h"
#include "batch/batch_options.h"
#include "convert/output_names.h"
#include "convert/run_host.h"

#include <QList>
#include <QPair>

namespace Tovanel::Batch {

class ConsoleDialogs;
class Progress;
class ReportFile;

// Whether the entry at position (1-based) of a list of count entries lies in shard: the list cut into
// shard.count runs of consecutive entries, as even as they can be.
bool InShard(int position, int count, const Shard& shard);

class BatchHost : public RunHost {
public:
    BatchHost(const Options& options, QList<Entry> list, ConsoleDialogs& dialogs);

    // Which entries this run converts (by position - 1); all of them until set.
    void setConverts(QList<bool> converts) { converts_ = std::move(converts); }
    void setProgress(Progress* progress) { progress_ = progress; }
    void setReport(ReportFile* report) { report_ = report; }
    // The output bases a plan decided for the list (by position - 1); none to decide them in the run.
    void setPlanned(QList<PlannedBase> planned) { planned_ = std::move(planned); }

    const QList<Entry>& list() const { return list_; }
    // True while every file converted so far gave every page.
    bool allComplete() const { return incomplete_ == 0; }
    // False once a write of the report failed.
    bool reportWhole() const { return reportWhole_; }
    // Each written PNG of the files converted so far with its sha256, in the order the files ended.
    QList<QPair<QString, QString>>& checksums() { return checksums_; }

    int listCount() const override { return static_cast<int>(list_.size()); }
    QString listText(int position) const override { return list_.value(position - 1).path; }
    Destination destination() const override;
    QString destinationFolder() const override { return options_.out; }
    QString outputSubfolder(int position) const override;
    bool namesFromListOnly() const override { return true; }
    bool convertsEntry(int position) const override { return converts_.value(position - 1, true); }
    int jobs() const override { return options_.jobs; }
    const NameTemplate* nameTemplate() const override { return options_.names ? &*options_.names : nullptr; }
    const PageSelection* pageSelection() const override { return options_.pages ? &*options_.pages : nullptr; }
    bool keepsMetadata() const override { return !options_.strip; }
    QString plannedBase(int position) const override { return planned_.value(position - 1).base; }
    QString plannedOwnBase(int position) const override { return planned_.value(position - 1).own; }

    void setProgressValue(double) override {}
    void setProgressText(const QString&) override {}
    void setMousePointer(int) override {}
    Dialogs& dialogs() override;
    QObject* dialogOwner() override { return nullptr; }
    void processEvents() override;
    void fileFinished(int position, const FileOutcome& outcome) override;

private:
    const Options& options_;
    QList<Entry> list_;
    QList<bool> converts_;
    QList<PlannedBase> planned_;
    ConsoleDialogs& dialogs_;
    Progress* progress_ = nullptr;
    ReportFile* report_ = nullptr;
    int incomplete_ = 0;
    QList<QPair<QString, QString>> checksums_;
    bool reportWhole_ = true;
};

} // namespace Tovanel::Batch
