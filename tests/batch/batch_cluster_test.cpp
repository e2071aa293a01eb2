// The examples of docs/batch.md run as written: GNU parallel on one machine and over ssh, a Kubernetes
// Indexed Job's command, and a Slurm job array on a one-node cluster this test starts for itself. Each
// gives, byte for byte, the files of one run over the whole list.
#include "batch_support.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Tovanel;
using namespace Tovanel::BatchTest;

namespace {

// The fenced block after "<!-- example: name -->" in docs/batch.md, with /data/ standing for data.
QString Example(const QString& name, const QString& data)
{
    const QString doc = QString::fromUtf8(TestFiles::ReadFile(QStringLiteral(TOVANEL_SOURCE_DIR "/docs/batch.md")));
    const QRegularExpression block(QStringLiteral("<!-- example: ") + QRegularExpression::escape(name)
                                   + QStringLiteral(" -->\\n```[a-z]*\\n(.*?)```"),
                                   QRegularExpression::DotMatchesEverythingOption);
    QString text = block.match(doc).captured(1);
    return text.replace(QStringLiteral("/data/"), data + QLatin1Char('/'));
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
        data = root + QStringLiteral("/data");
        scans = data + QStringLiteral("/scans");
        png = data + QStringLiteral("/png");
        ASSERT_TRUE(QDir().mkpath(png));
        int seed = 1;
        // Same bases in several folders, so parts must agree on " (2)" and " (3)".
        for (const char* name : {"a.tif", "b.tif", "x/a.tif", "x/c.tif", "y/a.tif", "y/b.tif", "z/e.tif", "z/f.tif"}) {
            const QString path = scans + QLatin1Char('/') + QString::fromLatin1(name);
            ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
            ASSERT_TRUE(TestTiff::Write(path, pagesOf(seed % 3 + 1, seed)));
            ++seed;
        }
        const QString one = root + QStringLiteral("/one");
        ASSERT_TRUE(QDir().mkpath(one));
        ASSERT_EQ(batch({QStringLiteral("-q"), QStringLiteral("--out"), one, scans}).exit, 0);
        whole = Pngs(one);
        ASSERT_EQ(whole.size(), 17);
        ASSERT_TRUE(whole.contains(QStringLiteral("a (3).png_1.png")));
        // The documented commands find tovanel-batch on the path, as an installed one is.
        env.insert(QStringLiteral("PATH"), QStringLiteral(TOVANEL_BIN_DIR ":") + env.value(QStringLiteral("PATH")));
    }

    // Runs script with /bin/sh in root.
    Result shell(const QString& script, const QProcessEnvironment& with = {})
    {
        return batchLike(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, with);
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
        // hosts share /data. GNU parallel calls it as "ssh [options] host -- command".
        const QString ssh = root + QStringLiteral("/ssh");
        ASSERT_TRUE(TestFiles::WriteFileWithMode(ssh,
                                                 "#!/bin/sh\n"
                                                 "while [ $# -gt 0 ]; do case \"$1\" in -l|-p|-o|-i|-S) shift 2 ;; "
                                                 "-*) shift ;; *) shift; break ;; esac; done\n"
                                                 "[ \"${1:-}\" = -- ] && shift\n"
                                                 "exec sh -c \"$*\"\n",
                                                 0755));
        with.insert(QStringLiteral("PARALLEL_SSH"), ssh);
    }
    QStringList runs{example};
    if (name == QLatin1String("kubernetes")) {
        // The container's command, once per completion index.
        const QString command = example.section(QStringLiteral("args:\n"), 1).section(QLatin1Char('\n'), 0, 0)
                                    .trimmed().mid(2);
        ASSERT_TRUE(command.startsWith(QLatin1String("tovanel-batch "))) << command.toStdString();
        runs.clear();
        for (int index = 0; index < 4; ++index)
            runs << QStringLiteral("JOB_COMPLETION_INDEX=%1; %2").arg(index).arg(command);
    }
    for (const QString& run : runs) {
        const Result r = shell(run, with);
        ASSERT_EQ(r.exit, 0) << run.toStdString() << "\n" << r.err.toStdString();
    }
    EXPECT_EQ(Names(Pngs(png)), Names(whole));
    EXPECT_TRUE(Pngs(png) == whole);
    EXPECT_EQ(QDir(png).entryList({QStringLiteral("report-*.jsonl")}).size(), GetParam().reports);

