// The process runner: failure table, window-style rules, exit codes, waiting, time-out and process groups.
#include "convert/procs/shell32.h"
#include "fake_dialogs.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace Tovanel::Shell32;

namespace {

QString writeScript(const QString& folder, const QString& name, const QByteArray& body, bool runnable = false)
{
    const QString path = folder + QLatin1Char('/') + name;
    Tovanel::TestFiles::WriteFile(path, body);
    if (runnable)
        QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    return path;
}

// True when no live process has this id (gone, or a zombie nobody has reaped yet).
bool processGone(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) == "Z";
}

struct FailureRow {
    int code;
    qint64 number;
    const char* message;
};

class ShellFailureTable : public ::testing::TestWithParam<FailureRow> {};

TEST_P(ShellFailureTable, GivesNumberAndMessage)
{
    const FailureRow row = GetParam();
    const ShellError e = ShellFailure(row.code);
    EXPECT_EQ(e.number, row.number);
    EXPECT_EQ(e.description.toStdString(), row.message);
    EXPECT_TRUE(e.source.endsWith(QLatin1String(".GShell")));
}

const char* const kGeneric = "An error occurred occurred whilst trying to open or print the selected file.";

INSTANTIATE_TEST_SUITE_P(Rows, ShellFailureTable, ::testing::Values(
    FailureRow{0, 7, "Out of memory"},
    FailureRow{2, 53, "File not found"},
    FailureRow{3, 76, "Path not found"},
    FailureRow{5, 75, "Path/file access error"},
    FailureRow{8, 7, "Out of memory"},
    FailureRow{11, -2147220456LL + 11, "The executable file is invalid or corrupt"},
    FailureRow{26, 75, "A sharing violation occurred."},
    FailureRow{27, -2147220456LL + 27, "This file type does not have a valid file association."},
    FailureRow{28, 286, "The file could not be opened due to time out. Please try again in a moment."},
    FailureRow{29, 285, "The file could not be opened because the DDE transaction failed. Please try again in a moment."},
    FailureRow{30, 285, "The file could not be opened because the target application is busy. Please try again in a moment."},
    FailureRow{31, -2147220456LL + 31, "No application is associated with this file type."},
    FailureRow{32, 48, "The specified dynamic-link library was not found."},
    FailureRow{1, -2147220456LL + 1, kGeneric},
    FailureRow{4, -2147220456LL + 4, kGeneric},
    FailureRow{12, -2147220456LL + 12, kGeneric},
    FailureRow{25, -2147220456LL + 25, kGeneric}));

TEST(ShellErrorSource, IsTheProgramNameWithGShell)
{
    EXPECT_EQ(ErrorSource(), QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() + QStringLiteral(".GShell"));
}

class ShellTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Tovanel::FakeDialogs dialogs;
    Session session;
    void SetUp() override { session.dialogs = &dialogs; }
};

struct StyleRow {
    const char* name;
    int asked;
    bool withFolder;
    int used;
};

class WindowStyleRules : public ShellTest, public ::testing::WithParamInterface<StyleRow> {};

