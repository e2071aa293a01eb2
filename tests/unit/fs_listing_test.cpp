// Tests of the file listing of one folder, the existence test and the unsafe-name rule.
#include "fs/addfolder.h"
#include "platform/error_trap.h"
#include "fs/main_procs.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "tree_removal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using TestSupport::RemoveTreeAt;

void MakeFile(const QByteArray& path, mode_t mode = 0644)
{
    // Names that are not UTF-8 can't go through QFile; raw POSIX calls take any bytes.
    FILE* fp = std::fopen(path.constData(), "wb");
    ASSERT_NE(fp, nullptr) << path.constData();
    std::fputs("x", fp);
    std::fclose(fp);
    ASSERT_EQ(::chmod(path.constData(), mode), 0);
}

class Listing : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        root = QFile::encodeName(dir.path()) + '/';
    }
    void TearDown() override
    {
        if (dir.isValid())
            RemoveTreeAt(AT_FDCWD, QFile::encodeName(dir.path()).constData());
    }
    QString folder() const { return QFile::decodeName(root); }
    QString at(const char* name) const { return QFile::decodeName(root + name); }
    QByteArray raw(const char* name) const { return root + name; }
    QTemporaryDir dir;
    QByteArray root;
};

// A folder holding a.tif, b.TIF, a hidden .c.tif and a folder d.tif ("C:\Scans" examples with "/").
TEST_F(Listing, MatchesAnyCaseIncludesHiddenFilesAndNeverFolders)
{
    MakeFile(raw("a.tif"));
    MakeFile(raw("b.TIF"));
    MakeFile(raw(".c.tif"));
    MakeFile(raw("e.png"));
    ASSERT_EQ(::mkdir(raw("d.tif").constData(), 0755), 0);
    const QStringList expected{".c.tif", "a.tif", "b.TIF"};
    EXPECT_EQ(Tovanel::AddFolder::GetFolderFiles(folder().chopped(1), QStringLiteral("*.tif")), expected); // /Scans
    EXPECT_EQ(Tovanel::AddFolder::GetFolderFiles(folder(), QStringLiteral("*.tif")), expected);            // /Scans/
    EXPECT_EQ(Tovanel::AddFolder::GetFolderFiles(folder(), QStringLiteral("*.TIF")), expected);
}

