// kill -9 of the program at random moments of a long run: only whole PNGs, and the next run cleans up and converts all.
#include "convert_tiff_maker.h"
#include "fault_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using Tovanel::TestTiff::Page;

namespace {

constexpr int kFiles = 6;
constexpr int kPagesPerFile = 4;
constexpr int kKills = 20;

Page PageOf(int file, int page) { return Page{320, 240, file * 10 + page, page % 2 == 1}; }

QString OutputName(int file, int page)
{
    return QStringLiteral("scan%1.png_%2.png").arg(file).arg(page + 1);
}

} // namespace

class FaultKillTest : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    QString temp, out, src;
    QStringList sources;

    QProcess* startDriver(const QString& destination, const QStringList& files)
    {
        return Fault::StartDriver(this, temp, destination, files, root.path() + QStringLiteral("/home"));
    }
    QProcess* startDriver() { return startDriver(out, sources); }

    // Every entry of the destination is one of the expected outputs, whole, with its page's pixels.
    void checkDestination(const QString& when)
    {
        for (const QString& name : Fault::Entries(out)) {
            bool known = false;
            for (int f = 0; f < kFiles && !known; ++f)
                for (int p = 0; p < kPagesPerFile && !known; ++p)
                    if (name == OutputName(f, p)) {
                        known = true;
                        const QString path = out + u'/' + name;
                        QVERIFY2(Fault::PngDamage(path).isEmpty(), qPrintable(when + u' ' + name + u' ' + Fault::PngDamage(path)));
                        QVERIFY2(Tovanel::TestTiff::ReadPng(path) == Tovanel::TestTiff::Pixels(PageOf(f, p)),
                                 qPrintable(when + u' ' + name));
                    }
            QVERIFY2(known, qPrintable(when + QStringLiteral(": stray file in the destination: ") + name));
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        temp = root.path() + QStringLiteral("/Temp");
        out = root.path() + QStringLiteral("/out");
        src = root.path() + QStringLiteral("/src");
        for (const QString& d : {temp, out, src})
            QVERIFY(QDir().mkpath(d));
        for (int f = 0; f < kFiles; ++f) {
            QList<Page> pages;
            for (int p = 0; p < kPagesPerFile; ++p)
                pages.append(PageOf(f, p));
            const QString path = src + QStringLiteral("/scan%1.tif").arg(f);
            QVERIFY(Tovanel::TestTiff::Write(path, pages));
            sources << path;
        }
    }

    void killedRunsLeaveOnlyWholeOutputs()
    {
        // One whole run first tells how long a run takes, so the kills fall across all of it.
        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<QProcess> timing(startDriver());
        QVERIFY(timing->waitForFinished(240 * 1000));
        const qint64 runMs = clock.elapsed();
        QCOMPARE(timing->exitCode(), 0);
        QVERIFY(QDir(out).removeRecursively() && QDir().mkpath(out));
        qInfo("a whole run of %d files x %d pages takes %lld ms", kFiles, kPagesPerFile, static_cast<long long>(runMs));

        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("kill times drawn with seed %u", seed);
        QRandomGenerator rng(seed);
        int stragglers = 0;
        qint64 longestOutliving = 0;
        for (int i = 0; i < kKills; ++i) {
            const int killAt = rng.bounded(static_cast<int>(runMs));
            std::unique_ptr<QProcess> driver(startDriver());
            QVERIFY(driver->waitForStarted());
            const bool ended = driver->waitForFinished(killAt);
            driver->kill();
            driver->waitForFinished();
            // A tool runs in a process group of its own; it must end with its program, at once.
            qint64 outlived = 0;
            stragglers += Fault::AwaitProcessesIn(temp, 30 * 1000, &outlived);
            longestOutliving = qMax(longestOutliving, outlived);
            const QString when = QStringLiteral("kill %1 at %2 ms%3").arg(i + 1).arg(killAt).arg(ended ? " (already done)" : "");
            checkDestination(when);
            if (QTest::currentTestFailed())
                return;
            qInfo("%s: %lld outputs, temporary folder: %s", qPrintable(when), static_cast<long long>(Fault::Entries(out).size()),
                  qPrintable(Fault::Entries(temp).join(u' ')));
        }
        QCOMPARE(stragglers, 0);
        qInfo("the longest a tool was seen after its program was killed: %lld ms",
              static_cast<long long>(longestOutliving));
        QVERIFY2(longestOutliving <= 1000,
                 qPrintable(QStringLiteral("a tool outlived its program by %1 ms").arg(longestOutliving)));

        // Another document after the kills: its outputs are exactly its own pages, nothing a killed
        // run left behind among them.
        const QList<Page> other{Page{200, 150, 901, false}, Page{200, 150, 902, true}, Page{200, 150, 903, false}};
        const QString otherSource = src + QStringLiteral("/other.tif");
        QVERIFY(Tovanel::TestTiff::Write(otherSource, other));
        const QString otherOut = root.path() + QStringLiteral("/other-out");
        QVERIFY(QDir().mkpath(otherOut));
        std::unique_ptr<QProcess> next(startDriver(otherOut, {otherSource}));
        QVERIFY(next->waitForFinished(240 * 1000));
        QCOMPARE(next->exitCode(), 0);
        QCOMPARE(Fault::Entries(otherOut), Tovanel::TestTiff::OutputNames(QStringLiteral("other"), 3));
        QCOMPARE(Tovanel::TestTiff::OutputsDiffer(otherOut, QStringLiteral("other"), other), QString());

        std::unique_ptr<QProcess> last(startDriver());
        QVERIFY(last->waitForFinished(240 * 1000));
        QCOMPARE(last->exitCode(), 0);
        QVERIFY(last->readAllStandardOutput().contains("Done."));
        checkDestination(QStringLiteral("after the last run"));
        QCOMPARE(Fault::Entries(out).size(), kFiles * kPagesPerFile);
        QVERIFY2(Fault::Entries(temp).isEmpty(),
                 qPrintable(QStringLiteral("left in the temporary folder: ") + Fault::Entries(temp).join(u' ')));
    }
};

QTEST_MAIN(FaultKillTest)
#include "kill_test.moc"
