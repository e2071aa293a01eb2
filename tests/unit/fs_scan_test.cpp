// Tests of the breadth-first folder scan and the folder picker, on real folder trees.
#include "fs/addfolder.h"
#include "platform/error_trap.h"
#include "fake_dialogs.h"
#include "fs/main_procs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QSet>
#include <QTemporaryDir>

#include "as_nobody.h"
#include "test_files.h"
#include "tree_removal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using TestSupport::RemoveTreeAt;

const QString kLocation = QStringLiteral("in Kestrum2021/08/31.AddFolder.GetSubDirectories2016 ");

// Counts the times pending events are processed, and can act at a given count.
class EventProbe {
public:
    explicit EventProbe(std::function<void(int)> at = {}) : at_(std::move(at)) { arm(); }
    ~EventProbe()
    {
        stopped_ = true;
        QCoreApplication::processEvents(); // lets the last posted call run and see the stop
    }
    int count() const { return count_; }
private:
    void arm()
    {
        // One posted call runs per processing; it posts the next for the following one.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this] {
                if (stopped_)
                    return;
                ++count_;
                if (at_)
                    at_(count_);
                arm();
            },
            Qt::QueuedConnection);
    }
    std::function<void(int)> at_;
    int count_ = 0;
    bool stopped_ = false;
};

// Runs body as the user "nobody" when the tests run as root (as CI does), so that a folder without
// rights really refuses us. Empty optional: could not drop, or nobody cannot reach the test's folders.
std::optional<QByteArray> RunUnprivileged(const std::function<QByteArray()>& body)
{
    if (::geteuid() != 0)
        return body();
    QByteArray said;
    QString why;
    return TestSupport::AsNobody([&] {
        // A checkout under a private home folder (/root is 0700) keeps nobody out of the test's folders.
        if (::access(QFile::encodeName(QDir::tempPath()).constData(), X_OK) != 0)
            return false;
        said = body();
        return true;
    }, &why, &said) == 0 ? std::optional<QByteArray>(said) : std::nullopt;
}

class Scan : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        // Traversable by others, for the cases that run as "nobody".
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        root = QFile::encodeName(dir.path()) + '/';
    }
    void TearDown() override
    {
        if (dir.isValid())
            RemoveTreeAt(AT_FDCWD, QFile::encodeName(dir.path()).constData());
    }
    // Makes each folder of a relative "/" path, raw bytes allowed.
    void mk(const QByteArray& rel)
    {
        QByteArray path = root;
        for (const QByteArray& part : rel.split('/')) {
            if (part.isEmpty())
                continue;
            path += part + '/';
            if (::mkdir(path.constData(), 0755) != 0) {
                ASSERT_EQ(errno, EEXIST) << path.constData();
            }
        }
    }
    void link(const char* target, const char* rel)
    {
        ASSERT_EQ(::symlink(target, (root + rel).constData()), 0) << rel;
    }
    // Scans the given folders (relative, each ending in "/") and gives the list relative again.
    QStringList scan(const QStringList& rel, bool descend = true)
    {
        QStringList list;
        for (const QString& r : rel)
            list.append(QFile::decodeName(root) + r);
        Tovanel::AddFolder::GetSubDirectories2016(list, descend, dialogs);
        return relative(list);
    }
    QStringList relative(const QStringList& list) const
    {
        const QString prefix = QFile::decodeName(root);
        QStringList out;
        for (const QString& p : list)
            out.append(p.startsWith(prefix) ? p.mid(prefix.size()) : p);
        return out;
    }
    QTemporaryDir dir;
    QByteArray root;
    Tovanel::FakeDialogs dialogs;
};