TEST_F(Listing, PatternRules)
{
    for (const char* name : {"README", "a.tif", "ab.tif", "x.tiff", "varnholt-001.tif", "VARNHOLT-002.TIF",
                             "caf\xC3\xA9.tif", "CAF\xC3\x89-2.tif"})
        MakeFile(raw(name));
    struct Row {
        const char* pattern;
        QStringList expected;
    } rows[] = {
        // "*.*" takes every name, one without a dot included.
        {"*.*", {"a.tif", "ab.tif", "CAF\u00c9-2.tif", "caf\u00e9.tif", "README", "varnholt-001.tif",
                 "VARNHOLT-002.TIF", "x.tiff"}},
        {"*", {"a.tif", "ab.tif", "CAF\u00c9-2.tif", "caf\u00e9.tif", "README", "varnholt-001.tif",
               "VARNHOLT-002.TIF", "x.tiff"}},
        // No short names are kept here, so "*.tif" never reaches x.tiff.
        {"*.tif", {"a.tif", "ab.tif", "CAF\u00c9-2.tif", "caf\u00e9.tif", "varnholt-001.tif", "VARNHOLT-002.TIF"}},
        {"*.tif*", {"a.tif", "ab.tif", "CAF\u00c9-2.tif", "caf\u00e9.tif", "varnholt-001.tif", "VARNHOLT-002.TIF",
                    "x.tiff"}},
        {"a?.tif", {"ab.tif"}},
        {"?.tif", {"a.tif"}},
        {"varnholt*.tif", {"varnholt-001.tif", "VARNHOLT-002.TIF"}},
        {"caf\u00c9*", {"CAF\u00c9-2.tif", "caf\u00e9.tif"}},   // case folding beyond ASCII
        {"*.png", {}},
        {"readme", {"README"}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Tovanel::AddFolder::GetFolderFiles(folder(), QString::fromUtf8(r.pattern)), r.expected) << r.pattern;
}

TEST_F(Listing, SortsByNameIgnoringCaseAsAnUpperCasingFileSystem)
{
    for (const char* name : {"b.tif", "A.tif", "_x.tif", "C.tif", "a.tif", "0.tif"})
        MakeFile(raw(name));
    // Upper-cased, "_" (0x5F) sorts after the letters; equal keys keep their exact-text order.
    EXPECT_EQ(Tovanel::AddFolder::GetFolderFiles(folder(), QStringLiteral("*.tif")),
              (QStringList{"0.tif", "A.tif", "a.tif", "b.tif", "C.tif", "_x.tif"}));
}

TEST_F(Listing, DropsWhatCantBeOpenedOrNamedAgain)
{
    MakeFile(raw("ok.tif"));
    MakeFile(raw(".hidden-ro.tif"), 0400);
    MakeFile(raw("caf\xE9.tif"));           // not UTF-8: can't survive the trip through a text
    MakeFile(raw("what?.tif"));             // a "?" name fails the existence test
    MakeFile(raw("line\nbreak.tif"));       // a valid name, listed
    ASSERT_EQ(::mkfifo(raw("a.tif").constData(), 0644), 0);    // must not block
    ASSERT_EQ(::symlink("ok.tif", raw("link.tif").constData()), 0);
    ASSERT_EQ(::symlink("gone.tif", raw("dangling.tif").constData()), 0);
    EXPECT_EQ(Tovanel::AddFolder::GetFolderFiles(folder(), QStringLiteral("*.tif")),
              (QStringList{".hidden-ro.tif", "line\nbreak.tif", "link.tif", "ok.tif"}));
}

TEST_F(Listing, MissingOrEmptyFolderGivesAnEmptyList)
{
    EXPECT_TRUE(Tovanel::AddFolder::GetFolderFiles(folder(), QStringLiteral("*.*")).isEmpty());
    EXPECT_TRUE(Tovanel::AddFolder::GetFolderFiles(at("missing"), QStringLiteral("*.*")).isEmpty());
    MakeFile(raw("file"));
    EXPECT_TRUE(Tovanel::AddFolder::GetFolderFiles(at("file"), QStringLiteral("*.*")).isEmpty()); // not a folder
    // The empty folder text is the root.
    EXPECT_EQ(Tovanel::AddFolder::GetFolderFiles(QString(), QStringLiteral("*.*")),
              Tovanel::AddFolder::GetFolderFiles(QStringLiteral("/"), QStringLiteral("*.*")));
}

// IsExistingFile with the "D:\Scans\a.tif" examples written with "/".
TEST_F(Listing, IsExistingFileIsTrueExactlyForAnExistingRegularFile)
{
    MakeFile(raw("a.tif"));
    MakeFile(raw(".hidden.tif"));
    MakeFile(raw("ro.tif"), 0444);
    MakeFile(raw("*.tif"));  // a real file whose name is a wildcard
    ASSERT_EQ(::mkdir(raw("sub").constData(), 0755), 0);
    ASSERT_EQ(::mkfifo(raw("fifo.tif").constData(), 0644), 0);
    ASSERT_EQ(::symlink("a.tif", raw("flink").constData()), 0);
    ASSERT_EQ(::symlink("sub", raw("dlink").constData()), 0);
    struct Row {
        QString path;
        bool expected;
    } rows[] = {
        {at("a.tif"), true},
        {at(".hidden.tif"), true},
        {at("ro.tif"), true},
        {at("flink"), true},
        {folder().chopped(1), false},    // /Scans
        {folder(), false},               // /Scans/
        {at("*.tif"), false},            // /Scans/*.tif, even with such a file there
        {at("?.tif"), false},
        {at("a.tif/"), false},
        {at("sub"), false},
        {at("dlink"), false},
        {at("fifo.tif"), false},
        {QStringLiteral("/dev/null"), false},
        {at("missing.tif"), false},
        {QString(), false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Tovanel::AddFolder::IsExistingFile(r.path), r.expected) << r.path.toStdString();
}

TEST(HasUnsafeCharacters, RefusesControlCharactersQuestionMarksAndBytesThatAreNotUtf8)
{
    struct Row {
        QByteArray name;
        bool unsafe;
    } rows[] = {
        {"", false},
        {"Scans 2021", false},
        {"caf\xC3\xA9", false},
        {"\xE6\x97\xA5\xE6\x9C\xAC", false},   // CJK is fine here: no code page to fall outside of
        {"\xF0\x9F\x93\x81", false},            // outside the BMP
        {"\xC2\xA0", false},                    // 160, just past the range
        {"tab\tname", true},
        {"line\nbreak", true},
        {QByteArray("\x1F", 1), true},
        {"\x7F", true},                         // 127
        {"\xC2\x80", true},                     // 128
        {"\xC2\x9F", true},                     // 159
        {"what?", true},
        {"caf\xE9", true},                      // a Latin-1 byte, not UTF-8
        {"\xC0\xAF", true},                     // overlong "/"
        {"\xED\xA0\x80", true},                 // an encoded surrogate
        {"cut\xE6\x97", true},                  // truncated sequence
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Tovanel::AddFolder::HasUnsafeCharacters(r.name), r.unsafe) << r.name.toHex().constData();
        if (QString::fromUtf8(r.name).toUtf8() == r.name) {
            EXPECT_EQ(Tovanel::AddFolder::HasUnsafeCharacters(QString::fromUtf8(r.name)), r.unsafe) << r.name.toHex().constData();
        }
    }
    EXPECT_TRUE(Tovanel::AddFolder::HasUnsafeCharacters(QString(QChar(0xD800))));
}

} // namespace
