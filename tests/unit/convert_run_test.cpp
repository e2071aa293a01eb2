// The conversion run without a window: a fake host lists the files and records what the run shows.
#include "convert/conversion_run.h"
#include "convert_tiff_maker.h"
#include "fake_dialogs.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
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
    int jobs() const override { return slotCount; }
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
    int slotCount = 0;
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
    host.where = r.where;
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
                              "Folder does not exist. Please select another folder."},
                      Refusal{"NoOption", true, Destination::None, true,
                              "Choose where the results go: \"Save results to this folder:\" or \"Save results in "
                              "folder of original file\"."}),
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

// A file of 1,000 pages whose pages after the first split but do not convert (a kind the converter
// refuses, or damaged): one converter call per page (the whole copy, which gives page 1, stands in for
// no other page), page 1 as the only output, and one entry naming the other pages by number and why,
// never a working file's name.
TEST_F(ConvertRunTest, AThousandFailingPagesAreNamedTogether)
{
    const std::pair<bool, const char*> rows[] = {
        {false, "a kind of image that cannot be converted (complex samples are not supported)"},
        {true, "damaged (strip 0 lies past the end of the file)"}};
    for (const auto& [damaged, why] : rows) {
        QList<Page> pages{Page{6, 4, 1, false}};
        for (int i = 1; i < 1000; ++i)
            pages.append(Page{4, 2, i, true, !damaged, damaged});
        host.list.clear();
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        const QString source = addTiff(QStringLiteral("failing.tif"), pages);
        ConversionRun run(host);
        EXPECT_TRUE(run.Start());
        EXPECT_EQ(messageTexts().last(), QStringLiteral("Done.\n1 of 1 file was not converted completely."));
        EXPECT_EQ(host.fake.messages().last().details.left(2000).toStdString(),
                  (source + QStringLiteral(": 1 of 1000 pages written (1); pages 2 to 1000: ") + QString::fromUtf8(why))
                      .toStdString());
        EXPECT_EQ(Entries(out), QStringList{QStringLiteral("failing.png_1.png")});
        EXPECT_EQ(Entries(temp), QStringList());
    }
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
    shard.slotCount = 1;   // the second file begins once the first has ended
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

// Pages side by side give the run of one call at a time: over the whole corpus (damaged files, files of
// one base, failing pages), one slot and four give the same names, bytes, closing box and captions.
TEST_F(ConvertRunTest, FourSlotsGiveTheRunOfOne)
{
    QStringList corpus;
    for (QDirIterator it(QStringLiteral(TOVANEL_CORPUS_DIR), {QStringLiteral("*.tif*")}, QDir::Files,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        corpus << it.next();
    corpus.sort();
    ASSERT_GT(corpus.size(), 100);
    QList<FakeHost> hosts(2);
    const int slotCounts[] = {1, 4};
    for (int h = 0; h < 2; ++h) {
        hosts[h].list = corpus;
        hosts[h].slotCount = slotCounts[h];
        hosts[h].folder = out + QLatin1Char('/') + QString::number(slotCounts[h]);
        ASSERT_TRUE(QDir().mkpath(hosts[h].folder));
        ConversionRun run(hosts[h]);
        EXPECT_TRUE(run.Start());
        EXPECT_EQ(Entries(temp), QStringList());
    }
    const QStringList one = Entries(hosts[0].folder), four = Entries(hosts[1].folder);
    EXPECT_GT(one.size(), corpus.size());
    EXPECT_EQ(one, four);
    for (const QString& name : one)
        EXPECT_EQ(TestFiles::ReadFile(hosts[0].folder + QLatin1Char('/') + name),
                  TestFiles::ReadFile(hosts[1].folder + QLatin1Char('/') + name))
            << name.toStdString();
    const Shown &boxOne = hosts[0].fake.messages().last(), &boxFour = hosts[1].fake.messages().last();
    EXPECT_EQ(boxOne.text.toStdString(), boxFour.text.toStdString());
    EXPECT_EQ(boxOne.details.toStdString(), QString(boxFour.details).replace(hosts[1].folder, hosts[0].folder).toStdString());
    EXPECT_EQ(hosts[0].captions, hosts[1].captions);
    EXPECT_EQ(hosts[0].progress, hosts[1].progress);
}

// 500 small pages over four slots: none lost, each under its own number, captions in list order.
TEST_F(ConvertRunTest, FiveHundredSmallPagesOnFourSlotsLoseNone)
{
    host.slotCount = 4;
    QStringList captions;
    for (int f = 0; f < 100; ++f) {
        const QString name = QStringLiteral("small-%1.tif").arg(f, 3, 10, QLatin1Char('0'));
        addTiff(name, TestTiff::PagesOf(5, f, {6, 5}, {1, 1}));
        captions << QStringLiteral("Processing: ") + name;
    }
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    EXPECT_EQ(messageTexts(), QStringList{QStringLiteral("Done.")});
    EXPECT_EQ(host.captions, captions + QStringList{QStringLiteral("Progress Bar")});
    EXPECT_EQ(Entries(out).size(), 500);
    for (int f = 0; f < 100; f += 33)
        EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("small-%1").arg(f, 3, 10, QLatin1Char('0')),
                                          TestTiff::PagesOf(5, f, {6, 5}, {1, 1}))
                      .toStdString(),
                  "");
    EXPECT_EQ(Entries(temp), QStringList());
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

// What a tool said, read back as data: the exit status its script recorded, and the detail after the
// tool's own words for that status. The box's reason comes from the number, so a reworded message, a
// detail quoting another status's words, or a line of another shape cannot change it.
TEST(ReadToolMessage, TheReasonComesFromTheStatus)
{
    struct Row {
        const char* status;   // nullptr: the script recorded none (the tool was stopped)
        const char* line;
        const char* reason;
    };
    const Row rows[] = {
        {"5", "tovanel-split: /r/a.tif: damaged or truncated TIFF file: 2 of 3 pages written\n",
         "damaged (2 of 3 pages written)"},
        {"4", "tovanel-topng: /r/a.tif: not a TIFF file: no signature", "not a TIFF file"},
        {"6", "tovanel-topng: /r/a.tif: unsupported TIFF image format: not image too large",
         "a kind of image that cannot be converted (not image too large)"},
        // Reworded: the whole line is the detail, the reason still the status's.
        {"6", "tovanel-topng: cannot do complex samples", "a kind of image that cannot be converted "
                                                           "(tovanel-topng: cannot do complex samples)"},
        // A detail quoting other words first: still the status's reason.
        {"7", "libtiff says: not a TIFF file: /r/a.tif: image too large: 70000 x 70000", "too large (70000 x 70000)"},
        {"9", "tovanel-split: /r/a.tif: too many pages\nsecond line: not a TIFF file", "more than 17,576 pages"},
        {"139", "Segmentation fault", "the converter crashed (signal 11) (Segmentation fault)"},
        {"1", "", "the converter failed (exit status 1)"},
        {nullptr, "tovanel-topng: /r/a.tif: damaged or truncated TIFF file: x",
         "the converter ended without a result (it was stopped or took too long)"},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString errors = dir.path() + QStringLiteral("/tool.err"), status = dir.path() + QStringLiteral("/tool.status");
    for (const Row& row : rows) {
        ASSERT_TRUE(TestFiles::WriteFile(errors, row.line));
        QFile::remove(status);
        if (row.status)
            ASSERT_TRUE(TestFiles::WriteFile(status, QByteArray(row.status) + "\n"));
        const ToolMessage said = ReadToolMessage(status, errors, QStringLiteral("/r/a.tif"));
        EXPECT_EQ(ReasonFor(said, QStringLiteral("converter"), QString()).toStdString(), row.reason) << row.line;
    }
}

// The splitter's account of a file: the page count, and each skipped page's status and detail.
TEST(ReadSplitAccount, ReadsTheRecords)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/varnholt.pages");
    ASSERT_TRUE(TestFiles::WriteFile(path, "pages\t4\t2\nskipped\t2\t5\tstrip 0: past the end\nskipped\t4\t7\tout of memory\n"));
    const SplitAccount account = ReadSplitAccount(path);
    EXPECT_EQ(account.pages, 4);
    ASSERT_EQ(account.skipped.keys(), (QList<int>{2, 4}));
    EXPECT_EQ(account.skipped[2].status, 5);
    EXPECT_EQ(account.skipped[2].detail.toStdString(), "strip 0: past the end");
    EXPECT_EQ(account.skipped[4].status, 7);
    EXPECT_EQ(ReadSplitAccount(dir.path() + QStringLiteral("/missing")).pages, 0);
}

// A tool's detail never names a working file of the run: the page file, by its path or its bare name
// as libtiff gives it, becomes "the page", so equal reasons of many pages are one entry.
TEST(WithoutWorkingName, NamesThePageNotItsFile)
{
    const std::pair<const char*, const char*> rows[] = {
        {"/t/run-1/varnholtaab.tif: Cannot read TIFF directory", "the page: Cannot read TIFF directory"},
        {"TIFFReadDirectory: varnholtaab.tif: bad IFD", "TIFFReadDirectory: the page: bad IFD"},
        {"strip 0 lies past the end of the file", "strip 0 lies past the end of the file"},
        {"varnholtaab.tiff is not varnholtaab.tif", "varnholtaab.tiff is not the page"}};
    for (const auto& [detail, shown] : rows)
        EXPECT_EQ(WithoutWorkingName({5, QString::fromUtf8(detail)},
                                     QStringLiteral("/t/run-1/varnholtaab.tif"), QStringLiteral("the page"))
                      .detail.toStdString(),
                  shown);
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
