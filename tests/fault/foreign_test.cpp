// Another user plants links and programs in a shared temporary folder: nothing is written through them, none is run.
#include "convert_run_fixture.h"
#include "fault_support.h"

#include "convert/procs/conversion.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace Tovanel;

namespace {

const QList<TestTiff::Page> kPages{TestTiff::Page{20, 10, 1, false}, TestTiff::Page{20, 10, 2, true}};

using Fault::MakeOpen;

} // namespace

class FaultForeignTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ::alarm(300); }
    void cleanup() { ::alarm(0); }

    void plantedFilesAreNeitherFollowedNorRun_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("asLinks");   // true: links to the user's file; false: programs of the other user
        using Tovanel::Convert::kMarker, Tovanel::Convert::kSplitScript, Tovanel::Convert::kConvertScript, Tovanel::Convert::kSplitTool, Tovanel::Convert::kConvertTool;
        QTest::newRow("links at the marker") << QStringList{kMarker} << true;
        QTest::newRow("links at the scripts") << QStringList{kSplitScript, kConvertScript} << true;
        QTest::newRow("links at the tools") << QStringList{kSplitTool, kConvertTool} << true;
        QTest::newRow("links at the copy, the pages and their PNGs")
            << QStringList{QStringLiteral("a.tif"), QStringLiteral("varnholtaaa.tif"), QStringLiteral("varnholtaaa.png"),
                           QStringLiteral("varnholtaab.png"), QStringLiteral("a.png")}
            << true;
        QTest::newRow("programs at the tools") << QStringList{kSplitTool, kConvertTool} << false;
        QTest::newRow("programs at the scripts") << QStringList{kSplitScript, kConvertScript} << false;
    }
    void plantedFilesAreNeitherFollowedNorRun()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, asLinks);
        ConvertRun run(QStringLiteral("shared"));
        // The shared folder is like /tmp: anyone may create files in it.
        QVERIFY(MakeOpen(run.root, 0755) && MakeOpen(run.temp, 01777) && MakeOpen(run.src, 0755));
        const QString victim = run.root + QStringLiteral("/mine/precious.txt");
        QVERIFY(MakeOpen(run.root + QStringLiteral("/mine"), 0755));
        QVERIFY(Fault::WriteFile(victim, "the user's own file\n"));
        const QString evidence = run.root + QStringLiteral("/evidence");
        QVERIFY(MakeOpen(evidence, 0777));

        QString why;
        const QString temp = run.temp;
        const int planted = Fault::AsNobody([&] {
            for (const QString& name : names) {
                const QString path = temp + u'/' + name;
                if (asLinks) {
                    if (!QFile::link(victim, path))
                        return false;
                } else {
                    const QByteArray program = "#!/bin/sh\ntouch '" + QFile::encodeName(evidence) + "/ran-" + name.toUtf8() + "'\n";
                    if (!Fault::WriteFile(path, program) || ::chmod(QFile::encodeName(path).constData(), 0777) != 0)
                        return false;
                }
            }
            return true;
        }, &why);
        if (planted < 0)
            QSKIP(qPrintable(why));
        if (planted != 0)
            QSKIP("nobody (65534) cannot reach the test's shared folder");

        const QString source = run.addTiff(QStringLiteral("a.tif"), kPages);
        run.saveInFolder(run.out);
        run.start();
        QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        QCOMPARE(Fault::ReadFile(victim), QByteArray("the user's own file\n"));
        QCOMPARE(Fault::Entries(evidence), QStringList());
        QCOMPARE(Fault::Entries(run.out), TestTiff::OutputNames(QStringLiteral("a"), 2));
        QCOMPARE(TestTiff::OutputsDiffer(run.out, QStringLiteral("a"), kPages), QString());
        QCOMPARE(run.dialogs().errorReports().size(), 0);
    }

    // Without TEMP the program makes its own folder under the system temp folder; another user who took
    // that name first (a link to a folder of theirs) must not get the tools or the pages.
    void privateFolderTakenByAnotherUserIsRefused()
    {
        ConvertRun run;
        QVERIFY(MakeOpen(run.root, 0755));
        const QString shared = run.root + QStringLiteral("/systemtmp");
        const QString theirs = run.root + QStringLiteral("/theirs");
        QVERIFY(MakeOpen(shared, 01777) && MakeOpen(theirs, 0777));
        const QString taken = shared + QStringLiteral("/tovanel-") + QString::number(::geteuid());
        QString why;
        const int planted = Fault::AsNobody([&] { return QFile::link(theirs, taken); }, &why);
        if (planted < 0)
            QSKIP(qPrintable(why));
        if (planted != 0)
            QSKIP("nobody (65534) cannot reach the test's shared folder");

        run.addTiff(QStringLiteral("a.tif"), kPages);
        run.saveInFolder(run.out);
        run.startWithSystemTemp(shared, true);
        // Nothing could be converted without a folder of the run's own, and the closing box says so.
        QCOMPARE(run.lastMessage(), QStringLiteral("Done.\n1 of 1 file was not converted completely."));
        QCOMPARE(
            run.lastDetails(),
            QStringList{run.src + QStringLiteral("/a.tif: not converted: the run's working folder could not be made")});
        QCOMPARE(Fault::Entries(theirs), QStringList());
        QVERIFY(QFileInfo(taken).isSymLink());
        qInfo("with the private folder taken: %lld error reports, outputs: %s",
              static_cast<long long>(run.dialogs().errorReports().size()), qPrintable(Fault::Entries(run.out).join(u' ')));
    }
};

QTEST_MAIN(FaultForeignTest)
#include "foreign_test.moc"
