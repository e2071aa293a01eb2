// Damaged and hostile sources between good ones: the run ends, the good ones convert, outputs are whole.
// (Odd names are rows of the engine test, tests/unit/convert_run/names.cpp.)
#include "convert_run_fixture.h"
#include "fault_support.h"

#include <QRegularExpression>

#include <algorithm>

#include "fs/main_procs.h"


#include <sys/stat.h>
#include <unistd.h>

using namespace Tovanel;
using TestTiff::Page;

namespace {

const QList<Page> kGoodBefore{Page{24, 16, 1, false}, Page{20, 12, 2, true}};
const QList<Page> kGoodAfter{Page{18, 10, 3, false}};

enum class Kind { Bytes, Fifo, LinkToDevZero };

// A three-page LZW file as libtiff writes it: each page's strips, then its directory.
QByteArray ThreePageLzw(const QString& scratch)
{
    const QString path = scratch + QStringLiteral("/three.tif");
    TestTiff::Write(path, {Page{40, 30, 4, false}, Page{40, 30, 5, true}, Page{40, 30, 6, false}});
    return Fault::ReadFile(path);
}

Fault::Ifd SmallPage() { return Fault::Plain(16, 8, 1, Fault::Noise(16 * 8, 7)); }

// SmallPage with one field replaced (or added).
QByteArray WithField(const Fault::Field& field)
{
    Fault::Ifd ifd = SmallPage();
    ifd.fields.removeIf([&](const Fault::Field& f) { return f.tag == field.tag; });
    ifd.fields.append(field);
    return Fault::Tiff({ifd});
}

QByteArray Le32(std::initializer_list<uint32_t> values)
{
    QByteArray b;
    for (uint32_t v : values)
        for (int i = 0; i < 4; ++i)
            b.append(static_cast<char>((v >> (8 * i)) & 0xff));
    return b;
}

// Every output of base in folder: base.png_1.png, base.png_2.png, ... as far as they go.
// The outputs of base among entries: base.png_N.png for any page number N (a page that gave nothing
// leaves its number unused).
QStringList OutputsOf(const QStringList& entries, const QString& base)
{
    const QRegularExpression output(QLatin1Char('^') + QRegularExpression::escape(base)
                                    + QStringLiteral("\\.png_[1-9][0-9]*\\.png$"));
    return entries.filter(output);
}

// The runs between good files stop a tool that hangs after a minute.
constexpr qint64 kToolTimeoutMs = 60 * 1000;

// Runs good-before, the listed middle sources, good-after; checks "Done.", the good outputs' pixels,
// that every other output is a whole PNG named after a middle source, and that nothing else is left.
// Returns the number of outputs of each middle source (-1 after a failed check).
QList<int> RunBetweenGoodFiles(ConvertRun& run, const QStringList& middle)
{
    QList<int> counts;
    run.addTiff(QStringLiteral("good-before.tif"), kGoodBefore);
    for (const QString& path : middle)
        run.form().addListItem(path);
    run.addTiff(QStringLiteral("good-after.tif"), kGoodAfter);
    run.saveInFolder(run.out);
    run.start();

    [&] {
        // "Done." alone only when every file converted; a good file is never named in the details.
        const QStringList details = run.lastDetails();
        QCOMPARE(run.lastMessage().section(u'\n', 0, 0), QStringLiteral("Done."));
        QCOMPARE(run.lastMessage() == QStringLiteral("Done."), details.isEmpty());
        for (const QString& line : details) {
            QVERIFY2(!line.contains(QStringLiteral("/good-")), qPrintable(line));
            qInfo("the closing box says: %s", qPrintable(line.mid(run.src.size() + 1)));
        }
        QCOMPARE(run.dialogs().errorReports().size(), 0);
        QVERIFY(!run.form().isConverting());
        QStringList left = Fault::Entries(run.out);
        const QStringList good = TestTiff::OutputNames(QStringLiteral("good-before"), 2)
                                 + TestTiff::OutputNames(QStringLiteral("good-after"), 1);
        const QList<Page> goodPages = kGoodBefore + kGoodAfter;
        for (qsizetype i = 0; i < good.size(); ++i) {
            QVERIFY2(left.contains(good[i]), qPrintable(good[i] + QStringLiteral(" missing; destination: ") + left.join(u' ')));
            QCOMPARE(Fault::PngDamage(run.out + u'/' + good[i]), QString());
            QCOMPARE(TestTiff::ReadPng(run.out + u'/' + good[i]), TestTiff::Pixels(goodPages[i]));
            left.removeAll(good[i]);
        }
        for (const QString& path : middle) {
            const QString base = Tovanel::Main::StripExtension(Tovanel::Main::GetFileNamePart(path));
            const QStringList outputs = OutputsOf(left, base);
            const int n = static_cast<int>(outputs.size());
            // A source that gave nothing is named in the closing box's details.
            if (n == 0)
                QVERIFY2(std::any_of(details.begin(), details.end(),
                                     [&](const QString& line) { return line.startsWith(path + QStringLiteral(": ")); }),
                         qPrintable(path + QStringLiteral(" not in the details: ") + details.join(u'|')));
            for (const QString& name : outputs) {
                QCOMPARE(Fault::PngDamage(run.out + u'/' + name), QString());
                QVERIFY2(!TestTiff::ReadPng(run.out + u'/' + name).isNull(), qPrintable(name));
                left.removeAll(name);
            }
            counts.append(n);
        }
        QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("stray files in the destination: ") + left.join(u' ')));
        QVERIFY2(Fault::Entries(run.temp).isEmpty(),
                 qPrintable(QStringLiteral("left in the temporary folder: ") + Fault::Entries(run.temp).join(u' ')));
    }();
    if (QTest::currentTestFailed())
        return {-1};
    return counts;
}

} // namespace