    if (name == QLatin1String("parallel-local")) {
        // Run again after an output is lost: only that page's source is converted again.
        const QString lost = png + QStringLiteral("/a (2).png_1.png");
        const QFileInfo kept(png + QStringLiteral("/b.png_1.png"));
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

// ---- a one-node Slurm cluster of the test's own ----

// munged, slurmctld and slurmd with a configuration, key, ports, state and spool folders of their own
// in folder; stopped by their process ids.
class SlurmCluster {
public:
    explicit SlurmCluster(QString folder) : dir_(std::move(folder)) {}
    ~SlurmCluster() { stop(); }

    // Empty when the cluster runs and its node is idle; otherwise what failed.
    QString start(QProcessEnvironment& env)
    {
        for (const char* sub : {"m", "state", "spool"})
            if (!QDir().mkpath(dir_ + QLatin1Char('/') + QLatin1String(sub)))
                return QStringLiteral("cannot make the cluster's folders");
        // The daemons' sockets must fit a socket address.
        if (QFile::encodeName(dir_).size() > 90)
            return QStringLiteral("the test folder's path is too long for the daemons' sockets: ") + dir_;
        ::chmod(QFile::encodeName(dir_ + QStringLiteral("/m")).constData(), 0711);
        QByteArray key(1024, '\0');
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(key.data()), key.size() / 4);
        if (!TestFiles::WriteFileWithMode(dir_ + QStringLiteral("/m/key"), key, 0400))
            return QStringLiteral("cannot write the munge key");
        const QString socket = dir_ + QStringLiteral("/m/sock");
        if (const QString failed = daemon(QStringLiteral("munged"),
                                          {QStringLiteral("--force"), QStringLiteral("--socket=") + socket,
                                           QStringLiteral("--key-file=") + dir_ + QStringLiteral("/m/key"),
                                           QStringLiteral("--pid-file=") + dir_ + QStringLiteral("/m/pid"),
                                           QStringLiteral("--seed-file=") + dir_ + QStringLiteral("/m/seed"),
                                           QStringLiteral("--log-file=") + dir_ + QStringLiteral("/munged.log")},
                                          dir_ + QStringLiteral("/m/pid"), env);
            !failed.isEmpty())
            return failed;

        QProcess probe;
        probe.start(QStringLiteral("slurmd"), {QStringLiteral("-C")});
        probe.waitForFinished(30000);
        const QString node = QString::fromUtf8(probe.readAllStandardOutput()).section(QLatin1Char('\n'), 0, 0).trimmed();
        if (!node.startsWith(QLatin1String("NodeName=")))
            return QStringLiteral("slurmd -C gave no node line: ") + node;
        const QString host = node.section(QLatin1Char(' '), 0, 0).mid(9);
        const QString conf = dir_ + QStringLiteral("/slurm.conf");
        const QString text = QStringLiteral(
            "ClusterName=tovanel-test\nSlurmctldHost=%1(127.0.0.1)\nSlurmctldPort=%2\nSlurmdPort=%3\n"
            "AuthType=auth/munge\nCredType=cred/munge\nAuthInfo=socket=%4\nSlurmUser=root\nSlurmdUser=root\n"
            "StateSaveLocation=%5/state\nSlurmdSpoolDir=%5/spool\nSlurmctldPidFile=%5/slurmctld.pid\n"
            "SlurmdPidFile=%5/slurmd.pid\nSlurmctldLogFile=%5/slurmctld.log\nSlurmdLogFile=%5/slurmd.log\n"
            "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\nSchedulerType=sched/builtin\n"
            "SelectType=select/cons_tres\nSelectTypeParameters=CR_Core\nReturnToService=2\nMpiDefault=none\n"
            "JobAcctGatherType=jobacct_gather/none\nAccountingStorageType=accounting_storage/none\n"
            "JobCompType=jobcomp/none\nSwitchType=switch/none\n%6 NodeAddr=127.0.0.1 State=UNKNOWN\n"
            "PartitionName=test Nodes=%1 Default=YES MaxTime=INFINITE State=UP\n")
                                 .arg(host)
                                 .arg(FreePort())
                                 .arg(FreePort())
                                 .arg(socket, dir_, node);
        if (!TestFiles::WriteFile(conf, text.toUtf8()))
            return QStringLiteral("cannot write slurm.conf");
        env.insert(QStringLiteral("SLURM_CONF"), conf);
        for (const char* name : {"slurmctld", "slurmd"}) {
            QStringList args{QStringLiteral("-f"), conf};
            if (QLatin1String(name) == QLatin1String("slurmctld"))
                args << QStringLiteral("-i");   // no state from an earlier cluster
            const QString failed = daemon(QString::fromLatin1(name), args,
                                          dir_ + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".pid"), env);
            if (!failed.isEmpty())
                return failed;
        }
        for (int waited = 0; waited < 60000; waited += 250) {
            QProcess sinfo;
            sinfo.setProcessEnvironment(env);
            sinfo.start(QStringLiteral("sinfo"), {QStringLiteral("-h"), QStringLiteral("-o"), QStringLiteral("%t")});
            sinfo.waitForFinished(10000);
            if (sinfo.readAllStandardOutput().trimmed() == "idle")
                return QString();
            QThread::msleep(250);
        }
        return QStringLiteral("the node did not become idle; slurmd.log:\n") + log(QStringLiteral("slurmd.log"))
               + QStringLiteral("\nslurmctld.log:\n") + log(QStringLiteral("slurmctld.log"));
    }