TEST_P(WindowStyleRules, AreRecorded)
{
    const StyleRow row = GetParam();
    const QString script = writeScript(dir.path(), QString::fromLatin1(row.name), "exit 0\n");
    ShellOpen(script, row.asked, QString(), row.withFolder ? dir.path() : QString(), QStringLiteral("open"), session);
    EXPECT_EQ(session.windowStyleUsed, row.used);
    EXPECT_EQ(session.error.number, 0);
    int status = 0;
    ::waitpid(static_cast<pid_t>(session.pid), &status, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, WindowStyleRules, ::testing::Values(
    StyleRow{"plain.bat", 6, true, 6},
    StyleRow{"tool.EXE.bat", 1, true, 0},       // a name holding ".exe" in any case starts hidden
    StyleRow{"tool.exe.bat", 6, true, 0},
    StyleRow{"plain.bat", 0, false, 1},          // without parameters and folder: a normal window
    StyleRow{"tool.exe.bat", 6, false, 1}));

TEST_F(ShellTest, StyleOutsideTheRangeBecomesMinimizedForTheCaller)
{
    const QString script = writeScript(dir.path(), QStringLiteral("ok.bat"), "exit 0\n");
    for (int asked : {9, -1, 7}) {
        int style = asked;
        ShellAndWait(script, style, dir.path(), session);
        EXPECT_EQ(style, Minimized) << asked;
    }
    int style = 3;
    ShellAndWait(script, style, dir.path(), session);
    EXPECT_EQ(style, 3);
}

TEST_F(ShellTest, MissingFileGivesFileNotFound)
{
    int style = Hidden;
    const int r = ShellAndWait(dir.path() + QStringLiteral("/none.bat"), style, dir.path(), session);
    EXPECT_EQ(r, -2147221504 + 53);
    EXPECT_EQ(session.error.number, 53);
    EXPECT_EQ(session.error.description, QStringLiteral("File not found"));
    EXPECT_EQ(ShellOpen(dir.path() + QStringLiteral("/none"), 1, QString(), QString(), QStringLiteral("open"), session), 2);
}

TEST_F(ShellTest, StartFailuresMapToTheirCodes)
{
    // Runnable but not a program: the start fails as an invalid executable, whose number has no
    // room in the negative result.
    const QString junk = writeScript(dir.path(), QStringLiteral("junk"), "\x7f" "ELF-not-really", true);
    EXPECT_EQ(ShellOpen(junk, 1, QString(), QString(), QStringLiteral("open"), session), 11);
    int style = 1;
    EXPECT_EQ(ShellAndWait(junk, style, QString(), session), 0);
    // A working folder that does not exist.
    const QString ok = writeScript(dir.path(), QStringLiteral("ok.bat"), "exit 0\n");
    EXPECT_EQ(ShellOpen(ok, 0, QString(), dir.path() + QStringLiteral("/gone"), QStringLiteral("open"), session), 3);
    EXPECT_EQ(session.error.number, 76);
    EXPECT_EQ(session.pid, 0);
}

TEST_F(ShellTest, ScriptsRunInTheFolderAndGiveTheirExitCode)
{
    const QString script = writeScript(dir.path(), QStringLiteral("work.bat"), "pwd > where.txt\nexit 7\n");
    QDir sub(dir.path());
    sub.mkdir(QStringLiteral("sub"));
    int style = Hidden;
    EXPECT_EQ(ShellAndWait(script, style, dir.path() + QStringLiteral("/sub"), session), 7);
    QFile where(dir.path() + QStringLiteral("/sub/where.txt"));
    ASSERT_TRUE(where.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(where.readAll()).trimmed(), QDir(dir.path() + QStringLiteral("/sub")).canonicalPath());
}

TEST_F(ShellTest, ProgramsRunDirectlyWithTheirParameters)
{
    const QString program = writeScript(dir.path(), QStringLiteral("prog"), "#!/bin/sh\nexit $(($1 + $2))\n", true);
    EXPECT_GT(ShellOpen(program, 1, QStringLiteral("3 4"), dir.path(), QStringLiteral("open"), session), 32);
    int status = 0;
    ASSERT_EQ(::waitpid(static_cast<pid_t>(session.pid), &status, 0), session.pid);
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST_F(ShellTest, FoldersUrlsAndDocumentsGoToTheDesktop)
{
    const QString document = writeScript(dir.path(), QStringLiteral("notes.txt"), "hello\n");
    int style = 1;
    EXPECT_EQ(ShellAndWait(dir.path(), style, QString(), session), 0);
    EXPECT_GT(ShellOpen(QStringLiteral("https://example.org/x"), 1, QString(), QString(), QStringLiteral("open"), session), 32);
    EXPECT_GT(ShellOpen(document, 1, QString(), QString(), QStringLiteral("open"), session), 32);
    ASSERT_EQ(dialogs.opened.size(), 3);
    EXPECT_EQ(dialogs.opened[0], QUrl::fromLocalFile(dir.path()));
    EXPECT_EQ(dialogs.opened[1], QUrl(QStringLiteral("https://example.org/x")));
    EXPECT_EQ(dialogs.opened[2], QUrl::fromLocalFile(document));
    // Nothing on the desktop can open it.
    dialogs.openUrlResult = false;
    EXPECT_EQ(ShellOpen(document, 1, QString(), QString(), QStringLiteral("open"), session), 31);
}

// The wait ends as soon as the process has: a process that is already over costs no pause at all.
TEST_F(ShellTest, WaitReturnsAsSoonAsTheProcessEnds)
{
    const QString quick = writeScript(dir.path(), QStringLiteral("quick.bat"), "exit 0\n");
    int style = Hidden;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ShellAndWait(quick, style, dir.path(), session), 0);
        EXPECT_EQ(session.fullSlices, 0);
    }
}

// Events keep flowing while a process runs, and the group being waited for is visible meanwhile.
TEST_F(ShellTest, EventsRunDuringTheWaitAndTheGroupIsPublished)
{
    // Long enough for several of the wait's pauses even on a loaded machine.
    const QString slow = writeScript(dir.path(), QStringLiteral("slow.bat"), "sleep 1\n");
    qint64 group = 0;
    session.runningGroup = &group;
    QList<qint64> seen;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { seen.append(group); });
    tick.start(20);
    int style = Hidden;
    EXPECT_EQ(ShellAndWait(slow, style, dir.path(), session), 0);
    tick.stop();
    ASSERT_GE(seen.size(), 2);
    EXPECT_EQ(seen.first(), session.group);
    EXPECT_GT(session.group, 1);
    EXPECT_EQ(group, 0);
    EXPECT_GE(session.fullSlices, 1);
}

