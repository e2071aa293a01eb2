// The run's flow in the window: refusals, progress, re-entry, closing mid-run, and the temporary folder's safety.
#include "convert_checks.h"

#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace Tovanel;
using TestTiff::Page;

namespace {

const QList<Page> kThreePages{Page{16, 8, 1, false}, Page{16, 8, 2, true}, Page{16, 8, 3, false}};

QStringList outputsIn(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
}

using TestTiff::OutputNames;

// The three pages of a.tif listed, to be saved in the output folder.
void listIntoOut(ConvertRun& run)
{
    run.addTiff(QStringLiteral("a.tif"), kThreePages);
    run.saveInFolder(run.out);
}

void writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions perms)
{
    QVERIFY(TestFiles::WriteFile(path, bytes));
    QVERIFY(QFile::setPermissions(path, perms));
}

// Killed members that were handed to init may linger as zombies for a while; only live ones count.
bool noLiveProcessIn(qint64 group)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        bool live = false;
        for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
            if (!pid.front().isDigit() || !stat.open(QIODevice::ReadOnly))
                continue;
            const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
            // After the name: state, parent, process group.
            if (fields.size() > 2 && fields[2].toLongLong() == group && fields[0] != "Z")
                live = true;
        }
        if (!live)
            return true;
        QTest::qWait(10);
    }
    return false;
}

} // namespace

