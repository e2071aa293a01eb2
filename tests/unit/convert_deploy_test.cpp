// Checked tool deployment, temporary paths and the tool scripts' quoting.
#include "convert/procs/conversion.h"
#include "platform/error_trap.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Tovanel::Convert;

namespace {

struct stat statOf(const QString& path)
{
    struct stat st{};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

using Tovanel::TestFiles::ReadFile;

void writeFile(const QString& path, const QByteArray& bytes, mode_t mode)
{
    ASSERT_TRUE(Tovanel::TestFiles::WriteFileWithMode(path, bytes, mode)) << path.toStdString();
}

const QByteArray kTool = QByteArray("#!/bin/sh\necho our tool\n") + QByteArray(5000, '\x01');

struct DeployRow {
    const char* name;
    const char* before;     // "none", "same", "other", "short", "link", "shared", "notRunnable"
    bool keptInPlace;       // the file already there is used as it is
};

class DeployToolRows : public ::testing::TestWithParam<DeployRow> {};

TEST_P(DeployToolRows, LeavesExactlyOurBytesWithTheRunBit)
{
    const DeployRow row = GetParam();
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/nconvert.exe");
    const QString foreign = dir.path() + QStringLiteral("/foreign");
    const QByteArray foreignBytes = "#!/bin/sh\necho someone else\n";
    const QString before = QString::fromLatin1(row.before);
    if (before == QLatin1String("same")) {
        writeFile(path, kTool, 0700);
    } else if (before == QLatin1String("other")) {
        writeFile(path, foreignBytes, 0755);
    } else if (before == QLatin1String("short")) {
        writeFile(path, kTool.left(100), 0700);
    } else if (before == QLatin1String("shared")) {
        writeFile(path, kTool, 0777);
    } else if (before == QLatin1String("notRunnable")) {
        writeFile(path, kTool, 0600);
    } else if (before == QLatin1String("link")) {
        writeFile(foreign, kTool, 0700);
        ASSERT_TRUE(QFile::link(foreign, path));
    }
    const ino_t inodeBefore = statOf(path).st_ino;

    DeployTool(kTool, path);

    const struct stat st = statOf(path);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
    EXPECT_EQ(st.st_mode & 022, 0u);
    EXPECT_EQ(ReadFile(path), kTool);
    if (before != QLatin1String("none")) {
        EXPECT_EQ(st.st_ino == inodeBefore, row.keptInPlace);
    }
    if (before == QLatin1String("link")) {
        EXPECT_EQ(ReadFile(foreign), kTool);   // the link's target is left alone
    }
    // No half-written temporary names stay behind.
    QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    left.removeAll(QStringLiteral("foreign"));
    EXPECT_EQ(left, QStringList{QStringLiteral("nconvert.exe")});
}

INSTANTIATE_TEST_SUITE_P(Rows, DeployToolRows, ::testing::Values(
    DeployRow{"missing", "none", false},
    DeployRow{"ours", "same", true},
    DeployRow{"foreign", "other", false},
    DeployRow{"cut off", "short", false},
    DeployRow{"link with our bytes", "link", false},
    DeployRow{"writable by others", "shared", false},
    DeployRow{"not runnable", "notRunnable", false}),
    [](const auto& info) { std::string n = info.param.name; for (char& c : n) if (c == ' ') c = '_'; return n; });

TEST(DeployTool, MissingFolderFails)
{
    QTemporaryDir dir;
    EXPECT_THROW(DeployTool(kTool, dir.path() + QStringLiteral("/gone/nconvert.exe")), Tovanel::Failure);
}

TEST(TempPath, NeverFallsBackToTheRoot)
{
    EXPECT_EQ(TempPath(QStringLiteral("/t"), QStringLiteral("a")), QStringLiteral("/t/a"));
    EXPECT_THROW(TempPath(QString(), QStringLiteral("nconvert.exe")), Tovanel::Failure);
}

// Whatever a name holds, the shell reads it back as that one word.
class QuotingRoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(QuotingRoundTrip, ShellSeesTheSameWord)
{
    const QString word = QString::fromUtf8(GetParam());
    QProcess sh;
    sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '%s|' ") + QuoteForShell(word)});
    ASSERT_TRUE(sh.waitForFinished());
    EXPECT_EQ(QString::fromUtf8(sh.readAllStandardOutput()), word + QLatin1Char('|'));
}

INSTANTIATE_TEST_SUITE_P(Names, QuotingRoundTrip, ::testing::Values(
    "plain", "with space", "$(touch x)", "`id`", "it's", "''", "a\"b", "back\\slash", "$HOME", "semi;colon",
    "new\nline", "-n", "*.tif", "ünïcödé", ""));

// A tool script runs its command in its folder and then removes the marker, whatever the names hold.
TEST(ToolScript, RunsTheCommandThenRemovesTheMarker)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/it's $(odd)");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString tool = folder + QStringLiteral("/tiffsplit.exe");
    writeFile(tool, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$2.args\"\n", 0700);
    const QString marker = folder + QStringLiteral("/brisquet_varnholt.tmp");
    writeFile(marker, "Tovanel\n", 0600);
    const QString copy = folder + QStringLiteral("/a `b`.tif");
    const QString script = folder + QStringLiteral("/tiffsplit.bat");
    writeFile(script, ToolScript(SplitterCommand(tool, copy), marker).toUtf8() + '\n', 0600);
    QProcess sh;
    sh.setWorkingDirectory(folder);
    sh.start(QStringLiteral("/bin/sh"), {script});
    ASSERT_TRUE(sh.waitForFinished());
    EXPECT_EQ(sh.exitCode(), 0);
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(ReadFile(folder + QStringLiteral("/varnholt.args")), (copy + QStringLiteral("\nvarnholt\n")).toUtf8());
}

TEST(EndMarkerWait, RemovesAMarkerThatWillNeverGo)
{
    QTemporaryDir dir;
    const QString marker = dir.path() + QStringLiteral("/brisquet_varnholt.tmp");
    writeFile(marker, "Tovanel\n", 0600);
    EndMarkerWait(marker);
    EXPECT_FALSE(QFile::exists(marker));
    EndMarkerWait(marker);   // nothing there: nothing happens
    EXPECT_FALSE(QFile::exists(marker));
}

} // namespace

