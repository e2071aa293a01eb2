// The run's flow in the window: progress, re-entry, and stopping or closing mid-run.
#include "convert_checks.h"

#include <QAccessible>
#include <QApplication>
#include <QRegularExpression>

#include <csignal>
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
            shown << (Processing(run) ? caption : QStringLiteral("Conversion progress"));   // the idle bar's purpose
            spoken << bar->text(QAccessible::Name);
            if (Processing(run) && (seen.isEmpty() || seen.last().first != caption))
                seen.append({caption, run.form().progressValue()});
        });
        QCOMPARE(spoken, shown);
        QCOMPARE(bar->text(QAccessible::Name), QStringLiteral("Conversion progress"));
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

};

QTEST_MAIN(ConvertFlowTest)
#include "convert_flow_test.moc"
