// Runs started from the window: its options and folder box decide where the pages go, or that the run
// does not start. What a run writes is checked once, at the engine (tests/unit/convert_run_test.cpp).
#include "convert_checks.h"

using namespace Tovanel;

class ConvertRunTest : public QObject {
    Q_OBJECT
private slots:
    // Beside the source the folder box does not matter, whatever it holds; with neither option chosen
    // the run would write nowhere: it does not start, and says which choice to make.
    void theOptionsChooseTheDestination_data()
    {
        QTest::addColumn<QString>("option");   // "folder", "beside" or "neither"
        QTest::addColumn<QString>("folderBox");   // relative to the test folder
        QTest::addColumn<QString>("written");   // where the pages go; "" = nowhere
        QTest::newRow("this folder") << "folder" << "out" << "out";
        QTest::newRow("beside the source, the box naming no folder") << "beside" << "nowhere" << "src";
        QTest::newRow("neither option") << "neither" << "out" << "";
    }
    void theOptionsChooseTheDestination()
    {
        QFETCH(QString, option);
        QFETCH(QString, folderBox);
        QFETCH(QString, written);
        ConvertRun run;
        run.addTiff(QStringLiteral("a.tif"), TestTiff::PagesOf(3));
        run.saveInFolder(run.root + QLatin1Char('/') + folderBox);
        if (option == QLatin1String("beside"))
            run.saveBesideSource();
        for (QRadioButton* button : {run.ui().Option1, run.ui().Option2}) {
            if (option == QLatin1String("neither")) {
                button->setAutoExclusive(false);
                button->setChecked(false);
            }
        }
        run.start();
        const QStringList pages = TestTiff::OutputNames(QStringLiteral("a"), 3);
        if (written.isEmpty()) {
            QCOMPARE(run.dialogs().messages().size(), 1);
            QCOMPARE(run.lastMessage(), kNoDestinationMessage);
            QCOMPARE(run.form().mousePointer(), 0);
            QVERIFY(!run.form().isConverting());
        } else {
            verifyFinished(run);
        }
        QCOMPARE(Entries(run.out), written == QLatin1String("out") ? pages : QStringList());
        QCOMPARE(Entries(run.src), (written == QLatin1String("src") ? pages : QStringList()) + QStringList{QStringLiteral("a.tif")});
    }
};

QTEST_MAIN(ConvertRunTest)
#include "convert_run_test.moc"
