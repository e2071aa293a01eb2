// Tests of the path texts and quiet file operations of module Main, and of the file layer under them.
#include "platform/error_trap.h"
#include "fs/main_procs.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct TextCase {
    QString (*procedure)(const QString&);
    const char* input;
    const char* expected;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << '"' << c.input << "\" -> \"" << c.expected << '"'; }

// Rows of one path procedure: each input with the text it must give.
std::vector<TextCase> Rows(QString (*procedure)(const QString&), std::vector<std::pair<const char*, const char*>> rows)
{
    std::vector<TextCase> cases;
    for (const auto& [input, expected] : rows)
        cases.push_back({procedure, input, expected});
    return cases;
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void WriteFile(const QString& path, const QByteArray& bytes, mode_t mode = 0644)
{
    ASSERT_TRUE(Tovanel::TestFiles::WriteFileWithMode(path, bytes, mode)) << path.toStdString();
}

bool Exists(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// Runs fn from the event loop the next time events are processed.
void PostToEventLoop(std::function<void()> fn)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(fn), Qt::QueuedConnection);
}

using Tovanel::TestFiles::Entries;

class PathText : public ::testing::TestWithParam<TextCase> {};
TEST_P(PathText, GivesTheExpectedText)
{
    EXPECT_EQ(GetParam().procedure(QString::fromUtf8(GetParam().input)).toStdString(), GetParam().expected);
}

// Paths written with "/" where the Windows examples had "\"; drive letters dropped. Each pair of
// slashes collapses once, left to right.
INSTANTIATE_TEST_SUITE_P(NormalizePath, PathText, ::testing::ValuesIn(Rows(Tovanel::Main::NormalizePath, {
    {"/a//b", "/a/b"},                    // C:\a\\b
    {"/a/b", "/a/b"},                     // a single leading "/" stays single (the UNC doubling is gone)
    {"//server/share//x", "/server/share/x"},
    {"////server/x", "//server/x"},
    {"/a///b", "/a//b"},                  // three become two, not one
    {"a////b", "a//b"},
    {"a/////b", "a///b"},
    {"", ""},
    {"/", "/"},
    {"//", "/"},
    {"scan.tif", "scan.tif"},
    {"/caf\xC3\xA9//x", "/caf\xC3\xA9/x"}})));

// The text up to the last slash.
INSTANTIATE_TEST_SUITE_P(GetFolderPart, PathText, ::testing::ValuesIn(Rows(Tovanel::Main::GetFolderPart, {
    {"/a/b.tif", "/a/"},                  // C:\a\b.tif gives C:\a\ .
    {"b.tif", ""},
    {"/a/", "/a/"},
    {"/", "/"},
    {"", ""}})));

// The text after the last slash.
INSTANTIATE_TEST_SUITE_P(GetFileNamePart, PathText, ::testing::ValuesIn(Rows(Tovanel::Main::GetFileNamePart, {
    {"/a/b.tif", "b.tif"},
    {"b.tif", "b.tif"},
    {"/a/", ""},
    {"", ""}})));

// Cut at the last dot anywhere but in first place.
INSTANTIATE_TEST_SUITE_P(StripExtension, PathText, ::testing::ValuesIn(Rows(Tovanel::Main::StripExtension, {
    {"/a/b.tif", "/a/b"},
    {"/a.d/b", "/a"},                     // the folder's dot is taken
    {"/my.dir/file", "/my"},
    {".tif", ".tif"},                     // a dot in first place is kept
    {"/.tif", "/"},                       // second place counts
    {"a.b.tif", "a.b"},
    {"scan", "scan"},
    {"", ""}})));

class MainFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        root = dir.path() + QLatin1Char('/');
    }
    QString at(const char* name) const { return root + QString::fromUtf8(name); }
    QTemporaryDir dir;
    QString root;
};

