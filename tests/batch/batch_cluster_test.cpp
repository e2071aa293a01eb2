// The examples of docs/batch.md run as written: GNU parallel on one machine and over ssh, a Kubernetes
// Indexed Job's command, and a Slurm job array on a one-node cluster this test starts for itself
// (slurm_cluster.sh). Each gives, byte for byte, the files of one run over the whole list.
#include "batch_support.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>


using namespace Tovanel;
using namespace Tovanel::BatchTest;

using namespace Qt::StringLiterals;

namespace {

// The fenced block after "<!-- example: name -->" in docs/batch.md, with /data/ standing for data.
QString Example(const QString& name, const QString& data)
{
    const QString doc = QString::fromUtf8(TestFiles::ReadFile(QStringLiteral(TOVANEL_SOURCE_DIR "/docs/batch.md")));
    const QRegularExpression block(u"<!-- example: "_s + QRegularExpression::escape(name)
                                   + u" -->\\n```[a-z]*\\n(.*?)```"_s,
                                   QRegularExpression::DotMatchesEverythingOption);
    QString text = block.match(doc).captured(1);
    return text.replace(u"/data/"_s, data + u'/');
}

// Only the PNG files of a tree (the reports and job logs lie beside them).
QMap<QString, QByteArray> Pngs(const QString& folder)
{
    QMap<QString, QByteArray> pngs = Tree(folder);
    for (const QString& name : pngs.keys())
        if (!name.endsWith(QLatin1String(".png")))
            pngs.remove(name);
    return pngs;
}

class ClusterFixture : public BatchFixture {
protected:
    void SetUp() override
    {
        BatchFixture::SetUp();
        data = root + u"/data"_s;
        scans = data + u"/scans"_s;
        png = data + u"/png"_s;
        ASSERT_TRUE(QDir().mkpath(png));
        int seed = 1;
        // Same bases in several folders, so parts must agree on " (2)" and " (3)".
        for (const char* name : {"a.tif", "b.tif", "x/a.tif", "x/c.tif", "y/a.tif", "y/b.tif", "z/e.tif", "z/f.tif"}) {
            const QString path = scans + u'/' + QString::fromLatin1(name);
            ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
            ASSERT_TRUE(TestTiff::Write(path, TestTiff::PagesOf(seed % 3 + 1, seed)));
            ++seed;
        }
        const QString one = root + u"/one"_s;
        ASSERT_TRUE(QDir().mkpath(one));
        ASSERT_EQ(batch({u"-q"_s, u"--out"_s, one, scans}).exit, 0);
        whole = Pngs(one);
        ASSERT_EQ(whole.size(), 17);
        ASSERT_TRUE(whole.contains(u"a (3).png_1.png"_s));
        // The documented commands find tovanel-batch on the path, as an installed one is.
        env.insert(u"PATH"_s, QStringLiteral(TOVANEL_BIN_DIR ":") + env.value(u"PATH"_s));
    }

    // Runs script with /bin/sh in root.
    Result shell(const QString& script, const QProcessEnvironment& with = {})
    {
        return batchLike(u"/bin/sh"_s, {u"-c"_s, script}, with);
    }
    Result batchLike(const QString& program, const QStringList& args, const QProcessEnvironment& with = {})
    {
        QProcessEnvironment all = env;
        for (const QString& name : with.keys())
            all.insert(name, with.value(name));
        QProcess process;
        process.setProcessEnvironment(all);
        process.setWorkingDirectory(root);
        process.start(program, args);
        Result r;
        if (process.waitForFinished(180000) && process.exitStatus() == QProcess::NormalExit)
            r.exit = process.exitCode();
        else
            process.kill();
        r.out = process.readAllStandardOutput();
        r.err = process.readAllStandardError();
        return r;
    }

