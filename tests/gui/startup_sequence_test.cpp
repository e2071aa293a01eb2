// The start-up: first start, the destination restored from stored settings, the web-site chance,
// and a damaged settings file.
#include "settings/settings.h"
#include "app/startup.h"
#include "test_files.h"
#include "window_fixture.h"

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QScopeGuard>
#include <QTreeWidget>

using namespace Tovanel;
using TestFiles::ReadFile;

namespace {

} // namespace

class StartupSequence : public QObject {
    Q_OBJECT
private:
    // A config folder whose user-dirs file names a desktop of its own, and a program folder.
    QTemporaryDir config;
    QTemporaryDir program;
    QString desktop;

    void stage(const QByteArray& iniContent)
    {
        QDir(config.path()).removeRecursively();
        QDir().mkpath(config.path());
        desktop = config.path() + QStringLiteral("/Pulpit");
        QDir().mkpath(desktop);
        QVERIFY(TestFiles::WriteFile(config.path() + QStringLiteral("/user-dirs.dirs"),
                                     "XDG_DESKTOP_DIR=\"" + desktop.toUtf8() + "\"\n", true));
        if (!iniContent.isNull())
            QVERIFY(TestFiles::WriteFile(config.path() + QStringLiteral("/Varnholt.ini"), iniContent, true));
    }

private slots:
    void init()
    {
        QDir(program.path()).removeRecursively();
        QDir().mkpath(program.path() + QStringLiteral("/Samples"));
        QVERIFY(TestFiles::WriteFile(program.path() + QStringLiteral("/Samples/b.tif"), "II*\0", true));
        QVERIFY(TestFiles::WriteFile(program.path() + QStringLiteral("/Samples/A.tif"), "II*\0", true));
    }

