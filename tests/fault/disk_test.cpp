// Full and read-only disks and a locked old output: the run ends, what is written is whole, nothing of the user's is lost.
#include "convert_run_fixture.h"
#include "fault_support.h"

#include "convert/procs/conversion.h"

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Tovanel;

namespace {

struct NoisePage {
    uint32_t width, height;
    QByteArray pixels;
};

NoisePage Noisy(uint32_t width, uint32_t height, quint32 seed)
{
    return {width, height, Fault::Noise(qsizetype(width) * height * 3, seed)};
}

QString WriteNoiseTiff(const QString& path, const NoisePage& page)
{
    Fault::WriteFile(path, Fault::Tiff({Fault::Plain(page.width, page.height, 3, page.pixels)}));
    return path;
}

// Each entry of folder is a whole PNG from expected (name -> pixels); returns the names found.
QStringList CheckWholeOutputs(const QString& folder, const QMap<QString, QImage>& expected, const QStringList& alsoAllowed = {})
{
    QStringList found;
    for (const QString& name : Fault::Entries(folder)) {
        if (alsoAllowed.contains(name))
            continue;
        if (!expected.contains(name)) {
            QTest::qFail(qPrintable(QStringLiteral("stray file in the destination: ") + name), __FILE__, __LINE__);
            return found;
        }
        const QString damage = Fault::PngDamage(folder + u'/' + name);
        if (!damage.isEmpty()) {
            QTest::qFail(qPrintable(name + QStringLiteral(": ") + damage), __FILE__, __LINE__);
            return found;
        }
        if (TestTiff::ReadPng(folder + u'/' + name) != expected[name]) {
            QTest::qFail(qPrintable(name + QStringLiteral(": other pixels")), __FILE__, __LINE__);
            return found;
        }
        found << name;
    }
    return found;
}

// A tmpfs on folder for the test's length; why says why not, empty when it is mounted.
struct Mount {
    Mount(const QString& at, qint64 bytes, bool readOnly = false)
        : folder(at), why(Fault::MountTmpfs(at, bytes, readOnly)) {}
    ~Mount()
    {
        if (why.isEmpty())
            Fault::Unmount(folder);
    }
    QString folder, why;
};

} // namespace

class FaultDiskTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ::alarm(300); }
    void cleanup() { ::alarm(0); }

    // The destination fills up during the run: the outputs that fit are whole, the user's own file on
    // that disk is untouched, and once there is room a second run writes them all.
    void fullDestinationKeepsOutputsWhole()
    {
        ConvertRun run;
        const Mount mount(run.root + QStringLiteral("/small"), 2 * 1024 * 1024);
        if (!mount.why.isEmpty())
            QSKIP(qPrintable(mount.why));
        const QByteArray userBytes = Fault::Noise(1700 * 1024, 99);
        QVERIFY(Fault::WriteFile(mount.folder + QStringLiteral("/user-data.bin"), userBytes));
        QMap<QString, QImage> expected;
        for (int i = 0; i < 3; ++i) {
            const NoisePage page = Noisy(260, 260, 10 + i);   // about 200 KB of PNG that no filter shrinks
            run.form().addListItem(WriteNoiseTiff(run.src + QStringLiteral("/noise%1.tif").arg(i), page));
            expected.insert(QStringLiteral("noise%1.png_1.png").arg(i), Fault::PlainImage(page.width, page.height, 3, page.pixels));
        }
        run.saveInFolder(mount.folder);
        run.start();
        const QStringList first = CheckWholeOutputs(mount.folder, expected, {QStringLiteral("user-data.bin")});
        if (QTest::currentTestFailed())
            return;
        // Each file that did not fit is named, with the folder and the reason.
        QCOMPARE(run.lastMessage(),
                 QStringLiteral("Done.\n%1 of 3 files were not converted completely.").arg(3 - first.size()));
        QCOMPARE(run.lastDetails().size(), 3 - first.size());
        for (const QString& line : run.lastDetails()) {
            qInfo("the closing box says: %s", qPrintable(line.mid(run.src.size() + 1)));
            QVERIFY2(line.contains(QStringLiteral("page 1: the output folder ") + mount.folder
                                   + QStringLiteral("/ cannot be written (No space left on device)")),
                     qPrintable(line));
        }
        QCOMPARE(Fault::ReadFile(mount.folder + QStringLiteral("/user-data.bin")), userBytes);
        QVERIFY2(first.size() < 3, "the disk was meant to fill up");
        QVERIFY(Fault::Entries(run.temp).isEmpty());
        qInfo("full destination: %lld of 3 outputs fitted, whole", static_cast<long long>(first.size()));

        QVERIFY(QFile::remove(mount.folder + QStringLiteral("/user-data.bin")));
        run.start();
        QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        QCOMPARE(CheckWholeOutputs(mount.folder, expected).size(), 3);
    }

    // The temporary folder fills up: the tools fit, a big source does not; the small ones still convert,
    // and the small disk ends empty.
    void fullTemporaryFolderPassesOverWhatDoesNotFit()
    {
        ConvertRun run;
        qint64 tools = 0;
        for (const Tovanel::Convert::ToolFile& tool : Tovanel::Convert::kTools)
            tools += Tovanel::Convert::ReadToolResource(tool.resourceId).size();
        const Mount mount(run.root + QStringLiteral("/smalltemp"), tools + 1200 * 1024);
        if (!mount.why.isEmpty())
            QSKIP(qPrintable(mount.why));
        qputenv("TEMP", QFile::encodeName(mount.folder));
        const TestTiff::Page small{30, 20, 4, false};
        run.addTiff(QStringLiteral("a-small.tif"), {small});
        const NoisePage big = Noisy(400, 400, 5);   // 480 KB: copy + page + PNG cannot all fit
        run.form().addListItem(WriteNoiseTiff(run.src + QStringLiteral("/b-big.tif"), big));
        run.addTiff(QStringLiteral("c-small.tif"), {small});
        run.saveInFolder(run.out);
        run.start();
        const QMap<QString, QImage> expected{{QStringLiteral("a-small.png_1.png"), TestTiff::Pixels(small)},
                                             {QStringLiteral("b-big.png_1.png"), Fault::PlainImage(400, 400, 3, big.pixels)},
                                             {QStringLiteral("c-small.png_1.png"), TestTiff::Pixels(small)}};
        const QStringList found = CheckWholeOutputs(run.out, expected);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(found.contains(QStringLiteral("a-small.png_1.png")));
        QVERIFY(found.contains(QStringLiteral("c-small.png_1.png")));
        // The big file, when it did not fit, is named with the working folder that was full.
        if (found.contains(QStringLiteral("b-big.png_1.png"))) {
            QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        } else {
            QCOMPARE(run.lastMessage(), QStringLiteral("Done.\n1 of 3 files were not converted completely."));
            QCOMPARE(run.lastDetails().size(), 1);
            qInfo("the closing box says: %s", qPrintable(run.lastDetails()[0].mid(run.src.size() + 1)));
            QVERIFY2(run.lastDetails()[0].startsWith(run.src + QStringLiteral("/b-big.tif: "))
                         && run.lastDetails()[0].contains(QStringLiteral("No space left on device")),
                     qPrintable(run.lastDetails()[0]));
        }
        QVERIFY2(Fault::Entries(mount.folder).isEmpty(),
                 qPrintable(QStringLiteral("left on the full temporary disk: ") + Fault::Entries(mount.folder).join(u' ')));
        qInfo("full temporary folder: the big file %s", found.contains(QStringLiteral("b-big.png_1.png")) ? "fitted" : "was passed over");
    }

    void readOnlyDestinationWritesNothing()
    {
        ConvertRun run;
        const Mount mount(run.root + QStringLiteral("/readonly"), 1024 * 1024, true);
        if (!mount.why.isEmpty())
            QSKIP(qPrintable(mount.why));
        run.addTiff(QStringLiteral("a.tif"), {TestTiff::Page{16, 8, 1, false}, TestTiff::Page{16, 8, 2, true}});
        run.addTiff(QStringLiteral("b.tif"), {TestTiff::Page{16, 8, 3, false}});
        run.saveInFolder(mount.folder);
        run.start();
        // The closing box names both files, their pages and the folder that cannot be written.
        const QString reason = QStringLiteral(": the output folder ") + mount.folder
                               + QStringLiteral("/ cannot be written (Read-only file system)");
        QCOMPARE(run.lastMessage(), QStringLiteral("Done.\n2 of 2 files were not converted completely."));
        QCOMPARE(run.lastDetails(),
                 (QStringList{run.src + QStringLiteral("/a.tif: 0 of 2 pages written; pages 1, 2") + reason,
                              run.src + QStringLiteral("/b.tif: 0 of 1 pages written; page 1") + reason}));
        QCOMPARE(run.dialogs().errorReports().size(), 0);
        QCOMPARE(Fault::Entries(mount.folder), QStringList());
        QCOMPARE(Fault::Entries(run.temp), QStringList());
        QVERIFY(QFileInfo::exists(run.src + QStringLiteral("/a.tif")));
    }

    // A destination the user may not write to (mode 0555, the user's own), converted as an ordinary user,
    // since root would write there anyway: nothing is written, and the box names both pages and why.
    void readOnlyDestinationAsAnOrdinaryUser()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run the program as an ordinary user");
        constexpr unsigned kUser = 65533;
        QTemporaryDir work;
        const QString root = work.path(), home = root + QStringLiteral("/home");
        const QString src = home + QStringLiteral("/src"), out = home + QStringLiteral("/out");
        const QString temp = home + QStringLiteral("/temp");
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0755) == 0);
        for (const QString& d : {home, src, temp, out})
            QVERIFY(QDir().mkpath(d) && ::chown(QFile::encodeName(d).constData(), kUser, kUser) == 0);
        QVERIFY(::chmod(QFile::encodeName(out).constData(), 0555) == 0);
        const QString source = src + QStringLiteral("/a.tif");
        QVERIFY(TestTiff::Write(source, {TestTiff::Page{16, 8, 1, false}, TestTiff::Page{16, 8, 2, true}}));
        QVERIFY(::chown(QFile::encodeName(source).constData(), kUser, kUser) == 0);
        std::unique_ptr<QProcess> driver(Fault::StartDriver(this, temp, out, {source}, home, kUser));
        QVERIFY(driver->waitForFinished(120 * 1000));
        QCOMPARE(driver->readAllStandardOutput(),
                 (QStringLiteral("listed\nDone.\n1 of 1 file was not converted completely.\n") + source
                  + QStringLiteral(": 0 of 2 pages written; pages 1, 2: the output folder ") + out
                  + QStringLiteral("/ cannot be written (Permission denied)\n"))
                     .toUtf8());
        QCOMPARE(driver->exitCode(), 1);
        QCOMPARE(Fault::Entries(out), QStringList());
    }

    // The user's old output with mode 000 lies where the new one goes: it is replaced in one step by the
    // whole new PNG, never opened and cut short.
    void lockedOldOutputIsReplacedWhole()
    {
        ConvertRun run;
        const TestTiff::Page page{16, 8, 1, false};
        run.addTiff(QStringLiteral("a.tif"), {page});
        const QString old = run.out + QStringLiteral("/a.png_1.png");
        QVERIFY(Fault::WriteFile(old, "an older picture of the user's"));
        QVERIFY(::chmod(QFile::encodeName(old).constData(), 0) == 0);
        run.saveInFolder(run.out);
        run.start();
        QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        QCOMPARE(Fault::Entries(run.out), QStringList{QStringLiteral("a.png_1.png")});
        QCOMPARE(Fault::PngDamage(old), QString());
        QCOMPARE(TestTiff::ReadPng(old), TestTiff::Pixels(page));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(old).constData(), &st), 0);
        qInfo("the mode-000 output was replaced by the new PNG, now mode %03o", st.st_mode & 0777);
    }
};

QTEST_MAIN(FaultDiskTest)
#include "disk_test.moc"
