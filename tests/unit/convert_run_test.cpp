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
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

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
        // A dot in the temporary folder's path catches bases taken from the whole path instead of the name.
        temp = work.path() + QStringLiteral("/j.doe/Temp");
        src = work.path() + QStringLiteral("/src");
        out = work.path() + QStringLiteral("/out");
        for (const QString& d : {temp, src, out})
            ASSERT_TRUE(QDir().mkpath(d));
        previousTemp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(temp));
        host.folder = out;
    }
    void TearDown() override { qputenv("TEMP", previousTemp); }

    // Writes a TIFF into the source folder (or at an absolute path), folders made as needed, and lists it.
    QString addTiff(const QString& name, const QList<Page>& pages)
    {
        const QString path = QFileInfo(name).isAbsolute() ? name : src + QLatin1Char('/') + name;
        EXPECT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
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
    // The run ended with this closing box (a warning unless "Done." alone), no error report, and no
    // tool, script, marker, copy, page or page PNG left in the temporary folder.
    void expectFinished(const ConversionRun& run, const QString& text = QStringLiteral("Done."),
                        const QStringList& details = {})
    {
        EXPECT_EQ(host.fake.errorReports().size(), 0);
        ASSERT_FALSE(host.fake.messages().isEmpty());
        const Shown box = host.fake.messages().last();
        EXPECT_EQ(box.text.toStdString(), text.toStdString());
        EXPECT_EQ(box.details.toStdString(), details.join(QLatin1Char('\n')).toStdString());
        EXPECT_EQ(box.title, QString());
        EXPECT_EQ(box.buttons, Buttons::Ok);
        EXPECT_EQ(box.icon, text == QLatin1String("Done.") ? Icon::None : Icon::Warning);
        EXPECT_FALSE(run.isConverting());
        EXPECT_EQ(host.pointers.value(host.pointers.size() - 1), int(PointerDefault));
        EXPECT_EQ(Entries(temp), QStringList());
    }

    QTemporaryDir work;
    QString temp, src, out;
    QByteArray previousTemp;
    FakeHost host;
};

using TestTiff::PagesOf;

// While it lives, look is called each time the run lets events through, the waits for the tools included.
class EachMoment {
public:
    explicit EachMoment(std::function<void()> look)
    {
        QObject::connect(&watch_, &QTimer::timeout, std::move(look));
        watch_.start(0);
    }

private:
    QTimer watch_;
};

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

// Names of 245 and 250 bytes: the first one's outputs still fit the file system's 255 bytes a name.
const std::string kLong245 = std::string(241, 'n') + ".tif", kLong250 = std::string(246, 'n') + ".tif";
const std::string kLong245Base = std::string(241, 'n');
const char* const kName245 = kLong245.c_str();
const char* const kName250 = kLong250.c_str();
const char* const kName245Base = kLong245Base.c_str();

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

// The base is the source's name less its last extension; a name without one is taken whole, even
// when the temporary folder's path holds a dot. The names travel through shell scripts and the tools'
// command lines: shell and pattern characters, line ends and leading dashes stay part of the name,
// nothing is run, the file is converted; a name like one of the run's own files (a page, a tool, a
// script, the marker) is not taken for one, and the files around it convert as ever.
struct BaseRow {
    const char* name;
    const char* file;
    const char* base;
};

class OutputBaseTest : public ConvertRunTest, public ::testing::WithParamInterface<BaseRow> {};

