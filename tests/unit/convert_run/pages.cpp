// Pages: against a reference decoder, pages that give nothing, a destination removed and a tool
// killed mid-run, a thousand failing pages named together.
#include "run_fixture.h"

#include <QProcess>

#include <algorithm>
#include <csignal>
#include <cstdlib>

using namespace Tovanel;
using namespace Tovanel::RunTest;

namespace {

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

} // namespace