TEST_F(MainFiles, ExistenceTestsTellFilesFromFolders)
{
    WriteFile(at("a.tif"), "x");
    ASSERT_TRUE(QDir().mkdir(at("sub")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(at("pipe.tif")).constData(), 0644), 0);
    ASSERT_EQ(::symlink("sub", QFile::encodeName(at("link")).constData()), 0);
    struct Row {
        const char* name;
        bool fileExistsByDate;
        bool folderExists;
    } rows[] = {
        {"a.tif", true, false},   // FolderExists of an existing file is false
        {"sub", true, true},
        {"sub/", true, true},
        {"link", true, true},     // a link to a folder is that folder
        {"pipe.tif", true, false},
        {"missing", false, false},
        {"*.tif", false, false},  // wildcards are not expanded
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Tovanel::Main::FileExistsByDate(at(r.name)), r.fileExistsByDate) << r.name;
        EXPECT_EQ(Tovanel::Main::FolderExists(at(r.name)), r.folderExists) << r.name;
    }
    EXPECT_FALSE(Tovanel::Main::FileExistsByDate(QString()));
    EXPECT_FALSE(Tovanel::Main::FolderExists(QString()));
}

TEST_F(MainFiles, GetAttrMapsModeAndNameToTheDesignBits)
{
    WriteFile(at("plain.tif"), "x");
    WriteFile(at("ro.tif"), "x", 0444);
    WriteFile(at(".hidden.tif"), "x");
    WriteFile(at(".hidden-ro.tif"), "x", 0400);
    ASSERT_TRUE(QDir().mkdir(at("dir")));
    ASSERT_TRUE(QDir().mkdir(at(".hdir")));
    ASSERT_EQ(::symlink("plain.tif", QFile::encodeName(at("flink")).constData()), 0);
    ASSERT_EQ(::symlink("dir", QFile::encodeName(at("dlink")).constData()), 0);
    struct Row {
        const char* name;
        int attr;
    } rows[] = {
        {"plain.tif", 32}, {"ro.tif", 33}, {".hidden.tif", 34}, {".hidden-ro.tif", 35},
        {"dir", 16}, {"dir/", 16}, {".hdir", 18}, {"flink", 1024 + 32}, {"dlink", 1024 + 16}, {"dlink/", 1024 + 16},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Tovanel::Main::GetAttr(at(r.name)), r.attr) << r.name;
    try {
        Tovanel::Main::GetAttr(at("missing"));
        ADD_FAILURE() << "GetAttr of a missing path returned";
    } catch (const Tovanel::Failure& f) {
        EXPECT_EQ(f.number(), 76);
        EXPECT_STREQ(f.what(), "No such file or directory");
    }
}

TEST_F(MainFiles, DeleteFileQuietRemovesMatchingFilesOfOneFolderOnly)
{
    WriteFile(at("varnholt1.tif"), "1");
    WriteFile(at("VARNHOLT2.TIF"), "2", 0444);       // read-only goes too
    WriteFile(at(".varnholt3.tif"), "3");            // not matched: the pattern starts with "v"
    WriteFile(at("other.tif"), "o");
    ASSERT_TRUE(QDir().mkdir(at("varnholt-dir.tif"))); // folders never
    ASSERT_TRUE(QDir().mkdir(at("sub")));
    WriteFile(at("sub/varnholt4.tif"), "4");         // another folder
    Tovanel::Main::DeleteFileQuiet(at("varnholt*.tif"));
    EXPECT_EQ(Entries(root), (QStringList{".varnholt3.tif", "other.tif", "sub", "varnholt-dir.tif"}));
    EXPECT_TRUE(Exists(at("sub/varnholt4.tif")));

    // A wildcard in a folder part is a name, not a pattern: nothing below is reached.
    Tovanel::Main::DeleteFileQuiet(at("s*/varnholt4.tif"));
    EXPECT_TRUE(Exists(at("sub/varnholt4.tif")));
}

