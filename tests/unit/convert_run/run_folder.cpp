// Where the run folder is made, and what lies in the temporary folder under a tool's name.
#include "run_fixture.h"

#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

using namespace Tovanel;
using namespace Tovanel::RunTest;

namespace {

// Where the run folder is to be made decides the run: in a temporary folder that is a plain file or
// missing, or in a private folder someone replaced by a link, no run folder is made (and nothing is
// written through the link), so each tool write is reported, then each file once where it asks for the
// folder, and the run still ends, naming the file as not converted. Without "TEMP" the run works in a
// private folder of this user under the system temp folder.
struct PlaceRow {
    const char* name;
    const char* temp;   // "file", "missing", or "" for unset with the private folder "made" or "link"
    const char* privateFolder;
};

class RunFolderPlaceTest : public ConvertRunTest, public ::testing::WithParamInterface<PlaceRow> {};

TEST_P(RunFolderPlaceTest, DecidesTheRun)
{
    const PlaceRow& r = GetParam();
    const QList<Page> pages = PagesOf(1, 2);
    const QString source = addTiff(QStringLiteral("scan.tif"), pages);
    const QString named = work.path() + QStringLiteral("/named-temp"), system = work.path() + QStringLiteral("/system-tmp");
    const QString mine = system + QStringLiteral("/tovanel-") + QString::number(::geteuid());
    const QString elsewhere = work.path() + QStringLiteral("/elsewhere");
    ASSERT_TRUE(QDir().mkpath(system) && QDir().mkpath(elsewhere));
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(system));
    if (r.temp == std::string("file")) {
        ASSERT_TRUE(TestFiles::WriteFile(named, {}));
    }
    if (r.privateFolder == std::string("link")) {
        ASSERT_TRUE(QFile::link(elsewhere, mine));
    }
    if (*r.temp)
        qputenv("TEMP", QFile::encodeName(named));
    else
        qunsetenv("TEMP");
    ConversionRun run(host);
    EXPECT_TRUE(run.Start());
    qputenv("TMPDIR", oldTmp);
    EXPECT_FALSE(run.isConverting());
    EXPECT_EQ(Entries(elsewhere), QStringList());
    if (r.privateFolder == std::string("made")) {
        expectFinished(run);
        EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("scan"), pages).toStdString(), "");
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(mine).constData(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(Entries(mine), QStringList());
        EXPECT_EQ(Entries(system), QStringList{QFileInfo(mine).fileName()});
        return;
    }
    static const QRegularExpression at(QStringLiteral("at line (\\d+)"));
    QList<int> statements;
    for (const Shown& s : host.fake.errorReports())
        statements.append(at.match(s.text).captured(1).toInt());
    EXPECT_EQ(statements, (QList<int>{112, 116, 142}));
    EXPECT_EQ(host.fake.messages().last().text, QStringLiteral("Done.\n1 of 1 file was not converted completely."));
    EXPECT_EQ(host.fake.messages().last().details,
              source + QStringLiteral(": not converted: the run's working folder could not be made"));
    EXPECT_EQ(Entries(out), QStringList());
    if (r.temp == std::string("missing")) {
        EXPECT_FALSE(QFileInfo::exists(named));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RunFolderPlaceTest,
                         ::testing::Values(PlaceRow{"TempIsAPlainFile", "file", ""},
                                           PlaceRow{"TempIsMissing", "missing", ""},
                                           PlaceRow{"PrivateFolderIsALink", "", "link"},
                                           PlaceRow{"PrivateFolderWithoutTemp", "", "made"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Whatever lies in the temporary folder under a tool's name is never run nor touched: the run deploys
// its own tools in a folder of its own, and the tool it runs is never writable by others.
class ForeignToolTest : public ConvertRunTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ForeignToolTest, IsNeitherRunNorTouched)
{
    const std::string kind = GetParam();
    const QList<Page> pages = PagesOf(3, 1);
    addTiff(QStringLiteral("a.tif"), pages);
    const QString evidence = work.path() + QStringLiteral("/planted-program-ran");
    const QByteArray planted = "#!/bin/sh\ntouch '" + QFile::encodeName(evidence) + "'\n";
    const QString tool = temp + QStringLiteral("/nconvert.exe");
    QFile converter(QStringLiteral(":/tools/101")), splitter(QStringLiteral(":/tools/102"));
    ASSERT_TRUE(converter.open(QIODevice::ReadOnly) && splitter.open(QIODevice::ReadOnly));
    const QString target = work.path() + QStringLiteral("/foreign.sh");
    if (kind == "foreign") {
        ASSERT_TRUE(TestFiles::WriteFileWithMode(tool, planted, 0755));
    }
    else if (kind == "stale") {
        ASSERT_TRUE(TestFiles::WriteFileWithMode(tool, splitter.readAll(), 0755));
    }
    else if (kind == "link") {
        ASSERT_TRUE(TestFiles::WriteFileWithMode(target, planted, 0755) && QFile::link(target, tool));
    }
    else {
        ASSERT_TRUE(TestFiles::WriteFileWithMode(tool, converter.readAll(), 0777));
    }
    const QByteArray plantedBefore = TestFiles::ReadFile(tool);
    // While the files are being converted, the tool file is never one that others may write.
    QList<uint> modes;
    ConversionRun run(host);
    EachMoment watch([&] {
        const QStringList runs = QDir(temp).entryList({QStringLiteral("tovanel-run-*")}, QDir::Dirs);
        struct stat st;
        if (run.isConverting() && runs.size() == 1
            && ::lstat(QFile::encodeName(temp + u'/' + runs[0] + QStringLiteral("/nconvert.exe")).constData(), &st) == 0)
            modes.append(st.st_mode);
    });
    EXPECT_TRUE(run.Start());
    ASSERT_FALSE(modes.isEmpty());
    for (uint mode : modes) {
        EXPECT_TRUE(S_ISREG(mode));
        EXPECT_EQ(mode & 022u, 0u);
    }
    EXPECT_EQ(host.fake.errorReports().size(), 0);
    EXPECT_EQ(TestTiff::OutputsDiffer(out, QStringLiteral("a"), pages).toStdString(), "");
    EXPECT_FALSE(QFile::exists(evidence));
    if (kind == "link") {
        EXPECT_EQ(TestFiles::ReadFile(target), planted);
        EXPECT_TRUE(QFileInfo(tool).isSymLink());
    }
    EXPECT_EQ(TestFiles::ReadFile(tool), plantedBefore);
    EXPECT_EQ(Entries(temp), QStringList{QStringLiteral("nconvert.exe")});
}

INSTANTIATE_TEST_SUITE_P(Kinds, ForeignToolTest, ::testing::Values("foreign", "stale", "link", "shared"));

} // namespace