    void firstStartShowsTheDesktopAndRecordsTheSamples()
    {
        stage(QByteArray());
        WindowFixture w(config.path(), program.path());
        const QString expectedDesktop = desktop + QLatin1Char('/');
        QCOMPARE(w.ui().Text1->text(), expectedDesktop);
        QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), expectedDesktop);
        QVERIFY(w.ui().Option1->isChecked());
        QVERIFY(!w.ui().Option2->isChecked());
        QVERIFY(w.ui().Frame4->isEnabled());
        // The options are first stored when the user uses them.
        QVERIFY(!w.stored(QStringLiteral("Option1")).isValid());
        QVERIFY(!w.stored(QStringLiteral("Option2")).isValid());
        QCOMPARE(w.stored(QStringLiteral("Snapshot")).toString(),
                 program.path() + QStringLiteral("/Samples/A.tif|") + program.path() + QStringLiteral("/Samples/b.tif"));
        QCOMPARE(w.form->windowTitle(), QStringLiteral("Tovanel"));
        QCOMPARE(w.ui().ListView1->headerItem()->text(0), QStringLiteral("TIFF File(s)"));
        QCOMPARE(w.ui().ListView1->columnWidth(0), 7000 / 15);
        QVERIFY(w.dialogs.shown.isEmpty());
    }

    // The destination offered at a first start must be a folder that exists.
    void firstStartOffersAnExistingFolder_data()
    {
        QTest::addColumn<QString>("userDirs");   // the desktop user-dirs.dirs names ("" = no such file)
        QTest::addColumn<QStringList>("made");    // folders under the home folder that exist
        QTest::addColumn<QString>("offered");    // under the home folder, with its closing "/"
        QTest::newRow("named desktop exists") << "$HOME/Pulpit" << QStringList{"Pulpit"} << "Pulpit/";
        QTest::newRow("named desktop missing") << "$HOME/Pulpit" << QStringList{"Desktop"} << "";
        QTest::newRow("no user-dirs, ~/Desktop exists") << "" << QStringList{"Desktop"} << "Desktop/";
        QTest::newRow("no user-dirs, no ~/Desktop") << "" << QStringList{} << "";
        QTest::newRow("named desktop is a file") << "$HOME/Pulpit" << QStringList{} << "";
    }

    void firstStartOffersAnExistingFolder()
    {
        QFETCH(QString, userDirs);
        QFETCH(QStringList, made);
        QFETCH(QString, offered);
        QTemporaryDir home;
        const QByteArray oldHome = qgetenv("HOME");
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", oldHome); });
        qputenv("HOME", QFile::encodeName(home.path()));
        stage(QByteArray());
        QFile::remove(config.path() + QStringLiteral("/user-dirs.dirs"));
        if (!userDirs.isEmpty())
            QVERIFY(TestFiles::WriteFile(config.path() + QStringLiteral("/user-dirs.dirs"),
                                         "XDG_DESKTOP_DIR=\"" + userDirs.toUtf8() + "\"\n", true));
        for (const QString& folder : made)
            QVERIFY(QDir().mkpath(home.path() + QLatin1Char('/') + folder));
        if (QTest::currentDataTag() == QByteArray("named desktop is a file"))
            QVERIFY(TestFiles::WriteFile(home.path() + QStringLiteral("/Pulpit"), "not a folder", true));

        WindowFixture w(config.path(), program.path());

        const QString expected = home.path() + QLatin1Char('/') + offered;
        QCOMPARE(w.ui().Text1->text(), expected);
        QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), expected);
        QVERIFY(QFileInfo(expected).isDir());
        QVERIFY(w.dialogs.shown.isEmpty());
    }

    void storedOptionsAreRestored_data()
    {
        QTest::addColumn<QVariant>("option1");          // null: not stored
        QTest::addColumn<QVariant>("option2");
        QTest::addColumn<bool>("selected1");
        QTest::addColumn<bool>("selected2");
        QTest::addColumn<QString>("storedAfter1");
        QTest::addColumn<QString>("storedAfter2");
        QTest::addColumn<QList<int>>("reportedLines");

        const QVariant absent;
        QTest::newRow("one and zero") << QVariant("1") << QVariant("0") << true << false << "1" << "0" << QList<int>{};
        QTest::newRow("minus one") << QVariant("-1") << QVariant("0") << true << false << "-1" << "0" << QList<int>{};
        QTest::newRow("upper case TRUE") << QVariant("TRUE") << QVariant("false") << true << false << "TRUE" << "false"
                                         << QList<int>{};
        QTest::newRow("fraction") << QVariant("2.5") << absent << true << false << "2.5" << "" << QList<int>{};
        QTest::newRow("option two") << QVariant("False") << QVariant("True") << false << true << "False" << "True"
                                    << QList<int>{};
        QTest::newRow("zero and one") << QVariant("0") << QVariant("1") << false << true << "False" << "True"
                                      << QList<int>{};
        QTest::newRow("both false") << QVariant("False") << QVariant("False") << false << false << "False" << "False"
                                    << QList<int>{};
        QTest::newRow("both true") << QVariant("True") << QVariant("True") << false << true << "False" << "True"
                                   << QList<int>{};
        // A value that is no truth value is reported and replaced by the default, so the next start is quiet.
        QTest::newRow("option1 not a truth value")
            << QVariant("maybe") << QVariant("False") << true << false << "True" << "False" << QList<int>{138};
        QTest::newRow("option2 not a truth value")
            << QVariant("False") << QVariant("yes") << false << false << "False" << "False" << QList<int>{140};
        QTest::newRow("neither a truth value")
            << QVariant("maybe") << QVariant("yes") << true << false << "True" << "False" << QList<int>{138, 140};
        QTest::newRow("option1 empty, option2 true")
            << QVariant("") << QVariant("True") << false << true << "False" << "True" << QList<int>{138};
    }

    void storedOptionsAreRestored()
    {
        QFETCH(QVariant, option1);
        QFETCH(QVariant, option2);
        QFETCH(bool, selected1);
        QFETCH(bool, selected2);
        QFETCH(QString, storedAfter1);
        QFETCH(QString, storedAfter2);
        QFETCH(QList<int>, reportedLines);

        QByteArray ini = "[Tovanel]\nSnapshot=/x/Samples/a.tif\n";
        if (!option1.isNull())
            ini += "Option1=" + option1.toString().toUtf8() + "\n";
        if (!option2.isNull())
            ini += "Option2=" + option2.toString().toUtf8() + "\n";
        stage(ini);
        WindowFixture w(config.path(), program.path());

        QCOMPARE(w.ui().Option1->isChecked(), selected1);
        QCOMPARE(w.ui().Option2->isChecked(), selected2);
        QCOMPARE(w.ui().Frame4->isEnabled(), selected1);
        QCOMPARE(w.ui().Text1->isEnabled(), selected1);
        QCOMPARE(w.ui().PushButton6->isEnabled(), selected1);
        QCOMPARE(w.stored(QStringLiteral("Option1")).toString(), storedAfter1);
        QCOMPARE(w.stored(QStringLiteral("Option2")).toString(), storedAfter2);
        const QList<Shown> reports = w.dialogs.errorReports();
        QCOMPARE(reports.size(), reportedLines.size());
        for (int i = 0; i < reports.size(); ++i) {
            QVERIFY(reports[i].text.startsWith(QStringLiteral("Type mismatch\r\n")));
            QVERIFY2(reports[i].text.contains(QStringLiteral("in Brisquet2021/08/31.Form1.Form_Load at line ")
                                              + QString::number(reportedLines[i]) + QStringLiteral("\r\r")),
                     qPrintable(reports[i].text));
        }
        // The same state comes back at the next start, and nothing is reported again.
        WindowFixture again(config.path(), program.path());
        QCOMPARE(again.ui().Option1->isChecked(), selected1);
        QCOMPARE(again.ui().Option2->isChecked(), selected2);
        QCOMPARE(again.ui().Frame4->isEnabled(), selected1);
        QVERIFY(again.dialogs.shown.isEmpty());
    }

    void storedTextIsRestoredAsStored_data()
    {
        QTest::addColumn<QByteArray>("iniLine");
        QTest::addColumn<QString>("expected");
        QTest::newRow("emptied by the user") << QByteArray("Text1=\n") << QString();
        QTest::newRow("typed without trailing slash") << QByteArray("Text1=/srv/out\n") << QStringLiteral("/srv/out");
        QTest::newRow("browsed") << QByteArray("Text1=/srv/out/\n") << QStringLiteral("/srv/out/");
    }

    void storedTextIsRestoredAsStored()
    {
        QFETCH(QByteArray, iniLine);
        QFETCH(QString, expected);
        stage("[Tovanel]\nSnapshot=/x/Samples/a.tif\n" + iniLine);
        WindowFixture w(config.path(), program.path());
        QCOMPARE(w.ui().Text1->text(), expected);
        QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), expected);
        QVERIFY(w.dialogs.shown.isEmpty());
    }

    void webSiteOpensAtOneDrawInAHundred_data()
    {
        QTest::addColumn<double>("r");
        QTest::addColumn<bool>("opens");
        QTest::newRow("lowest") << 0.0 << false;
        QTest::newRow("just below seven") << 0.0599999 << false;
        QTest::newRow("seven begins") << 0.06 << true;
        QTest::newRow("seven ends") << 0.0699999 << true;
        QTest::newRow("eight") << 0.07 << false;
        QTest::newRow("highest") << 0.9999999 << false;
    }

    void webSiteOpensAtOneDrawInAHundred()
    {
        QFETCH(double, r);
        QFETCH(bool, opens);
        stage(QByteArray());
        WindowFixture w(config.path(), program.path(), [r](FakeDialogs& d) { d.randoms.enqueue(r); });
        QVERIFY(w.dialogs.randoms.isEmpty());
        const QList<QUrl> expected = opens ? QList<QUrl>{QUrl(QStringLiteral("https://tovanel.org/"))} : QList<QUrl>{};
        QCOMPARE(w.dialogs.opened, expected);
    }

    void handCursorClicksWhereItsFileSays()
    {
        stage(QByteArray());
        QVERIFY(QFile::copy(builtProgramFolder() + QStringLiteral("/HAND-M.CUR"), program.path() + QStringLiteral("/HAND-M.CUR")));
        WindowFixture w(config.path(), program.path());
        w.form->setMousePointer(PointerCustom);
        QCOMPARE(w.form->cursor().shape(), Qt::BitmapCursor);
        QCOMPARE(w.form->cursor().hotSpot(), QPoint(6, 0));   // as resources/art/make_art.py draws it
        QVERIFY(w.dialogs.shown.isEmpty());
    }

    void damagedSettingsFileIsKeptAsideAndStartUpGoesOn()
    {
        const QByteArray garbage("\x89PNG\r\n\x1a\n\0\0\0\rIHDR garbage", 24);
        stage(garbage);
        WindowFixture w(config.path(), program.path());
        const QString ini = config.path() + QStringLiteral("/Varnholt.ini");

        const QList<Shown> reports = w.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].text.contains(ini + QStringLiteral(".bad")), qPrintable(reports[0].text));
        QVERIFY(reports[0].text.contains(QStringLiteral("Form_Load at line 110")));
        QCOMPARE(ReadFile(ini + QStringLiteral(".bad")), garbage);
        // Defaults for everything, and the new file holds what this start stored.
        QCOMPARE(w.ui().Text1->text(), desktop + QLatin1Char('/'));
        QVERIFY(w.ui().Option1->isChecked());
        QVERIFY(w.ui().Frame4->isEnabled());
        QCOMPARE(w.stored(QStringLiteral("Text1")).toString(), desktop + QLatin1Char('/'));
        QVERIFY(w.stored(QStringLiteral("Snapshot")).toString().endsWith(QStringLiteral("/Samples/b.tif")));
        QCOMPARE(w.dialogs.messages().size(), 1);

        // The next start finds a sound file and says nothing.
        WindowFixture again(config.path(), program.path());
        QVERIFY(again.dialogs.shown.isEmpty());
        QCOMPARE(ReadFile(ini + QStringLiteral(".bad")), garbage);
    }
};

QTEST_MAIN(StartupSequence)
#include "startup_sequence_test.moc"