TEST_P(OutputBaseTest, ComesFromTheName)
{
    const QString file = QString::fromUtf8(GetParam().file);
    const QList<Page> pages = PagesOf(2, 4), around = PagesOf(1, 9);
    addTiff(QStringLiteral("first.tif"), around);
    const QString source = addTiff(file, pages);
    addTiff(QStringLiteral("last.tif"), around);
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    if (GetParam().base) {
        expectFinished(run);
        EXPECT_EQ(TestTiff::OutputsDiffer(out, QString::fromUtf8(GetParam().base), pages).toStdString(), "");
        EXPECT_EQ(Entries(out).size(), 4);
    } else {
        // Its output names pass the file system's 255-byte limit: no output can exist, the file is
        // named as not converted, and the run goes on to the next file.
        ASSERT_FALSE(host.fake.messages().isEmpty());
        EXPECT_TRUE(host.fake.messages().last().details.startsWith(source + QStringLiteral(": ")));
        expectFinished(run, QStringLiteral("Done.\n1 of 3 files were not converted completely."),
                       {host.fake.messages().last().details});
        EXPECT_EQ(Entries(out).size(), 2);
    }
    // The files around it convert as ever, and nothing a name could have run left a file anywhere.
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("first"), around).toStdString(), "");
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("last"), around).toStdString(), "");
    QStringList sources{file, QStringLiteral("first.tif"), QStringLiteral("last.tif")};
    sources.sort();
    EXPECT_EQ(Entries(src), sources);
    EXPECT_EQ(Entries(work.path()), (QStringList{QStringLiteral("j.doe"), QStringLiteral("out"), QStringLiteral("src")}));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OutputBaseTest,
    ::testing::Values(BaseRow{"TwoDots", "a.b.tif", "a.b"}, BaseRow{"NoDot", "scan", "scan"},
                      BaseRow{"UpperCaseExtension", "Report.TIFF", "Report"},
                      BaseRow{"PagePrefix", "varnholt.tif", "varnholt"},
                      BaseRow{"PagePrefixOtherCase", "VARNHOLT-2024.TIF", "VARNHOLT-2024"},
                      BaseRow{"TheFirstPagesName", "varnholtaaa.tif", "varnholtaaa"},
                      BaseRow{"TheFirstPagesPngName", "varnholtaaa.png", "varnholtaaa"},
                      BaseRow{"ALaterPagesName", "varnholtaac.tif", "varnholtaac"},
                      BaseRow{"ThePngName", "scan.png", "scan"},
                      BaseRow{"TheConvertersName", "nconvert.exe", "nconvert"},
                      BaseRow{"TheSplittersName", "tiffsplit.exe", "tiffsplit"},
                      BaseRow{"TheConverterScriptsName", "nconvert.bat", "nconvert"},
                      BaseRow{"TheSplitterScriptsName", "tiffsplit.bat", "tiffsplit"},
                      BaseRow{"TheMarkersName", "brisquet_varnholt.tmp", "brisquet_varnholt"},
                      BaseRow{"TheSecondPagesName", "varnholtaab.tif", "varnholtaab"},
                      BaseRow{"CommandSubstitution", "$(touch x).tif", "$(touch x)"},
                      BaseRow{"DollarVariableAndCommand", "cost $HOME $(touch pwned-dollar).tif",
                              "cost $HOME $(touch pwned-dollar)"},
                      BaseRow{"Backquotes", "a`touch y`.tif", "a`touch y`"},
                      BaseRow{"SingleQuote", "it's.tif", "it's"},
                      BaseRow{"DoubleQuote", "say \"hi\".tif", "say \"hi\""},
                      BaseRow{"QuotesClosedAndReopened", "it's \"quoted\" '; touch pwned-quote; '.tif",
                              "it's \"quoted\" '; touch pwned-quote; '"},
                      BaseRow{"BackslashAndDollar", "back\\slash $HOME.tif", "back\\slash $HOME"},
                      BaseRow{"BackslashAndQuote", "a\\b\\'c.tif", "a\\b\\'c"},
                      BaseRow{"LineEnd", "two\nlines; touch pwned-newline.tif", "two\nlines; touch pwned-newline"},
                      BaseRow{"LeadingDash", "-n.tif", "-n"}, BaseRow{"LeadingDoubleDash", "--out.tif", "--out"},
                      BaseRow{"Semicolon", "a; touch z.tif", "a; touch z"},
                      BaseRow{"QuestionMark", "scan?.tif", "scan?"}, BaseRow{"Star", "scan*.tif", "scan*"},
                      BaseRow{"BracketsAndBraces", "[a]{b,c}.tif", "[a]{b,c}"},
                      BaseRow{"Name245Bytes", kName245, kName245Base}, BaseRow{"Name250Bytes", kName250, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// A source already in the temporary folder is converted and still there afterwards, unchanged, even
// when named like the page files or like its own second page: it is neither cleared away nor taken
// for a page, since the pages are made in the run's own folder.
class SourceInTempTest : public ConvertRunTest, public ::testing::WithParamInterface<BaseRow> {};

TEST_P(SourceInTempTest, IsConvertedAndKept)
{
    const QString file = QString::fromUtf8(GetParam().file);
    const QList<Page> pages = PagesOf(3, 2);
    const QString source = addTiff(temp + QLatin1Char('/') + file, pages);
    const QByteArray before = TestFiles::ReadFile(source);
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    EXPECT_EQ(host.fake.errorReports().size(), 0);
    EXPECT_EQ(messageTexts(), QStringList{QStringLiteral("Done.")});
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QString::fromUtf8(GetParam().base), pages).toStdString(), "");
    EXPECT_EQ(TestFiles::ReadFile(source), before);
    EXPECT_EQ(Entries(temp), QStringList{file});
}

