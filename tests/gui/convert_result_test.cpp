// The end of a run in the window: the closing box comes through the window's dialogs once the window
// is at rest again. What each file gave, and the box's words for it, are checked once, at the engine
// (tests/unit/convert_run_test.cpp).
#include "convert_checks.h"

using namespace Tovanel;

class ConvertResultTest : public QObject {
    Q_OBJECT
private slots:
    // "Done." alone, or a warning whose details name the file that gave nothing; either way the pointer,
    // the bar and its caption are back to rest by the time the box shows.
    void theClosingBoxComesWithTheWindowAtRest_data()
    {
        QTest::addColumn<bool>("damaged");   // a damaged file listed after a good one
        QTest::addColumn<QString>("text");
        QTest::newRow("everything converted") << false << "Done.";
        QTest::newRow("a damaged file") << true << "Done.\n1 of 2 files were not converted completely.";
    }
    void theClosingBoxComesWithTheWindowAtRest()
    {
        QFETCH(bool, damaged);
        QFETCH(QString, text);
        ConvertRun run;
        run.addTiff(QStringLiteral("a.tif"), TestTiff::PagesOf(2));
        const QString broken = run.src + QStringLiteral("/broken.tif");
        if (damaged) {
            QVERIFY(TestTiff::WriteDamaged(broken));
            run.form().addListItem(broken);
        }
        run.saveInFolder(run.out);
        QStringList atTheBox;
        run.dialogs().onMessage = [&](const Shown&) {
            atTheBox << QString::number(run.form().mousePointer()) << QString::number(run.ui().ProgressBar1->value())
                     << run.form().progressText() << run.ui().ProgressBar1->format();
        };
        run.start();
        QCOMPARE(atTheBox, (QStringList{QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("Progress Bar"),
                                        QStringLiteral("Progress Bar")}));
        const QStringList details = run.lastDetails();
        QCOMPARE(details.size(), damaged ? 1 : 0);
        if (damaged)
            QVERIFY2(details[0].startsWith(broken + QStringLiteral(": not converted: damaged")), qPrintable(details[0]));
        verifyFinished(run, text, details);
        QCOMPARE(Entries(run.out), TestTiff::OutputNames(QStringLiteral("a"), 2));
    }
};

QTEST_MAIN(ConvertResultTest)
#include "convert_result_test.moc"
