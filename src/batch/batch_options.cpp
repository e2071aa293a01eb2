// The batch command's options: the arguments, checked before anything is read or written.
#include "batch/batch_options.h"

#include "fs/main_procs.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

namespace Tovanel::Batch {

namespace {

const QString kProgram = QStringLiteral("tovanel-batch");

Parsed Refuse(const QString& why)
{
    Parsed parsed;
    parsed.action = Parsed::Refuse;
    parsed.text = kProgram + QStringLiteral(": ") + why + QStringLiteral("\nTry '") + kProgram
                  + QStringLiteral(" --help' for more information.\n");
    return parsed;
}

bool ParsePositive(const QString& text, int& value)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,6}$"));
    if (!digits.match(text).hasMatch())
        return false;
    value = text.toInt();
    return value >= 1;
}

// A Slurm array task's part: its place among the array's tasks, which Slurm numbers from MIN in steps.
// Empty when no array task is running; set when one is, refused (with why) when its numbers make no part.
QString ShardOfArrayTask(const QProcessEnvironment& env, Shard& shard, bool& found)
{
    found = env.contains(QStringLiteral("SLURM_ARRAY_TASK_ID"));
    if (!found)
        return QString();
    bool ok[4] = {false, false, false, true};
    const int id = env.value(QStringLiteral("SLURM_ARRAY_TASK_ID")).toInt(&ok[0]);
    const int min = env.value(QStringLiteral("SLURM_ARRAY_TASK_MIN")).toInt(&ok[1]);
    const int count = env.value(QStringLiteral("SLURM_ARRAY_TASK_COUNT")).toInt(&ok[2]);
    int step = 1;
    if (env.contains(QStringLiteral("SLURM_ARRAY_TASK_STEP")))
        step = env.value(QStringLiteral("SLURM_ARRAY_TASK_STEP")).toInt(&ok[3]);
    const QString given = QStringLiteral("SLURM_ARRAY_TASK_ID=%1, SLURM_ARRAY_TASK_MIN=%2, SLURM_ARRAY_TASK_COUNT=%3")
                              .arg(env.value(QStringLiteral("SLURM_ARRAY_TASK_ID")),
                                   env.value(QStringLiteral("SLURM_ARRAY_TASK_MIN")),
                                   env.value(QStringLiteral("SLURM_ARRAY_TASK_COUNT")));
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || step < 1 || count < 1 || id < min || (id - min) % step != 0
        || (id - min) / step + 1 > count)
        return QStringLiteral("the Slurm array task's numbers make no part of the list (") + given
               + QStringLiteral("); an array of other indices needs --shard I/N");
    // An array of one task numbered above 1 is one task of a larger array submitted again (sbatch
    // --array=2): alone, it would take the whole list for its part.
    if (count == 1 && id > 1)
        return QStringLiteral("a Slurm array of one task numbered %1 (").arg(id) + given
               + QStringLiteral(") looks like one task of a larger array submitted again; say its part with "
                                "--shard I/N, such as --shard %1/N for N tasks numbered from 1").arg(id);
    shard = {(id - min) / step + 1, count};
    return QString();
}

// --name and --pages; the usage error, or empty.
QString ReadNamingAndPages(const QString& name, bool nameSet, const QString& pages, bool pagesSet, Options& o)
{
    QString why;
    if (nameSet) {
        o.names = NameTemplate::Parse(name, &why);
        if (!o.names)
            return QStringLiteral("--name '") + name + QStringLiteral("': ") + why + QLatin1Char('.');
        if (o.beside && o.names->hasDir())
            return QStringLiteral("--name: {dir} goes with --keep-tree.");
    }
    if (pagesSet) {
        o.pages = PageSelection::Parse(pages, &why);
        if (!o.pages)
            return why;
    }
    return QString();
}

// --plan makes the list and its names, --from converts from them: what would decide them again with
// --from, or what a plan does not use with --plan, is refused.
QString RefusedWithPlan(const QCommandLineParser& parser)
{
    if (parser.isSet(QStringLiteral("plan")) && parser.isSet(QStringLiteral("from")))
        return QStringLiteral("--plan and --from go apart: make the plan, then convert from it.");
    if (parser.isSet(QStringLiteral("from"))) {
        for (const char* name : {"out", "beside", "keep-tree", "name", "ext", "0"})
            if (parser.isSet(QLatin1String(name)))
                return QStringLiteral("--from takes the list, the destination and the names from the plan: give ")
                       + (name[1] ? QStringLiteral("--") : QStringLiteral("-")) + QLatin1String(name)
                       + QStringLiteral(" to --plan.");
        if (!parser.positionalArguments().isEmpty())
            return QStringLiteral("--from takes the list from the plan: name no PATH with it.");
        if (parser.value(QStringLiteral("from")).isEmpty())
            return QStringLiteral("--from needs a plan file.");
    }
    if (parser.isSet(QStringLiteral("plan"))) {
        for (const char* name : {"shard", "resume", "report", "dry-run", "pages", "no-georef", "strip", "keep-mtime",
                                 "manifest"})
            if (parser.isSet(QLatin1String(name)))
                return QStringLiteral("--plan converts nothing: give --") + QLatin1String(name)
                       + QStringLiteral(" to the runs --from the plan.");
        if (parser.value(QStringLiteral("plan")).isEmpty())
            return QStringLiteral("--plan needs a file.");
    }
    return QString();
}

} // namespace

