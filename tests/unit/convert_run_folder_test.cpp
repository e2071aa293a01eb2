// The runs' working folders: made private, locked while alive, swept only when dead, removed following no link.
#include "convert/procs/conversion.h"
#include "convert/procs/run_folder.h"
#include "platform/error_trap.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

using namespace Tovanel::Convert;

namespace {

using Tovanel::TestFiles::Entries;
using Tovanel::TestFiles::ReadFile;
using Tovanel::TestFiles::WriteFile;

// The user's own folder, which links inside run folders point at: it must come through every sweep.
struct Victim {
    explicit Victim(const QString& root) : folder(root + QStringLiteral("/victim"))
    {
        QDir().mkpath(folder);
        WriteFile(folder + QStringLiteral("/keep.txt"), "mine\n");
    }
    bool intact() const
    {
        return Entries(folder) == QStringList{QStringLiteral("keep.txt")}
               && ReadFile(folder + QStringLiteral("/keep.txt")) == "mine\n";
    }
    QString folder;
};

TEST(RunFolder, IsFreshPrivateAndRemovedWithItsContents)
{
    QTemporaryDir base;
    Victim victim(base.path() + QStringLiteral("/elsewhere"));
    RunFolder run;
    run.makeIn(base.path());
    ASSERT_TRUE(run.isMade());
    const QString path = run.path();
    EXPECT_EQ(QFileInfo(path).absolutePath(), base.path());
    EXPECT_TRUE(IsRunFolderName(QFileInfo(path).fileName())) << path.toStdString();
    struct stat st;
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());

    // What a run leaves in it, links to the user's files included, goes; the link's target stays.
    ASSERT_TRUE(WriteFile(path + QStringLiteral("/varnholtaaa.tif"), "page"));
    ASSERT_TRUE(QFile::link(victim.folder, path + QStringLiteral("/link-to-folder")));
    ASSERT_TRUE(QFile::link(victim.folder + QStringLiteral("/keep.txt"), path + QStringLiteral("/link-to-file")));
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral("/sub/deeper")));
    RunFolder second;
    second.makeIn(base.path());
    EXPECT_NE(second.path(), path);
    run.remove();
    EXPECT_FALSE(run.isMade());
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(victim.intact());
    EXPECT_THROW(run.path(), Tovanel::Failure);
    second.remove();
    EXPECT_EQ(Entries(base.path()), QStringList{QStringLiteral("elsewhere")});
}

// Where no run folder may be made: the failure is kept for the steps that need the folder, and
// nothing is made anywhere.
struct RefusedRow {
    const char* name;
    const char* base;   // "missing", "link" (a link to a folder of the user's), "open" (a 0777 folder)
    int err;
};

class RefusedBaseRows : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedBaseRows, NothingIsMade)
{
    const RefusedRow row = GetParam();
    const QString kind = QString::fromLatin1(row.base);
    QTemporaryDir root;
    const QString folder = root.path() + QStringLiteral("/folder"), open = root.path() + QStringLiteral("/open");
    ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(open));
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
    ASSERT_TRUE(QFile::link(folder, root.path() + QStringLiteral("/link")));
    RunFolder run;
    run.makeIn(root.path() + u'/' + kind);
    EXPECT_FALSE(run.isMade());
    try {
        run.path();
        ADD_FAILURE() << "no failure thrown";
    } catch (const Tovanel::Failure& e) {
        EXPECT_EQ(QString::fromUtf8(e.what()), QString::fromLocal8Bit(std::strerror(row.err)));
    }
    EXPECT_FALSE(QFileInfo::exists(root.path() + QStringLiteral("/missing")));
    EXPECT_EQ(Entries(folder), QStringList());
    EXPECT_EQ(Entries(open), QStringList());
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedBaseRows, ::testing::Values(
    RefusedRow{"missing_folder", "missing", ENOENT},
    RefusedRow{"through_a_link", "link", ENOTDIR},
    RefusedRow{"folder_open_to_others", "open", EACCES}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunFolderName, OnlyTheExactShape)
{
    EXPECT_TRUE(IsRunFolderName(QStringLiteral("tovanel-run-a1B2c3")));
    for (const char* name : {"tovanel-run-", "tovanel-run-a1B2c", "tovanel-run-a1B2c3d", "tovanel-run-a1B2c.",
                             "tovanel-run-../x1", "Tovanel-run-a1B2c3", "xtovanel-run-a1B2c", "tovanel-1000",
                             "varnholtaaa.tif"})
        EXPECT_FALSE(IsRunFolderName(QString::fromLatin1(name))) << name;
}

