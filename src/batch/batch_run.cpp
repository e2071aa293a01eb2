// The batch command: options, list, shard and resume, then the one conversion run behind the window.
#include "batch/batch_run.h"

#include "batch/batch_host.h"
#include "batch/batch_plan.h"
#include "batch/batch_report.h"
#include "batch/console_dialogs.h"
#include "batch/page_count.h"
#include "batch/progress.h"
#include "batch/stop_signals.h"
#include "convert/conversion_run.h"
#include "convert/name_template.h"
#include "convert/output_names.h"
#include "convert/procs/run_folder.h"
#include "platform/error_trap.h"
#include "fs/main_procs.h"

#include <QHash>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Tovanel::Batch {

namespace {

// Empty when folder is a folder this process may write into; otherwise why not.
QString WhyNotWritable(const QString& folder)
{
    struct stat st;
    const QByteArray raw = Main::EncodeKeptBytes(folder);
    if (::stat(raw.constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("not a folder");
    if (::access(raw.constData(), W_OK | X_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}

QString Plural(qsizetype n, const char* one, const char* many)
{
    return QString::number(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
}

// The files the folders held that no extension took, said with the extensions (empty when none).
QString OtherExtensions(const Options& o, const Gathered& gathered)
{
    if (gathered.otherExtension == 0)
        return QString();
    return QStringLiteral("%1 in the folders passed over: no extension of --ext %2")
        .arg(Plural(gathered.otherExtension, "file", "files"), o.extensions.join(QLatin1Char(',')));
}

// What this run takes on, said before it starts: the list, the shard, what earlier reports cover.
QString Overview(const Options& o, const Gathered& gathered, qsizetype listed, qsizetype inShard, qsizetype resumed)
{
    QString text = Plural(listed, "file", "files") + QStringLiteral(" listed");
    if (gathered.repeated > 0)
        text += QStringLiteral(" (%1 listed again, converted once)").arg(gathered.repeated);
    if (const QString other = OtherExtensions(o, gathered); !other.isEmpty())
        text += QStringLiteral("; ") + other;
    if (o.shard.count > 1)
        text += QStringLiteral("; part %1 of %2 (%3): %4").arg(o.shard.index).arg(o.shard.count).arg(o.shardFrom)
                    .arg(Plural(inShard, "file", "files"));
    if (!o.resume.isEmpty())
        text += QStringLiteral("; %1 already converted").arg(resumed);
    return text + QStringLiteral("; ") + Plural(inShard - resumed, "file", "files") + QStringLiteral(" to convert.");
}

// A name template without {name} cannot tell two sources of one name apart by " (k)": refused before
// anything is written, naming them.
QString NamesThatClash(const Options& o, const BatchHost& host, const QList<PlannedBase>& plan)
{
    if (!o.names || o.names->hasName())
        return QString();
    QHash<QString, QString> first;   // own base -> the first source with it
    for (int i = 0; i < plan.size(); ++i) {
        if (plan[i].own.isEmpty())
            continue;
        const QString source = host.list()[i].path;
        const QString earlier = first.value(plan[i].own);
        if (!earlier.isEmpty() && earlier != source)
            return QStringLiteral("--name: ") + earlier + QStringLiteral(" and ") + source
                   + QStringLiteral(" would have the same output names; put {name} in the template.");
        first.insert(plan[i].own, source);
    }
    return QString();
}

// --dry-run: each source this run would convert, its pages and their output names, and every clash:
// a base taken by an earlier source, an output that is already there.
int DryRun(const BatchHost& host, const QList<bool>& converts, const QList<PlannedBase>& plan, std::FILE* out,
           ConsoleDialogs& dialogs)
{
    QStringList sources;
    for (int i = 0; i < host.listCount(); ++i)
        if (converts[i])
            sources << host.list()[i].path;
    QList<PageCount> counts;
    QString why;
    if (!CountPages(sources, counts, why)) {
        dialogs.say(QStringLiteral("cannot count pages: ") + why);
        return CannotStart;
    }
    QHash<QString, QString> owners;   // base -> the source that takes it
    for (int i = 0; i < host.listCount(); ++i)
        if (!owners.contains(plan[i].base))
            owners.insert(plan[i].base, host.list()[i].path);
    bool unreadable = false;
    QString text;
    for (int i = 0, k = 0; i < host.listCount(); ++i) {
        if (!converts[i])
            continue;
        const QString source = ShownName(host.list()[i].path);
        const PageCount& count = counts[k++];
        if (!count.reason.isEmpty() && count.pages == 0) {
            text += source + QStringLiteral(": not converted: ") + count.reason + QLatin1Char('\n');
            unreadable = true;
            continue;
        }
        text += source + QStringLiteral(": ") + Plural(count.pages, "page", "pages");
        if (plan[i].base != plan[i].own)
            text += QStringLiteral(", saved as ") + ShownName(OutputPattern(plan[i].base))
                    + QStringLiteral(" since ") + ShownName(OutputPattern(plan[i].own))
                    + QStringLiteral(" comes from ")
                    // a shard of a plan lists only its own part
                    + (owners.contains(plan[i].own) ? ShownName(owners.value(plan[i].own))
                                                    : QStringLiteral("an earlier source of the list"));
        text += QLatin1Char('\n');
        for (int page = 1; page <= count.pages; ++page) {
            if (host.pageSelection() && !host.pageSelection()->contains(page, count.pages))
                continue;
            const QString output = OutputName(plan[i].base, page, count.pages);
            text += QStringLiteral("  ") + ShownName(output)
                    + (Main::FileExistsByDate(output) ? QStringLiteral(" (replaces the file there)") : QString())
                    + QLatin1Char('\n');
        }
        if (!count.reason.isEmpty()) {   // the pages before one that cannot be read
            text += QStringLiteral("  page %1: ").arg(count.pages + 1) + count.reason + QLatin1Char('\n');
            unreadable = true;
        }
    }
    std::fputs(text.toLocal8Bit().constData(), out);
    std::fflush(out);
    return unreadable ? SomeNotConverted : AllConverted;
}

} // namespace

int RunBatch(const QStringList& arguments, const QProcessEnvironment& environment, QIODevice& in, std::FILE* out,
             std::FILE* err)
{
    // Nothing is written until the run's working folder is made: until then a signal ends the program
    // at once, with the status of a stopped run, also while a large tree is being listed.
    ConversionRun* running = nullptr;
    StopSignals stopSignals(
        [&](int) {
            if (running)
                running->Stop();
        },
        Interrupted);
    // Paths are taken, listed and used by their bytes, whatever they are.
    Main::SetListingKeepsBytes(true);
    const Parsed parsed = ParseArguments(arguments, environment);
    if (parsed.action != Parsed::Run) {
        std::fputs(parsed.text.toLocal8Bit().constData(), parsed.action == Parsed::Answer ? out : err);
        return parsed.action == Parsed::Answer ? AllConverted : UsageError;
    }
    Options o = parsed.options;   // with --from, the destination is the plan's
    ConsoleDialogs dialogs(err);
    dialogs.setSilenced(o.quiet);
    const Progress::Mode mode = o.quiet || o.dryRun ? Progress::Silent
                                : ::isatty(::fileno(err))  ? Progress::Terminal
                                                           : Progress::Log;
    Progress progress(err, mode);
    dialogs.setBeforePrint([&] { progress.clear(); });
    // A shard of a plan parses its own sources' lines only, and looks at no other source.
    PlanPart part;
    if (!o.from.isEmpty()) {
        QString why;
        if (!ReadPlan(o.from, o.shard, part, why)) {
            dialogs.say(QStringLiteral("cannot read the plan ") + ShownName(o.from) + QStringLiteral(": ") + why);
            return CannotStart;
        }
        o.out = part.out;
        o.beside = part.beside;
        o.keepTree = part.keepTree;
    }
    if (!o.out.isEmpty()) {
        if (const QString why = WhyNotWritable(o.out); !why.isEmpty()) {
            dialogs.say(QStringLiteral("cannot write to ") + ShownName(o.out) + QStringLiteral(": ") + why);
            return CannotStart;
        }
    }
    ResumeRecord record;
    for (const QString& report : o.resume) {
        QString why;
        if (!record.read(report, why)) {
            dialogs.say(QStringLiteral("cannot read the report ") + ShownName(report) + QStringLiteral(": ") + why);
            return CannotStart;
        }
    }

    Gathered gathered;
    if (o.from.isEmpty())
        gathered = GatherList(o, in, dialogs);
    else
        gathered.list = std::move(part.entries);
    NameEscapes escapes;
    for (const Entry& entry : gathered.list)
        escapes.add(entry.path);
    for (const QString& path : QStringList{o.out, o.report, o.plan, o.from} + o.resume)
        escapes.add(path);
    dialogs.setEscapes(&escapes);
    progress.setEscapes(&escapes);
    BatchHost host(o, std::move(gathered.list), dialogs);
    // Names come from the whole list, so the shard and the skipped sources change none of them.
    const QList<PlannedBase> plan = o.from.isEmpty() ? PlanOutputBases(host) : part.bases;
    host.setPlanned(std::move(part.bases));
    if (const QString clash = NamesThatClash(o, host, plan); !clash.isEmpty()) {
        dialogs.say(clash);
        return UsageError;
    }
    if (!o.plan.isEmpty()) {
        QString why;
        if (!WritePlan(o.plan, o, host, plan, why)) {
            dialogs.say(QStringLiteral("cannot write the plan ") + ShownName(o.plan) + QStringLiteral(": ") + why);
            return CannotStart;
        }
        if (!o.quiet)
            dialogs.say(Plural(host.listCount(), "file", "files") + QStringLiteral(" planned in ") + ShownName(o.plan)
                        + QLatin1Char('.'));
        return AllConverted;
    }
    // A plan's shard lists its own sources only.
    const Shard listShard = o.from.isEmpty() ? o.shard : Shard{};
    const qsizetype listed = o.from.isEmpty() ? host.listCount() : part.sources;
    QList<bool> converts;
    qsizetype inShard = 0, resumed = 0;
    for (int position = 1; position <= host.listCount(); ++position) {
        const bool mine = InShard(position, host.listCount(), listShard);
        const bool done = mine && record.done(host.listText(position), plan[position - 1].base, host.pageSelection());
        inShard += mine ? 1 : 0;
        resumed += done ? 1 : 0;
        converts << (mine && !done);
    }
    host.setConverts(converts);
    if (!o.quiet && (o.shard.count > 1 || !o.resume.isEmpty() || o.dryRun))
        dialogs.say(Overview(o, gathered, listed, inShard, resumed));
    if (o.dryRun)
        return DryRun(host, converts, plan, out, dialogs);

    // From here files are written: a signal stops the run, which ends them properly.
    stopSignals.deferFromNow();
    {
        // Found out before anything is written: a run without a working folder would only fail file by file.
        Convert::RunFolder probe;
        probe.make();
        try {
            probe.path();
        } catch (const Failure& failure) {
            dialogs.say(QStringLiteral("no working folder: ") + QString::fromUtf8(failure.what()));
            return CannotStart;
        }
    }
    ReportFile report;
    if (!o.report.isEmpty()) {
        // The sources an earlier report covers stay in this one, so the newest report alone resumes;
        // the new report starts with them, so an old report it replaces is never lost to a kill.
        QList<QByteArray> carried;
        for (int position = 1; position <= host.listCount(); ++position)
            if (InShard(position, host.listCount(), listShard) && !converts[position - 1])
                carried << record.lines(host.listText(position));
        QString why;
        if (!report.open(o.report, carried, why)) {
            dialogs.say(QStringLiteral("cannot write the report ") + o.report + QStringLiteral(": ") + why);
            return CannotStart;
        }
        host.setReport(&report);
    }

    qint64 pages = -1;
    if (mode == Progress::Terminal) {
        QStringList sources;
        for (int position = 1; position <= host.listCount(); ++position)
            if (converts[position - 1])
                sources << host.listText(position);
        QList<PageCount> counts;
        QString why;
        if (CountPages(sources, counts, why)) {
            pages = 0;
            for (const PageCount& count : counts)   // a page that cannot be read is a page the run ends
                pages += count.pages + (count.pages > 0 && !count.reason.isEmpty() ? 1 : 0);
        }
    }
    progress.begin(static_cast<int>(inShard - resumed), pages);
    host.setProgress(&progress);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { progress.refresh(); });
    if (mode == Progress::Terminal)
        tick.start(1000);

    // The converter leaves out a map page's world file and coordinate system when told so.
    if (!o.georeference)
        qputenv("TOVANEL_TOPNG_GEOREF", "0");
    // The manifest lists what earlier runs converted (as their reports say) before this run's outputs.
    for (int position = 1; position <= host.listCount(); ++position)
        if (InShard(position, host.listCount(), o.shard) && !converts[position - 1])
            host.checksums() << record.checksums(host.listText(position));

    ConversionRun run(host);
    running = &run;
    const bool started = run.Start();
    running = nullptr;
    stopSignals.readPipe();
    progress.clear();
    if (!o.quiet && stopSignals.received() == 0)
        if (const QString other = OtherExtensions(o, gathered); !other.isEmpty())
            dialogs.say(other + QLatin1Char('.'));
    bool manifestWhole = true;
    if (!o.manifest.isEmpty() && started) {
        if (const int err = WriteManifest(o.manifest, host.checksums()); err != 0) {
            manifestWhole = false;
            dialogs.say(QStringLiteral("cannot write the manifest ") + o.manifest + QStringLiteral(": ")
                        + QString::fromLocal8Bit(std::strerror(err)));
        }
    }
    if (stopSignals.received() != 0)
        return Interrupted;
    if (!started)
        return host.listCount() == 0 ? AllConverted : CannotStart;
    return host.allComplete() && host.reportWhole() && manifestWhole ? AllConverted : SomeNotConverted;
}

} // namespace Tovanel::Batch
