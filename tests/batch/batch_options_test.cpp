// The batch command's options and parts of the list, read in the process: every option, every refusal.
#include "batch/batch_host.h"
#include "batch/batch_options.h"
#include "batch/progress.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace Tovanel::Batch;

using namespace Qt::StringLiterals;

namespace {

struct OptionRow {
    const char* name;
    QStringList args;   // after the program's name
    QStringList env;    // NAME=VALUE
    Parsed::Action action;
    // What the options hold, as "field=value" pairs that differ from the defaults; for a refusal, a
    // piece of its text.
    QString expected;
};

// The options that differ from the defaults, as one line a row can spell out.
QString Describe(const Options& o)
{
    QStringList parts;
    const Options none;
    parts << u"paths="_s + o.paths.join(u'|');
    if (!o.out.isEmpty())
        parts << u"out="_s + o.out;
    if (o.beside)
        parts << u"beside"_s;
    if (o.keepTree)
        parts << u"keep-tree"_s;
    if (o.extensions != none.extensions)
        parts << u"ext="_s + o.extensions.join(u',');
    if (o.nulSeparated)
        parts << u"nul"_s;
    if (!o.report.isEmpty())
        parts << u"report="_s + o.report;
    if (o.quiet)
        parts << u"quiet"_s;
    if (o.jobs != 0)
        parts << u"jobs=%1"_s.arg(o.jobs);
    if (!(o.shard == none.shard))
        parts << u"shard=%1/%2 from %3"_s.arg(o.shard.index).arg(o.shard.count).arg(o.shardFrom);
    if (!o.resume.isEmpty())
        parts << u"resume="_s + o.resume.join(u'|');
    if (o.dryRun)
        parts << u"dry-run"_s;
    if (!o.plan.isEmpty() || !o.from.isEmpty())
        parts << u"plan=%1 from=%2"_s.arg(o.plan, o.from);
    return parts.join(u' ');
}

class OptionsTest : public ::testing::TestWithParam<OptionRow> {};

TEST_P(OptionsTest, ReadAsWrittenOrRefusedWithTheReason)
{
    const OptionRow& row = GetParam();
    QProcessEnvironment env;
    for (const QString& pair : row.env)
        env.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    const QString cwd = QDir::currentPath();
    const Parsed parsed = ParseArguments(QStringList{u"tovanel-batch"_s} + row.args, env);
    ASSERT_EQ(parsed.action, row.action) << parsed.text.toStdString();
    QString expected = row.expected;
    expected.replace(u"$CWD"_s, cwd);
    if (row.action == Parsed::Run)
        EXPECT_EQ(Describe(parsed.options).toStdString(), expected.toStdString());
    else
        EXPECT_TRUE(parsed.text.contains(expected)) << parsed.text.toStdString();
}

const QString kTry = u"Try 'tovanel-batch --help'"_s;

INSTANTIATE_TEST_SUITE_P(
    Rows, OptionsTest,
    ::testing::Values(
        OptionRow{"OutAndFiles", {"--out", "/o", "a.tif", "/b.tif"}, {}, Parsed::Run, "paths=a.tif|/b.tif out=/o"},
        OptionRow{"RelativeOutCleaned", {"-o", "x/../y//z", "a"}, {}, Parsed::Run, "paths=a out=$CWD/y/z"},
        OptionRow{"AbsoluteOutDoubledSlashes", {"--out=/o//p/", "a"}, {}, Parsed::Run, "paths=a out=/o/p"},
        OptionRow{"BesideKeepsNoFolder", {"--beside", "a"}, {}, Parsed::Run, "paths=a beside"},
        OptionRow{"EveryOtherOption",
                  {"--out", "/o", "--keep-tree", "--ext", ".TIFF", "-0", "--report", "r.jsonl", "-q", "-j", "3",
                   "--shard", "2/5", "--resume", "/r1", "--resume=r2", "-n", "-", "--", "-dash.tif"},
                  {},
                  Parsed::Run,
                  "paths=-|-dash.tif out=/o keep-tree ext=.TIFF nul report=$CWD/r.jsonl quiet jobs=3 shard=2/5 from "
                  "--shard resume=/r1|$CWD/r2 dry-run"},
        OptionRow{"SlurmArrayTask",
                  {"--out", "/o", "a"},
                  {"SLURM_ARRAY_TASK_ID=7", "SLURM_ARRAY_TASK_MIN=5", "SLURM_ARRAY_TASK_COUNT=3"},
                  Parsed::Run,
                  "paths=a out=/o shard=3/3 from the Slurm array task"},
        OptionRow{"SlurmArrayWithSteps",
                  {"--out", "/o", "a"},
                  {"SLURM_ARRAY_TASK_ID=4", "SLURM_ARRAY_TASK_MIN=0", "SLURM_ARRAY_TASK_COUNT=4",
                   "SLURM_ARRAY_TASK_STEP=2"},
                  Parsed::Run,
                  "paths=a out=/o shard=3/4 from the Slurm array task"},
        OptionRow{"ShardOverridesSlurm",
                  {"--out", "/o", "--shard", "1/2", "a"},
                  {"SLURM_ARRAY_TASK_ID=2", "SLURM_ARRAY_TASK_MIN=1", "SLURM_ARRAY_TASK_COUNT=2"},
                  Parsed::Run,
                  "paths=a out=/o shard=1/2 from --shard"},
        OptionRow{"ExtRepeatedCommaLists", {"--out", "/o", "--ext", "tif,TIFF", "--ext", ".gtiff,tif", "a"}, {},
                  Parsed::Run, "paths=a out=/o ext=tif,TIFF,.gtiff"},
        OptionRow{"PlanOfAList", {"--plan", "p", "--out", "/o", "a"}, {}, Parsed::Run, "paths=a out=/o plan=$CWD/p from="},
        OptionRow{"FromAPlanAShard", {"--from", "p", "--shard", "2/4", "--pages", "1"}, {}, Parsed::Run,
                  "paths= shard=2/4 from --shard plan= from=$CWD/p"},
        OptionRow{"FromRenamesNothing", {"--from", "p", "--name", "{name}_{page}.png"}, {}, Parsed::Refuse,
                  "give --name to --plan"},
        OptionRow{"FromWithAList", {"--from", "p", "a"}, {}, Parsed::Refuse, "name no PATH"},
        OptionRow{"PlanConvertsNothing", {"--plan", "p", "--out", "/o", "--report", "r", "a"}, {}, Parsed::Refuse,
                  "give --report to the runs --from the plan"},
        OptionRow{"PlanAndFrom", {"--plan", "p", "--from", "q"}, {}, Parsed::Refuse, "go apart"},
        OptionRow{"Help", {"--help"}, {}, Parsed::Answer, "Exit status: 0 every page converted"},
        OptionRow{"Version", {"--version"}, {}, Parsed::Answer, "tovanel-batch "},
        OptionRow{"UnknownOption", {"--out", "/o", "--frobnicate", "a"}, {}, Parsed::Refuse, "Unknown option 'frobnicate'"},
        OptionRow{"NoInput", {"--out", "/o"}, {}, Parsed::Refuse, "no input"},
        OptionRow{"NoDestination", {"a"}, {}, Parsed::Refuse, "exactly one of --out DIR and --beside"},
        OptionRow{"BothDestinations", {"--out", "/o", "--beside", "a"}, {}, Parsed::Refuse, "exactly one of"},
        OptionRow{"OutTwice", {"--out", "/o", "--out", "/p", "a"}, {}, Parsed::Refuse, "--out given more than once"},
        OptionRow{"KeepTreeBeside", {"--beside", "--keep-tree", "a"}, {}, Parsed::Refuse, "--keep-tree goes with --out"},
        OptionRow{"EmptyExtension", {"--out", "/o", "--ext", "", "a"}, {}, Parsed::Refuse, "--ext needs"},
        OptionRow{"EmptyExtensionInAList", {"--out", "/o", "--ext", "tif,,tiff", "a"}, {}, Parsed::Refuse,
                  "--ext needs"},
        OptionRow{"JobsZero", {"--out", "/o", "--jobs", "0", "a"}, {}, Parsed::Refuse, "--jobs needs a number"},
        OptionRow{"JobsWord", {"--out", "/o", "-j", "many", "a"}, {}, Parsed::Refuse, "not 'many'"},
        OptionRow{"ShardPastCount", {"--out", "/o", "--shard", "4/3", "a"}, {}, Parsed::Refuse, "not '4/3'"},
        OptionRow{"ShardZero", {"--out", "/o", "--shard", "0/3", "a"}, {}, Parsed::Refuse, "--shard needs I/N"},
        OptionRow{"ShardNoSlash", {"--out", "/o", "--shard", "2", "a"}, {}, Parsed::Refuse, "--shard needs I/N"},
        OptionRow{"SlurmListArray",
                  {"--out", "/o", "a"},
                  {"SLURM_ARRAY_TASK_ID=9", "SLURM_ARRAY_TASK_MIN=1", "SLURM_ARRAY_TASK_COUNT=3"},
                  Parsed::Refuse,
                  "needs --shard I/N"},
        OptionRow{"SlurmOneTaskSubmittedAgain",
                  {"--out", "/o", "a"},
                  {"SLURM_ARRAY_TASK_ID=2", "SLURM_ARRAY_TASK_MIN=2", "SLURM_ARRAY_TASK_COUNT=1"},
                  Parsed::Refuse,
                  "--shard 2/N"},
        OptionRow{"NameWithoutPage", {"--out", "/o", "--name", "{name}.png", "a"}, {}, Parsed::Refuse, "no page field"},
        OptionRow{"NameRunsIntoPage", {"--out", "/o", "--name", "{name}{page}.png", "a"}, {}, Parsed::Refuse,
                  "a page field needs a letter or sign"},
        OptionRow{"NameAfterPage", {"--out", "/o", "--name", "{page}-{name}.png", "a"}, {}, Parsed::Refuse,
                  "only text and {pages} may follow"},
        OptionRow{"NameUnknownField", {"--out", "/o", "--name", "{size}_{page}.png", "a"}, {}, Parsed::Refuse,
                  "unknown field {size}"},
        OptionRow{"NameLeavesDestination", {"--out", "/o", "--name", "../{name}_{page}.png", "a"}, {}, Parsed::Refuse,
                  "stay inside the destination"},
        OptionRow{"NameNotPng", {"--out", "/o", "--name", "{name}_{page}.tif", "a"}, {}, Parsed::Refuse, "end in .png"},
        OptionRow{"NameDirBeside", {"--beside", "--name", "{dir}/{name}_{page}.png", "a"}, {}, Parsed::Refuse,
                  "{dir} goes with --keep-tree"},
        OptionRow{"PagesWord", {"--out", "/o", "--pages", "first", "a"}, {}, Parsed::Refuse, "not 'first'"},
        OptionRow{"PagesBackwards", {"--out", "/o", "--pages", "1,3-2", "a"}, {}, Parsed::Refuse, "--pages needs"},
        OptionRow{"SlurmIncomplete", {"--out", "/o", "a"}, {"SLURM_ARRAY_TASK_ID=1"}, Parsed::Refuse,
                  "make no part of the list"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every refusal ends with the hint to the help.
TEST(OptionsRefusal, PointsToTheHelp)
{
    const Parsed parsed = ParseArguments({u"tovanel-batch"_s}, QProcessEnvironment());
    EXPECT_TRUE(parsed.text.endsWith(kTry + u" for more information.\n"_s)) << parsed.text.toStdString();
}

// Every entry lies in exactly one part, parts are runs of consecutive entries, and their sizes differ
// by one at most, for lists shorter than, as long as and longer than the number of parts.
TEST(Shards, CutTheListIntoEvenRunsEachEntryInOne)
{
    for (const int count : {0, 1, 2, 3, 7, 10, 100})
        for (const int parts : {1, 2, 3, 8}) {
            QList<int> size(parts, 0);
            int lastPart = 1;
            for (int position = 1; position <= count; ++position) {
                int in = 0;
                for (int index = 1; index <= parts; ++index)
                    if (InShard(position, count, {index, parts})) {
                        ++in;
                        ++size[index - 1];
                        EXPECT_GE(index, lastPart) << "parts run in list order";
                        lastPart = index;
                    }
                EXPECT_EQ(in, 1) << count << " entries, " << parts << " parts, entry " << position;
            }
            EXPECT_LE(*std::max_element(size.begin(), size.end()) - *std::min_element(size.begin(), size.end()), 1);
        }
}

// The progress line: counts, rate and time left, and what it shows before it knows them.
TEST(ProgressLine, ShowsCountsRateAndTimeLeft)
{
    struct Row {
        int filesDone, files;
        qint64 pagesDone, pages, elapsedMs;
        const char* line;
    };
    for (const Row& row : {Row{0, 10, 0, 40, 0, "0/10 files, 0/40 pages"},
                           Row{3, 10, 12, 40, 4000, "3/10 files, 12/40 pages, 3.0 pages/s, 0:10 left"},
                           Row{3, 10, 12, -1, 4000, "3/10 files, 12 pages, 3.0 pages/s"},
                           Row{9, 10, 3600, 3700, 100000, "9/10 files, 3600/3700 pages, 36 pages/s, 0:03 left"},
                           Row{1, 2, 1, 7201, 1000, "1/2 files, 1/7201 pages, 1.0 pages/s, 2:00:00 left"}})
        EXPECT_EQ(Progress::Line(row.filesDone, row.files, row.pagesDone, row.pages, row.elapsedMs).toStdString(),
                  row.line);
}

} // namespace