// The folder of a run that died in base: made by a process that ends without removing it.
QString DeadRunIn(const QString& base)
{
    int made[2];
    if (::pipe(made) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        RunFolder run;
        run.makeIn(base);
        const QByteArray name = QFile::encodeName(run.isMade() ? run.path() : QString());
        ::_exit(::write(made[1], name.constData(), static_cast<size_t>(name.size())) == name.size() ? 0 : 1);
    }
    ::close(made[1]);
    char buffer[4096] = {};
    const ssize_t got = child > 0 ? ::read(made[0], buffer, sizeof buffer - 1) : -1;
    ::close(made[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return got > 0 ? QFile::decodeName(QByteArray(buffer, static_cast<int>(got))) : QString();
}

// What lies in the temporary folder when a run starts, and whether its sweep may remove it.
struct SweepRow {
    const char* name;
    const char* kind;    // "dead", "live", "link", "file", "oddName", "deadWithLinks", "foreign", "unmarked",
                         // "copiedMark"
    bool removed;
};

class SweepRows : public ::testing::TestWithParam<SweepRow> {};

TEST_P(SweepRows, RemovesOnlyDeadRunsOfThisUser)
{
    const SweepRow row = GetParam();
    const QString kind = QString::fromLatin1(row.kind);
    if (kind == QLatin1String("foreign") && ::geteuid() != 0)
        GTEST_SKIP() << "handing a folder to another user needs root";
    QTemporaryDir root;
    const QString base = root.path() + QStringLiteral("/Temp");
    ASSERT_TRUE(QDir().mkpath(base));
    Victim victim(root.path());
    RunFolder live;
    QString entry = base + QStringLiteral("/tovanel-run-Ab12Cd");
    if (kind == QLatin1String("live")) {
        live.makeIn(base);
        entry = live.path();
        ASSERT_TRUE(WriteFile(entry + QStringLiteral("/nconvert.exe"), "tool"));
    } else if (kind == QLatin1String("link")) {
        ASSERT_TRUE(QFile::link(victim.folder, entry));
    } else if (kind == QLatin1String("file")) {
        ASSERT_TRUE(WriteFile(entry, "a file"));
    } else if (kind == QLatin1String("unmarked") || kind == QLatin1String("copiedMark")) {
        // The user's own folders, named like run folders; one holds a copy of a dead run's mark.
        entry = base + QStringLiteral("/tovanel-run-backup");
        ASSERT_TRUE(WriteFile(entry + QStringLiteral("/thesis.txt"), "chapter 1\n", true));
        if (kind == QLatin1String("copiedMark")) {
            const QString dead = DeadRunIn(root.path());
            ASSERT_FALSE(dead.isEmpty());
            ASSERT_TRUE(QFile::copy(dead + u'/' + kRunMark, entry + u'/' + kRunMark));
        }
    } else if (kind == QLatin1String("unmarkedEmpty") || kind == QLatin1String("halfMark")) {
        // A run killed between making its folder and finishing its mark.
        ASSERT_TRUE(QDir().mkpath(entry));
        if (kind == QLatin1String("halfMark"))
            ASSERT_TRUE(WriteFile(entry + u'/' + kRunMark, "tovanel"));
    } else if (kind == QLatin1String("oddName")) {
        entry = base + QStringLiteral("/tovanel-run-Ab12Cd-notes");
        ASSERT_TRUE(WriteFile(entry + QStringLiteral("/varnholtaaa.png"), "png", true));
    } else {
        entry = DeadRunIn(base);
        ASSERT_FALSE(entry.isEmpty());
        ASSERT_TRUE(QDir().mkpath(entry + QStringLiteral("/sub")));
        ASSERT_TRUE(WriteFile(entry + QStringLiteral("/varnholtaaa.png"), "png"));
        if (kind == QLatin1String("deadWithLinks")) {
            ASSERT_TRUE(QFile::link(victim.folder, entry + QStringLiteral("/sub/folder-link")));
            ASSERT_TRUE(QFile::link(victim.folder + QStringLiteral("/keep.txt"),
                                    entry + QStringLiteral("/varnholtaab.tif")));
        }
        if (kind == QLatin1String("foreign")) {
            ASSERT_EQ(::chown(QFile::encodeName(entry).constData(), 65534, 65534), 0);
        }
    }
    const QStringList before = Entries(entry);

    EXPECT_EQ(SweepDeadRuns(base), row.removed ? 1 : 0);
    QFileInfo after(entry);
    EXPECT_EQ(!after.exists() && !after.isSymLink(), row.removed);
    if (!row.removed) {
        EXPECT_EQ(Entries(entry), before);
    }
    EXPECT_TRUE(victim.intact());
}

INSTANTIATE_TEST_SUITE_P(Rows, SweepRows, ::testing::Values(
    SweepRow{"dead_run", "dead", true},
    SweepRow{"dead_run_holding_links", "deadWithLinks", true},
    SweepRow{"live_run", "live", false},
    SweepRow{"link_named_like_a_run", "link", false},
    SweepRow{"file_named_like_a_run", "file", false},
    SweepRow{"folder_with_a_longer_name", "oddName", false},
    SweepRow{"dead_run_handed_to_another_user", "foreign", false},
    SweepRow{"users_folder_named_like_a_run", "unmarked", false},
    SweepRow{"users_folder_with_a_copied_mark", "copiedMark", false},
    SweepRow{"run_killed_before_its_mark", "unmarkedEmpty", true},
    SweepRow{"run_killed_while_marking", "halfMark", true}),
    [](const auto& info) { return std::string(info.param.name); });

// A live run in another process keeps its folder through the sweep of a run starting beside it.
TEST(SweepDeadRuns, LeavesTheFolderOfALiveProcess)
{
    QTemporaryDir base;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        RunFolder run;
        run.makeIn(base.path());
        const QByteArray name = QFile::encodeName(run.isMade() ? run.path() : QString());
        if (::write(ready[1], name.constData(), static_cast<size_t>(name.size())) < 0)
            ::_exit(1);
        ::close(ready[1]);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char buffer[4096] = {};
    const ssize_t got = ::read(ready[0], buffer, sizeof buffer - 1);
    ::close(ready[0]);
    ASSERT_GT(got, 0);
    const QString theirs = QFile::decodeName(QByteArray(buffer, static_cast<int>(got)));
    RunFolder mine;
    mine.makeIn(base.path());
    EXPECT_TRUE(QFileInfo(theirs).isDir());
    // Killed, it leaves its folder behind with a free lock: the next run takes it away.
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    EXPECT_TRUE(QFileInfo(theirs).isDir());
    RunFolder next;
    next.makeIn(base.path());
    EXPECT_FALSE(QFileInfo::exists(theirs));
    EXPECT_TRUE(QFileInfo(mine.path()).isDir());
}

// Runs starting at once in one folder (shards under GNU parallel) sweep each other's folders in the
// moment between their making and their locking: every run gets a folder all the same.
TEST(RunFolder, RunsStartingAtOnceEachGetOne)
{
    QTemporaryDir base;
    std::vector<pid_t> runs;
    for (int r = 0; r < 4; ++r) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int missed = 0;
            for (int i = 0; i < 400; ++i) {
                RunFolder run;
                run.makeIn(base.path());
                missed += run.isMade() ? 0 : 1;
            }
            ::_exit(missed == 0 ? 0 : 1);
        }
        runs.push_back(pid);
    }
    for (const pid_t pid : runs) {
        int status = -1;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a run got no folder";
    }
    EXPECT_EQ(Entries(base.path()), QStringList());
}

