// The conversion run without a window: a fake host lists the files and records what the run shows.
#include "convert/conversion_run.h"
#include "convert_tiff_maker.h"
#include "fake_dialogs.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Tovanel;
using TestTiff::Page;
using TestFiles::Entries;

namespace {

class FakeHost : public RunHost {
public:
    int listCount() const override { return list.size(); }
    QString listText(int position) const override { return list.value(position - 1); }
    Destination destination() const override { return where; }
    QString destinationFolder() const override { return folder; }
    void setProgressValue(double value) override { progress.append(value); }
    void setProgressText(const QString& text) override { captions.append(text); }
    void setMousePointer(int value) override { pointers.append(value); }
    Dialogs& dialogs() override { return fake; }
    QObject* dialogOwner() override { return nullptr; }
    void processEvents() override
    {
        ++pumps;
        if (onPump)
            onPump();
    }

    QStringList list;
    Destination where = Destination::Folder;
    QString folder;
    QList<double> progress;
    QStringList captions;
    QList<int> pointers;
    int pumps = 0;
    std::function<void()> onPump;
    FakeDialogs fake;
};

// Each test: its own run folder (through TEMP), source and output folders.
class ConvertRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(work.isValid());
        temp = work.path() + QStringLiteral("/temp");
        src = work.path() + QStringLiteral("/src");
        out = work.path() + QStringLiteral("/out");
        for (const QString& d : {temp, src, out})
            ASSERT_TRUE(QDir().mkpath(d));
        previousTemp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(temp));
        host.folder = out;
    }
    void TearDown() override { qputenv("TEMP", previousTemp); }

    QString addTiff(const QString& name, const QList<Page>& pages)
    {
        const QString path = src + QLatin1Char('/') + name;
        EXPECT_TRUE(TestTiff::Write(path, pages)) << path.toStdString();
        host.list.append(path);
        return path;
    }
    QStringList messageTexts() const
    {
        QStringList texts;
        for (const Shown& s : host.fake.messages())
            texts.append(s.text);
        return texts;
    }

    QTemporaryDir work;
    QString temp, src, out;
    QByteArray previousTemp;
    FakeHost host;
};

QList<Page> pagesOf(int count, int seed) { return TestTiff::PagesOf(count, seed, {16, 10}, {1, 2}); }

// A refused run says why, ends at once and puts no tool in the run folder.
struct Refusal {
    const char* name;
    bool listed;
    Destination where;
    bool folderExists;
    const char* message;
};

