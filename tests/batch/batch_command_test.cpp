// tovanel-batch end to end: the built program on real files, with the real tools it carries.
#include "batch_support.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Tovanel;
using namespace Tovanel::BatchTest;
using TestFiles::Entries;
using TestTiff::PagesOf;

using namespace Qt::StringLiterals;

namespace {

// ---- each exit status, and what the run prints and writes for it ----

struct StatusRow {
    const char* name;
    QStringList args;
    QStringList env;        // NAME=VALUE; "$ROOT" put in
    int exit;
    const char* says;       // a piece of standard error ("" when it must be empty)
    bool writes;            // whether the run may write anything at all
};

class ExitStatusTest : public BatchFixture, public ::testing::WithParamInterface<StatusRow> {};

TEST_P(ExitStatusTest, SaysWhyAndWritesOnlyWhenItRuns)
{
    const StatusRow& row = GetParam();
    tiff(u"good.tif"_s, PagesOf(2, 1));
    ASSERT_TRUE(TestFiles::WriteFile(src + u"/bad.tif"_s, "not an image"));
    ASSERT_TRUE(TestFiles::WriteFile(root + u"/a-file"_s, "x"));
    ASSERT_TRUE(TestFiles::WriteFile(root + u"/long.jsonl"_s, QByteArray((1 << 20) + 1, 'x')));
    ASSERT_TRUE(QDir().mkpath(root + u"/empty"_s));
    // A plan that would put an output outside its destination.
    ASSERT_TRUE(TestFiles::WriteFile(root + u"/astray.jsonl"_s, (u"{\"plan\":\"tovanel-batch\",\"version\":1,\"sources\":1,"
        "\"out\":\"%1\",\"beside\":false,\"keep_tree\":false}\n{\"position\":1,\"source\":\"%2/good.tif\","
        "\"base\":\"%3/astray.png\"}\n"_s).arg(out, src, root).toUtf8()));
    QProcessEnvironment with;
    for (QString pair : row.env) {
        pair.replace(u"$ROOT"_s, root);
        with.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    }
    const Result r = batch(row.args, QByteArray(), with);
    EXPECT_EQ(r.exit, row.exit) << r.err.toStdString();
    QString says = QString::fromUtf8(row.says);
    says.replace(u"$SRC"_s, src).replace(u"$ROOT"_s, root);
    if (!says.isEmpty())
        EXPECT_TRUE(QString::fromUtf8(r.err).contains(says)) << r.err.toStdString();
    else
        EXPECT_EQ(r.err.toStdString(), "");
    if (!row.writes) {
        EXPECT_EQ(Entries(out), QStringList());
        EXPECT_FALSE(QFileInfo::exists(root + u"/report.jsonl"_s));
    }
    EXPECT_EQ(Entries(temp), QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ExitStatusTest,
    ::testing::Values(
        StatusRow{"AllConverted", {"--out", "$OUT", "$SRC/good.tif"}, {}, 0, "[1/1] ", true},
        StatusRow{"QuietSaysNothing", {"-q", "--out", "$OUT", "$SRC/good.tif"}, {}, 0, "", true},
        StatusRow{"SomeNotConverted", {"--out", "$OUT", "$SRC/good.tif", "$SRC/bad.tif"}, {}, 1,
                  "Done.\n1 of 2 files were not converted completely.\n$SRC/bad.tif: not converted: not a TIFF file",
                  true},
        StatusRow{"QuietStillNamesFailures", {"--quiet", "--out", "$OUT", "$SRC/bad.tif"}, {}, 1,
                  "bad.tif: not converted: not a TIFF file", true},
        StatusRow{"NamedFileMissing", {"--out", "$OUT", "$SRC/gone.tif"}, {}, 1,
                  "gone.tif: not converted: the file was gone", true},
        StatusRow{"EmptyFolderListsNothing", {"--out", "$OUT", "$ROOT/empty"}, {}, 0, "No files added.", false},
        StatusRow{"EachSourceOnce", {"--out", "$OUT", "$SRC/good.tif", "$SRC", "$SRC/"}, {}, 1,
                  "Done.\n1 of 2 files were not converted completely.", true},
        StatusRow{"OtherExtensionsCounted", {"--out", "$OUT", "--ext", "png", "$SRC"}, {}, 0,
                  "No files added.\ntovanel-batch: 2 files in the folders passed over: no extension of --ext png.",
                  false},
        StatusRow{"UnknownOption", {"--out", "$OUT", "--colour", "$SRC"}, {}, 2, "Unknown option 'colour'", false},
        StatusRow{"NoInput", {"--out", "$OUT", "--report", "$ROOT/report.jsonl"}, {}, 2, "no input", false},
        StatusRow{"NoDestination", {"--report", "$ROOT/report.jsonl", "$SRC"}, {}, 2, "exactly one of", false},
        StatusRow{"DestinationMissing", {"--out", "$ROOT/nowhere", "$SRC"}, {}, 3,
                  "cannot write to $ROOT/nowhere: No such file or directory", false},
        StatusRow{"DestinationIsAFile", {"--out", "$ROOT/a-file", "$SRC"}, {}, 3, "not a folder", false},
        StatusRow{"NoWorkingFolder", {"--out", "$OUT", "--report", "$ROOT/report.jsonl", "$SRC"},
                  {"TEMP=$ROOT/a-file"}, 3, "no working folder: Not a directory", false},
        StatusRow{"ReportCannotBeWritten", {"--out", "$OUT", "--report", "$ROOT/nowhere/r.jsonl", "$SRC"}, {}, 3,
                  "cannot write the report $ROOT/nowhere/r.jsonl", false},
        StatusRow{"ResumedReportUnreadable", {"--out", "$OUT", "--resume", "$ROOT/empty", "$SRC"}, {}, 3,
                  "cannot read the report $ROOT/empty", false},
        // A page asked for that a file does not have is named; it is no failure of the run.
        StatusRow{"PageNotInTheFile", {"--out", "$OUT", "--pages", "-1,5", "$SRC/good.tif"}, {}, 0,
                  "good.tif: page 5 is not in the file, which has 2 pages", true},
        StatusRow{"TemplateCannotTellSourcesApart", {"--out", "$OUT", "--name", "p{page}.png", "$SRC"}, {}, 2,
                  "would have the same output names; put {name} in the template", false},
        StatusRow{"ResumedReportLineTooLong", {"--out", "$OUT", "--resume", "$ROOT/long.jsonl", "$SRC"}, {}, 3,
                  "line 1 is longer than 1 MiB: the report is damaged", false},
        StatusRow{"FromNoPlan", {"--from", "$ROOT/a-file"}, {}, 3, "not a plan written by tovanel-batch --plan", false},
        StatusRow{"FromAPlanWritingOutside", {"--from", "$ROOT/astray.jsonl"}, {}, 3,
                  "line 2: the output name lies outside the destination", false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the report ----

QList<QJsonObject> ReportObjects(const QString& path)
{
    QList<QJsonObject> lines;
    for (const QByteArray& line : TestFiles::ReadFile(path).split('\n'))
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    return lines;
}

// One line per page with its output and size, failures named with their reasons, one line for a file
// that gave no page; fields in the order source, page, output, status, reason, bytes, then what the
// source was (which the resume rows check), sha256, metadata.
TEST_F(BatchFixture, TheReportHasALinePerPageAndPerFileWithoutOne)
{
    QList<TestTiff::Page> damaged = PagesOf(3, 4);
    damaged[1].stripPastEnd = true;
    const QString scan = tiff(u"scan.tif"_s, damaged);
    const QString text = src + u"/notes.tif"_s;
    ASSERT_TRUE(TestFiles::WriteFile(text, "plain words"));
    const Result r = batch({u"--out"_s, out, u"--report"_s, root + u"/r.jsonl"_s,
                            scan, text});
    EXPECT_EQ(r.exit, 1) << r.err.toStdString();
    auto size = [&](int page) { return QFileInfo(out + u"/scan.png_%1.png"_s.arg(page)).size(); };
    // The checksum the converter made as it wrote equals that of the file as it lies.
    auto sha = [&](int page) {
        return QString::fromLatin1(QCryptographicHash::hash(TestFiles::ReadFile(out + u"/scan.png_%1.png"_s.arg(page)),
                                                            QCryptographicHash::Sha256).toHex());
    };
    ASSERT_GT(size(1), 0);
    ASSERT_GT(size(3), 0);
    const QString expected =
        QStringLiteral("{\"source\":\"%1\",\"page\":1,\"output\":\"%2/scan.png_1.png\",\"status\":\"converted\","
                       "\"reason\":null,\"bytes\":%3,\"sha256\":\"%6\",\"metadata\":[]}\n"
                       "{\"source\":\"%1\",\"page\":2,\"output\":null,\"status\":\"failed\",\"reason\":\"damaged "
                       "(strip 0 lies past the end of the file)\",\"bytes\":0}\n"
                       "{\"source\":\"%1\",\"page\":3,\"output\":\"%2/scan.png_3.png\",\"status\":\"converted\","
                       "\"reason\":null,\"bytes\":%4,\"sha256\":\"%7\",\"metadata\":[]}\n"
                       "{\"source\":\"%5\",\"page\":null,\"output\":null,\"status\":\"failed\",\"reason\":\"not a "
                       "TIFF file\",\"bytes\":0}\n")
            .arg(scan, out)
            .arg(size(1))
            .arg(size(3))
            .arg(text, sha(1), sha(3));
    const QRegularExpression source(uR"re(,"pages":\d+,"source_bytes":\d+,"source_mtime":"[^"]+")re"_s);
    EXPECT_EQ(QString::fromUtf8(TestFiles::ReadFile(root + u"/r.jsonl"_s)).remove(source).toStdString(),
              expected.toStdString());
}

// Each converted page's line names the metadata its PNG carries: none with --strip, which writes the
// PNG of a page without them; --keep-mtime gives each PNG its source's modification time; --manifest
// lists every PNG with its checksum.
TEST_F(BatchFixture, TheReportNamesEachPagesMetadataAndStripLeavesItOut)
{
    QList<TestTiff::Page> pages = PagesOf(2, 5);
    pages[1].description = "second page";
    const QString described = tiff(u"described.tif"_s, pages);
    pages[1].description = nullptr;
    const QString plain = tiff(u"plain.tif"_s, pages);
    struct timespec old[2] = {{0, UTIME_OMIT}, {1000000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(described).constData(), old, 0), 0);
    const QString kept = root + u"/kept"_s, stripped = root + u"/stripped"_s;
    ASSERT_TRUE(QDir().mkpath(kept) && QDir().mkpath(stripped));
    const QStringList keptRun{u"--out"_s, kept, u"--manifest"_s, kept + u"/manifest-sha256.txt"_s};
    for (const QStringList& options : {keptRun, QStringList{u"--out"_s, stripped, u"--strip"_s, u"--keep-mtime"_s}}) {
        const Result r = batch(options + QStringList{u"--report"_s, options[1] + u".jsonl"_s, described, plain});
        ASSERT_EQ(r.exit, 0) << r.err.toStdString();
    }
    const QList<QJsonObject> keptLines = ReportObjects(kept + u".jsonl"_s), strippedLines = ReportObjects(stripped + u".jsonl"_s);
    ASSERT_EQ(keptLines.size(), 4);
    ASSERT_EQ(strippedLines.size(), 4);
    EXPECT_EQ(keptLines[1].value(u"metadata"_s).toArray(), QJsonArray{u"text"_s});
    for (int i : {0, 2, 3})
        EXPECT_EQ(keptLines[i].value(u"metadata"_s).toArray(), QJsonArray()) << i;
    EXPECT_EQ(strippedLines[1].value(u"metadata"_s).toArray(), QJsonArray());
    // The manifest: each output's sha256 as sha256sum gives it, its path relative to the manifest.
    QByteArray manifest;
    for (const QString& name : {u"described.png_1.png"_s, u"described.png_2.png"_s, u"plain.png_1.png"_s, u"plain.png_2.png"_s})
        manifest += QCryptographicHash::hash(TestFiles::ReadFile(kept + u'/' + name), QCryptographicHash::Sha256).toHex()
                    + "  " + name.toUtf8() + "\n";
    EXPECT_EQ(TestFiles::ReadFile(kept + u"/manifest-sha256.txt"_s).toStdString(), manifest.toStdString());
    const QByteArray strippedPage = TestFiles::ReadFile(stripped + u"/described.png_2.png"_s);
    EXPECT_NE(TestFiles::ReadFile(kept + u"/described.png_2.png"_s), strippedPage);
    EXPECT_EQ(TestFiles::ReadFile(kept + u"/plain.png_2.png"_s), strippedPage);
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(stripped + u"/described.png_2.png"_s).constData(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    ASSERT_EQ(stat(QFile::encodeName(kept + u"/described.png_2.png"_s).constData(), &st), 0);
    EXPECT_NE(st.st_mtim.tv_sec, 1000000000);
}

// ---- shards: every part of a list names every page as one run over the whole list does ----

struct ShardRow {
    const char* name;
    // How part i (1-based) of 3 is asked for: arguments, or the job runner's environment.
    QStringList (*args)(int part);
    QStringList (*env)(int part);
    QStringList naming;       // arguments of the whole run and of every part
    int files = 14;           // the whole run's outputs
    const char* third = "a (3).png_2.png";   // the third a.tif's last output
    bool fromPlan = false;    // the parts convert from a plan of the list, made with the naming
};

class ShardTest : public BatchFixture, public ::testing::WithParamInterface<ShardRow> {};

// Three parts into one folder give, byte for byte, the files of one run: the same-base sources of
// different folders (a.tif three times) keep the " (2)" and " (3)" of the whole list in whichever part
// they fall.
TEST_P(ShardTest, ThreePartsGiveTheFilesOfOneRun)
{
    const ShardRow& row = GetParam();
    int seed = 1;
    for (const char* name : {"a.tif", "b.tif", "x/a.tif", "x/c.tif", "y/a.tif", "y/d.tif", "z/e.tif"})
        tiff(QString::fromLatin1(name), PagesOf(2, seed++));
    const QString whole = root + u"/whole"_s;
    ASSERT_TRUE(QDir().mkpath(whole));
    ASSERT_EQ(batch(QStringList{u"-q"_s, u"--out"_s, whole, src} + row.naming).exit, 0);
    const QString plan = root + u"/plan.jsonl"_s;
    if (row.fromPlan) {
        ASSERT_EQ(batch(QStringList{u"-q"_s, u"--plan"_s, plan, u"--out"_s, out, src} + row.naming).exit, 0);
    }
    for (int part = 1; part <= 3; ++part) {
        QProcessEnvironment with;
        for (const QString& pair : row.env(part))
            with.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        const QStringList list = row.fromPlan ? QStringList{u"--from"_s, plan} : QStringList{u"--out"_s, out, src} + row.naming;
        const Result r = batch(list + row.args(part), QByteArray(), with);
        ASSERT_EQ(r.exit, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(u"7 files listed; part %1 of 3"_s.arg(part).toUtf8())) << r.err.toStdString();
    }
    const QMap<QString, QByteArray> expected = Tree(whole);
    EXPECT_EQ(expected.size(), row.files);
    EXPECT_TRUE(expected.contains(QString::fromUtf8(row.third))) << Names(expected);
    EXPECT_EQ(Names(Tree(out)), Names(expected));
    EXPECT_TRUE(Tree(out) == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ShardTest,
    ::testing::Values(
        ShardRow{"ShardOption", [](int part) { return QStringList{u"--shard"_s, u"%1/3"_s.arg(part)}; },
                 [](int) { return QStringList(); }, {}},
        // Slurm numbers an array's tasks from its first index (here 0, as --array=0-2 does).
        ShardRow{"SlurmArrayTask", [](int) { return QStringList(); },
                 [](int part) {
                     return QStringList{u"SLURM_ARRAY_TASK_ID=%1"_s.arg(part - 1),
                                        u"SLURM_ARRAY_TASK_MIN=0"_s, u"SLURM_ARRAY_TASK_COUNT=3"_s};
                 }, {}},
        // A name template and a page list name alike in every part: " (k)" comes after {name}.
        ShardRow{"TemplateAndLastPage", [](int part) { return QStringList{u"--shard"_s, u"%1/3"_s.arg(part)}; },
                 [](int) { return QStringList(); }, {u"--name"_s, u"{name}-{page:03}-of-{pages}.png"_s, u"--pages"_s,
                 u"-1"_s}, 7, "a (3)-002-of-2.png"},
        ShardRow{"FromAPlan", [](int part) { return QStringList{u"--shard"_s, u"%1/3"_s.arg(part)}; },
                 [](int) { return QStringList(); }, {u"--name"_s, u"{name}-{page:03}-of-{pages}.png"_s}, 14,
                 "a (3)-002-of-2.png", true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- resume, dry run, mirrored trees ----

ino_t Inode(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// After an output is deleted, a resumed run converts that output's source again and leaves every
// other output as it was (the same file, not a new one in its place); its own report is whole again.
struct DeletedOutputRow {
    const char* name;
    QStringList naming;     // the names and pages of every run
    const char* deleted;    // an output of b.tif
    int lines;              // the second report's
};

class ResumeDeletedTest : public BatchFixture, public ::testing::WithParamInterface<DeletedOutputRow> {};

TEST_P(ResumeDeletedTest, ResumeRedoesOnlyTheSourceOfADeletedOutput)
{
    const DeletedOutputRow& row = GetParam();
    for (const char* name : {"a.tif", "b.tif", "c.tif"})
        tiff(QString::fromLatin1(name), PagesOf(2, 3));
    const QString first = root + u"/first.jsonl"_s;
    ASSERT_EQ(batch(QStringList{u"--out"_s, out, u"--report"_s, first, src} + row.naming).exit, 0);
    const QMap<QString, QByteArray> before = Tree(out);
    QMap<QString, ino_t> inodes;
    // A second name keeps each first output's inode taken, so a rewritten output cannot be given it again.
    ASSERT_TRUE(QDir().mkpath(root + u"/held"_s));
    for (const QString& name : before.keys()) {
        inodes.insert(name, Inode(out + u'/' + name));
        ASSERT_EQ(::link(QFile::encodeName(out + u'/' + name).constData(),
                         QFile::encodeName(root + u"/held/"_s + name).constData()), 0);
    }
    ASSERT_TRUE(QFile::remove(out + u'/' + QString::fromUtf8(row.deleted)));

    const QString second = root + u"/second.jsonl"_s;
    const Result r = batch(QStringList{u"--out"_s, out, u"--resume"_s, first, u"--report"_s, second, src} + row.naming);
    EXPECT_EQ(r.exit, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("3 files listed; 2 already converted; 1 file to convert.")) << r.err.toStdString();
    EXPECT_TRUE(Tree(out) == before);
    for (const QString& name : before.keys())
        EXPECT_EQ(Inode(out + u'/' + name) == inodes.value(name), !name.startsWith(u'b'))
            << name.toStdString();
    EXPECT_EQ(ReportObjects(second).size(), row.lines);
    // The newest report alone now resumes everything.
    const Result again = batch(QStringList{u"--out"_s, out, u"--resume"_s, second, src} + row.naming);
    EXPECT_TRUE(again.err.contains("3 already converted; 0 files to convert.")) << again.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ResumeDeletedTest,
    ::testing::Values(DeletedOutputRow{"WindowNames", {}, "b.png_2.png", 6},
                      // Only the pages asked for count, under the template's names.
                      DeletedOutputRow{"TemplateAndLastPage",
                                       {u"--name"_s, u"{name}-{page:02}-of-{pages}.png"_s, u"--pages"_s, u"-1"_s},
                                       "b-02-of-2.png", 3}),
    [](const auto& info) { return std::string(info.param.name); });

// A resumed run converts b.tif again when the report no longer shows all its pages converted from it
// as it is now; the lines it carries for a.tif let its own report skip a.tif again.
class ResumeTest : public BatchFixture, public ::testing::WithParamInterface<const char*> {};

TEST_P(ResumeTest, ConvertsAgainASourceTheReportNoLongerShowsWhole)
{
    const std::string change = GetParam();
    tiff(u"a.tif"_s, PagesOf(2, 3));
    QList<TestTiff::Page> b = PagesOf(2, 5);
    const QString report = root + u"/r.jsonl"_s, bPath = tiff(u"b.tif"_s, b);
    ASSERT_EQ(batch({u"-j"_s, u"1"_s, u"--out"_s, out, u"--report"_s, report, src}).exit, 0);
    QList<QByteArray> lines = TestFiles::ReadFile(report).split('\n');   // a's pages, then b's
    if (change == "cut inside b's lines")
        lines.resize(3);
    if (change == "b grew")
        tiff(u"b.tif"_s, b = PagesOf(4, 5));
    QFile touched(bPath);
    ASSERT_TRUE(change != "b touched"
                || (touched.open(QIODevice::ReadWrite)
                    && touched.setFileTime(QDateTime::fromSecsSinceEpoch(1), QFileDevice::FileModificationTime)));
    ASSERT_TRUE(TestFiles::WriteFile(report, lines.join('\n')));
    EXPECT_TRUE(batch({u"--out"_s, out, u"--resume"_s, report, u"--report"_s, report, src}).err.contains("1 already converted"));
    EXPECT_EQ(TestTiff::OutputsDiffer(out, u"b"_s, b).toStdString(), "");
    EXPECT_TRUE(batch({u"--out"_s, out, u"--resume"_s, report, src}).err.contains("2 already converted; 0 files"));
}

INSTANTIATE_TEST_SUITE_P(Rows, ResumeTest, ::testing::Values("cut inside b's lines", "b grew", "b touched"));

// A dry run lists each source's pages, their names and the clashes, and writes nothing anywhere.
TEST_F(BatchFixture, ADryRunListsNamesAndClashesAndWritesNothing)
{
    tiff(u"a.tif"_s, PagesOf(2, 1));
    tiff(u"x/a.TIFF"_s, PagesOf(1, 2));
    ASSERT_TRUE(TestFiles::WriteFile(src + u"/x/broken.tiff"_s, QByteArray("II*\0", 4)));
    QList<TestTiff::Page> cut = PagesOf(3, 3);
    cut[2].cutBefore = true;
    tiff(u"x/cut.tif"_s, cut);
    ASSERT_TRUE(TestFiles::WriteFile(out + u"/a.png_2.png"_s, "an older file"));
    const Result r = batch({u"--dry-run"_s, u"--ext"_s, u"*"_s,
                            u"--out"_s, out, u"--report"_s, root + u"/r.jsonl"_s, src});
    EXPECT_EQ(r.exit, 1) << r.err.toStdString();
    const QString expected = QStringLiteral("%1/a.tif: 2 pages\n  %2/a.png_1.png\n  %2/a.png_2.png (replaces the file there)\n"
                                            "%1/x/a.TIFF: 1 page, saved as %2/a (2).png_N.png since %2/a.png_N.png comes "
                                            "from %1/a.tif\n  %2/a (2).png_1.png\n"
                                            "%1/x/broken.tiff: not converted: damaged (")
                                 .arg(src, out);
    EXPECT_TRUE(QString::fromUtf8(r.out).startsWith(expected)) << r.out.toStdString();
    // A file cut short inside page 3: its pages before the cut, then page 3 named damaged.
    EXPECT_TRUE(r.out.contains(u"%1/x/cut.tif: 2 pages\n  %2/cut.png_1.png\n  %2/cut.png_2.png\n  page 3: damaged ("_s
                                   .arg(src, out).toUtf8())) << r.out.toStdString();
    EXPECT_EQ(Entries(out), QStringList{u"a.png_2.png"_s});
    EXPECT_EQ(TestFiles::ReadFile(out + u"/a.png_2.png"_s), QByteArray("an older file"));
    EXPECT_FALSE(QFileInfo::exists(root + u"/r.jsonl"_s));
    EXPECT_EQ(Entries(temp), QStringList());
}

// --keep-tree puts each file found in a folder argument at its place in that tree, two levels down
// included; a file named on its own goes to the top; the pages are those of a flat run.
TEST_F(BatchFixture, KeepTreeMirrorsATwoLevelTree)
{
    tiff(u"tree/top.tif"_s, PagesOf(1, 1));
    tiff(u"tree/one/mid.tif"_s, PagesOf(2, 2));
    tiff(u"tree/one/two/deep.tif"_s, PagesOf(1, 3));
    tiff(u"tree/one/two/top.tif"_s, PagesOf(1, 4));
    const QString alone = tiff(u"alone.tif"_s, PagesOf(1, 5));
    const Result r = batch({u"--out"_s, out, u"--keep-tree"_s, src + u"/tree/"_s, alone});
    ASSERT_EQ(r.exit, 0) << r.err.toStdString();
    const QMap<QString, QByteArray> mirrored = Tree(out);
    EXPECT_EQ(mirrored.keys(), (QStringList{u"alone.png_1.png"_s, u"one/mid.png_1.png"_s,
                                            u"one/mid.png_2.png"_s, u"one/two/deep.png_1.png"_s,
                                            u"one/two/top.png_1.png"_s, u"top.png_1.png"_s}));
    EXPECT_EQ(TestTiff::OutputsDiffer(out + u"/one/two"_s, u"deep"_s, PagesOf(1, 3)).toStdString(), "");
}

// ---- inputs: standard input and names a shell would take apart ----

struct NameRow {
    const char* name;
    const char* via;   // "args", "lines" (standard input), "nul" (standard input with -0), "folder" or "plan" (of it)
};

class OddNameTest : public BatchFixture, public ::testing::WithParamInterface<NameRow> {};

// Spaces, quotes, $( ) and a line end in names are names: each file converts under its own name and
// nothing is run.
TEST_P(OddNameTest, NamesAreNeverCommands)
{
    const QString via = QString::fromLatin1(GetParam().via);
    QStringList names{u"two words.tif"_s, u"it's \"quoted\".tif"_s, u"$(touch ran).tif"_s, u"`touch ran`;.tif"_s,
                      u"q?.tif"_s, u"*.tif"_s, u"[a]{b,c}.tif"_s, u"upper.TIFF"_s};
    if (via != QLatin1String("lines"))
        names << u"line\nend.tif"_s;
    QStringList paths;
    int seed = 1;
    for (const QString& name : names)
        paths << tiff(u"odd/"_s + name, PagesOf(1, seed++));
    QStringList args{u"--out"_s, out};
    QByteArray input;
    if (via == QLatin1String("args"))
        args << paths;
    else if (via == QLatin1String("folder") || via == QLatin1String("plan"))
        args << src + u"/odd"_s;
    else
        args << (via == QLatin1String("nul") ? QStringList{u"-0"_s, u"-"_s} : QStringList{u"-"_s});
    for (const QString& path : paths)
        input += QFile::encodeName(path) + (via == QLatin1String("nul") ? '\0' : '\n');
    if (via == QLatin1String("plan")) {
        ASSERT_EQ(batch(QStringList{u"--plan"_s, root + u"/plan.jsonl"_s} + args).exit, 0);
        args = QStringList{u"--from"_s, root + u"/plan.jsonl"_s};
    }
    const Result r = batch(args, via == QLatin1String("lines") || via == QLatin1String("nul") ? input : QByteArray());
    ASSERT_EQ(r.exit, 0) << r.err.toStdString();
    seed = 1;
    for (const QString& name : names)
        EXPECT_EQ(TestTiff::OutputsDiffer(out, name.left(name.lastIndexOf(u'.')), PagesOf(1, seed++)).toStdString(), "")
            << name.toStdString();
    EXPECT_EQ(Entries(out).size(), names.size());
    EXPECT_FALSE(QFileInfo::exists(root + u"/ran"_s));
}

// A name that is not UTF-8, or holds a tab, is kept by its bytes from the arguments, standard input
// and a folder to the outputs, and printed in the shell's $'...' form, one line each.
TEST_P(OddNameTest, BytesThatAreNotTextNameTheirFile)
{
    const QString via = QString::fromLatin1(GetParam().via);
    const QByteArray folder = QFile::encodeName(src) + "/odd/";
    QByteArray input;
    QStringList args{u"--out"_s, out};
    for (const QByteArray& name : {QByteArray("caf\xE9.tif"), QByteArray("tab\there.tif")}) {
        tiff(u"odd/made.tif"_s, PagesOf(1, 3));
        ASSERT_EQ(::rename(QFile::encodeName(src + u"/odd/made.tif"_s).constData(), (folder + name).constData()), 0);
        input += folder + name + (via == QLatin1String("nul") ? '\0' : '\n');
    }
    Result r;
    if (via == QLatin1String("args")) {
        // QProcess hands arguments over as UTF-8: bytes that are not go by the shell, as a user's would.
        QProcess shell;
        shell.setProcessEnvironment(env);
        shell.start(u"/bin/sh"_s, {u"-c"_s, u"cd \"$1\" && exec \"$2\" --out \"$3\" caf*.tif tab*.tif"_s, u"sh"_s,
                                   QFile::decodeName(folder), QStringLiteral(TOVANEL_BATCH_EXE), out});
        r.exit = shell.waitForFinished(120000) ? shell.exitCode() : -1;
        r.err = shell.readAllStandardError();
    } else if (via == QLatin1String("plan")) {
        ASSERT_EQ(batch({u"--plan"_s, root + u"/plan.jsonl"_s, u"--out"_s, out, src + u"/odd"_s}).exit, 0);
        r = batch({u"--from"_s, root + u"/plan.jsonl"_s});
    } else {
        args << (via == QLatin1String("folder") ? QStringList{src + u"/odd"_s}
                 : via == QLatin1String("nul")  ? QStringList{u"-0"_s, u"-"_s}
                                                : QStringList{u"-"_s});
        r = batch(args, via == QLatin1String("folder") ? QByteArray() : input);
    }
    ASSERT_EQ(r.exit, 0) << r.err.toStdString();
    const QByteArray outBytes = QFile::encodeName(out);
    struct stat st;
    EXPECT_EQ(::stat((outBytes + "/caf\xE9.png_1.png").constData(), &st), 0);
    EXPECT_EQ(::stat((outBytes + "/tab\there.png_1.png").constData(), &st), 0);
    EXPECT_TRUE(r.err.contains("$'" + folder + "caf\\xe9.tif'")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("$'" + folder + "tab\\there.tif'")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains('\t')) << r.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Rows, OddNameTest,
                         ::testing::Values(NameRow{"Arguments", "args"}, NameRow{"StandardInputLines", "lines"},
                                           NameRow{"StandardInputNul", "nul"}, NameRow{"FoundInAFolder", "folder"},
                                           NameRow{"ThroughAPlan", "plan"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- stopping ----

class StopTest : public BatchFixture, public ::testing::WithParamInterface<int> {};

// A signal mid-run ends the running tool, keeps the outputs written (each one whole), removes the run's
// folder, leaves the report of what was done and exits 130.
TEST_P(StopTest, ASignalMidRunKeepsWholeOutputsAndTheReport)
{
    const QList<TestTiff::Page> pages = PagesOf(400, 1, {40, 30}, {0, 0});
    tiff(u"a-long.tif"_s, pages);
    tiff(u"z-later.tif"_s, PagesOf(1, 2));
    const QString report = root + u"/r.jsonl"_s;
    // One call at a time: the later file waits for the long one, so the stop finds it not begun.
    QProcess* process = start({u"--out"_s, out, u"--report"_s, report, u"--jobs"_s, u"1"_s, src});
    for (int waited = 0; Entries(out).size() < 3 && waited < 60000; waited += 20)
        QThread::msleep(20);
    ASSERT_GE(Entries(out).size(), 3u) << "the run wrote no output in time";
    ::kill(static_cast<pid_t>(process->processId()), GetParam());
    const Result r = finish(process);
    EXPECT_EQ(r.exit, 130) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Stopped.\n2 of 2 files were not converted completely.")) << r.err.toStdString();
    const QStringList written = Entries(out);
    EXPECT_LT(written.size(), pages.size());
    // Each output is a whole page: the first ones, in order, each with its page's pixels.
    EXPECT_EQ(TestTiff::OutputsDiffer(out, u"a-long"_s, pages.mid(0, written.size())).toStdString(), "");
    EXPECT_EQ(Entries(temp), QStringList());
    const QList<QJsonObject> lines = ReportObjects(report);
    ASSERT_EQ(lines.size(), pages.size() + 1);
    int converted = 0;
    for (const QJsonObject& line : lines)
        converted += line.value(u"status"_s).toString() == QLatin1String("converted") ? 1 : 0;
    EXPECT_EQ(converted, written.size());
    EXPECT_EQ(lines.last().value(u"reason"_s).toString(), u"the run was stopped before its turn"_s);
}

// Before anything is written (the list still being made: here, standard input still being read), a
// signal ends the program at once, with 130 as well, and leaves nothing.
TEST_P(StopTest, ASignalBeforeAnythingIsWrittenEndsWith130)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TOVANEL_BATCH_EXE), {u"--out"_s, out, u"-"_s});
    ASSERT_TRUE(process.waitForStarted());
    // The program has its handler in place once the kernel shows the signal as caught.
    const QString status = u"/proc/%1/status"_s.arg(process.processId());
    bool caught = false;
    for (int waited = 0; !caught && waited < 10000; waited += 10) {
        for (const QByteArray& line : TestFiles::ReadFile(status).split('\n'))
            if (line.startsWith("SigCgt:"))
                caught = (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (GetParam() - 1)) & 1;
        QThread::msleep(10);
    }
    ASSERT_TRUE(caught) << "the signal is never caught while the list is made";
    ::kill(static_cast<pid_t>(process.processId()), GetParam());
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 130);
    EXPECT_EQ(Entries(out), QStringList());
    EXPECT_EQ(Entries(temp), QStringList());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM"); });

} // namespace
