// Output names: the base from the source's name, odd names, sources in the temporary folder, old
// outputs replaced whole, and sources of one run sharing a base.
#include "run_fixture.h"

#include <unistd.h>

using namespace Tovanel;
using namespace Tovanel::RunTest;

namespace {

// Names of 245 and 250 bytes: the first one's outputs still fit the file system's 255 bytes a name.
const std::string kLong245 = std::string(241, 'n') + ".tif", kLong250 = std::string(246, 'n') + ".tif";
const std::string kLong245Base = std::string(241, 'n');
const char* const kName245 = kLong245.c_str();
const char* const kName250 = kLong250.c_str();
const char* const kName245Base = kLong245Base.c_str();

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

} // namespace