TEST_F(MainFiles, DeleteFileQuietSingleNamesAndNothingToDelete)
{
    WriteFile(at("ro.tif"), "x", 0400);
    WriteFile(at("target.tif"), "t");
    ASSERT_EQ(::symlink("target.tif", QFile::encodeName(at("link.tif")).constData()), 0);
    ASSERT_TRUE(QDir().mkdir(at("folder")));
    Tovanel::Main::DeleteFileQuiet(at("ro.tif"));
    Tovanel::Main::DeleteFileQuiet(at("link.tif"));  // the link goes, its target stays
    Tovanel::Main::DeleteFileQuiet(at("folder"));    // never a folder
    Tovanel::Main::DeleteFileQuiet(at("folder/"));
    Tovanel::Main::DeleteFileQuiet(at("missing.tif"));
    Tovanel::Main::DeleteFileQuiet(at("missing/*.tif"));
    Tovanel::Main::DeleteFileQuiet(QString());
    EXPECT_EQ(Entries(root), (QStringList{"folder", "target.tif"}));
}

TEST_F(MainFiles, DeleteFileQuietLetsPendingEventsRunFirst)
{
    WriteFile(at("a.tif"), "x");
    bool ran = false;
    bool fileWasThere = false;
    PostToEventLoop([&] {
        ran = true;
        fileWasThere = Exists(at("a.tif"));
    });
    Tovanel::Main::DeleteFileQuiet(at("a.tif"));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(fileWasThere);
    EXPECT_FALSE(Exists(at("a.tif")));
}

TEST_F(MainFiles, WriteBytesIfMissingWritesExactBytesOnlyWhenAbsent)
{
    const QByteArray bytes("MZ\0\r\n\xff tail", 11);
    Tovanel::Main::WriteBytesIfMissing(bytes, at("tool"));
    EXPECT_EQ(ReadAll(at("tool")), bytes);
    Tovanel::Main::WriteBytesIfMissing(QByteArray("other"), at("tool"));
    EXPECT_EQ(ReadAll(at("tool")), bytes);
    EXPECT_EQ(Entries(root), QStringList{"tool"}); // no temporary left behind

    // A file that appears while pending events run is respected: the test comes after them.
    PostToEventLoop([&] { WriteFile(at("late"), "old"); });
    Tovanel::Main::WriteBytesIfMissing(QByteArray("new"), at("late"));
    EXPECT_EQ(ReadAll(at("late")), QByteArray("old"));
}

TEST_F(MainFiles, WritersReportAMissingFolderToTheCaller)
{
    EXPECT_THROW(Tovanel::Main::WriteBytesIfMissing(QByteArray("x"), at("nofolder/tool")), Tovanel::Failure);
    try {
        Tovanel::Main::WriteTextFile(QStringLiteral("x"), at("nofolder/t.sh"));
        ADD_FAILURE() << "WriteTextFile into a missing folder returned";
    } catch (const Tovanel::Failure& f) {
        EXPECT_EQ(f.number(), 76);
    }
}

TEST_F(MainFiles, WriteTextFileWritesUtf8WithOneLineFeedAndEmptiesOldContent)
{
    WriteFile(at("t.sh"), QByteArray(100, 'z'));
    Tovanel::Main::WriteTextFile(QString::fromUtf8("rm -f -- '/tmp/caf\xC3\xA9'"), at("t.sh"));
    EXPECT_EQ(ReadAll(at("t.sh")), QByteArray("rm -f -- '/tmp/caf\xC3\xA9'\n"));
    Tovanel::Main::WriteTextFile(QString(), at("empty"));
    EXPECT_EQ(ReadAll(at("empty")), QByteArray("\n"));
}

