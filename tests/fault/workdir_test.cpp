// Runs work in private folders of their own: other users, the user's files in TEMP and other runs never meet their names.
// (Sources named like the run's own files are rows of the engine test, tests/unit/convert_run/names.cpp.)
#include "convert_run_fixture.h"
#include "fault_support.h"

#include <QBuffer>
#include <QElapsedTimer>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Tovanel;
using TestTiff::Page;

namespace {

// The ordinary user who converts in the tests that need one; nobody (65534) is the other user.
constexpr unsigned kUser = 65533;

using Fault::MakeOpen;

bool GiveTo(const QString& path, unsigned uid, mode_t mode)
{
    const QByteArray raw = QFile::encodeName(path);
    return ::chown(raw.constData(), uid, uid) == 0 && ::chmod(raw.constData(), mode) == 0;
}

QList<Page> PagesOf(int count, int seed) { return TestTiff::PagesOf(count, seed, {48, 32}); }

using TestTiff::OutputNames;
using TestTiff::OutputsDiffer;

// What another user (nobody) plants in temp before the run: programs at the tools' and scripts'
// names, links to the user's file at the marker's, a page's and a PNG's names, their own image as a
// page, a copy and PNGs, their own folder named like a run folder and a link so named to the user's
// folder. The exit status of the planting child, or -1 with why set.
int PlantAsNobody(const QString& temp, const QString& secretFile, const QString& evidence, QString* why)
{
    const QByteArray theirTiff = Fault::Tiff({Fault::Plain(48, 32, 3, Fault::Noise(48 * 32 * 3, 7))});
    QImage theirImage(48, 32, QImage::Format_RGB888);
    theirImage.fill(Qt::red);
    QByteArray pngBytes;
    QBuffer buffer(&pngBytes);
    buffer.open(QIODevice::WriteOnly);
    theirImage.save(&buffer, "PNG");
    return Fault::AsNobody([&] {
        auto program = [&](const QString& path) {
            const QByteArray body = "#!/bin/sh\ntouch '" + QFile::encodeName(evidence) + "/ran-"
                                    + QFile::encodeName(QFileInfo(path).fileName()) + "'\n";
            return Fault::WriteFile(path, body) && ::chmod(QFile::encodeName(path).constData(), 0777) == 0;
        };
        bool ok = true;
        for (const QString& name : {QStringLiteral("nconvert.exe"), QStringLiteral("tiffsplit.exe"),
                                    QStringLiteral("nconvert.bat"), QStringLiteral("tiffsplit.bat")})
            ok = ok && program(temp + u'/' + name);
        for (const QString& name : {QStringLiteral("brisquet_varnholt.tmp"), QStringLiteral("varnholtaab.tif"),
                                    QStringLiteral("varnholtaab.png")})
            ok = ok && QFile::link(secretFile, temp + u'/' + name);
        ok = ok && Fault::WriteFile(temp + QStringLiteral("/varnholtaaa.tif"), theirTiff)
             && Fault::WriteFile(temp + QStringLiteral("/a.tif"), theirTiff)
             && Fault::WriteFile(temp + QStringLiteral("/varnholtaaa.png"), pngBytes)
             && Fault::WriteFile(temp + QStringLiteral("/a.png"), pngBytes);
        const QString theirRun = temp + QStringLiteral("/tovanel-run-AAAAAA");
        ok = ok && MakeOpen(theirRun, 0777) && program(theirRun + QStringLiteral("/nconvert.exe"))
             && Fault::WriteFile(theirRun + QStringLiteral("/varnholtaaa.tif"), theirTiff)
             && QFile::link(QFileInfo(secretFile).absolutePath(), temp + QStringLiteral("/tovanel-run-BBBBBB"));
        return ok;
    }, why);
}

// The attacker's program put in place at path whole (written beside it, then renamed over it).
void Plant(const QByteArray& path, const QByteArray& program)
{
    const QByteArray fresh = path + ".new";
    const int fd = ::open(fresh.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0777);
    if (fd >= 0) {
        if (::write(fd, program.constData(), static_cast<size_t>(program.size())) < 0) {}
        ::fchmod(fd, 0777);
        ::close(fd);
        ::rename(fresh.constData(), path.constData());
    }
}

// Another user (nobody) who, while the run works, renames every run folder of others in temp away,
// puts a folder of theirs in its place and keeps their programs at the tools' and scripts' names in
// it. Returns the process, which runs until killed; 0 when it can't be started.
pid_t StartSwapper(const QString& temp, const QString& evidence)
{
    const QByteArray dir = QFile::encodeName(temp);
    const QByteArray program = "#!/bin/sh\ntouch '" + QFile::encodeName(evidence) + "/ran-swapped'\n";
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid < 0 ? 0 : pid;
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        ::_exit(77);
    auto plant = [&](const QByteArray& path) { Plant(path, program); };
    for (int round = 0;; ++round) {
        if (DIR* d = ::opendir(dir.constData())) {
            while (const dirent* e = ::readdir(d)) {
                const QByteArray name(e->d_name);
                if (!name.startsWith("tovanel-run-"))
                    continue;
                const QByteArray path = dir + '/' + name;
                struct stat st;
                if (::lstat(path.constData(), &st) != 0)
                    continue;
                if (st.st_uid != 65534) {
                    ::rename(path.constData(), (dir + "/moved-" + QByteArray::number(round) + '-' + name).constData());
                    if (::mkdir(path.constData(), 0777) == 0) {
                        ::chmod(path.constData(), 0777);
                        ::close(::open((path + "/.swapped").constData(), O_WRONLY | O_CREAT, 0666));
                    }
                }
                // Only into the folders it put in place of a run's.
                if (::access((path + "/.swapped").constData(), F_OK) == 0)
                    for (const char* fixed : {"/nconvert.exe", "/tiffsplit.exe", "/nconvert.bat", "/tiffsplit.bat"})
                        plant(path + fixed);
            }
            ::closedir(d);
        }
        ::usleep(200);
    }
}

// Another user (nobody) who turns the link TEMP goes through to a folder of theirs once a run has
// started: the run's folder name, seen through the link or on a tool's command line in /proc, gets a
// folder of theirs under evil, the link is swapped to evil, and their programs are kept at the tools'
// names there (a run folder the user makes under evil meanwhile is renamed away and replaced). The
// swap leaves the entry "swapped" in swaps. Runs until killed; 0 when it can't be started.
pid_t StartLinkSwapper(const QString& link, const QString& evil, const QString& evidence, const QString& swaps)
{
    const QByteArray linkPath = QFile::encodeName(link), evilPath = QFile::encodeName(evil);
    const QByteArray swapsPath = QFile::encodeName(swaps);
    const QByteArray program = "#!/bin/sh\ntouch '" + QFile::encodeName(evidence) + "/ran-through-the-link'\n";
    const QByteArray prefix("tovanel-run-");
    const qsizetype nameSize = prefix.size() + 6;
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid < 0 ? 0 : pid;
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        ::_exit(77);
    QList<QByteArray> taken;
    auto take = [&](const QByteArray& name) {
        if (name.size() == nameSize && !taken.contains(name))
            taken.append(name);
    };
    // A run folder the user made under evil (the link already swapped) is renamed away and theirs put in place.
    auto own = [&](const QByteArray& name) {
        const QByteArray theirs = evilPath + '/' + name;
        struct stat st;
        if (::lstat(theirs.constData(), &st) == 0 && st.st_uid != 65534)
            ::rename(theirs.constData(), (evilPath + "/moved-" + name).constData());
        for (int k = 0; k <= 16; ++k)   // with the slot folders the user's scripts are written into
            if (const QByteArray f = k ? theirs + "/slot-" + QByteArray::number(k) : theirs; ::mkdir(f, 0777) == 0)
                ::chmod(f.constData(), 0777);
    };
    auto swap = [&] {
        if (struct stat st; ::lstat(linkPath, &st) == 0 && S_ISDIR(st.st_mode))   // a folder: made again as theirs
            return ::rename(linkPath, linkPath + ".old") == 0 && ::mkdir(linkPath, 0777) == 0
                   && ::chmod(linkPath.constData(), 0777) == 0;
        const QByteArray fresh = linkPath + ".new";
        ::unlink(fresh.constData());
        return ::symlink(evilPath.constData(), fresh.constData()) == 0
               && ::rename(fresh.constData(), linkPath.constData()) == 0;
    };
    bool swapped = false;
    auto plant = [&](const QByteArray& path) { Plant(path, program); };
    for (;;) {
        if (DIR* d = ::opendir(linkPath.constData())) {
            while (const dirent* e = ::readdir(d))
                if (QByteArray(e->d_name).startsWith(prefix))
                    take(QByteArray(e->d_name));
            ::closedir(d);
        }
        if (DIR* d = ::opendir("/proc")) {
            while (const dirent* e = ::readdir(d)) {
                if (e->d_name[0] < '1' || e->d_name[0] > '9')
                    continue;
                char line[8192];
                const int fd = ::open((QByteArray("/proc/") + e->d_name + "/cmdline").constData(), O_RDONLY);
                const ssize_t got = fd < 0 ? -1 : ::read(fd, line, sizeof line);
                if (fd >= 0)
                    ::close(fd);
                const QByteArray text(line, got > 0 ? got : 0);
                for (qsizetype at = text.indexOf(prefix); at >= 0; at = text.indexOf(prefix, at + 1))
                    take(text.mid(at, nameSize));
            }
            ::closedir(d);
        }
        if (!taken.isEmpty() && ::mkdir(evilPath.constData(), 0777) == 0)
            ::chmod(evilPath.constData(), 0777);
        for (const QByteArray& name : taken) {
            own(name);
            for (const char* tool : {"/nconvert.exe", "/tiffsplit.exe"})
                plant(evilPath + '/' + name + tool);
        }
        if (!taken.isEmpty() && !swapped && (swapped = swap()))
            ::close(::open((swapsPath + "/swapped").constData(), O_WRONLY | O_CREAT, 0666));
        ::usleep(200);
    }
}

} // namespace

class FaultWorkdirTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ::alarm(600); }
    void cleanup() { ::alarm(0); }

    // Another user plants programs, links, pages, copies, PNGs and folders named like run folders in
    // a shared TEMP; an ordinary user converts there. Nothing planted is run, read into an output,
    // written through or removed.
    void plantsOfAnotherUserInASharedTemp_data()
    {
        QTest::addColumn<int>("tempMode");
        QTest::addColumn<bool>("swapping");   // the other user also swaps run folders while the run works
        QTest::newRow("sticky (1777)") << 01777 << false;
        QTest::newRow("not sticky (0777)") << 0777 << false;
        QTest::newRow("sticky, folders swapped during the run") << 01777 << true;
        QTest::newRow("not sticky, folders swapped during the run") << 0777 << true;
    }
    void plantsOfAnotherUserInASharedTemp()
    {
        QFETCH(int, tempMode);
        QFETCH(bool, swapping);
        if (::geteuid() != 0)
            QSKIP("needs root to act as two other users");
        QTemporaryDir work;
        const QString root = work.path(), temp = root + QStringLiteral("/shared");
        const QString home = root + QStringLiteral("/home");
        const QString src = home + QStringLiteral("/src"), out = home + QStringLiteral("/out");
        const QString secret = home + QStringLiteral("/secret"), evidence = root + QStringLiteral("/evidence");
        QVERIFY(MakeOpen(root, 0755) && MakeOpen(temp, static_cast<mode_t>(tempMode)) && MakeOpen(evidence, 0777));
        for (const QString& d : {home, src, out, secret})
            QVERIFY(QDir().mkpath(d) && GiveTo(d, kUser, 0700));
        QVERIFY(Fault::WriteFile(secret + QStringLiteral("/precious.txt"), "the user's own file\n"));
        const QList<Page> mine = PagesOf(2, 10);
        const QString source = src + QStringLiteral("/a.tif");
        QVERIFY(TestTiff::Write(source, mine));
        QVERIFY(GiveTo(source, kUser, 0600) && GiveTo(secret + QStringLiteral("/precious.txt"), kUser, 0600));
        QString why;
        const int planted = PlantAsNobody(temp, secret + QStringLiteral("/precious.txt"), evidence, &why);
        if (planted < 0)
            QSKIP(qPrintable(why));
        QCOMPARE(planted, 0);
        const QMap<QString, QByteArray> before = Fault::Snapshot(temp);

        const pid_t swapper = swapping ? StartSwapper(temp, evidence) : 0;
        QVERIFY(!swapping || swapper > 0);
        std::unique_ptr<QProcess> driver(Fault::StartDriver(this, temp, out, {source}, home, kUser));
        const bool finished = driver->waitForFinished(120 * 1000);
        if (swapper > 0) {
            ::kill(swapper, SIGKILL);
            ::waitpid(swapper, nullptr, 0);
        }
        QVERIFY(finished);
        const QByteArray said = driver->readAllStandardOutput();
        QCOMPARE(driver->exitCode(), 0);
        QCOMPARE(said, QByteArray("listed\nDone.\n"));
        QCOMPARE(Fault::Entries(evidence), QStringList());
        QCOMPARE(Fault::ReadFile(secret + QStringLiteral("/precious.txt")), QByteArray("the user's own file\n"));
        QCOMPARE(Fault::Entries(secret), QStringList{QStringLiteral("precious.txt")});
        QCOMPARE(Fault::Entries(out), OutputNames(QStringLiteral("a"), 2));
        const QString problem = OutputsDiffer(out, QStringLiteral("a"), mine);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // Every plant is still there as it was, and the run left nothing of its own.
        if (!swapping) {
            QCOMPARE(Fault::Snapshot(temp), before);
        } else {
            const QMap<QString, QByteArray> after = Fault::Snapshot(temp);
            for (auto it = before.begin(); it != before.end(); ++it)
                QCOMPARE(after.value(it.key()), it.value());
        }
        // The user's pages were never readable by others while they existed: the run's folder was private.
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(out + QStringLiteral("/a.png_1.png")).constData(), &st), 0);
        QCOMPARE(st.st_uid, static_cast<uid_t>(kUser));
    }

    // TEMP names a folder of the user's through a link that another user can swap: the user's own link
    // in a shared folder without the sticky bit, or the other user's link in a sticky one. Once a run
    // has started, the other user swaps the link to a folder of theirs that holds the run folder's
    // name with their programs in it. Nothing of theirs runs, in any of the tries.
    // Nor when TMPDIR is the user's folder in the 0777 one, which they rebuild: window or batch command.
    void linkedTempSwappedDuringTheRun_data()
    {
        QTest::addColumn<int>("sharedMode");
        QTest::addColumn<unsigned>("linkOwner");
        QTest::addColumn<int>("tmpdir");   // 1: TMPDIR in the 0777 folder, TEMP unset; 2: and TEMP the link
        QTest::addColumn<bool>("batch");
        QTest::newRow("the user's link in a 0777 folder") << 0777 << kUser << 0 << false;
        QTest::newRow("another user's link in a 1777 folder") << 01777 << 65534u << 0 << false;
        for (int row = 0; row < 4; ++row)
            QTest::addRow("%s, TMPDIR in the folder%s", row < 2 ? "window" : "batch", row % 2 ? ", TEMP the link" : "")
                << 0777 << kUser << 1 + row % 2 << (row >= 2);
    }
    void linkedTempSwappedDuringTheRun()
    {
        QFETCH(int, sharedMode);
        QFETCH(unsigned, linkOwner);
        QFETCH(int, tmpdir);
        QFETCH(bool, batch);
        constexpr int kTries = 20, kFiles = 6;
        if (::geteuid() != 0)
            QSKIP("needs root to act as two other users");
        QTemporaryDir work;
        const QString root = work.path(), shared = root + QStringLiteral("/shared");
        const QString link = shared + QStringLiteral("/vt"), evil = shared + QStringLiteral("/evil");
        const QString home = root + QStringLiteral("/home"), mine = home + QStringLiteral("/tmp-of-mine");
        const QString src = home + QStringLiteral("/src"), out = home + QStringLiteral("/out");
        const QString evidence = root + QStringLiteral("/evidence"), swaps = root + QStringLiteral("/swaps");
        const QString x = tmpdir ? shared + QStringLiteral("/x") : home + QStringLiteral("/tmp");
        QVERIFY(MakeOpen(root, 0755) && MakeOpen(shared, static_cast<mode_t>(sharedMode)));
        QVERIFY(MakeOpen(evidence, 0777) && MakeOpen(swaps, 0777));
        // The user's folder is readable by others, as a home's often is: the other user sees run folders come.
        for (const QString& d : {home, mine})
            QVERIFY(QDir().mkpath(d) && GiveTo(d, kUser, 0755));
        for (const QString& d : {src, out})
            QVERIFY(QDir().mkpath(d) && GiveTo(d, kUser, 0700));
        QStringList sources;
        for (int f = 0; f < kFiles; ++f) {
            sources << src + QStringLiteral("/scan%1.tif").arg(f);
            QVERIFY(TestTiff::Write(sources.last(), PagesOf(1, 90 + f)) && GiveTo(sources.last(), kUser, 0600));
        }
        int swapped = 0;
        for (int attempt = 1; attempt <= kTries; ++attempt) {
            // Each try starts afresh: a run folder left behind under the swapped link goes too.
            for (const QString& d : {evil, out, mine, x, x + QStringLiteral(".old")})
                QDir(d).removeRecursively();
            QVERIFY(QDir().mkpath(x) && GiveTo(x, kUser, 0700));
            QVERIFY(QDir().mkpath(out) && GiveTo(out, kUser, 0700) && QDir().mkpath(mine) && GiveTo(mine, kUser, 0755));
            QFile::remove(link);
            QVERIFY(QFile::link(mine, link));
            QCOMPARE(::lchown(QFile::encodeName(link).constData(), linkOwner, linkOwner), 0);
            const pid_t swapper = StartLinkSwapper(tmpdir ? x : link, tmpdir ? x + "/tovanel-65533" : evil, evidence, swaps);
            QVERIFY(swapper > 0);
            QStringList command{QStringLiteral("/usr/bin/env"), QStringLiteral("TMPDIR=") + x};
            command += batch ? QStringList{QStringLiteral(TOVANEL_BATCH_EXE), QStringLiteral("--out")}
                             : QStringList{QStringLiteral(FAULT_RUN_DRIVER)};
            std::unique_ptr<QProcess> driver(
                Fault::StartDriver(this, tmpdir == 1 ? QString() : link, out, sources, home, kUser, command));
            const bool finished = driver->waitForFinished(60 * 1000);
            ::kill(swapper, SIGKILL);
            ::waitpid(swapper, nullptr, 0);
            QVERIFY(finished);
            const QString at = QStringLiteral("try %1").arg(attempt);
            QVERIFY2(Fault::Entries(evidence).isEmpty(), qPrintable(at + QStringLiteral(": a planted program ran")));
            QVERIFY2(batch ? driver->exitCode() == 0 : driver->readAllStandardOutput() == "listed\nDone.\n", qPrintable(at));
            QVERIFY2(Fault::Entries(out).size() == kFiles, qPrintable(at));
            swapped += Fault::Entries(swaps).isEmpty() ? 0 : 1;
            QDir(swaps).removeRecursively();
            QVERIFY(MakeOpen(swaps, 0777));
        }
        qInfo("the link was swapped during %d of %d runs; no planted program ran", swapped, kTries);
        QVERIFY(swapped > 0);   // the attack was made, not merely survived
    }

    // Another user holds the report's or the plan's name (a link in a 0777 folder, a 0666 file in a 1777
    // one): refused.
    void reportPathHeldByAnotherUser()
    {
        QTemporaryDir work, home;
        const QString source = work.path() + QStringLiteral("/a.tif");
        QVERIFY(MakeOpen(work.path(), 0755) && MakeOpen(home.path(), 0755) && TestTiff::Write(source, PagesOf(1, 3)));
        for (const QString& option : {QStringLiteral("--report"), QStringLiteral("--plan")})
        for (const mode_t mode : {0777, 01777}) {
            const QString shared = work.path() + QStringLiteral("/s%1%2").arg(mode).arg(option), report = shared + QStringLiteral("/r");
            QString why;
            QVERIFY(MakeOpen(shared, mode) && GiveTo(source, kUser, 0600));
            const int planted = Fault::AsNobody([&] {
                return mode == 0777 ? QFile::link(source, report)
                                    : Fault::WriteFile(report, "theirs") && GiveTo(report, 65534, 0666);
            }, &why);
            if (planted < 0)
                QSKIP(qPrintable(why));
            const QMap<QString, QByteArray> before = Fault::Snapshot(work.path());
            std::unique_ptr<QProcess> batch(Fault::StartDriver(this, QString(), shared, {source}, home.path(), kUser,
                {QStringLiteral(TOVANEL_BATCH_EXE), option, report, QStringLiteral("--out")}));
            QVERIFY(planted == 0 && batch->waitForFinished(60 * 1000) && batch->exitCode() == 3);
            QVERIFY(batch->readAllStandardError().contains("another user's file or link is there"));
            QCOMPARE(Fault::Snapshot(work.path()), before);
        }
    }

    // TEMP is the source folder or the destination, which hold the user's own files under names the
    // run uses: every one of them is untouched and every output is right.
    void userFilesWhereTempPoints_data()
    {
        QTest::addColumn<QString>("tempIs");
        QTest::newRow("TEMP = the source folder") << "src";
        QTest::newRow("TEMP = the destination") << "out";
    }
    void userFilesWhereTempPoints()
    {
        QFETCH(QString, tempIs);
        ConvertRun run;
        const QString temp = tempIs == QLatin1String("src") ? run.src : run.out;
        qputenv("TEMP", QFile::encodeName(temp));
        QMap<QString, QList<Page>> listed{{QStringLiteral("varnholt1"), PagesOf(2, 20)},
                                          {QStringLiteral("varnholt2"), PagesOf(3, 30)},
                                          {QStringLiteral("scan"), PagesOf(2, 40)}};
        for (auto it = listed.begin(); it != listed.end(); ++it)
            run.addTiff(it.key() + QStringLiteral(".tif"), it.value());
        QVERIFY(TestTiff::Write(temp + QStringLiteral("/Varnholt notes.tif"), PagesOf(1, 50)));
        for (const char* name : {"scan.png", "varnholt-keep.tif", ".tovanel-notes", "varnholtaaa.png",
                                 "varnholtaaa.tif", "nconvert.exe", "brisquet_varnholt.tmp", ".varnholt-draft"})
            QVERIFY(Fault::WriteFile(temp + u'/' + QLatin1String(name), QByteArray("the user's ") + name));
        QMap<QString, QByteArray> before = Fault::Snapshot(temp);
        run.saveInFolder(run.out);
        run.start();
        QCOMPARE(run.dialogs().errorReports().size(), 0);
        QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        QMap<QString, QByteArray> after = Fault::Snapshot(temp);
        for (auto it = listed.begin(); it != listed.end(); ++it) {
            const QString problem = OutputsDiffer(run.out, it.key(), it.value());
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            if (temp == run.out)
                for (const QString& name : OutputNames(it.key(), it.value().size()))
                    after.remove(name);
        }
        QCOMPARE(after, before);
    }

    // Two programs with one TEMP convert 20 files each, of the same names, at overlapping times: every
    // PNG is a page of its own program's source.
    void twoProgramsSideBySide()
    {
        constexpr int kFiles = 20, kPages = 3;
        QTemporaryDir work;
        const QString temp = work.path() + QStringLiteral("/Temp");
        QVERIFY(QDir().mkpath(temp));
        QList<QStringList> sources(2);
        std::unique_ptr<QProcess> drivers[2];
        QElapsedTimer clock;
        for (int d = 0; d < 2; ++d) {
            const QString mine = work.path() + QStringLiteral("/p%1").arg(d);
            QVERIFY(QDir().mkpath(mine + QStringLiteral("/src")) && QDir().mkpath(mine + QStringLiteral("/out")));
            for (int f = 0; f < kFiles; ++f) {
                const QString path = mine + QStringLiteral("/src/scan%1.tif").arg(f);
                QVERIFY(TestTiff::Write(path, PagesOf(kPages, 1000 * (d + 1) + 10 * f)));
                sources[d] << path;
            }
        }
        clock.start();
        qint64 ended[2] = {0, 0};
        for (int d = 0; d < 2; ++d)
            drivers[d].reset(Fault::StartDriver(this, temp, work.path() + QStringLiteral("/p%1/out").arg(d), sources[d],
                                                work.path() + QStringLiteral("/p%1").arg(d)));
        for (int d = 0; d < 2; ++d) {
            QVERIFY(drivers[d]->waitForFinished(300 * 1000));
            ended[d] = clock.elapsed();
        }
        qInfo("two programs, %d files x %d pages each: ended after %lld and %lld ms", kFiles, kPages,
              static_cast<long long>(ended[0]), static_cast<long long>(ended[1]));
        for (int d = 0; d < 2; ++d) {
            QCOMPARE(drivers[d]->exitCode(), 0);
            QCOMPARE(drivers[d]->readAllStandardOutput(), QByteArray("listed\nDone.\n"));
            const QString out = work.path() + QStringLiteral("/p%1/out").arg(d);
            QCOMPARE(Fault::Entries(out).size(), kFiles * kPages);
            for (int f = 0; f < kFiles; ++f) {
                const QList<Page> pages = PagesOf(kPages, 1000 * (d + 1) + 10 * f);
                const QString problem = OutputsDiffer(out, QStringLiteral("scan%1").arg(f), pages);
                QVERIFY2(problem.isEmpty(), qPrintable(problem));
            }
        }
        QCOMPARE(Fault::Entries(temp), QStringList());
    }
};

QTEST_MAIN(FaultWorkdirTest)
#include "workdir_test.moc"