TEST_F(Scan, ListsLevelByLevelWithOrWithoutDescending)
{
    // "D:\A\" with B and C, B holding D, written with "/"; one more level to show the order.
    mk("A/B/D/E");
    mk("A/C/F");
    mk("Y/y1");
    struct Row {
        QStringList start;
        bool descend;
        QStringList expected;
    } rows[] = {
        {{"A/"}, true, {"A/", "A/B/", "A/C/", "A/B/D/", "A/C/F/", "A/B/D/E/"}},
        {{"A/"}, false, {"A/", "A/B/", "A/C/"}},
        {{"A/C/", "Y/"}, true, {"A/C/", "Y/", "A/C/F/", "Y/y1/"}},   // given folders keep their place
    };
    for (const Row& r : rows)
        EXPECT_EQ(scan(r.start, r.descend), r.expected) << r.start.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(Scan, SubfoldersAreSortedByNameIgnoringCase)
{
    for (const char* name : {"A/b", "A/A", "A/_x", "A/C", "A/a"})
        mk(name);
    EXPECT_EQ(scan({"A/"}, false), (QStringList{"A/", "A/A/", "A/a/", "A/b/", "A/C/", "A/_x/"}));
}

TEST_F(Scan, FoldersThatCantBeScannedStayAsGiven)
{
    mk("Empty");
    ASSERT_TRUE(Tovanel::TestFiles::WriteFile(QFile::decodeName(root + "file.tif"), {}));
    const QStringList rows[] = {
        {"Empty/"},                 // no subfolders: unchanged
        {"Missing/"},               // not there: left in, not scanned
        {"file.tif/"},              // not a folder
        {"Missing/", "Empty/"},
    };
    for (const QStringList& start : rows)
        EXPECT_EQ(scan(start), start) << start.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(dialogs.shown.isEmpty());
}

// A folder's name is a name: "?", control characters and the like are scanned as any other, so no file
// below them is lost. Only a name that is not UTF-8 is passed over, and told to the caller.
TEST_F(Scan, OddNamesAreScannedNamesNotTextAreTold)
{
    mk("A/ok/deep");
    mk("A/caf\xC3\xA9/c");          // valid UTF-8: kept
    mk("A/caf\xE9/c");              // the raw byte 0xE9: not UTF-8
    mk("A/line\nbreak/c");
    mk("A/q?x/c");
    mk("A/c1\xC2\x85/c");           // U+0085, a C1 control
    QList<QByteArray> undecodable;
    QStringList folders{QFile::decodeName(root + "A/")};
    Tovanel::AddFolder::GetSubDirectories2016(folders, true, dialogs, &undecodable);
    EXPECT_EQ(relative(folders), (QStringList{"A/", "A/c1\u0085/", "A/caf\u00e9/", "A/line\nbreak/", "A/ok/", "A/q?x/",
                                              "A/c1\u0085/c/", "A/caf\u00e9/c/", "A/line\nbreak/c/", "A/ok/deep/",
                                              "A/q?x/c/"}));
    EXPECT_EQ(undecodable, QList<QByteArray>{root + "A/caf\xE9"});
    EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(Scan, HiddenAndReadOnlyFoldersAreScanned)
{
    // Hidden 18 and read-only 17 are not the refused 22: no system bit exists here.
    mk("A/.hid/x");
    mk("A/ro/y");
    ASSERT_EQ(::chmod((root + "A/ro").constData(), 0555), 0);
    EXPECT_EQ(Tovanel::Main::GetAttr(QFile::decodeName(root + "A/ro/")), 17);
    EXPECT_EQ(scan({"A/"}), (QStringList{"A/", "A/.hid/", "A/ro/", "A/.hid/x/", "A/ro/y/"}));
    ::chmod((root + "A/ro").constData(), 0755);
}

TEST_F(Scan, LinkLoopsEndAndEachRealFolderIsListedOnce)
{
    mk("A/B/D");
    mk("A/C");
    mk("Outside/o1");
    link("..", "A/B/up");           // back to A
    link(".", "A/B/self");          // B again
    link("../B", "A/C/toB");        // a sibling reached a second way
    link("../../A", "A/B/D/top");   // a loop two levels down
    link("../Outside", "A/out");    // a folder elsewhere, listed once like any folder
    link("missing", "A/dangling");  // no folder at all
    const QStringList result = scan({"A/"});
    EXPECT_EQ(result, (QStringList{"A/", "A/B/", "A/C/", "A/out/", "A/B/D/", "A/out/o1/"}));
    QSet<QString> real;
    for (const QString& p : result) {
        char resolved[PATH_MAX];
        ASSERT_NE(::realpath((root + QFile::encodeName(p)).constData(), resolved), nullptr);
        EXPECT_FALSE(real.contains(QString::fromLocal8Bit(resolved))) << resolved;
        real.insert(QString::fromLocal8Bit(resolved));
    }
    EXPECT_EQ(Tovanel::Main::GetAttr(QFile::decodeName(root + "A/out/")), 1024 + 16);
}

TEST_F(Scan, PathLengthLimits)
{
    // A name of NAME_MAX bytes is legal and kept.
    const QByteArray longName(NAME_MAX, 'n');
    mk("A/" + longName + "/under");
    EXPECT_EQ(scan({"A/"}), (QStringList{"A/", "A/" + QString::fromLatin1(longName) + "/",
                                         "A/" + QString::fromLatin1(longName) + "/under/"}));

    // A chain deeper than PATH_MAX: built through descriptors, since no path may name its end.
    int fd = ::open(root.constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    QByteArray deep = root;
    const QByteArray part(200, 'd');
    for (int level = 0; deep.size() < PATH_MAX + 300; ++level) {
        ASSERT_EQ(::mkdirat(fd, part.constData(), 0755), 0);
        const int next = ::openat(fd, part.constData(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
        deep += part + '/';
    }
    ASSERT_EQ(::mkdirat(fd, "child", 0755), 0);
    ::close(fd);

    // A start folder of PATH_MAX bytes or more stays in the list and is not scanned.
    QStringList list{QFile::decodeName(deep)};
    Tovanel::AddFolder::GetSubDirectories2016(list, true, dialogs);
    EXPECT_EQ(list, QStringList{QFile::decodeName(deep)});

    // Scanning the chain from its top ends, and lists only folders a path can still name.
    QStringList chain{QFile::decodeName(root + part + '/')};
    Tovanel::AddFolder::GetSubDirectories2016(chain, true, dialogs);
    ASSERT_FALSE(chain.isEmpty());
    EXPECT_LT(QFile::encodeName(chain.last()).size(), PATH_MAX);
    EXPECT_GT(chain.size(), 10);
    EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(Scan, FoldersWithoutReadRightVanishSilently)
{
    mk("A/B/hiddenchild");
    mk("A/D/E");
    mk("Alone/x");
    ASSERT_EQ(::chmod((root + "A/B").constData(), 0), 0);
    ASSERT_EQ(::chmod((root + "Alone").constData(), 0), 0);
    const std::optional<QByteArray> out = RunUnprivileged([&] {
        QByteArray text;
        text += scan({"A/"}).join(QLatin1Char('|')).toUtf8() + '\n';
        text += scan({"Alone/"}).join(QLatin1Char('|')).toUtf8() + '\n';
        text += QByteArray::number(dialogs.shown.size()) + '\n';
        return text;
    });
    ::chmod((root + "A/B").constData(), 0755);
    ::chmod((root + "Alone").constData(), 0755);
    if (!out)
        GTEST_SKIP() << "running as root and could not run as the user nobody (65534) in the test's folder";
    // Siblings and their subfolders stay; the unreadable folder goes; a lone one leaves nothing.
    EXPECT_EQ(*out, QByteArray("A/|A/D/|A/D/E/\n\n0\n"));
}

TEST_F(Scan, ModeZeroEntriesAsSeenByAnOrdinaryUser)
{
    mk("Locked");
    ASSERT_TRUE(Tovanel::TestFiles::WriteFile(QFile::decodeName(root + "none.tif"), {}));
    ASSERT_EQ(::chmod((root + "none.tif").constData(), 0), 0);
    ASSERT_EQ(::chmod((root + "Locked").constData(), 0), 0);
    const std::optional<QByteArray> out = RunUnprivileged([&] {
        QByteArray text;
        // A file without any right still exists; the user learns of the right when it is used.
        text += Tovanel::AddFolder::IsExistingFile(QFile::decodeName(root + "none.tif")) ? "exists\n" : "missing\n";
        text += Tovanel::AddFolder::GetFolderFiles(QFile::decodeName(root), QStringLiteral("*.tif")).join(QLatin1Char('|')).toUtf8() + '\n';
        // A folder the search may not read is a failure of the search, for the caller's trap.
        try {
            Tovanel::AddFolder::GetFolderFiles(QFile::decodeName(root + "Locked"), QStringLiteral("*.*"));
            text += "no failure\n";
        } catch (const Tovanel::Failure& failure) {
            text += QByteArray::number(failure.number()) + ' ' + failure.what() + '\n';
        }
        return text;
    });
    ::chmod((root + "Locked").constData(), 0755);
    if (!out)
        GTEST_SKIP() << "running as root and could not run as the user nobody (65534) in the test's folder";
    EXPECT_EQ(*out, QByteArray("exists\nnone.tif\n70 Permission denied\n"));
}

TEST_F(Scan, EventsAreProcessedOncePerFolderSubfolderAndAppendedPath)
{
    mk("A/B/D");
    mk("A/C");
    EventProbe probe;
    scan({"A/"});
    // Listed folders A, B, C, D (4); subfolders seen B, C, D (3); paths appended D, then B, C, D (4).
    EXPECT_EQ(probe.count(), 11);
}

TEST_F(Scan, FailuresBeforeTheFolderRuleAreReportedAndTheFolderStays)
{
    mk("Y");
    // The folder goes while events run, after its look-up: its listing test then fails.
    EventProbe probe([&](int n) {
        if (n == 1)
            ::rmdir((root + "Y").constData());
    });
    EXPECT_EQ(scan({"Y/"}), QStringList{"Y/"});
    ASSERT_EQ(dialogs.errorReports().size(), 1);
    EXPECT_EQ(dialogs.errorReports().first().text,
              Tovanel::ErrorReportText(kLocation, QStringLiteral("No such file or directory"), 116));
}

TEST_F(Scan, FailuresUnderTheFolderRuleRemoveTheFolderSilently)
{
    mk("X");
    mk("Y");
    // X passes its test first, which puts the rule in force; Y then goes while events run.
    EventProbe probe([&](int n) {
        if (n == 2)
            ::rmdir((root + "Y").constData());
    });
    EXPECT_EQ(scan({"X/", "Y/"}), QStringList{"X/"});
    EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(Scan, AFailingTestBeforeAppendingStillAppends)
{
    mk("A/B");
    // Events run for A (1), for its subfolder B (2), for B's own listing (3), and before B is
    // appended (4); B goes then, so its test fails, is reported, and the failing test appends.
    EventProbe probe([&](int n) {
        if (n == 4)
            ::rmdir((root + "A/B").constData());
    });
    EXPECT_EQ(scan({"A/"}), (QStringList{"A/", "A/B/"}));
    ASSERT_EQ(dialogs.errorReports().size(), 1);
    EXPECT_EQ(dialogs.errorReports().first().text,
              Tovanel::ErrorReportText(kLocation, QStringLiteral("No such file or directory"), 158));
}

class Picker : public Scan {};

TEST_F(Picker, OpensAtAnExistingStartFolderOnlyAndReturnsTheAnswerAsGiven)
{
    mk("Scans/2021");
    const QString existing = QFile::decodeName(root + "Scans/2021");
    struct Row {
        QString start;
        QString answer;           // empty = cancel
        QString expectedStart;
    } rows[] = {
        {existing, QFile::decodeName(root + "Scans"), existing},
        {existing, QString(), existing},                                      // cancel with a start folder
        {QFile::decodeName(root + "Gone"), QStringLiteral("/"), QString()},   // the root keeps its "/"
        {QString(), QFile::decodeName(root + "Scans/2021"), QString()},
        {existing + QLatin1Char('/'), QString(), existing + QLatin1Char('/')}, // passed on as written
    };
    for (const Row& r : rows) {
        dialogs.shown.clear();
        dialogs.folders.enqueue(r.answer);
        const QString chosen = Tovanel::AddFolder::BrowseForFolder(dialogs, nullptr, QStringLiteral("Please select folder:"), r.start);
        EXPECT_EQ(chosen, r.answer);
        ASSERT_EQ(dialogs.shown.size(), 1);
        EXPECT_EQ(dialogs.shown.first().kind, QStringLiteral("pickFolder"));
        EXPECT_EQ(dialogs.shown.first().text, QStringLiteral("Please select folder:"));
        EXPECT_EQ(dialogs.shown.first().extra, r.expectedStart) << r.start.toStdString();
    }
}

} // namespace