bool ParseShard(const QString& text, Shard& shard)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    Shard read;
    if (parts.size() != 2 || !ParsePositive(parts[0], read.index) || !ParsePositive(parts[1], read.count)
        || read.index > read.count)
        return false;
    shard = read;
    return true;
}

QString AbsolutePath(const QString& path)
{
    if (QDir::isAbsolutePath(path))
        return Main::NormalizePath(path);
    return QDir::cleanPath(QDir::currentPath() + QLatin1Char('/') + path);
}

Parsed ParseArguments(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Converts single- and multi-page TIFF files into PNG files, one PNG per page, as the window's\n"
        "\"Start Converting\" does: page 1 of report.tif becomes report.png_1.png."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("out")},
                                 QStringLiteral("Save the PNG files into the folder DIR."), QStringLiteral("DIR"));
    const QCommandLineOption beside(QStringLiteral("beside"), QStringLiteral("Save each PNG beside its source file."));
    const QCommandLineOption keepTree(
        QStringLiteral("keep-tree"),
        QStringLiteral("With --out: put each file found in a folder argument at its path relative to that folder."));
    const QCommandLineOption ext(QStringLiteral("ext"),
                                 QStringLiteral("A folder gives its tree's files with extension EXT, a comma list "
                                                "such as tif,tiff (repeatable; * for every file; default tif,tiff)."),
                                 QStringLiteral("EXT"));
    const QCommandLineOption nul(QStringLiteral("0"),
                                 QStringLiteral("The paths read from standard input end in NUL, not a line end."));
    const QCommandLineOption report(QStringLiteral("report"),
                                    QStringLiteral("Write one JSON line per page (and per file that gave no page) "
                                                   "to FILE."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Print nothing but errors."));
    const QCommandLineOption jobs({QStringLiteral("j"), QStringLiteral("jobs")},
                                  QStringLiteral("Convert N pages at once (default: the cores this process may use)."),
                                  QStringLiteral("N"));
    const QCommandLineOption shard(QStringLiteral("shard"),
                                   QStringLiteral("Convert only the I-th of N parts of the list (by source file). "
                                                  "Default: a Slurm array task's own part."),
                                   QStringLiteral("I/N"));
    const QCommandLineOption resume(QStringLiteral("resume"),
                                    QStringLiteral("Skip each source that this earlier report shows converted, its "
                                                   "outputs still in place (repeatable)."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption dryRun({QStringLiteral("n"), QStringLiteral("dry-run")},
                                    QStringLiteral("List each source's pages and output names; write nothing."));
    const QCommandLineOption name(QStringLiteral("name"),
                                  QStringLiteral("Name the PNG files by TEMPLATE: {name} {ext} {dir} {page} {page:0N} "
                                                 "{pages} (default {name}.png_{page}.png)."),
                                  QStringLiteral("TEMPLATE"));
    const QCommandLineOption pages(QStringLiteral("pages"),
                                   QStringLiteral("Convert only these pages of each file: 1-3,7 (-1 the last page, "
                                                  "2- page 2 to the end)."),
                                   QStringLiteral("LIST"));
    const QCommandLineOption noGeoref(QStringLiteral("no-georef"),
                                      QStringLiteral("Write no world file and coordinate system beside the PNG of a "
                                                     "GeoTIFF page."));
    const QCommandLineOption strip(QStringLiteral("strip"),
                                   QStringLiteral("Write pixels, ICC profile and resolution only, not the pages' "
                                                  "text tags, EXIF, XMP and IPTC."));
    const QCommandLineOption keepMtime(QStringLiteral("keep-mtime"),
                                       QStringLiteral("Give each PNG its source file's modification time."));
    const QCommandLineOption manifest(QStringLiteral("manifest"),
                                      QStringLiteral("Write each PNG's sha256 and path to FILE, as a BagIt manifest "
                                                     "(paths relative to FILE's folder)."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption plan(QStringLiteral("plan"),
                                  QStringLiteral("Write the list with each source's output names to FILE, for "
                                                 "--from; convert nothing."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("Convert the list of the plan FILE (made by --plan), under its "
                                                 "names; with --shard, reading only the shard's own sources."),
                                  QStringLiteral("FILE"));
    for (const QCommandLineOption& option :
         {out, beside, keepTree, ext, nul, report, quiet, jobs, shard, resume, dryRun, name, pages, noGeoref, strip,
          keepMtime, manifest})
        parser.addOption(option);
    parser.addOption(plan);
    parser.addOption(from);
    parser.addPositionalArgument(QStringLiteral("PATH"),
                                 QStringLiteral("A TIFF file, or a folder (its files and its subfolders' files with "
                                                "the extension), or - to read more paths from standard input, one "
                                                "per line."),
                                 QStringLiteral("PATH..."));

    if (!parser.parse(arguments))
        return Refuse(parser.errorText());
    Parsed parsed;
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        parsed.action = Parsed::Answer;
        parsed.text = parser.helpText()
                      + QStringLiteral("\nExit status: 0 every page converted, 1 some did not, 2 usage error, 3 the run "
                                       "could not start, 130 stopped by a signal.\n");
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.action = Parsed::Answer;
        parsed.text = kProgram + QLatin1Char(' ') + QCoreApplication::applicationVersion() + QLatin1Char('\n');
        return parsed;
    }

    Options& o = parsed.options;
    if (const QString refused = RefusedWithPlan(parser); !refused.isEmpty())
        return Refuse(refused);
    if (parser.isSet(plan))
        o.plan = AbsolutePath(parser.value(plan));
    if (parser.isSet(from))
        o.from = AbsolutePath(parser.value(from));
    o.paths = parser.positionalArguments();
    o.paths.removeAll(QString());
    if (o.paths.isEmpty() && o.from.isEmpty())
        return Refuse(QStringLiteral("no input: name files, folders, or - for standard input."));
    if (o.from.isEmpty() && parser.isSet(out) == parser.isSet(beside))
        return Refuse(QStringLiteral("say where the PNG files go: exactly one of --out DIR and --beside."));
    if (parser.values(out).size() > 1)
        return Refuse(QStringLiteral("--out given more than once."));
    if (parser.isSet(out)) {
        if (parser.value(out).isEmpty())
            return Refuse(QStringLiteral("--out needs a folder."));
        o.out = AbsolutePath(parser.value(out));
        // The folder as the messages and the report show it, without a closing "/".
        while (o.out.size() > 1 && o.out.endsWith(QLatin1Char('/')))
            o.out.chop(1);
    }
    o.beside = parser.isSet(beside);
    o.keepTree = parser.isSet(keepTree);
    if (o.keepTree && o.beside)
        return Refuse(QStringLiteral("--keep-tree goes with --out: beside their sources, files keep their tree."));
    if (parser.isSet(ext)) {
        o.extensions.clear();
        for (const QString& list : parser.values(ext)) {
            for (const QString& one : list.split(QLatin1Char(','))) {
                if (one.isEmpty() || one == QLatin1String(".") || one.contains(QLatin1Char('/')))
                    return Refuse(QStringLiteral("--ext needs an extension such as tif, a comma list such as tif,tiff, "
                                                 "or * for every file."));
                if (!o.extensions.contains(one))
                    o.extensions << one;
            }
        }
    }
    o.nulSeparated = parser.isSet(nul);
    if (parser.isSet(report)) {
        if (parser.value(report).isEmpty())
            return Refuse(QStringLiteral("--report needs a file."));
        o.report = AbsolutePath(parser.value(report));
    }
    o.quiet = parser.isSet(quiet);
    if (parser.isSet(jobs) && !ParsePositive(parser.value(jobs), o.jobs))
        return Refuse(QStringLiteral("--jobs needs a number of 1 or more, not '") + parser.value(jobs)
                      + QStringLiteral("'."));
    if (parser.isSet(shard)) {
        if (!ParseShard(parser.value(shard), o.shard))
            return Refuse(QStringLiteral("--shard needs I/N with 1 <= I <= N, such as 2/8, not '")
                          + parser.value(shard) + QStringLiteral("'."));
        o.shardFrom = QStringLiteral("--shard");
    } else {
        bool arrayTask = false;
        const QString refused = ShardOfArrayTask(environment, o.shard, arrayTask);
        if (!refused.isEmpty())
            return Refuse(refused);
        if (arrayTask)
            o.shardFrom = QStringLiteral("the Slurm array task");
    }
    for (const QString& file : parser.values(resume)) {
        if (file.isEmpty())
            return Refuse(QStringLiteral("--resume needs a report file."));
        o.resume << AbsolutePath(file);
    }
    o.dryRun = parser.isSet(dryRun);
    if (const QString refused = ReadNamingAndPages(parser.value(name), parser.isSet(name), parser.value(pages),
                                                   parser.isSet(pages), o);
        !refused.isEmpty())
        return Refuse(refused);
    o.georeference = !parser.isSet(noGeoref);
    o.strip = parser.isSet(strip);
    o.keepMtime = parser.isSet(keepMtime);
    if (parser.isSet(manifest)) {
        if (parser.value(manifest).isEmpty())
            return Refuse(QStringLiteral("--manifest needs a file."));
        o.manifest = AbsolutePath(parser.value(manifest));
    }
    return parsed;
}

} // namespace Tovanel::Batch