class FaultInputTest : public QObject {
    Q_OBJECT
private slots:
    // A watchdog: a source that makes the run hang fails the test instead of holding the suite.
    void init() { ::alarm(300); }
    void cleanup() { ::alarm(0); }

    void damagedSourcesArePassedOver_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("noOutput");   // false: the pages that survive may convert, whole

        QTemporaryDir scratch;
        const QByteArray lzw = ThreePageLzw(scratch.path());
        const QByteArray plain = Fault::Tiff({SmallPage()});
        const auto bytes = static_cast<int>(Kind::Bytes);
        QTest::newRow("not a TIFF") << bytes << QByteArray("Quarterly report, typed by hand.\n") << true;
        QTest::newRow("zero bytes") << bytes << QByteArray() << true;
        QTest::newRow("big-endian header, directory past the end") << bytes << QByteArray("MM\0*\xff\xff\xff\xf0", 8) << true;
        for (qsizetype cut : {qsizetype(4), qsizetype(8), lzw.size() / 3, lzw.size() / 2, lzw.size() * 2 / 3, lzw.size() - 1})
            QTest::addRow("LZW three pages cut at %lld of %lld", static_cast<long long>(cut), static_cast<long long>(lzw.size()))
                << bytes << lzw.left(cut) << false;
        for (qsizetype cut : {qsizetype(9), qsizetype(100), plain.size() - 20})
            QTest::addRow("uncompressed page cut at %lld of %lld", static_cast<long long>(cut), static_cast<long long>(plain.size()))
                << bytes << plain.left(cut) << true;
        // Only the last byte of the next-directory offset is missing: the page itself is whole.
        QTest::newRow("uncompressed page, last byte cut") << bytes << plain.left(plain.size() - 1) << false;
        QTest::newRow("width stored as ASCII") << bytes << WithField({256, 2, 4, QByteArray("16\0\0", 4)}) << false;
        QTest::newRow("bits per sample with count 0") << bytes << WithField({258, 3, 0, {}}) << false;
        QTest::newRow("bits per sample 64") << bytes << WithField(Fault::Short(258, 64)) << true;
        QTest::newRow("length of unknown type 99") << bytes << WithField({257, 99, 1, Le32({8})}) << true;
        QTest::newRow("width 0") << bytes << WithField(Fault::Long(256, 0)) << true;
        QTest::newRow("rows per strip 0") << bytes << WithField(Fault::Long(278, 0)) << false;
        QTest::newRow("five strip offsets, one byte count") << bytes << WithField({273, 4, 5, Le32({8, 8, 8, 8, 8})}) << false;
        QTest::newRow("colour map claiming 2^30 values") << bytes << WithField({320, 3, 0x40000000u, Le32({0x7ffffff0})}) << false;
        QTest::newRow("palette without colour map") << bytes << WithField(Fault::Short(262, 3)) << false;   // libtiff reads it as grey
        QTest::newRow("strip offset past the end") << bytes << WithField(Fault::Long(273, 0x7ffffff0)) << true;
        QTest::newRow("strip byte count 4 GiB") << bytes << WithField(Fault::Long(279, 0xffffffffu)) << false;
        {
            Fault::Ifd self = SmallPage();
            self.nextIfd = 0;
            QTest::newRow("directory pointing at itself") << bytes << Fault::Tiff({self}) << false;
            Fault::Ifd a = SmallPage(), b = SmallPage();
            b.nextIfd = 0;
            QTest::newRow("two directories pointing at each other") << bytes << Fault::Tiff({a, b}) << false;
        }
        {
            QList<Fault::Ifd> pages(70000, Fault::Plain(1, 1, 1, QByteArray(1, '\x80')));
            QTest::newRow("70000 tiny pages") << bytes << Fault::Tiff(pages) << true;
        }
        QTest::newRow("100000 x 100000 G4 bomb") << bytes << Fault::Tiff({Fault::WhiteG4(100000, 100000)}) << true;
        QTest::newRow("FIFO") << static_cast<int>(Kind::Fifo) << QByteArray() << true;
        QTest::newRow("link to /dev/zero") << static_cast<int>(Kind::LinkToDevZero) << QByteArray() << true;
    }
    void damagedSourcesArePassedOver()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, noOutput);
        ConvertRun run(ConvertRun::kDefaultTempName, kToolTimeoutMs);
        const QString bad = run.src + QStringLiteral("/middle.tif");
        switch (static_cast<Kind>(kind)) {
        case Kind::Bytes: QVERIFY(Fault::WriteFile(bad, bytes)); break;
        case Kind::Fifo: QCOMPARE(::mkfifo(QFile::encodeName(bad).constData(), 0644), 0); break;
        case Kind::LinkToDevZero: QVERIFY(QFile::link(QStringLiteral("/dev/zero"), bad)); break;
        }
        const QList<int> counts = RunBetweenGoodFiles(run, {bad});
        if (QTest::currentTestFailed())
            return;
        if (noOutput)
            QCOMPARE(counts, QList<int>{0});
        if (kind == static_cast<int>(Kind::Bytes))
            QCOMPARE(Fault::ReadFile(bad), bytes);   // the source itself is never touched
        qInfo("outputs of the damaged file: %d", counts.value(0));
    }
};

QTEST_MAIN(FaultInputTest)
#include "input_test.moc"