// Where the runs make their folders, by what "TEMP" names, and the private folder's safety.
struct BaseRow {
    const char* name;
    mode_t tempMode;     // 0: TEMP unset, or set to `given`
    bool noexec;         // TEMP (or the system temp folder) mounted noexec
    const char* expected;   // "temp", "private", "cache", "given" (made absolute), "failure"
    const char* given = nullptr;   // TEMP's text where it names no folder of the test's ("" = set but empty)
    const char* before = "";       // the private folder beforehand: "open" (mode 0777), "link", "foreign"
    // TEMP names Temp through links/t -> Temp, links being: "own" (0700), "open" (0777), "sticky" (1777,
    // the link another user's), "chain" (0700, the link to open/u -> Temp, open being 0777).
    const char* via = "";
};

class RunFolderBaseRows : public ::testing::TestWithParam<BaseRow> {};

TEST_P(RunFolderBaseRows, FollowsTempUnlessUnsafe)
{
    const BaseRow row = GetParam();
    const QString before = QString::fromLatin1(row.before);
    if (before == QLatin1String("foreign") && ::geteuid() != 0)
        GTEST_SKIP() << "handing a folder to another user needs root";
    QTemporaryDir root, cache;
    const QString temp = root.path() + QStringLiteral("/Temp");
    const QString system = root.path() + QStringLiteral("/system");
    ASSERT_TRUE(QDir().mkpath(temp) && QDir().mkpath(system));
    const QString mine = QStringLiteral("/tovanel-") + QString::number(::geteuid());
    const QByteArray privateFolder = QFile::encodeName(system + mine);
    if (before == QLatin1String("link")) {
        ASSERT_TRUE(QFile::link(temp, system + mine));
    } else if (before == QLatin1String("open")) {
        ASSERT_EQ(::mkdir(privateFolder.constData(), 0777), 0);
        ::chmod(privateFolder.constData(), 0777);
    } else if (before == QLatin1String("foreign")) {
        ASSERT_EQ(::mkdir(privateFolder.constData(), 0700), 0);
        ASSERT_EQ(::chown(privateFolder.constData(), 65534, 65534), 0);
    }
    const QString mounted = row.tempMode ? temp : system;
    const QByteArray mountPoint = QFile::encodeName(mounted);
    if (row.noexec && ::mount("tovanel-test", mountPoint.constData(), "tmpfs", MS_NOEXEC, "size=1m") != 0) {
        GTEST_SKIP() << "can't mount a noexec tmpfs here (" << std::strerror(errno) << ")";
    }
    if (row.tempMode) {
        ASSERT_EQ(::chmod(QFile::encodeName(temp).constData(), row.tempMode), 0);
    }
    const QString via = QString::fromLatin1(row.via);
    const QString links = root.path() + QStringLiteral("/links"), open = root.path() + QStringLiteral("/open");
    if (!via.isEmpty()) {
        const mode_t linksMode = via == QLatin1String("open") ? 0777 : via == QLatin1String("sticky") ? 01777 : 0700;
        ASSERT_TRUE(QDir().mkpath(links) && QDir().mkpath(open));
        ASSERT_EQ(::chmod(QFile::encodeName(links).constData(), linksMode), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
        ASSERT_TRUE(QFile::link(temp, open + QStringLiteral("/u")));
        ASSERT_TRUE(QFile::link(via == QLatin1String("chain") ? open + QStringLiteral("/u") : temp,
                                links + QStringLiteral("/t")));
        const QByteArray link = QFile::encodeName(links + QStringLiteral("/t"));
        if (via == QLatin1String("sticky") && ::lchown(link.constData(), 65534, 65534) != 0)
            GTEST_SKIP() << "handing a link to another user needs root";
    }
    const QByteArray oldTemp = qgetenv("TEMP"), oldTmp = qgetenv("TMPDIR"), oldCache = qgetenv("XDG_CACHE_HOME");
    if (!via.isEmpty())
        qputenv("TEMP", QFile::encodeName(links + QStringLiteral("/t")));
    else if (row.tempMode)
        qputenv("TEMP", QFile::encodeName(temp));
    else if (row.given)
        qputenv("TEMP", row.given);
    else
        qunsetenv("TEMP");
    qputenv("TMPDIR", QFile::encodeName(system));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
    QString got;
    try {
        got = TempFolder();
    } catch (const Tovanel::Failure& e) {
        got = QStringLiteral("failure: ") + QString::fromUtf8(e.what());
    }
    qputenv("TEMP", oldTemp);
    qputenv("TMPDIR", oldTmp);
    qputenv("XDG_CACHE_HOME", oldCache);
    if (row.noexec)
        ::umount2(QFile::encodeName(mounted).constData(), MNT_DETACH);
    const QString expected = QString::fromLatin1(row.expected);
    if (expected == QLatin1String("temp")) {
        EXPECT_EQ(got, temp);
    } else if (expected == QLatin1String("private")) {
        EXPECT_EQ(got, system + mine);
        struct stat st{};
        ASSERT_EQ(::lstat(privateFolder.constData(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);   // made private, or closed again where it was open
    } else if (expected == QLatin1String("cache")) {
        EXPECT_EQ(got, cache.path() + mine);
    } else if (expected == QLatin1String("given")) {
        EXPECT_EQ(got, QDir::current().absoluteFilePath(QString::fromUtf8(row.given)));
    } else {
        EXPECT_TRUE(got.startsWith(QLatin1String("failure: "))) << got.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RunFolderBaseRows, ::testing::Values(
    BaseRow{"own_temp", 0700, false, "temp"},
    BaseRow{"shared_sticky_temp", 01777, false, "temp"},
    BaseRow{"shared_temp_without_sticky_bit", 0777, false, "private"},
    BaseRow{"group_writable_temp", 0770, false, "private"},
    BaseRow{"noexec_temp", 0700, true, "cache"},
    BaseRow{"unset_temp", 0, false, "private"},
    BaseRow{"empty_temp", 0, false, "private", ""},
    BaseRow{"missing_temp_used_as_given", 0, false, "given", "/somewhere/else"},
    BaseRow{"relative_temp_made_absolute", 0, false, "given", "rel/t"},
    BaseRow{"open_private_folder_closed_again", 0, false, "private", nullptr, "open"},
    BaseRow{"private_folder_that_is_a_link", 0, false, "failure", nullptr, "link"},
    BaseRow{"private_folder_of_another_user", 0, false, "failure", nullptr, "foreign"},
    BaseRow{"unset_temp_noexec_system_folder", 0, true, "cache"},
    BaseRow{"link_resolved_to_the_real_folder", 0700, false, "temp", nullptr, "", "own"},
    BaseRow{"link_in_a_folder_open_to_others", 0700, false, "private", nullptr, "", "open"},
    BaseRow{"link_of_another_user_in_a_sticky_folder", 0700, false, "private", nullptr, "", "sticky"},
    BaseRow{"second_link_in_a_folder_open_to_others", 0700, false, "private", nullptr, "", "chain"}),
    [](const auto& info) { return std::string(info.param.name); });

// A copy never takes a name the run gives one of its own files, nor one its PNG would write over.
struct CopyRow {
    const char* source;
    const char* copy;
};

class CopyNameRows : public ::testing::TestWithParam<CopyRow> {};

TEST_P(CopyNameRows, NeverAFixedName)
{
    const CopyRow row = GetParam();
    const QString copy = CopyName(QString::fromUtf8(row.source));
    EXPECT_EQ(copy, QString::fromUtf8(row.copy));
    for (const QString& fixed : {kMarker, kSplitScript, kConvertScript, kSplitTool, kConvertTool})
        EXPECT_NE(copy.compare(fixed, Qt::CaseInsensitive), 0);
    EXPECT_FALSE(copy.startsWith(kPagePrefix, Qt::CaseInsensitive));
    EXPECT_FALSE(copy.startsWith(QLatin1Char('.')));
    EXPECT_NE(copy.left(copy.lastIndexOf(QLatin1Char('.'))) + QStringLiteral(".png"), copy);
}

INSTANTIATE_TEST_SUITE_P(Rows, CopyNameRows, ::testing::Values(
    CopyRow{"scan.tif", "scan.tif"},
    CopyRow{"nconvert.exe", "~nconvert.exe"},
    CopyRow{"NConvert.EXE", "~NConvert.EXE"},
    CopyRow{"tiffsplit.exe", "~tiffsplit.exe"},
    CopyRow{"tiffsplit.bat", "~tiffsplit.bat"},
    CopyRow{"nconvert.bat", "~nconvert.bat"},
    CopyRow{"brisquet_varnholt.tmp", "~brisquet_varnholt.tmp"},
    CopyRow{"varnholtaaa.tif", "~varnholtaaa.tif"},
    CopyRow{"VARNHOLT.tif", "~VARNHOLT.tif"},
    CopyRow{"varnholtaaa.png", "~varnholtaaa.png.tif"},
    CopyRow{"scan.png", "scan.png.tif"},
    CopyRow{".tovanel-notes.tif", "~.tovanel-notes.tif"},
    CopyRow{"nconvert.exe.tif", "nconvert.exe.tif"},
    CopyRow{"scan?*[a]{b}.tif", "scan__[a]{b}.tif"}),
    [](const auto& info) { return "row" + std::to_string(info.index); });

} // namespace