class ConvertFlowTest : public QObject {
    Q_OBJECT
private slots:
    void refusalsLeaveEverythingUntouched_data()
    {
        QTest::addColumn<bool>("withFile");
        QTest::addColumn<QString>("folder");   // relative to the test folder; "" = the output folder
        QTest::addColumn<QString>("message");
        QTest::newRow("empty list") << false << "" << "No files added.";
        QTest::newRow("missing output folder") << true << "nowhere" << "Folder does not exist. Please select another folder.";
        QTest::newRow("output folder is a file") << true << "src/a.tif" << "Folder does not exist. Please select another folder.";
    }
    void refusalsLeaveEverythingUntouched()
    {
        QFETCH(bool, withFile);
        QFETCH(QString, folder);
        QFETCH(QString, message);
        ConvertRun run;
        if (withFile)
            run.addTiff(QStringLiteral("a.tif"), kThreePages);
        run.saveInFolder(folder.isEmpty() ? run.out : run.root + QLatin1Char('/') + folder);
        run.start();
        const QList<Shown> shown = run.dialogs().messages();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, message);
        QCOMPARE(shown[0].title, QString());
        QCOMPARE(shown[0].icon, Icon::None);
        QCOMPARE(shown[0].buttons, Buttons::Ok);
        QCOMPARE(run.form().mousePointer(), 0);
        QCOMPARE(run.form().progressText(), QStringLiteral("Progress Bar"));
        QVERIFY(!run.form().isConverting());
        QCOMPARE(Entries(run.temp), QStringList());
    }

    // Beside the source, the folder box does not matter, whatever it holds.
    void besideTheSourceIgnoresTheFolderBox()
    {
        ConvertRun run;
        run.addTiff(QStringLiteral("a.tif"), kThreePages);
        run.ui().Text1->setText(run.root + QStringLiteral("/nowhere"));
        run.saveBesideSource();
        run.start();
        QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        QCOMPARE(outputsIn(run.src), OutputNames(QStringLiteral("a"), 3));
    }

    // With neither option chosen the run would write nowhere: it does not start, and says which
    // choice to make.
    void neitherOptionRefusesToStart()
    {
        ConvertRun run;
        run.addTiff(QStringLiteral("a.tif"), kThreePages);
        run.ui().Text1->setText(run.out);
        for (QRadioButton* option : {run.ui().Option1, run.ui().Option2}) {
            option->setAutoExclusive(false);
            option->setChecked(false);
        }
        run.start();
        QCOMPARE(run.lastMessage(), kNoDestinationMessage);
        QCOMPARE(run.form().mousePointer(), 0);
        QCOMPARE(outputsIn(run.out), QStringList());
        QCOMPARE(outputsIn(run.src), QStringList());
    }

    // The bar takes i / m x 100 with its fraction at the start of each file, and the caption its name;
    // a screen reader hears the caption as the bar's name.
    void progressFollowsTheFiles()
    {
        ConvertRun run;
        for (const char* name : {"one.tif", "two.tif", "three.tif"})
            run.addTiff(QString::fromLatin1(name), {Page{8, 8, 1, false}});
        run.saveInFolder(run.out);
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(run.ui().ProgressBar1);
        QVERIFY(bar);
        QList<QPair<QString, double>> seen;
        QStringList spoken, shown;
        EachMoment(run, [&] {
            const QString caption = run.form().progressText();
            shown << caption;
            spoken << bar->text(QAccessible::Name);
            if (Processing(run) && (seen.isEmpty() || seen.last().first != caption))
                seen.append({caption, run.form().progressValue()});
        });
        QCOMPARE(spoken, shown);
        QCOMPARE(bar->text(QAccessible::Name), QStringLiteral("Progress Bar"));
        QCOMPARE(seen.size(), 3);
        QCOMPARE(seen[0].first, QStringLiteral("Processing: one.tif"));
        QCOMPARE(seen[1].first, QStringLiteral("Processing: two.tif"));
        QCOMPARE(seen[2].first, QStringLiteral("Processing: three.tif"));
        QCOMPARE(seen[0].second, 100.0 / 3);
        QCOMPARE(seen[1].second, 200.0 / 3);
        QCOMPARE(seen[2].second, 100.0);
        QCOMPARE(run.form().progressValue(), 0.0);
        QCOMPARE(run.ui().ProgressBar1->value(), 0);
    }

    void secondClickDuringARunDoesNothing()
    {
        ConvertRun run;
        run.addTiff(QStringLiteral("a.tif"), kThreePages);
        run.addTiff(QStringLiteral("b.tif"), kThreePages);
        run.saveInFolder(run.out);
        int clicks = 0;
        DuringTheRun(run, [&] { return Processing(run); }, [&] {
            ++clicks;
            QCOMPARE(run.form().mousePointer(), 11);
            QTest::mouseClick(run.ui().PushButton2, Qt::LeftButton);
        });
        QCOMPARE(clicks, 1);
        QCOMPARE(run.dialogs().messages().size(), 1);
        QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        QCOMPARE(outputsIn(run.out), OutputNames(QStringLiteral("a"), 3) + OutputNames(QStringLiteral("b"), 3));
    }

    // Escape or closing the window while a tool runs asks once whether to stop. No lets the run go
    // through to "Done.". Yes stops the tools' whole process group and lets the run clean up: only whole
    // pages stay, the run's folder goes, and then the box says "Stopped." and names what was not
    // converted (Escape) or the program ends without a box (closing).
    void stoppingDuringARunAsksFirst_data()
    {
        QTest::addColumn<bool>("closing");
        QTest::addColumn<bool>("yes");
        QTest::newRow("Escape, No") << false << false;
        QTest::newRow("Escape, Yes") << false << true;
        QTest::newRow("closing, No") << true << false;
        QTest::newRow("closing, Yes") << true << true;
    }
    void stoppingDuringARunAsksFirst()
    {
        QFETCH(bool, closing);
        QFETCH(bool, yes);
        ConvertRun run(ConvertRun::kDefaultTempName, ConversionRun::kDefaultToolTimeoutMs, 1);
        listIntoOut(run);
        // One slot: b.tif begins only once a.tif's tools have all ended.
        const QString b = run.addTiff(QStringLiteral("b.tif"), kThreePages);
        // Outside a run Escape asks nothing.
        QTest::keyClick(run.ui().PushButton2, Qt::Key_Escape);
        QCOMPARE(run.dialogs().messages().size(), 0);
        run.dialogs().answers.enqueue(yes ? Answer::Yes : Answer::No);
        // A second Escape or close while the question is open asks nothing more.
        bool again = false;
        run.dialogs().onMessage = [&](const Shown& shown) {
            if (shown.buttons == Buttons::YesNo && !std::exchange(again, true)) {
                QTest::keyClick(run.ui().ListView1, Qt::Key_Escape);
                run.form().close();
            }
        };
        qint64 group = 0;
        int endsAtAsking = -1;
        QStringList written;
        DuringTheRun(run, [&] { return run.form().runningToolGroup() > 0; }, [&] {
            group = run.form().runningToolGroup();
            written = outputsIn(run.out);
            closing ? (void)run.form().close() : QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            endsAtAsking = run.endProgramCalls;
        });
        QList<Shown> shown = run.dialogs().messages();
        QVERIFY(!shown.isEmpty());
        const Shown question = shown.takeFirst();
        QCOMPARE(question.text, QStringLiteral("Stop converting? The pages written so far are kept."));
        QCOMPARE(question.title, QString());
        QCOMPARE(question.buttons, Buttons::YesNo);
        QCOMPARE(question.icon, Icon::Question);
        QCOMPARE(endsAtAsking, 0);
        QCOMPARE(run.endProgramCalls, closing && yes ? 1 : 0);
        QCOMPARE(run.form().isVisible(), !(closing && yes));
        if (!yes) {
            verifyFinished(run);
            QCOMPARE(shown.size(), 1);
            QCOMPARE(outputsIn(run.out), OutputNames(QStringLiteral("a"), 3) + OutputNames(QStringLiteral("b"), 3));
            return;
        }
        if (closing) {
            QCOMPARE(shown.size(), 0);
            QCOMPARE(run.tempAtEndProgram, QStringList());
        } else {
            QCOMPARE(shown.size(), 1);
            // a.tif may have lost pages or, when its last tool ended just before the stop, none.
            const QRegularExpression stopped(
                QStringLiteral("^Stopped\\.\n[12] of 2 files were not converted completely\\.$"));
            QVERIFY2(stopped.match(shown[0].text).hasMatch(), qPrintable(shown[0].text));
            QCOMPARE(shown[0].icon, Icon::Warning);
            const QString notBegun = b + QStringLiteral(": not converted: the run was stopped before its turn");
            QVERIFY2(run.lastDetails().contains(notBegun), qPrintable(shown[0].details));
        }
        // Whatever the output folder holds is whole pages of a.tif whose tool had ended by the stop,
        // those written before the question among them.
        const QStringList names = OutputNames(QStringLiteral("a"), 3);
        for (const QString& name : written)
            QVERIFY2(outputsIn(run.out).contains(name), qPrintable(name));
        for (const QString& name : outputsIn(run.out)) {
            QVERIFY2(names.contains(name), qPrintable(name));
            QCOMPARE(TestTiff::ReadPng(run.out + QLatin1Char('/') + name),
                     TestTiff::Pixels(kThreePages[names.indexOf(name)]));
        }
        QVERIFY(group > 1);
        QVERIFY(noLiveProcessIn(group));
        QCOMPARE(run.form().runningToolGroup(), qint64(0));
        QVERIFY(!run.form().isConverting());
        QCOMPARE(Entries(run.temp), QStringList());
    }

    // A temporary folder that does not exist: each tool write and later step is reported, nothing is
    // converted, and the run's closing box says so.
    void missingTemporaryFolderIsReported()
    {
        ConvertRun run;
        listIntoOut(run);
        const QString missing = run.root + QStringLiteral("/no-such-temp");
        qputenv("TEMP", QFile::encodeName(missing));
        run.start();
        const QList<Shown> reports = run.dialogs().errorReports();
        QVERIFY(reports.size() >= 2);
        QVERIFY2(reports[0].text.contains(QLatin1String("PushButton2_Click at line 112")), qPrintable(reports[0].text));
        QVERIFY2(reports[1].text.contains(QLatin1String("PushButton2_Click at line 116")), qPrintable(reports[1].text));
        QCOMPARE(run.lastMessage(), QStringLiteral("Done.\n1 of 1 file was not converted completely."));
        QCOMPARE(
            run.lastDetails(),
            QStringList{run.src + QStringLiteral("/a.tif: not converted: the run's working folder could not be made")});
        QCOMPARE(outputsIn(run.out), QStringList());
        QVERIFY(!QFileInfo::exists(missing));
    }

    // Whatever lies in the temporary folder under a tool's name is never run nor touched: the run
    // deploys its own tools in a folder of its own, and the tool it runs is never writable by others.
    void foreignToolFilesAreReplaced_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("foreign program") << "foreign";
        QTest::newRow("another of our programs under this name") << "stale";
        QTest::newRow("link to a foreign program") << "link";
        QTest::newRow("our bytes, writable by everyone") << "shared";
    }
    void foreignToolFilesAreReplaced()
    {
        QFETCH(QString, kind);
        ConvertRun run;
        listIntoOut(run);
        const QString evidence = run.root + QStringLiteral("/planted-program-ran");
        const QByteArray planted = "#!/bin/sh\ntouch '" + QFile::encodeName(evidence) + "'\n";
        const QString tool = run.temp + QStringLiteral("/nconvert.exe");
        QFile resource(QStringLiteral(":/tools/101")), splitter(QStringLiteral(":/tools/102"));
        QVERIFY(resource.open(QIODevice::ReadOnly) && splitter.open(QIODevice::ReadOnly));
        const QByteArray real = resource.readAll();
        const QFile::Permissions runnable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                            | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        const QString target = run.root + QStringLiteral("/foreign.sh");
        if (kind == QLatin1String("foreign")) {
            writeFile(tool, planted, runnable);
        } else if (kind == QLatin1String("stale")) {
            writeFile(tool, splitter.readAll(), runnable);
        } else if (kind == QLatin1String("link")) {
            writeFile(target, planted, runnable);
            QVERIFY(QFile::link(target, tool));
        } else {
            writeFile(tool, real, runnable | QFile::WriteGroup | QFile::WriteOther);
        }
        // Once the files are being converted, the tool file is never one that others may write.
        QList<uint> modes;
        const QByteArray plantedBefore = TestFiles::ReadFile(tool);
        EachMoment(run, [&] {
            struct stat st;
            const QStringList runs = QDir(run.temp).entryList({QStringLiteral("tovanel-run-*")}, QDir::Dirs);
            const QString deployed = runs.size() == 1 ? run.temp + u'/' + runs[0] + QStringLiteral("/nconvert.exe") : QString();
            if (Processing(run) && !deployed.isEmpty() && ::lstat(QFile::encodeName(deployed).constData(), &st) == 0)
                modes.append(st.st_mode);
        });
        QVERIFY(!modes.isEmpty());
        for (uint mode : modes) {
            QVERIFY(S_ISREG(mode));
            QCOMPARE(mode & 022u, 0u);
        }
        QCOMPARE(run.dialogs().errorReports().size(), 0);
        QCOMPARE(outputsIn(run.out), OutputNames(QStringLiteral("a"), 3));
        QVERIFY(!QFile::exists(evidence));
        if (kind == QLatin1String("link")) {
            QCOMPARE(TestFiles::ReadFile(target), planted);
            QVERIFY(QFileInfo(tool).isSymLink());
        }
        QCOMPARE(TestFiles::ReadFile(tool), plantedBefore);
        QCOMPARE(Entries(run.temp), QStringList{QStringLiteral("nconvert.exe")});
    }

    // Without "TEMP", the run works in a private folder of this user under the system temp folder.
    void withoutTempAPrivateFolderIsUsed()
    {
        ConvertRun run;
        listIntoOut(run);
        const QString system = run.root + QStringLiteral("/system-tmp");
        QVERIFY(QDir().mkpath(system));
        run.startWithSystemTemp(system);
        QCOMPARE(run.dialogs().errorReports().size(), 0);
        QCOMPARE(outputsIn(run.out), OutputNames(QStringLiteral("a"), 3));
        const QString mine = system + QStringLiteral("/tovanel-") + QString::number(::geteuid());
        struct stat st;
        QCOMPARE(::lstat(QFile::encodeName(mine).constData(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_mode & 0777, 0700u);
        QCOMPARE(Entries(mine), QStringList());
        QCOMPARE(Entries(system), QStringList{QStringLiteral("tovanel-") + QString::number(::geteuid())});
    }

    // A private folder that someone replaced by a link is refused: nothing is written through it.
    void privateFolderThatIsALinkIsRefused()
    {
        ConvertRun run;
        listIntoOut(run);
        const QString system = run.root + QStringLiteral("/system-tmp");
        const QString elsewhere = run.root + QStringLiteral("/elsewhere");
        QVERIFY(QDir().mkpath(system));
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, system + QStringLiteral("/tovanel-") + QString::number(::geteuid())));
        run.startWithSystemTemp(system);
        QVERIFY(!run.dialogs().errorReports().isEmpty());
        QVERIFY(run.dialogs().errorReports()[0].text.contains(QLatin1String("at line 112")));
        QCOMPARE(run.lastMessage(), QStringLiteral("Done.\n1 of 1 file was not converted completely."));
        QCOMPARE(Entries(elsewhere), QStringList());
        QCOMPARE(outputsIn(run.out), QStringList());
    }
};

QTEST_MAIN(ConvertFlowTest)
#include "convert_flow_test.moc"
