// The batch tests' fixture: a folder of its own (sources, outputs, TEMP), the built tovanel-batch run
// as a child process, and the files of a folder tree read back for byte-for-byte comparison.
#pragma once

#include "convert_tiff_maker.h"
#include "test_files.h"

#include <QDir>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace Tovanel::BatchTest {

using namespace Qt::StringLiterals;

struct Result {
    int exit = -1;
    QByteArray out;
    QByteArray err;
};

using TestFiles::Tree;

// The names of Tree(folder), for messages that show what differs.
inline std::string Names(const QMap<QString, QByteArray>& tree) { return tree.keys().join(u',').toStdString(); }

class BatchFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(work.isValid());
        root = work.path();
        src = root + u"/src"_s;
        out = root + u"/out"_s;
        temp = root + u"/temp"_s;
        for (const QString& d : {src, out, temp})
            ASSERT_TRUE(QDir().mkpath(d));
        env = QProcessEnvironment::systemEnvironment();
        env.insert(u"TEMP"_s, temp);
        // A test suite that itself runs as a Slurm array task must not hand its part to the program.
        for (const QString& name : env.keys())
            if (name.startsWith(QLatin1String("SLURM_")))
                env.remove(name);
    }

    // Writes a TIFF of pages at src/relative (folders made as needed); returns its path.
    QString tiff(const QString& relative, const QList<TestTiff::Page>& pages)
    {
        const QString path = src + u'/' + relative;
        EXPECT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
        EXPECT_TRUE(TestTiff::Write(path, pages)) << path.toStdString();
        return path;
    }

    // args with $SRC, $OUT and $ROOT put in; the program started in root, input on its stdin.
    QProcess* start(QStringList args, const QByteArray& input = QByteArray(), const QProcessEnvironment& with = {})
    {
        for (QString& arg : args)
            arg.replace(u"$SRC"_s, src).replace(u"$OUT"_s, out).replace(u"$ROOT"_s, root);
        QProcessEnvironment all = env;
        for (const QString& name : with.keys())
            all.insert(name, with.value(name));
        auto* process = new QProcess;
        process->setProcessEnvironment(all);
        process->setWorkingDirectory(root);
        process->start(QStringLiteral(TOVANEL_BATCH_EXE), args);
        process->waitForStarted();
        process->write(input);
        process->closeWriteChannel();
        return process;
    }
    Result finish(QProcess* process)
    {
        Result r;
        if (process->waitForFinished(120000) && process->exitStatus() == QProcess::NormalExit)
            r.exit = process->exitCode();
        r.out = process->readAllStandardOutput();
        r.err = process->readAllStandardError();
        delete process;
        return r;
    }
    Result batch(const QStringList& args, const QByteArray& input = QByteArray(), const QProcessEnvironment& with = {})
    {
        return finish(start(args, input, with));
    }

    QTemporaryDir work;
    QString root, src, out, temp;
    QProcessEnvironment env;
};

} // namespace Tovanel::BatchTest