class RunRefusalTest : public ConvertRunTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RunRefusalTest, SaysWhyAndLeavesNothing)
{
    const Refusal& r = GetParam();
    if (r.listed)
        addTiff(QStringLiteral("scan.tif"), pagesOf(1, 3));
    if (!r.folderExists)
        host.folder = work.path() + QStringLiteral("/missing");
    ConversionRun run(host);
    EXPECT_FALSE(run.Start());
    EXPECT_EQ(messageTexts(), QStringList{QString::fromUtf8(r.message)});
    EXPECT_FALSE(run.isConverting());
    EXPECT_TRUE(host.pointers.isEmpty());
    EXPECT_TRUE(host.progress.isEmpty());
    EXPECT_EQ(Entries(temp), QStringList());
    EXPECT_EQ(Entries(out), QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RunRefusalTest,
    ::testing::Values(Refusal{"NothingListed", false, Destination::Folder, true, "No files added."},
                      Refusal{"NothingListedFolderMissing", false, Destination::Folder, false, "No files added."},
                      Refusal{"FolderMissing", true, Destination::Folder, false,
                              "Folder does not exist. Please select another folder."},
                      Refusal{"NoOptionFolderMissing", true, Destination::None, false,
                              "Folder does not exist. Please select another folder."}),
    [](const auto& info) { return std::string(info.param.name); });

// A whole run: the numbered PNGs where the destination says, what the host was shown, a clean run folder.
struct WholeRun {
    const char* name;
    Destination where;
    int pages;
};

class WholeRunTest : public ConvertRunTest, public ::testing::WithParamInterface<WholeRun> {};

TEST_P(WholeRunTest, WritesEveryPageAndShowsTheRun)
{
    const WholeRun& r = GetParam();
    const QList<Page> pages = pagesOf(r.pages, 5);
    addTiff(QStringLiteral("scan.tif"), pages);
    host.where = r.where;
    ConversionRun run(host);
    bool convertingMidRun = false;
    int reentries = 0;
    host.onPump = [&] {
        convertingMidRun = run.isConverting();
        // A second start while the run goes (a second click) does nothing.
        reentries += run.Start() ? 1 : 0;
    };
    EXPECT_TRUE(run.Start());

    EXPECT_EQ(messageTexts(), QStringList{QStringLiteral("Done.")});
    EXPECT_TRUE(convertingMidRun);
    EXPECT_EQ(reentries, 0);
    EXPECT_FALSE(run.isConverting());
    EXPECT_EQ(run.runningToolGroup(), 0);
    EXPECT_EQ(host.progress, (QList<double>{100.0, 0.0}));
    EXPECT_EQ(host.captions, (QStringList{QStringLiteral("Processing: scan.tif"), QStringLiteral("Progress Bar")}));
    EXPECT_EQ(host.pointers, (QList<int>{PointerHourglass, PointerHourglass, PointerDefault}));
    EXPECT_EQ(host.pumps, 1);
    const QString folder = r.where == Destination::BesideSource ? src : out;
    EXPECT_EQ(TestTiff::OutputsDiffer(folder, QStringLiteral("scan"), pages).toStdString(), "");
    EXPECT_EQ(Entries(folder).size(), r.pages + (folder == src ? 1 : 0));
    EXPECT_EQ(Entries(temp), QStringList());
}

INSTANTIATE_TEST_SUITE_P(Rows, WholeRunTest,
                         ::testing::Values(WholeRun{"OnePageInFolder", Destination::Folder, 1},
                                           WholeRun{"ThreePagesInFolder", Destination::Folder, 3},
                                           WholeRun{"TwoPagesBesideSource", Destination::BesideSource, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// Several files: progress per file, numbering from 1 for each, and a listed file that is gone passed
// over without output while the files after it still convert.
TEST_F(ConvertRunTest, EachFileNumbersItsOwnPagesAndAGoneFileIsPassedOver)
{
    const QList<Page> first = pagesOf(2, 7);
    const QList<Page> last = pagesOf(3, 11);
    addTiff(QStringLiteral("first.tif"), first);
    host.list.append(src + QStringLiteral("/gone.tif"));
    addTiff(QStringLiteral("last.tiff"), last);
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());

    EXPECT_EQ(messageTexts(), QStringList{QStringLiteral("Done.\n1 of 3 files were not converted completely.")});
    EXPECT_EQ(host.fake.messages().last().details,
              src
                  + QStringLiteral("/gone.tif: not converted: the file was gone or could not be read when its turn "
                                   "came (No such file or directory)"));
    ASSERT_EQ(host.progress.size(), 4);
    EXPECT_DOUBLE_EQ(host.progress[0], 100.0 / 3);
    EXPECT_DOUBLE_EQ(host.progress[1], 200.0 / 3);
    EXPECT_DOUBLE_EQ(host.progress[2], 100.0);
    EXPECT_EQ(host.progress[3], 0.0);
    EXPECT_EQ(host.captions.mid(0, 3), (QStringList{QStringLiteral("Processing: first.tif"),
                                                    QStringLiteral("Processing: gone.tif"),
                                                    QStringLiteral("Processing: last.tiff")}));
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("first"), first).toStdString(), "");
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("last"), last).toStdString(), "");
    EXPECT_EQ(Entries(out).size(), 5);
    EXPECT_EQ(Entries(temp), QStringList());
}

