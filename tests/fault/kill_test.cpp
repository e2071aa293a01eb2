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
    QString temp, out, src, config;
    QStringList sources;

    QProcess* startDriver()
    {
        auto* driver = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TEMP"), temp);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        driver->setProcessEnvironment(env);
        driver->start(QStringLiteral(FAULT_RUN_DRIVER), QStringList{out} + sources);
        return driver;
    }

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
                        QVERIFY2(Fault::DecodePng(path) == Tovanel::TestTiff::Pixels(PageOf(f, p)), qPrintable(when + u' ' + name));
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
        config = root.path() + QStringLiteral("/config");
        for (const QString& d : {temp, out, src, config})
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
        for (int i = 0; i < kKills; ++i) {
            const int killAt = rng.bounded(static_cast<int>(runMs));
            std::unique_ptr<QProcess> driver(startDriver());
            QVERIFY(driver->waitForStarted());
            const bool ended = driver->waitForFinished(killAt);
            driver->kill();
            driver->waitForFinished();
            // A tool runs in a process group of its own and outlives the kill; it must end by itself.
            stragglers += Fault::AwaitProcessesIn(temp, 30 * 1000);
            const QString when = QStringLiteral("kill %1 at %2 ms%3").arg(i + 1).arg(killAt).arg(ended ? " (already done)" : "");
            checkDestination(when);
            if (QTest::currentTestFailed())
                return;
            qInfo("%s: %lld outputs, temporary folder: %s", qPrintable(when), static_cast<long long>(Fault::Entries(out).size()),
                  qPrintable(Fault::Entries(temp).join(u' ')));
        }
        QCOMPARE(stragglers, 0);

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
