// Whole runs whose result is only partly written: output N is page N, one run's sources never replace
// each other's outputs, and the closing box names every file, page and reason.
#include "convert_checks.h"

#include <csignal>

using namespace Tovanel;

class ConvertResultTest : public QObject {
    Q_OBJECT
private slots:
    // A page that gives no PNG leaves its number unused: output N is page N whatever the pages before
    // it gave, and the closing box names the page and why. The whole-copy fallback, tried for page 1
    // only, never puts page 1 under another page's number.
    void pagesThatGiveNothingLeaveTheirNumbersUnused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("base");
        QTest::addColumn<int>("failing");  // the page that gives nothing
        QTest::addColumn<bool>("damaged"); // damaged rather than refused by the converter
        QTest::addColumn<QString>("why");
        const QString refused = QStringLiteral("a kind of image that cannot be converted");
        QTest::newRow("refused page 2, two dots") << "a.b.tif"
                                                  << "a.b" << 2 << false << refused;
        QTest::newRow("refused page 2, page prefix") << "varnholt.tif"
                                                     << "varnholt" << 2 << false << refused;
        QTest::newRow("refused page 1") << "scan.tif"
                                        << "scan" << 1 << false << refused;
        QTest::newRow("refused page 3") << "scan.tif"
                                        << "scan" << 3 << false << refused;
        QTest::newRow("damaged page 2") << "multi.tif"
                                        << "multi" << 2 << true << "damaged";
        QTest::newRow("damaged page 1") << "multi.tif"
                                        << "multi" << 1 << true << "damaged";
        QTest::newRow("damaged page 3") << "multi.tif"
                                        << "multi" << 3 << true << "damaged";
    }
    void pagesThatGiveNothingLeaveTheirNumbersUnused()
    {
        QFETCH(QString, name);
        QFETCH(QString, base);
        QFETCH(int, failing);
        QFETCH(bool, damaged);
        QFETCH(QString, why);
        ConvertRun run;
        QList<Page> pages = pagesOf(3, 3);
        (damaged ? pages[failing - 1].stripPastEnd : pages[failing - 1].refusedSamples) = true;
        const QString source = run.addTiff(name, pages);
        run.saveInFolder(run.out);
        run.start();
        QStringList expected, written;
        for (int n = 1; n <= 3; ++n) {
            if (n == failing)
                continue;
            const QString output = base + QStringLiteral(".png_") + QString::number(n) + QStringLiteral(".png");
            expected << output;
            written << QString::number(n);
            QCOMPARE(TestTiff::ReadPng(run.out + QLatin1Char('/') + output), TestTiff::Pixels(pages[n - 1]));
        }
        QCOMPARE(Entries(run.out), expected);
        const QStringList details = run.lastDetails();
        QCOMPARE(details.size(), 1);
        const QString head = source + QStringLiteral(": 2 of 3 pages written (") + written.join(QStringLiteral(", "))
                             + QStringLiteral("); page ") + QString::number(failing) + QStringLiteral(": ") + why;
        QVERIFY2(details[0].startsWith(head), qPrintable(details[0]));
        verifyFinished(run, QStringLiteral("Done.\n1 of 1 file was not converted completely."), details);
    }

    // Sources of one run that would share an output base never replace each other's outputs, nor an
    // output already there from before the run: each later one takes the next free " (k)" before
    // ".png", and the closing box says so.
    void sameBaseInOneRunTakesTheNextNumber_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("beside");
        QTest::addColumn<QStringList>("bases");
        QTest::addColumn<QString>("earlier");   // an output in the folder before the run
        QTest::newRow("same name in two folders")
            << QStringList{"one/same.tif", "two/same.tif"} << false << QStringList{"same", "same (2)"} << QString();
        QTest::newRow("three sources, one base") << QStringList{"a/scan.tif", "a/scan.tiff", "b/scan.tif"} << false
                                                 << QStringList{"scan", "scan (2)", "scan (3)"} << QString();
        QTest::newRow("beside the source, two extensions")
            << QStringList{"a/doc.tif", "a/doc.tiff"} << true << QStringList{"doc", "doc (2)"} << QString();
        QTest::newRow("a name that looks renamed") << QStringList{"a/x.tif", "b/x.tif", "a/x (2).tif"} << false
                                                   << QStringList{"x", "x (2)", "x (2) (2)"} << QString();
        QTest::newRow("an earlier run's (2)") << QStringList{"a/scan.tif", "b/scan.tif"} << false
                                              << QStringList{"scan", "scan (3)"} << "scan (2).png_2.png";
    }
    void sameBaseInOneRunTakesTheNextNumber()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, beside);
        QFETCH(QStringList, bases);
        QFETCH(QString, earlier);
        ConvertRun run;
        if (!earlier.isEmpty())
            QVERIFY(TestFiles::WriteFile(run.out + QLatin1Char('/') + earlier, "kept"));
        QList<QList<Page>> pages;
        QStringList sources;
        for (int i = 0; i < names.size(); ++i) {
            pages << pagesOf(3 - i % 2, 10 * i + 1);
            sources << run.addTiff(names[i], pages.last());
        }
        if (beside)
            run.saveBesideSource();
        else
            run.saveInFolder(run.out);
        run.start();
        QStringList details;
        for (int i = 0; i < names.size(); ++i) {
            const QString folder = beside ? QFileInfo(sources[i]).absolutePath() : run.out;
            for (int n = 1; n <= pages[i].size(); ++n) {
                const QString output = folder + QLatin1Char('/') + bases[i] + QStringLiteral(".png_")
                                       + QString::number(n) + QStringLiteral(".png");
                QCOMPARE(TestTiff::ReadPng(output), TestTiff::Pixels(pages[i][n - 1]));
            }
            if (i > 0 && bases[i] != QFileInfo(names[i]).completeBaseName())
                details << sources[i] + QStringLiteral(": saved as ") + folder + QLatin1Char('/') + bases[i]
                               + QStringLiteral(".png_N.png, since ") + folder + QLatin1Char('/')
                               + QFileInfo(names[i]).completeBaseName()
                               + QStringLiteral(".png_N.png came from another file of this run");
        }
        if (!beside)
            QCOMPARE(Entries(run.out).size(), 3 * names.size() - names.size() / 2 + (earlier.isEmpty() ? 0 : 1));
        if (!earlier.isEmpty())
            QCOMPARE(TestFiles::ReadFile(run.out + QLatin1Char('/') + earlier), QByteArray("kept"));
        verifyFinished(
            run,
            QStringLiteral("Done.\nEvery file was converted; some were saved under another name (see the details)."),
            details);
    }

    // Files that give nothing are passed over, the files after them convert, and the closing box says
    // which files did not convert and why.
    void damagedFileGivesNothingAndTheRunGoesOn()
    {
        ConvertRun run;
        const QList<Page> first = pagesOf(1, 1), last = pagesOf(2, 20);
        run.addTiff(QStringLiteral("first.tif"), first);
        QVERIFY(TestTiff::WriteDamaged(run.src + QStringLiteral("/broken.tif")));
        run.window->list({run.src + QStringLiteral("/broken.tif"), run.src + QStringLiteral("/missing.tif")});
        QVERIFY(TestFiles::WriteFile(run.src + QStringLiteral("/notes.tif"), "these are notes, not an image\n"));
        run.form().addListItem(run.src + QStringLiteral("/notes.tif"));
        run.addTiff(QStringLiteral("last.tif"), last);
        run.saveInFolder(run.out);
        run.start();
        const QStringList details = run.lastDetails();
        QCOMPARE(details.size(), 3);
        QVERIFY2(details[0].startsWith(run.src + QStringLiteral("/broken.tif: not converted: damaged")),
                 qPrintable(details[0]));
        QCOMPARE(details[1], run.src
                                 + QStringLiteral("/missing.tif: not converted: the file was gone or could not be read "
                                                  "when its turn came (No such file or directory)"));
        QCOMPARE(details[2], run.src + QStringLiteral("/notes.tif: not converted: not a TIFF file"));
        verifyFinished(run, QStringLiteral("Done.\n3 of 5 files were not converted completely."), details);
        QStringList names = Entries(run.out);
        QCOMPARE(names, (QStringList{QStringLiteral("first.png_1.png"), QStringLiteral("last.png_1.png"),
                                     QStringLiteral("last.png_2.png")}));
        QCOMPARE(TestTiff::ReadPng(run.out + QStringLiteral("/last.png_2.png")), TestTiff::Pixels(last[1]));
    }

    // The destination removed while the run goes: the files before it are whole, each file after it is
    // named with the folder that could not be written.
    void destinationRemovedMidRunIsNamed()
    {
        // One call at a time: "Processing: b.tif" then means a.tif is done and b.tif not begun.
        ConvertRun run(ConvertRun::kDefaultTempName, ConversionRun::kDefaultToolTimeoutMs, 1);
        const QString dest = run.out + QStringLiteral("/dest");
        QVERIFY(QDir().mkpath(dest));
        const QList<Page> pages = pagesOf(2, 4);
        QStringList sources;
        for (const char* name : {"a.tif", "b.tif", "c.tif"})
            sources << run.addTiff(QString::fromLatin1(name), pages);
        run.saveInFolder(dest);
        DuringTheRun(
            run, [&] { return run.form().progressText() == QStringLiteral("Processing: b.tif"); },
            [&] { QVERIFY(QDir(dest).removeRecursively()); });
        const QString why = QStringLiteral(": 0 of 2 pages written; pages 1, 2: the output folder ") + dest
                            + QStringLiteral("/ cannot be written (No such file or directory)");
        verifyFinished(run, QStringLiteral("Done.\n2 of 3 files were not converted completely."),
                       {sources[1] + why, sources[2] + why});
        QVERIFY(!QFileInfo::exists(dest));
    }

    // A converter killed on page 2: pages 1 and 3 keep their numbers, nothing stands under _2, and the
    // closing box names page 2.
    void killedToolLeavesItsPageNamed()
    {
        ConvertRun run;
        // Page 2 is large enough that its converter is still running when the window next looks.
        const QList<Page> pages{Page{20, 12, 1, false}, Page{3000, 2500, 2, false}, Page{22, 15, 3, true}};
        const QString source = run.addTiff(QStringLiteral("big.tif"), pages);
        run.saveInFolder(run.out);
        qint64 killed = 0;
        DuringTheRun(
            run,
            [&] {
                const qint64 group = run.form().runningToolGroup();
                return group > 0 && MemberRunning(group, "varnholtaab.tif") > 0;
            },
            [&] {
                killed = run.form().runningToolGroup();
                ::kill(static_cast<pid_t>(-killed), SIGKILL);
            });
        QVERIFY(killed > 1);
        QCOMPARE(Entries(run.out),
                 (QStringList{QStringLiteral("big.png_1.png"), QStringLiteral("big.png_3.png")}));
        QCOMPARE(TestTiff::ReadPng(run.out + QStringLiteral("/big.png_1.png")), TestTiff::Pixels(pages[0]));
        QCOMPARE(TestTiff::ReadPng(run.out + QStringLiteral("/big.png_3.png")), TestTiff::Pixels(pages[2]));
        verifyFinished(run, QStringLiteral("Done.\n1 of 1 file was not converted completely."),
                       {source
                        + QStringLiteral(": 2 of 3 pages written (1, 3); page 2: the converter ended without a "
                                         "result (it was stopped or took too long)")});
    }
};

QTEST_MAIN(ConvertResultTest)
#include "convert_result_test.moc"