// A file of 1,000 pages whose pages after the first split but do not convert: one converter call per
// page (the whole copy, which gives page 1, stands in for no other page), page 1 as the only output,
// and one entry naming the other pages and why.
TEST_F(ConvertRunTest, AThousandRefusedPagesAreNamedTogether)
{
    QList<Page> pages{Page{6, 4, 1, false}};
    for (int i = 1; i < 1000; ++i)
        pages.append(Page{4, 2, i, true, true});
    const QString source = addTiff(QStringLiteral("refused.tif"), pages);
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    EXPECT_EQ(messageTexts(), QStringList{QStringLiteral("Done.\n1 of 1 file was not converted completely.")});
    EXPECT_EQ(host.fake.messages().last().details,
              source
                  + QStringLiteral(": 1 of 1000 pages written (1); pages 2 to 1000: a kind of image that cannot "
                                   "be converted (complex samples are not supported)"));
    EXPECT_EQ(Entries(out), QStringList{QStringLiteral("refused.png_1.png")});
    EXPECT_EQ(Entries(temp), QStringList());
}

// Stopped as the second file's turn comes: the first file's outputs stay, the second and third files
// are named as not converted, an entry the host leaves out is neither converted nor named,
// and nothing of the run is left in the temporary folder.
TEST_F(ConvertRunTest, AStopKeepsWhatIsWrittenAndNamesTheRest)
{
    struct LeavingOut : FakeHost {
        bool convertsEntry(int position) const override { return position != 4; }
        void fileFinished(int position, const FileOutcome& outcome) override { finished << position << outcome.written.size(); }
        QList<qsizetype> finished;
    };
    LeavingOut shard;
    shard.folder = out;
    const QList<Page> first = pagesOf(2, 3);
    for (const char* name : {"first.tif", "second.tif", "third.tif", "left-out.tif"}) {
        const QString path = src + QLatin1Char('/') + QString::fromLatin1(name);
        ASSERT_TRUE(TestTiff::Write(path, name == std::string("first.tif") ? first : pagesOf(3, 5)));
        shard.list.append(path);
    }
    ConversionRun run(shard);
    shard.onPump = [&] {
        if (shard.captions.size() == 2)
            run.Stop();
    };
    EXPECT_TRUE(run.Start());
    EXPECT_EQ(shard.fake.messages().last().text, QStringLiteral("Stopped.\n2 of 3 files were not converted completely."));
    EXPECT_EQ(shard.fake.messages().last().details,
              src + QStringLiteral("/second.tif: not converted: the run was stopped before its turn\n") + src
                  + QStringLiteral("/third.tif: not converted: the run was stopped before its turn"));
    EXPECT_EQ(shard.finished, (QList<qsizetype>{1, 2, 2, 0, 3, 0}));
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("first"), first).toStdString(), "");
    EXPECT_EQ(Entries(out).size(), 2);
    EXPECT_EQ(Entries(temp), QStringList());
    EXPECT_FALSE(run.isConverting());
}

// An entry left out of the run still takes its name, so a part of a list names its outputs as a run
// over the whole list does, and the plan of the names agrees; an entry's subfolder of the destination
// is made when its first output comes.
TEST_F(ConvertRunTest, ALeftOutEntryKeepsItsNameAndSubfoldersAreMadeForOutputs)
{
    struct Part : FakeHost {
        bool convertsEntry(int position) const override { return position != 1; }
        QString outputSubfolder(int position) const override { return position == 3 ? QStringLiteral("x/y") : QString(); }
    };
    Part part;
    part.folder = out;
    const QList<Page> pages = pagesOf(2, 9);
    for (const char* name : {"a.tif", "sub/a.tiff", "c.tif"}) {
        const QString path = src + QLatin1Char('/') + QString::fromLatin1(name);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
        ASSERT_TRUE(TestTiff::Write(path, pages));
        part.list.append(path);
    }
    ConversionRun run(part);
    EXPECT_TRUE(run.Start());
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("a (2)"), pages).toStdString(), "");
    EXPECT_EQ(TestTiff::OutputsDiffer(out + QStringLiteral("/x/y"), QStringLiteral("c"), pages).toStdString(), "");
    EXPECT_EQ(Entries(out), (QStringList{QStringLiteral("a (2).png_1.png"), QStringLiteral("a (2).png_2.png"),
                                         QStringLiteral("x")}));
    QStringList planned;
    for (const PlannedBase& name : PlanOutputBases(part))
        planned << name.own + QStringLiteral(" -> ") + name.base;
    EXPECT_EQ(planned, (QStringList{out + QStringLiteral("/a.png -> ") + out + QStringLiteral("/a.png"),
                                    out + QStringLiteral("/a.png -> ") + out + QStringLiteral("/a (2).png"),
                                    out + QStringLiteral("/x/y/c.png -> ") + out + QStringLiteral("/x/y/c.png")}));
}

