// The console host of the conversion run.
#include "batch/batch_host.h"

#include "batch/batch_report.h"
#include "batch/console_dialogs.h"
#include "batch/progress.h"
#include "convert/run_report.h"
#include "convert/output_names.h"
#include "fs/file.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

namespace Tovanel::Batch {

bool InShard(int position, int count, const Shard& shard)
{
    return static_cast<qint64>(position - 1) * shard.count / qMax(count, 1) + 1 == shard.index;
}

BatchHost::BatchHost(const Options& options, QList<Entry> list, ConsoleDialogs& dialogs)
    : options_(options), list_(std::move(list)), dialogs_(dialogs)
{
}

Destination BatchHost::destination() const { return options_.beside ? Destination::BesideSource : Destination::Folder; }

QString BatchHost::outputSubfolder(int position) const
{
    return options_.keepTree ? list_.value(position - 1).subfolder : QString();
}

Dialogs& BatchHost::dialogs() { return dialogs_; }

void BatchHost::processEvents() { Fs::ProcessPendingEvents(); }

namespace {

// Each PNG of the file gets the source's modification time (to the nanosecond); a source that is
// gone by now leaves them as they are.
void KeepModificationTime(const FileOutcome& outcome)
{
    struct stat source {};
    if (::stat(QFile::encodeName(outcome.source).constData(), &source) != 0)
        return;
    const struct timespec times[2] = {{0, UTIME_OMIT}, source.st_mtim};
    for (int page : outcome.written)
        ::utimensat(AT_FDCWD, QFile::encodeName(OutputName(outcome.base, page)).constData(), times, AT_SYMLINK_NOFOLLOW);
}

} // namespace

void BatchHost::fileFinished(int, const FileOutcome& outcome)
{
    if (options_.keepMtime)
        KeepModificationTime(outcome);
    for (int page : outcome.written)
        if (outcome.sha256.contains(page))
            checksums_ << qMakePair(OutputName(outcome.base, page), outcome.sha256.value(page));
    if (!outcome.complete()) {
        ++incomplete_;
        // What did not convert is an error, which --quiet still prints at the end.
        dialogs_.setSilenced(false);
    }
    if (report_ && reportWhole_ && !report_->write(ReportLines(outcome))) {
        reportWhole_ = false;
        dialogs_.say(QStringLiteral("the report ") + options_.report + QStringLiteral(" could not be written in full"));
    }
    if (progress_)
        progress_->finished(outcome);
}

} // namespace Tovanel::Batch