    QString data, scans, png;
    QMap<QString, QByteArray> whole;
};

// ---- GNU parallel and a Kubernetes Indexed Job ----

struct ExampleRow {
    const char* name;
    int reports;
};

void PrintTo(const ExampleRow& row, std::ostream* os) { *os << row.name; }

class DocumentedExampleTest : public ClusterFixture, public ::testing::WithParamInterface<ExampleRow> {};

TEST_P(DocumentedExampleTest, GivesTheFilesOfOneRun)
{
    const QString name = QString::fromLatin1(GetParam().name);
    const QString example = Example(name, data);
    ASSERT_FALSE(example.isEmpty()) << "no example " << name.toStdString() << " in docs/batch.md";
    QProcessEnvironment with;
    if (name == QLatin1String("parallel-ssh")) {
        // An ssh that runs the command here: the hosts share this machine's files, as the example's
        // hosts share /data. GNU parallel calls it as "ssh [options] host -- command". Like sshd, it
        // sets SHELL (GNU parallel's remote side runs the job with $SHELL, and without one it runs
        // nothing and still reports success; a CI runner may start the test without SHELL).
        const QString ssh = root + u"/ssh"_s;
        ASSERT_TRUE(TestFiles::WriteFileWithMode(ssh,
                                                 "#!/bin/sh\n"
                                                 "while [ $# -gt 0 ]; do case \"$1\" in -l|-p|-o|-i|-S) shift 2 ;; "
                                                 "-*) shift ;; *) shift; break ;; esac; done\n"
                                                 "[ \"${1:-}\" = -- ] && shift\n"
                                                 "SHELL=/bin/sh; export SHELL\n"
                                                 "exec sh -c \"$*\"\n",
                                                 0755));
        with.insert(u"PARALLEL_SSH"_s, ssh);
    }
    QStringList runs{example};
    if (name == QLatin1String("kubernetes")) {
        // The container's command, once per completion index.
        const QString command = example.section(u"args:\n"_s, 1).section(u'\n', 0, 0)
                                    .trimmed().mid(2);
        ASSERT_TRUE(command.startsWith(QLatin1String("tovanel-batch "))) << command.toStdString();
        runs.clear();
        for (int index = 0; index < 4; ++index)
            runs << u"JOB_COMPLETION_INDEX=%1; %2"_s.arg(index).arg(command);
    }
    for (const QString& run : runs) {
        const Result r = shell(run, with);
        ASSERT_EQ(r.exit, 0) << run.toStdString() << "\n" << r.err.toStdString();
    }
    EXPECT_EQ(Names(Pngs(png)), Names(whole));
    EXPECT_TRUE(Pngs(png) == whole);
    EXPECT_EQ(QDir(png).entryList({u"report-*.jsonl"_s}).size(), GetParam().reports);

    if (name == QLatin1String("parallel-local")) {
        // Run again after an output is lost: only that page's source is converted again.
        const QString lost = png + u"/a (2).png_1.png"_s;
        const QFileInfo kept(png + u"/b.png_1.png"_s);
        ASSERT_TRUE(QFile::remove(lost));
        const Result again = shell(example, with);
        ASSERT_EQ(again.exit, 0) << again.err.toStdString();
        EXPECT_TRUE(Pngs(png) == whole);
        EXPECT_EQ(QFileInfo(kept.filePath()).lastModified(), kept.lastModified());
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, DocumentedExampleTest,
                         ::testing::Values(ExampleRow{"parallel-local", 2}, ExampleRow{"parallel-ssh", 4},
                                           ExampleRow{"kubernetes", 4}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

// ---- a Slurm job array on a one-node cluster of the test's own ----

// The documented job script, submitted as an array of three tasks, each converting its part as the
// Slurm variables say; together they give the files of one run.
TEST_F(ClusterFixture, ASlurmJobArrayGivesTheFilesOfOneRun)
{
    const QString cluster = root + u"/s"_s, control = u"" TOVANEL_SOURCE_DIR "/tests/batch/slurm_cluster.sh"_s;
    const Result started = batchLike(u"/bin/sh"_s, {control, u"start"_s, cluster});
    const auto stop = qScopeGuard([&] { batchLike(u"/bin/sh"_s, {control, u"stop"_s, cluster}); });
    ASSERT_EQ(started.exit, 0) << started.err.toStdString();
    env.insert(u"SLURM_CONF"_s, QString::fromUtf8(started.out.trimmed()));
    const QString script = root + u"/convert.sh"_s;
    ASSERT_TRUE(TestFiles::WriteFile(script, Example(u"slurm"_s, data).toUtf8()));
    // Three tasks of one CPU each, whatever the script asks of a real cluster.
    const Result r = batchLike(u"sbatch"_s, {u"--wait"_s, u"--array=1-3"_s,
                                                          u"--cpus-per-task=1"_s, script});
    ASSERT_EQ(r.exit, 0) << r.out.toStdString() << r.err.toStdString()
                         << TestFiles::ReadFile(cluster + u"/slurmd.log"_s).right(3000).toStdString();
    EXPECT_EQ(Names(Pngs(png)), Names(whole));
    EXPECT_TRUE(Pngs(png) == whole);
    const QStringList logs = QDir(png).entryList({u"slurm-*.log"_s});
    ASSERT_EQ(logs.size(), 3);
    // Each task said which part it took, from the array's own numbers.
    QString said;
    for (const QString& name : logs)
        said += QString::fromUtf8(TestFiles::ReadFile(png + u'/' + name));
    for (int part = 1; part <= 3; ++part)
        EXPECT_TRUE(said.contains(u"part %1 of 3 (the Slurm array task)"_s.arg(part))) << said.toStdString();
    EXPECT_EQ(QDir(png).entryList({u"report-*.jsonl"_s}).size(), 3);
}

} // namespace