    // Ends the daemons, last started first, and waits until each is gone.
    void stop()
    {
        for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
            ::kill(*it, SIGTERM);
            for (int waited = 0; waited < 20000 && ::kill(*it, 0) == 0; waited += 50)
                QThread::msleep(50);
            if (::kill(*it, 0) == 0)
                ::kill(*it, SIGKILL);
        }
        pids_.clear();
    }

    QString log(const QString& name) const { return QString::fromUtf8(TestFiles::ReadFile(dir_ + QLatin1Char('/') + name)).right(3000); }

private:
    // A port no one listens on now: the one the system picks for a socket bound to port 0.
    static int FreePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0
                           && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
        ::close(fd);
        return bound ? ntohs(address.sin_port) : 0;
    }

    // Starts a daemon that forks into the background and writes its pid file.
    QString daemon(const QString& program, const QStringList& args, const QString& pidFile,
                   const QProcessEnvironment& env)
    {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, args);
        if (!process.waitForFinished(30000) || process.exitCode() != 0)
            return program + QStringLiteral(" did not start: ") + QString::fromUtf8(process.readAllStandardError())
                   + process.errorString();
        for (int waited = 0; waited < 10000; waited += 50) {
            const pid_t pid = TestFiles::ReadFile(pidFile).trimmed().toInt();
            if (pid > 0) {
                pids_ << pid;
                return QString();
            }
            QThread::msleep(50);
        }
        return program + QStringLiteral(" wrote no pid file");
    }

    QString dir_;
    QList<pid_t> pids_;
};

// The documented job script, submitted as an array of three tasks, each converting its part as the
// Slurm variables say; together they give the files of one run.
TEST_F(ClusterFixture, ASlurmJobArrayGivesTheFilesOfOneRun)
{
    SlurmCluster cluster(root + QStringLiteral("/s"));
    const QString failed = cluster.start(env);
    ASSERT_EQ(failed.toStdString(), "");
    const QString script = root + QStringLiteral("/convert.sh");
    ASSERT_TRUE(TestFiles::WriteFile(script, Example(QStringLiteral("slurm"), data).toUtf8()));
    // Three tasks of one CPU each, whatever the script asks of a real cluster.
    const Result r = batchLike(QStringLiteral("sbatch"), {QStringLiteral("--wait"), QStringLiteral("--array=1-3"),
                                                          QStringLiteral("--cpus-per-task=1"), script});
    ASSERT_EQ(r.exit, 0) << r.out.toStdString() << r.err.toStdString() << cluster.log(QStringLiteral("slurmd.log")).toStdString();
    EXPECT_EQ(Names(Pngs(png)), Names(whole));
    EXPECT_TRUE(Pngs(png) == whole);
    const QStringList logs = QDir(png).entryList({QStringLiteral("slurm-*.log")});
    ASSERT_EQ(logs.size(), 3);
    // Each task said which part it took, from the array's own numbers.
    QString said;
    for (const QString& name : logs)
        said += QString::fromUtf8(TestFiles::ReadFile(png + QLatin1Char('/') + name));
    for (int part = 1; part <= 3; ++part)
        EXPECT_TRUE(said.contains(QStringLiteral("part %1 of 3 (the Slurm array task)").arg(part))) << said.toStdString();
    EXPECT_EQ(QDir(png).entryList({QStringLiteral("report-*.jsonl")}).size(), 3);
    cluster.stop();
}

} // namespace