TEST_F(MainFiles, CopyFileCheckedCopiesOnlyAnExistingFileIntoAnExistingFolder)
{
    WriteFile(at("src.tif"), "source");
    ASSERT_TRUE(QDir().mkdir(at("out")));
    const QString bare = QStringLiteral("tovanel-fs-test-bare-target.tif");
    ASSERT_FALSE(QFile::exists(bare));
    struct Row {
        QString source;
        QString target;
        const char* createdName; // under out/, or nullptr when nothing may appear
    } rows[] = {
        {at("src.tif"), at("out/copy.tif"), "copy.tif"},
        {root + QStringLiteral("/src.tif"), at("out//c2.tif"), "c2.tif"},   // doubled "/" cleaned
        {at("src.tif"), at("out/"), "src.tif"},                             // a folder target keeps the name
        {at("src.tif"), at("nofolder/copy.tif"), nullptr},
        {at("missing.tif"), at("out/m.tif"), nullptr},
        {at("s*.tif"), at("out/w.tif"), nullptr},
        {at("out"), at("out/f.tif"), nullptr},                              // a folder is no source
        {QStringLiteral("   "), at("out/blank.tif"), nullptr},
        {at("src.tif"), QStringLiteral("  "), nullptr},
        {at("src.tif"), bare, nullptr},                                     // no folder part at all
    };
    QStringList expected;
    for (const Row& r : rows) {
        Tovanel::Main::CopyFileChecked(r.source, r.target);
        if (r.createdName) {
            expected.append(QString::fromUtf8(r.createdName));
            EXPECT_EQ(ReadAll(at("out/") + QString::fromUtf8(r.createdName)), QByteArray("source"));
        }
    }
    expected.sort();
    EXPECT_EQ(Entries(at("out")), expected);
    EXPECT_FALSE(Exists(at("nofolder")));
    EXPECT_FALSE(QFile::exists(bare));
}

TEST_F(MainFiles, CopyFileCheckedReplacesTheTargetWhole)
{
    WriteFile(at("new.tif"), QByteArray(3 << 20, 'n'));
    WriteFile(at("old.png"), QByteArray("old content"));
    // A reader that has the old file open keeps reading the old file in full: the new one is
    // put in place by rename, never written into the old one.
    const int reader = ::open(QFile::encodeName(at("old.png")).constData(), O_RDONLY);
    ASSERT_GE(reader, 0);
    Tovanel::Main::CopyFileChecked(at("new.tif"), at("old.png"));
    char buffer[64] = {};
    const ssize_t n = ::read(reader, buffer, sizeof buffer);
    ::close(reader);
    EXPECT_EQ(QByteArray(buffer, static_cast<int>(n)), QByteArray("old content"));
    EXPECT_EQ(ReadAll(at("old.png")), QByteArray(3 << 20, 'n'));
    EXPECT_EQ(Entries(root), (QStringList{"new.tif", "old.png"}));
}

TEST_F(MainFiles, CopyFileCheckedCopiesEveryByteOfAnyRegularFile)
{
    // Past the copy buffer and the kernel's own steps; and a file of the system's that reports no
    // size and whose content the kernel will not copy on its own.
    QByteArray large(5 << 20, '\0');
    for (int i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 131 + (i >> 12));
    WriteFile(at("large.tif"), large);
    QFile version(QStringLiteral("/proc/version"));
    ASSERT_TRUE(version.open(QIODevice::ReadOnly));
    const struct { QString source; QByteArray content; } rows[] = {
        {at("large.tif"), large},
        {QStringLiteral("/proc/version"), version.readAll()},
    };
    for (const auto& r : rows) {
        ASSERT_FALSE(r.content.isEmpty());
        EXPECT_EQ(Tovanel::Main::CopyFileChecked(r.source, at("copy.tif")), 0) << r.source.toStdString();
        EXPECT_EQ(ReadAll(at("copy.tif")), r.content) << r.source.toStdString();
    }
}

TEST_F(MainFiles, CopyFileCheckedKeepsAReadOnlySourceReadOnly)
{
    WriteFile(at("ro.tif"), "ro", 0444);
    ASSERT_TRUE(QDir().mkdir(at("out")));
    Tovanel::Main::CopyFileChecked(at("ro.tif"), at("out/ro.tif"));
    EXPECT_EQ(ReadAll(at("out/ro.tif")), QByteArray("ro"));
    EXPECT_EQ(Tovanel::Main::GetAttr(at("out/ro.tif")) & Tovanel::Main::ReadOnly, Tovanel::Main::ReadOnly);
}

} // namespace