// The page a page file's name stands for: three letters counting from "aaa" = 1.
TEST(PageNumberOf, CountsTheSuffixLetters)
{
    const std::pair<const char*, int> rows[] = {
        {"varnholtaaa.tif", 1},     {"varnholtaab.tif", 2}, {"varnholtaaz.tif", 26}, {"varnholtaba.tif", 27},
        {"varnholtzzz.tif", 17576}, {"varnholt.tif", 0},    {"varnholtaaa.png", 0},  {"~varnholtaaa.tif", 0},
        {"varnholtAAA.tif", 0},     {"varnholtaaaa.tif", 0}};
    for (const auto& [name, page] : rows)
        EXPECT_EQ(PageNumberOf(QString::fromLatin1(name)), page) << name;
}

// A tool's stderr line read back: its meaning found by the tools' own words even where the input's
// name or the detail holds such words too, the detail after it; nothing for a tool that said nothing.
TEST(ReadToolMessage, FindsTheMeaningAndTheDetail)
{
    struct Row {
        const char* line;
        const char* meaning;
        const char* detail;
    };
    const Row rows[] = {
        {"tovanel-split: /r/a.tif: damaged or truncated TIFF file: 2 of 3 pages written; page 2 skipped: x\n",
         "damaged or truncated TIFF file", "2 of 3 pages written; page 2 skipped: x"},
        {"tovanel-topng: /r/a: b.tif: not a TIFF file: no signature", "not a TIFF file", "no signature"},
        {"tovanel-topng: /r/x.tif: unsupported TIFF image format: not image too large", "unsupported TIFF image format",
         "not image too large"},
        {"tovanel-split: /r/x.tif: too many pages\nsecond line: not a TIFF file", "too many pages", ""},
        {"Segmentation fault", "unknown error", "Segmentation fault"},
        {"", "", ""},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/tool.err");
    for (const Row& row : rows) {
        ASSERT_TRUE(TestFiles::WriteFile(path, row.line));
        const ToolMessage said = ReadToolMessage(path);
        EXPECT_EQ(said.meaning, QString::fromUtf8(row.meaning)) << row.line;
        EXPECT_EQ(said.detail, QString::fromUtf8(row.detail)) << row.line;
    }
    EXPECT_FALSE(ReadToolMessage(dir.path() + QStringLiteral("/never-written.err")).said());
}

// The numbers in the error reports, in order, as "at line N" gives them.
QList<int> reportedStatements(const FakeDialogs& dialogs)
{
    static const QRegularExpression at(QStringLiteral("at line (\\d+)"));
    QList<int> lines;
    for (const Shown& s : dialogs.errorReports())
        lines.append(at.match(s.text).captured(1).toInt());
    return lines;
}

// A temporary folder that is a plain file: no run folder can be made in it, so each tool write is
// reported, then each file once where it asks for the folder; the run still ends with "Done.", says the
// file was not converted, and no longer counts as converting.
TEST_F(ConvertRunTest, AnUnusableRunFolderIsReportedStatementByStatement)
{
    addTiff(QStringLiteral("scan.tif"), pagesOf(1, 2));
    const QString file = work.path() + QStringLiteral("/plain-file");
    ASSERT_TRUE(TestFiles::WriteFile(file, {}));
    qputenv("TEMP", QFile::encodeName(file));
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    EXPECT_EQ(reportedStatements(host.fake), (QList<int>{112, 116, 142}));
    EXPECT_EQ(host.fake.messages().last().text, QStringLiteral("Done.\n1 of 1 file was not converted completely."));
    EXPECT_FALSE(run.isConverting());
    EXPECT_EQ(Entries(out), QStringList());
}

} // namespace