// A watcher that died on its own (killed alone) is replaced at the next start: no command joins a group
// that nobody watches.
TEST_F(ShellTest, AWatcherThatDiedIsReplacedAtTheNextStart)
{
    const QString quick = writeScript(dir.path(), QStringLiteral("quick.bat"), "exit 0\n");
    int style = Hidden;
    ASSERT_EQ(ShellAndWait(quick, style, dir.path(), session), 0);
    const pid_t first = static_cast<pid_t>(session.group);
    ASSERT_GT(first, 1);
    ::kill(first, SIGKILL);
    for (int i = 0; i < 100 && !processGone(first); ++i)
        ::usleep(10000);
    ASSERT_EQ(ShellAndWait(quick, style, dir.path(), session), 0);
    EXPECT_NE(session.group, first);
    EXPECT_FALSE(processGone(static_cast<pid_t>(session.group))) << "the new group has its watcher";
}

// A process that outlives the time-out is stopped with everything it started.
TEST_F(ShellTest, TimeOutStopsTheWholeGroup)
{
    const QString pidFile = dir.path() + QStringLiteral("/child.pid");
    const QString hang = writeScript(dir.path(), QStringLiteral("hang.bat"),
                                     "sleep 30 &\necho $! > '" + QFile::encodeName(pidFile) + "'\nwait\n");
    session.timeoutMs = 300;
    int style = Hidden;
    EXPECT_EQ(ShellAndWait(hang, style, dir.path(), session), 128 + SIGKILL);
    EXPECT_TRUE(session.timedOut);
    QFile f(pidFile);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const pid_t child = static_cast<pid_t>(f.readAll().trimmed().toLongLong());
    ASSERT_GT(child, 1);
    for (int i = 0; i < 100 && !processGone(child); ++i)
        ::usleep(10000);
    EXPECT_TRUE(processGone(child));
}

// kill -9 of the program ends the command it started, and all that one started, within a second:
// nothing of a dead program goes on writing. Rows: a tool under the script's shell, a tool run
// directly, a tool that ignores the polite signals; and the same end when the group's watcher is told
// to stop instead.
struct OrphanRow {
    const char* name;
    const char* tool;      // shell text of the tool; it writes its pid to the file named by $1
    bool asScript;         // started as a script (its shell runs the tool) or as a program
    bool stopWatcher = false;   // SIGTERM to the leader of the tool's group, the program left alive
};

class ToolsEndWithTheProgram : public ::testing::TestWithParam<OrphanRow> {};

TEST_P(ToolsEndWithTheProgram, WithinASecond)
{
    const OrphanRow row = GetParam();
    QTemporaryDir dir;
    const QString pidFile = dir.path() + QStringLiteral("/tool.pid");
    const QByteArray tool = QByteArray("#!/bin/sh\n") + row.tool + "\n";
    const QString toolPath = writeScript(dir.path(), QStringLiteral("tool"), tool, true);
    const QByteArray quotedPid = "'" + QFile::encodeName(pidFile) + "'";
    const QString started = row.asScript
        ? writeScript(dir.path(), QStringLiteral("run.bat"),
                      "'" + QFile::encodeName(toolPath) + "' " + quotedPid + "\nrm -f x\n")
        : toolPath;

    const pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        Session session;
        int style = Hidden;
        ::_exit(row.asScript ? ShellAndWait(started, style, dir.path(), session)
                             : ShellOpen(started, style, pidFile, dir.path(), QStringLiteral("open"), session) > 32
                                   && ::waitpid(static_cast<pid_t>(session.pid), nullptr, 0) > 0);
    }
    pid_t toolPid = 0;
    for (int i = 0; i < 500 && toolPid <= 1; ++i) {
        QFile f(pidFile);
        if (f.open(QIODevice::ReadOnly))
            toolPid = static_cast<pid_t>(f.readAll().trimmed().toLongLong());
        if (toolPid <= 1)
            ::usleep(10000);
    }
    ASSERT_GT(toolPid, 1) << "the tool never started";
    ASSERT_FALSE(processGone(toolPid));
    const pid_t group = ::getpgid(toolPid);
    ASSERT_GT(group, 1);
    ASSERT_NE(group, ::getpgrp());
    ::kill(row.stopWatcher ? group : program, row.stopWatcher ? SIGTERM : SIGKILL);
    QElapsedTimer clock;
    clock.start();
    while (!processGone(toolPid) && clock.elapsed() < 10000)
        ::usleep(5000);
    const qint64 lived = clock.elapsed();
    const bool gone = processGone(toolPid);
    if (!gone)
        ::kill(toolPid, SIGKILL);
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
    EXPECT_TRUE(gone);
    EXPECT_LT(lived, 1000) << "the tool outlived its program by " << lived << " ms";
}

INSTANTIATE_TEST_SUITE_P(Rows, ToolsEndWithTheProgram, ::testing::Values(
    OrphanRow{"under_the_script_shell", "echo $$ > \"$1\"\nexec sleep 30", true},
    OrphanRow{"started_directly", "echo $$ > \"$1\"\nexec sleep 30", false},
    OrphanRow{"ignoring_polite_signals", "trap '' TERM HUP INT\necho $$ > \"$1\"\nsleep 30\nsleep 30", true},
    OrphanRow{"grandchild_of_the_script", "sleep 30 &\necho $! > \"$1\"\nwait", true},
    OrphanRow{"watcher_stopped", "echo $$ > \"$1\"\nexec sleep 30", true, true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