INSTANTIATE_TEST_SUITE_P(Rows, SourceInTempTest,
                         ::testing::Values(BaseRow{"PlainName", "inside.tif", "inside"},
                                           BaseRow{"PagePrefix", "varnholt.tif", "varnholt"},
                                           BaseRow{"ItsSecondPagesName", "varnholtaab.tif", "varnholtaab"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Replacing an output renames a new file over it: a file that shared the old output's data (a hard
// link, a reader holding it open) keeps its bytes.
TEST_F(ConvertRunTest, OutputsReplaceOldFilesWhole)
{
    const QList<Page> pages = PagesOf(1, 5);
    addTiff(QStringLiteral("scan.tif"), pages);
    const QString keep = work.path() + QStringLiteral("/keep.bin");
    ASSERT_TRUE(TestFiles::WriteFile(keep, "precious bytes"));
    ASSERT_EQ(::link(QFile::encodeName(keep).constData(), QFile::encodeName(out + QStringLiteral("/scan.png_1.png")).constData()), 0);
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    expectFinished(run);
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("scan"), pages).toStdString(), "");
    EXPECT_EQ(Entries(out).size(), 1);
    EXPECT_EQ(TestFiles::ReadFile(keep), QByteArray("precious bytes"));
}

// Real files from public test sets and the samples the program ships: every page gives the pixels
// ImageMagick decodes, exactly for the lossless files; a JPEG decode may differ by rounding only.
struct ReferenceRow {
    const char* name;
    const char* folder;
    const char* file;
    int pages;
    int tolerance;   // in 16-bit steps
};

class ReferenceDecoderTest : public ConvertRunTest, public ::testing::WithParamInterface<ReferenceRow> {};

TEST_P(ReferenceDecoderTest, EveryPageMatches)
{
    const ReferenceRow& r = GetParam();
    const QString file = QString::fromLatin1(r.file);
    const QString source = src + QLatin1Char('/') + file;
    ASSERT_TRUE(QFile::copy(QString::fromLatin1(r.folder) + QLatin1Char('/') + file, source));
    host.list.append(source);
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    expectFinished(run);
    ASSERT_EQ(TestTiff::PageCount(source), r.pages);
    const QString ref = work.path() + QStringLiteral("/ref");
    ASSERT_TRUE(QDir().mkpath(ref));
    ASSERT_EQ(QProcess::execute(QStringLiteral("/usr/bin/convert"), {source, ref + QStringLiteral("/p-%d.png")}), 0);
    const QString base = file.left(file.lastIndexOf(QLatin1Char('.')));
    EXPECT_EQ(Entries(out), TestTiff::OutputNames(base, r.pages));
    for (int n = 1; n <= r.pages; ++n) {
        const QImage got = QImage(out + QLatin1Char('/') + TestTiff::OutputNames(base, n).last()).convertToFormat(QImage::Format_RGBA64);
        const QImage want = QImage(ref + QStringLiteral("/p-%1.png").arg(n - 1)).convertToFormat(QImage::Format_RGBA64);
        ASSERT_FALSE(got.isNull() || want.isNull()) << n;
        ASSERT_EQ(got.size(), want.size()) << n;
        int worst = 0;
        for (int y = 0; y < got.height(); ++y) {
            const auto* a = reinterpret_cast<const quint16*>(got.constScanLine(y));
            const auto* e = reinterpret_cast<const quint16*>(want.constScanLine(y));
            for (int i = 0; i < got.width() * 4; ++i)
                worst = std::max(worst, std::abs(int(a[i]) - int(e[i])));
        }
        EXPECT_LE(worst, r.tolerance) << "page " << n;
    }
}

#define SAMPLES TOVANEL_SOURCE_DIR "/resources/Samples"
INSTANTIATE_TEST_SUITE_P(
    Files, ReferenceDecoderTest,
    ::testing::Values(ReferenceRow{"ThreeGreyPages", TOVANEL_CORPUS_DIR, "imagetiff_seq-1c-8b-multipage.tiff", 3, 0},
                      ReferenceRow{"ThreeG4Pages", TOVANEL_CORPUS_DIR, "pillow_g4-multi.tiff", 3, 0},
                      ReferenceRow{"Multipage", TOVANEL_CORPUS_DIR, "pillow_multipage.tiff", 3, 0},
                      ReferenceRow{"SamplePalette", SAMPLES, "chart_palette.tif", 1, 0},
                      ReferenceRow{"SampleJpeg", SAMPLES, "landscape_jpeg.tif", 1, 2 * 257},
                      ReferenceRow{"SampleG4Letter", SAMPLES, "letter_3_pages_g4.tif", 3, 0},
                      ReferenceRow{"Sample16Bit", SAMPLES, "microscope_16bit.tif", 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });
#undef SAMPLES

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

// A page that gives no PNG (refused by the converter, or damaged) leaves its number unused: output N
// is page N whatever the pages before it gave, and the closing box names the page and why. The
// whole-copy fallback, tried for page 1 only, never puts page 1 under another page's number.
struct FailingPageRow {
    const char* name;
    const char* file;
    const char* base;
    int failing;
    bool damaged;   // damaged rather than refused by the converter
};

class FailingPageTest : public ConvertRunTest, public ::testing::WithParamInterface<FailingPageRow> {};

TEST_P(FailingPageTest, LeavesItsNumberUnused)
{
    const FailingPageRow& r = GetParam();
    QList<Page> pages = PagesOf(3, 3);
    (r.damaged ? pages[r.failing - 1].stripPastEnd : pages[r.failing - 1].refusedSamples) = true;
    const QString source = addTiff(QString::fromUtf8(r.file), pages);
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    QStringList expected, written;
    for (int n = 1; n <= 3; ++n) {
        if (n == r.failing)
            continue;
        expected << TestTiff::OutputNames(QString::fromUtf8(r.base), n).last();
        written << QString::number(n);
        EXPECT_TRUE(TestTiff::ReadPng(out + QLatin1Char('/') + expected.last()) == TestTiff::Pixels(pages[n - 1])) << n;
    }
    EXPECT_EQ(Entries(out), expected);
    const QString details = host.fake.messages().last().details;
    const QString head = source + QStringLiteral(": 2 of 3 pages written (") + written.join(QStringLiteral(", "))
                         + QStringLiteral("); page %1: ").arg(r.failing)
                         + (r.damaged ? QStringLiteral("damaged") : QStringLiteral("a kind of image that cannot be converted"));
    EXPECT_TRUE(details.startsWith(head) && !details.contains(QLatin1Char('\n'))) << details.toStdString();
    expectFinished(run, QStringLiteral("Done.\n1 of 1 file was not converted completely."), {details});
}

INSTANTIATE_TEST_SUITE_P(Rows, FailingPageTest,
                         ::testing::Values(FailingPageRow{"RefusedPage2TwoDots", "a.b.tif", "a.b", 2, false},
                                           FailingPageRow{"RefusedPage2PagePrefix", "varnholt.tif", "varnholt", 2, false},
                                           FailingPageRow{"RefusedPage1", "scan.tif", "scan", 1, false},
                                           FailingPageRow{"RefusedPage3", "scan.tif", "scan", 3, false},
                                           FailingPageRow{"DamagedPage1", "multi.tif", "multi", 1, true},
                                           FailingPageRow{"DamagedPage2", "multi.tif", "multi", 2, true},
                                           FailingPageRow{"DamagedPage3", "multi.tif", "multi", 3, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Sources of one run that would share an output base never replace each other's outputs, nor an
// output already there from before the run: each later one takes the next free " (k)" before ".png",
// and the closing box says so.
struct SameBaseRow {
    const char* name;
    QStringList files;
    bool beside;
    QStringList bases;
    QString earlier;   // an output in the folder before the run
};

class SameBaseTest : public ConvertRunTest, public ::testing::WithParamInterface<SameBaseRow> {};

TEST_P(SameBaseTest, TakesTheNextNumber)
{
    const SameBaseRow& r = GetParam();
    if (!r.earlier.isEmpty()) {
        ASSERT_TRUE(TestFiles::WriteFile(out + QLatin1Char('/') + r.earlier, "kept"));
    }
    QList<QList<Page>> pages;
    QStringList sources;
    for (int i = 0; i < r.files.size(); ++i) {
        pages << PagesOf(3 - i % 2, 10 * i + 1);
        sources << addTiff(r.files[i], pages.last());
    }
    host.where = r.beside ? Destination::BesideSource : Destination::Folder;
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    QStringList details;
    for (int i = 0; i < r.files.size(); ++i) {
        const QString folder = r.beside ? QFileInfo(sources[i]).absolutePath() : out;
        for (int n = 1; n <= pages[i].size(); ++n)
            EXPECT_TRUE(TestTiff::ReadPng(folder + QLatin1Char('/') + TestTiff::OutputNames(r.bases[i], n).last())
                        == TestTiff::Pixels(pages[i][n - 1]))
                << r.bases[i].toStdString() << " " << n;
        const QString own = QFileInfo(r.files[i]).completeBaseName();
        if (i > 0 && r.bases[i] != own)
            details << sources[i] + QStringLiteral(": saved as ") + folder + QLatin1Char('/') + r.bases[i]
                           + QStringLiteral(".png_N.png, since ") + folder + QLatin1Char('/') + own
                           + QStringLiteral(".png_N.png came from another file of this run");
    }
    if (!r.beside) {
        EXPECT_EQ(Entries(out).size(), 3 * r.files.size() - r.files.size() / 2 + (r.earlier.isEmpty() ? 0 : 1));
    }
    if (!r.earlier.isEmpty()) {
        EXPECT_EQ(TestFiles::ReadFile(out + QLatin1Char('/') + r.earlier), QByteArray("kept"));
    }
    expectFinished(run,
                   QStringLiteral("Done.\nEvery file was converted; some were saved under another name (see the details)."),
                   details);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SameBaseTest,
    ::testing::Values(
        SameBaseRow{"SameNameInTwoFolders", {"one/same.tif", "two/same.tif"}, false, {"same", "same (2)"}, {}},
        SameBaseRow{"ThreeSourcesOneBase", {"a/scan.tif", "a/scan.tiff", "b/scan.tif"}, false,
                    {"scan", "scan (2)", "scan (3)"}, {}},
        SameBaseRow{"BesideTheSourceTwoExtensions", {"a/doc.tif", "a/doc.tiff"}, true, {"doc", "doc (2)"}, {}},
        SameBaseRow{"ANameThatLooksRenamed", {"a/x.tif", "b/x.tif", "a/x (2).tif"}, false, {"x", "x (2)", "x (2) (2)"}, {}},
        SameBaseRow{"AnEarlierRunsTwo", {"a/scan.tif", "b/scan.tif"}, false, {"scan", "scan (3)"}, "scan (2).png_2.png"}),
    [](const auto& info) { return std::string(info.param.name); });

// The destination removed while the run goes: the files before it are whole, each file after it is
// named with the folder that could not be written.
TEST_F(ConvertRunTest, ADestinationRemovedMidRunIsNamed)
{
    const QString dest = out + QStringLiteral("/dest");
    ASSERT_TRUE(QDir().mkpath(dest));
    host.folder = dest;
    host.slotCount = 1;   // "Processing: b.tif" then means a.tif is done and b.tif not begun
    const QList<Page> pages = PagesOf(2, 4);
    QStringList sources;
    for (const char* name : {"a.tif", "b.tif", "c.tif"})
        sources << addTiff(QString::fromLatin1(name), pages);
    ConversionRun run(host);
    host.onPump = [&] {
        if (host.captions.last() == QStringLiteral("Processing: b.tif")) {
            EXPECT_TRUE(QDir(dest).removeRecursively());
        }
    };
    EXPECT_TRUE(run.Start());
    const QString why = QStringLiteral(": 0 of 2 pages written; pages 1, 2: the output folder ") + dest
                        + QStringLiteral("/ cannot be written (No such file or directory)");
    expectFinished(run, QStringLiteral("Done.\n2 of 3 files were not converted completely."),
                   {sources[1] + why, sources[2] + why});
    EXPECT_FALSE(QFileInfo::exists(dest));
}

// The process group's member whose command line holds text, or 0.
qint64 MemberRunning(qint64 group, const QByteArray& text)
{
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
        QFile cmdline(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
        if (!pid.front().isDigit() || !stat.open(QIODevice::ReadOnly) || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        if (fields.size() > 2 && fields[2].toLongLong() == group && cmdline.readAll().contains(text))
            return pid.toLongLong();
    }
    return 0;
}

// A converter killed on page 2: pages 1 and 3 keep their numbers, nothing stands under _2, and the
// closing box names page 2.
TEST_F(ConvertRunTest, AKilledToolLeavesItsPageNamed)
{
    // Page 2 is large enough that its converter is still running when the run next lets events through.
    const QList<Page> pages{Page{20, 12, 1, false}, Page{3000, 2500, 2, false}, Page{22, 15, 3, true}};
    const QString source = addTiff(QStringLiteral("big.tif"), pages);
    ConversionRun run(host);
    qint64 killed = 0;
    EachMoment watch([&] {
        const qint64 group = run.runningToolGroup();
        if (killed == 0 && group > 0 && MemberRunning(group, "varnholtaab.tif") > 0) {
            killed = group;
            ::kill(static_cast<pid_t>(-group), SIGKILL);
        }
    });
    EXPECT_TRUE(run.Start());
    EXPECT_GT(killed, 1);
    EXPECT_EQ(Entries(out), (QStringList{QStringLiteral("big.png_1.png"), QStringLiteral("big.png_3.png")}));
    EXPECT_TRUE(TestTiff::ReadPng(out + QStringLiteral("/big.png_1.png")) == TestTiff::Pixels(pages[0]));
    EXPECT_TRUE(TestTiff::ReadPng(out + QStringLiteral("/big.png_3.png")) == TestTiff::Pixels(pages[2]));
    expectFinished(run, QStringLiteral("Done.\n1 of 1 file was not converted completely."),
                   {source
                    + QStringLiteral(": 2 of 3 pages written (1, 3); page 2: the converter ended without a "
                                     "result (it was stopped or took too long)")});
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
        if (row.status) {
            ASSERT_TRUE(TestFiles::WriteFile(status, QByteArray(row.status) + "\n"));
        }
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

// Where the run folder is to be made decides the run: in a temporary folder that is a plain file or
// missing, or in a private folder someone replaced by a link, no run folder is made (and nothing is
// written through the link), so each tool write is reported, then each file once where it asks for the
// folder, and the run still ends, naming the file as not converted. Without "TEMP" the run works in a
// private folder of this user under the system temp folder.
struct PlaceRow {
    const char* name;
    const char* temp;   // "file", "missing", or "" for unset with the private folder "made" or "link"
    const char* privateFolder;
};

class RunFolderPlaceTest : public ConvertRunTest, public ::testing::WithParamInterface<PlaceRow> {};

TEST_P(RunFolderPlaceTest, DecidesTheRun)
{
    const PlaceRow& r = GetParam();
    const QList<Page> pages = PagesOf(1, 2);
    const QString source = addTiff(QStringLiteral("scan.tif"), pages);
    const QString named = work.path() + QStringLiteral("/named-temp"), system = work.path() + QStringLiteral("/system-tmp");
    const QString mine = system + QStringLiteral("/tovanel-") + QString::number(::geteuid());
    const QString elsewhere = work.path() + QStringLiteral("/elsewhere");
    ASSERT_TRUE(QDir().mkpath(system) && QDir().mkpath(elsewhere));
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(system));
    if (r.temp == std::string("file")) {
        ASSERT_TRUE(TestFiles::WriteFile(named, {}));
    }
    if (r.privateFolder == std::string("link")) {
        ASSERT_TRUE(QFile::link(elsewhere, mine));
    }
    if (*r.temp)
        qputenv("TEMP", QFile::encodeName(named));
    else
        qunsetenv("TEMP");
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    qputenv("TMPDIR", oldTmp);
    EXPECT_FALSE(run.isConverting());
    EXPECT_EQ(Entries(elsewhere), QStringList());
    if (r.privateFolder == std::string("made")) {
        expectFinished(run);
        EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("scan"), pages).toStdString(), "");
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(mine).constData(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(Entries(mine), QStringList());
        EXPECT_EQ(Entries(system), QStringList{QFileInfo(mine).fileName()});
        return;
    }
    static const QRegularExpression at(QStringLiteral("at line (\\d+)"));
    QList<int> statements;
    for (const Shown& s : host.fake.errorReports())
        statements.append(at.match(s.text).captured(1).toInt());
    EXPECT_EQ(statements, (QList<int>{112, 116, 142}));
    EXPECT_EQ(host.fake.messages().last().text, QStringLiteral("Done.\n1 of 1 file was not converted completely."));
    EXPECT_EQ(host.fake.messages().last().details,
              source + QStringLiteral(": not converted: the run's working folder could not be made"));
    EXPECT_EQ(Entries(out), QStringList());
    if (r.temp == std::string("missing")) {
        EXPECT_FALSE(QFileInfo::exists(named));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RunFolderPlaceTest,
                         ::testing::Values(PlaceRow{"TempIsAPlainFile", "file", ""},
                                           PlaceRow{"TempIsMissing", "missing", ""},
                                           PlaceRow{"PrivateFolderIsALink", "", "link"},
                                           PlaceRow{"PrivateFolderWithoutTemp", "", "made"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Whatever lies in the temporary folder under a tool's name is never run nor touched: the run deploys
// its own tools in a folder of its own, and the tool it runs is never writable by others.
class ForeignToolTest : public ConvertRunTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ForeignToolTest, IsNeitherRunNorTouched)
{
    const std::string kind = GetParam();
    const QList<Page> pages = PagesOf(3, 1);
    addTiff(QStringLiteral("a.tif"), pages);
    const QString evidence = work.path() + QStringLiteral("/planted-program-ran");
    const QByteArray planted = "#!/bin/sh\ntouch '" + QFile::encodeName(evidence) + "'\n";
    const QString tool = temp + QStringLiteral("/nconvert.exe");
    QFile converter(QStringLiteral(":/tools/101")), splitter(QStringLiteral(":/tools/102"));
    ASSERT_TRUE(converter.open(QIODevice::ReadOnly) && splitter.open(QIODevice::ReadOnly));
    const QString target = work.path() + QStringLiteral("/foreign.sh");
    if (kind == "foreign") {
        ASSERT_TRUE(TestFiles::WriteFileWithMode(tool, planted, 0755));
    }
    else if (kind == "stale") {
        ASSERT_TRUE(TestFiles::WriteFileWithMode(tool, splitter.readAll(), 0755));
    }
    else if (kind == "link") {
        ASSERT_TRUE(TestFiles::WriteFileWithMode(target, planted, 0755) && QFile::link(target, tool));
    }
    else {
        ASSERT_TRUE(TestFiles::WriteFileWithMode(tool, converter.readAll(), 0777));
    }
    const QByteArray plantedBefore = TestFiles::ReadFile(tool);
    // While the files are being converted, the tool file is never one that others may write.
    QList<uint> modes;
    ConversionRun run(host);
    EachMoment watch([&] {
        const QStringList runs = QDir(temp).entryList({QStringLiteral("tovanel-run-*")}, QDir::Dirs);
        struct stat st;
        if (run.isConverting() && runs.size() == 1
            && ::lstat(QFile::encodeName(temp + u'/' + runs[0] + QStringLiteral("/nconvert.exe")).constData(), &st) == 0)
            modes.append(st.st_mode);
    });
    EXPECT_TRUE(run.Start());
    ASSERT_FALSE(modes.isEmpty());
    for (uint mode : modes) {
        EXPECT_TRUE(S_ISREG(mode));
        EXPECT_EQ(mode & 022u, 0u);
    }
    EXPECT_EQ(host.fake.errorReports().size(), 0);
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("a"), pages).toStdString(), "");
    EXPECT_FALSE(QFile::exists(evidence));
    if (kind == "link") {
        EXPECT_EQ(TestFiles::ReadFile(target), planted);
        EXPECT_TRUE(QFileInfo(tool).isSymLink());
    }
    EXPECT_EQ(TestFiles::ReadFile(tool), plantedBefore);
    EXPECT_EQ(Entries(temp), QStringList{QStringLiteral("nconvert.exe")});
}

INSTANTIATE_TEST_SUITE_P(Kinds, ForeignToolTest, ::testing::Values("foreign", "stale", "link", "shared"));

} // namespace
