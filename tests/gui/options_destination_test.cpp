// The output destination: option buttons, the folder box, the browse button, and what they store.
#include "test_files.h"
#include "window_fixture.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

using namespace Tovanel;
using TestFiles::WriteFile;

namespace {

void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(8, w->height() / 2)); }

} // namespace

class OutputDestination : public QObject {
    Q_OBJECT
private:
    QTemporaryDir config;
    QTemporaryDir program;

private slots:
    void init()
    {
        QDir(config.path()).removeRecursively();
        QDir().mkpath(config.path());
    }

    void optionButtonsStoreBothAndEnableTheFolderBox()
    {
        WindowFixture w(config.path(), program.path());
        const QString text = w.ui().Text1->text();
        QVERIFY(!text.isEmpty());

        Click(w.ui().Option2);
        QVERIFY(w.ui().Option2->isChecked());
        QVERIFY(!w.ui().Option1->isChecked());
        QCOMPARE(w.stored(QStringLiteral("Option1")).toString(), QStringLiteral("False"));
        QCOMPARE(w.stored(QStringLiteral("Option2")).toString(), QStringLiteral("True"));
        QVERIFY(!w.ui().Text1->isEnabled());
        QVERIFY(!w.ui().PushButton6->isEnabled());
        QCOMPARE(w.ui().Text1->text(), text);
        QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), text);

        Click(w.ui().Option1);
        QVERIFY(w.ui().Option1->isChecked());
        QCOMPARE(w.stored(QStringLiteral("Option1")).toString(), QStringLiteral("True"));
        QCOMPARE(w.stored(QStringLiteral("Option2")).toString(), QStringLiteral("False"));
        QVERIFY(w.ui().Text1->isEnabled());
        QVERIFY(w.ui().PushButton6->isEnabled());
        QCOMPARE(w.ui().Text1->text(), text);
        QVERIFY(w.dialogs.shown.isEmpty());
    }

    void everyKeystrokeIsStoredAndAnEmptyBoxComesBackEmpty()
    {
        {
            WindowFixture w(config.path(), program.path());
            QLineEdit* box = w.ui().Text1;
            box->setFocus();
            box->selectAll();
            QTest::keyClick(box, Qt::Key_Backspace);
            QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), QString());
            for (const QChar c : QStringLiteral("/srv/x")) {
                QTest::keyClick(box, c.toLatin1());
                QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), box->text());
            }
            QCOMPARE(box->text(), QStringLiteral("/srv/x"));
            box->selectAll();
            QTest::keyClick(box, Qt::Key_Delete);
            QCOMPARE(w.stored(QStringLiteral("Text1")).isValid(), true);
            QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), QString());
        }
        WindowFixture again(config.path(), program.path());
        QCOMPARE(again.ui().Text1->text(), QString());
    }

    void secondStartRestoresWhatTheUserLeft()
    {
        {
            WindowFixture w(config.path(), program.path());
            w.ui().Text1->selectAll();
            QTest::keyClicks(w.ui().Text1, QStringLiteral("/data/typed here"));
            Click(w.ui().Option2);
        }
        WindowFixture again(config.path(), program.path());
        QCOMPARE(again.ui().Text1->text(), QStringLiteral("/data/typed here"));
        QVERIFY(again.ui().Option2->isChecked());
        QVERIFY(!again.ui().Option1->isChecked());
        QVERIFY(!again.ui().Frame4->isEnabled());
        QVERIFY(again.dialogs.shown.isEmpty());
    }

    void browseFillsTheBoxAndRemembersTheFolder_data()
    {
        QTest::addColumn<QString>("picked");           // "%T" stands for a fresh temporary folder
        QTest::addColumn<QString>("expectedText");     // "%O": the text before the browse
        QTest::addColumn<QString>("expectedRemembered");
        QTest::newRow("ordinary folder") << "%T/out" << "%T/out/" << "%T/out";
        QTest::newRow("folder with blanks") << "%T/my out" << "%T/my out/" << "%T/my out";
        QTest::newRow("root") << "/" << "/" << "/";
        QTest::newRow("cancelled") << "" << "%O" << "%T";
    }

    void browseFillsTheBoxAndRemembersTheFolder()
    {
        QFETCH(QString, picked);
        QFETCH(QString, expectedText);
        QFETCH(QString, expectedRemembered);
        QTemporaryDir folders;
        QDir().mkpath(folders.path() + QStringLiteral("/out"));
        auto fill = [&](QString s) { return s.replace(QStringLiteral("%T"), folders.path()); };
        QVERIFY(WriteFile(config.path() + QStringLiteral("/Varnholt.ini"),
                  "[Tovanel]\nSnapshot=/x/Samples/a.tif\nLastFolderDot=" + folders.path().toUtf8() + "\n"));

        WindowFixture w(config.path(), program.path());
        const QString before = w.ui().Text1->text();
        w.dialogs.folders.enqueue(fill(picked));
        Click(w.ui().PushButton6);

        QCOMPARE(w.dialogs.shown.size(), 1);
        QCOMPARE(w.dialogs.shown[0].kind, QStringLiteral("pickFolder"));
        QCOMPARE(w.dialogs.shown[0].text, QStringLiteral("Please select folder:"));
        QCOMPARE(w.dialogs.shown[0].extra, folders.path());
        const QString text = expectedText == QLatin1String("%O") ? before : fill(expectedText);
        QCOMPARE(w.ui().Text1->text(), text);
        QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), text);
        QCOMPARE(w.stored(QStringLiteral("LastFolderDot")).toString(), fill(expectedRemembered));
    }

    void unsavableChangeIsReportedOncePerOutage()
    {
        WindowFixture w(config.path(), program.path());
        QTemporaryDir elsewhere;
        QVERIFY(WriteFile(elsewhere.path() + QStringLiteral("/file"), "x"));
        const QByteArray broken = (elsewhere.path() + QStringLiteral("/file/config")).toUtf8();

        qputenv("XDG_CONFIG_HOME", broken);
        QTest::keyClicks(w.ui().Text1, QStringLiteral("ab"));
        Click(w.ui().Option2);
        QCOMPARE(w.dialogs.messages().size(), 1);
        const Shown notice = w.dialogs.messages().first();
        QVERIFY2(notice.text.startsWith(QStringLiteral("The setting \"Text1\" could not be saved")), qPrintable(notice.text));
        QCOMPARE(notice.title, QString());
        QCOMPARE(notice.icon, Icon::Warning);
        QVERIFY(!w.ui().Frame4->isEnabled());   // the window still follows the click

        // A save that works ends the outage; the next one is reported again.
        qputenv("XDG_CONFIG_HOME", w.configPath.toUtf8());
        Click(w.ui().Option1);
        QCOMPARE(w.stored(QStringLiteral("Option1")).toString(), QStringLiteral("True"));
        QCOMPARE(w.dialogs.messages().size(), 1);
        qputenv("XDG_CONFIG_HOME", broken);
        QTest::keyClicks(w.ui().Text1, QStringLiteral("c"));
        QCOMPARE(w.dialogs.messages().size(), 2);
        qputenv("XDG_CONFIG_HOME", w.configPath.toUtf8());
    }

    void unsavableBrowseResultIsReportedByTheTrap()
    {
        WindowFixture w(config.path(), program.path());
        QTemporaryDir elsewhere;
        QVERIFY(WriteFile(elsewhere.path() + QStringLiteral("/file"), "x"));
        qputenv("XDG_CONFIG_HOME", (elsewhere.path() + QStringLiteral("/file/config")).toUtf8());
        w.dialogs.folders.enqueue(elsewhere.path());
        Click(w.ui().PushButton6);
        qputenv("XDG_CONFIG_HOME", w.configPath.toUtf8());

        const QList<Shown> reports = w.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports[0].text.contains(QStringLiteral("Form1.PushButton6_Click at line 104")));
        // The handler goes on: the box shows the choice even though it could not be remembered.
        QCOMPARE(w.ui().Text1->text(), elsewhere.path() + QLatin1Char('/'));
    }
};

QTEST_MAIN(OutputDestination)
#include "options_destination_test.moc"
