// What the tools report, read back as data: page numbers, exit statuses, the splitter's account.
#include "run_fixture.h"

using namespace Tovanel;
using namespace Tovanel::RunTest;

namespace {

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

} // namespace