namespace {

struct MoveRow {
    const char* name;
    bool pngThere;
    bool folderThere;
    bool oldOutput;
    bool moved;
};

class MoveOutputRows : public ::testing::TestWithParam<MoveRow> {};

TEST_P(MoveOutputRows, OutputAppearsWholeOrNotAtAll)
{
    const MoveRow row = GetParam();
    QTemporaryDir dir;
    const QString png = dir.path() + QStringLiteral("/varnholtaaa.png");
    const QString folder = dir.path() + QStringLiteral("/out");
    const QString target = folder + QStringLiteral("/scan.png_1.png");
    if (row.pngThere)
        writeFile(png, "new png", 0644);
    if (row.folderThere) {
        ASSERT_TRUE(QDir().mkpath(folder));
    }
    if (row.oldOutput)
        writeFile(target, "old png", 0644);
    MoveOutput(png, target);
    EXPECT_EQ(QFile::exists(png), row.pngThere && !row.moved);
    if (row.moved) {
        EXPECT_EQ(ReadFile(target), QByteArray("new png"));
    } else if (row.oldOutput) {
        EXPECT_EQ(ReadFile(target), QByteArray("old png"));
    } else {
        EXPECT_FALSE(QFile::exists(target));
    }
    if (row.folderThere) {
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), (row.moved || row.oldOutput) ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, MoveOutputRows, ::testing::Values(
    MoveRow{"new_output", true, true, false, true},
    MoveRow{"replaces_old_output", true, true, true, true},
    MoveRow{"missing_folder", true, false, false, false},
    MoveRow{"missing_png", false, true, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

TEST(ClearLeftovers, RemovesOnlyThePrivateNamesAKilledRunLeaves)
{
    QTemporaryDir dir;
    const QStringList leftovers{".tovanel-9d628a2c39bdc5eb", ".varnholtaab.tif.Xa81Qz", ".varnholtaaa.png.k2P0aa",
                                ".nconvert.exe.7GhQ2w", ".tiffsplit.exe.Zz0011"};
    const QStringList kept{"scan.tif", ".hidden.tif", "varnholt.txt", ".tovanel", "report.png_1.png"};
    for (const QString& name : leftovers + kept) {
        ASSERT_TRUE(Tovanel::TestFiles::WriteFile(dir.filePath(name), "x")) << name.toStdString();
    }
    Tovanel::Convert::ClearLeftovers(dir.path());
    QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    QStringList expected = kept;
    expected.sort();
    EXPECT_EQ(left, expected);
}
