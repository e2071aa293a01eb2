// The conversion run through a fake host: refusals, whole runs, several files, stops and slots.
// Names, pages and the run folder have files of their own under convert_run/.
#include "convert_run/run_fixture.h"

#include <QDirIterator>

using namespace Tovanel;
using namespace Tovanel::RunTest;

namespace {

// A refused run says why, ends at once and puts no tool in the run folder.
struct Refusal {
    const char* name;
    bool listed;
    Destination where;
    const char* folder;   // the output folder, or one "missing", or "a-file" that is no folder
    const char* message;
};

class RunRefusalTest : public ConvertRunTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RunRefusalTest, SaysWhyAndLeavesNothing)
{
    const Refusal& r = GetParam();
    if (r.listed)
        addTiff(QStringLiteral("scan.tif"), PagesOf(1, 3));
    if (r.folder != std::string("out"))
        host.folder = work.path() + QLatin1Char('/') + QString::fromLatin1(r.folder);
    ASSERT_TRUE(TestFiles::WriteFile(work.path() + QStringLiteral("/a-file"), "x"));
    host.where = r.where;
    ConversionRun run(host);
    EXPECT_FALSE(run.Start());
    EXPECT_EQ(messageTexts(), QStringList{QString::fromUtf8(r.message)});
    EXPECT_EQ(host.fake.messages().first().title, QString());
    EXPECT_EQ(host.fake.messages().first().icon, Icon::None);
    EXPECT_EQ(host.fake.messages().first().buttons, Buttons::Ok);
    EXPECT_FALSE(run.isConverting());
    EXPECT_TRUE(host.pointers.isEmpty());
    EXPECT_TRUE(host.progress.isEmpty());
    EXPECT_EQ(Entries(temp), QStringList());
    EXPECT_EQ(Entries(out), QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RunRefusalTest,
    ::testing::Values(Refusal{"NothingListed", false, Destination::Folder, "out", "No files added."},
                      Refusal{"NothingListedFolderMissing", false, Destination::Folder, "missing", "No files added."},
                      Refusal{"FolderMissing", true, Destination::Folder, "missing",
                              "Folder does not exist. Please select another folder."},
                      Refusal{"FolderIsAFile", true, Destination::Folder, "a-file",
                              "Folder does not exist. Please select another folder."},
                      Refusal{"NoOptionFolderMissing", true, Destination::None, "missing",
                              "Folder does not exist. Please select another folder."},
                      Refusal{"NoOption", true, Destination::None, "out",
                              "Choose where the results go: \"Save results to this folder:\" or \"Save results in "
                              "folder of original file\"."}),
    [](const auto& info) { return std::string(info.param.name); });

// A whole run: the numbered PNGs where the destination says (a folder's trailing slash changes
// nothing), what the host was shown, a clean run folder.
struct WholeRun {
    const char* name;
    Destination where;
    int pages;
    const char* folderEnd = "";
};

class WholeRunTest : public ConvertRunTest, public ::testing::WithParamInterface<WholeRun> {};

TEST_P(WholeRunTest, WritesEveryPageAndShowsTheRun)
{
    const WholeRun& r = GetParam();
    const QList<Page> pages = PagesOf(r.pages, 5);
    addTiff(QStringLiteral("scan.tif"), pages);
    host.where = r.where;
    host.folder += QString::fromLatin1(r.folderEnd);
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
    expectFinished(run);
    EXPECT_TRUE(convertingMidRun);
    EXPECT_EQ(reentries, 0);
    EXPECT_EQ(run.runningToolGroup(), 0);
    EXPECT_EQ(host.progress, (QList<double>{100.0, 0.0}));
    EXPECT_EQ(host.captions, (QStringList{QStringLiteral("Processing: scan.tif"), QStringLiteral("Progress Bar")}));
    EXPECT_EQ(host.pointers, (QList<int>{PointerHourglass, PointerHourglass, PointerDefault}));
    EXPECT_EQ(host.pumps, 1);
    const bool beside = r.where == Destination::BesideSource;
    EXPECT_EQ(TestTiff::OutputsDiffer(beside ? src : out, QStringLiteral("scan"), pages).toStdString(), "");
    EXPECT_EQ(Entries(src).size(), 1 + (beside ? r.pages : 0));
    EXPECT_EQ(Entries(out).size(), beside ? 0 : r.pages);
}

INSTANTIATE_TEST_SUITE_P(Rows, WholeRunTest,
                         ::testing::Values(WholeRun{"OnePageInFolder", Destination::Folder, 1},
                                           WholeRun{"ThreePagesInFolder", Destination::Folder, 3},
                                           WholeRun{"ThreePagesInFolderWithTrailingSlash", Destination::Folder, 3, "/"},
                                           WholeRun{"OnePageBesideSource", Destination::BesideSource, 1},
                                           WholeRun{"TwoPagesBesideSource", Destination::BesideSource, 2},
                                           WholeRun{"ThreePagesBesideSource", Destination::BesideSource, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// Several files: progress per file, numbering from 1 for each, and files that give nothing (damaged,
// gone when their turn comes, not a TIFF) passed over without output, each named with why, while the
// files after them still convert.
TEST_F(ConvertRunTest, EachFileNumbersItsOwnPagesAndFilesThatGiveNothingArePassedOver)
{
    const QList<Page> first = PagesOf(2, 7);
    const QList<Page> last = PagesOf(3, 11);
    addTiff(QStringLiteral("first.tif"), first);
    ASSERT_TRUE(TestTiff::WriteDamaged(src + QStringLiteral("/broken.tif")));
    ASSERT_TRUE(TestFiles::WriteFile(src + QStringLiteral("/notes.tif"), "these are notes, not an image\n"));
    for (const char* name : {"/broken.tif", "/gone.tif", "/notes.tif"})
        host.list.append(src + QLatin1String(name));
    addTiff(QStringLiteral("last.tiff"), last);
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());

    const QStringList details = host.fake.messages().last().details.split(QLatin1Char('\n'));
    ASSERT_EQ(details.size(), 3);
    EXPECT_TRUE(details[0].startsWith(src + QStringLiteral("/broken.tif: not converted: damaged"))) << details[0].toStdString();
    expectFinished(run, QStringLiteral("Done.\n3 of 5 files were not converted completely."),
                   {details[0],
                    src + QStringLiteral("/gone.tif: not converted: the file was gone or could not be read when its "
                                         "turn came (No such file or directory)"),
                    src + QStringLiteral("/notes.tif: not converted: not a TIFF file")});
    EXPECT_EQ(host.progress, (QList<double>{20.0, 40.0, 60.0, 80.0, 100.0, 0.0}));
    EXPECT_EQ(host.captions.mid(0, 5), (QStringList{QStringLiteral("Processing: first.tif"),
                                                    QStringLiteral("Processing: broken.tif"),
                                                    QStringLiteral("Processing: gone.tif"),
                                                    QStringLiteral("Processing: notes.tif"),
                                                    QStringLiteral("Processing: last.tiff")}));
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("first"), first).toStdString(), "");
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("last"), last).toStdString(), "");
    EXPECT_EQ(Entries(out).size(), 5);
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
    const QList<Page> first = PagesOf(2, 3);
    for (const char* name : {"first.tif", "second.tif", "third.tif", "left-out.tif"}) {
        const QString path = src + QLatin1Char('/') + QString::fromLatin1(name);
        ASSERT_TRUE(TestTiff::Write(path, name == std::string("first.tif") ? first : PagesOf(3, 5)));
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
    const QList<Page> pages = PagesOf(2, 9);
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

} // namespace
