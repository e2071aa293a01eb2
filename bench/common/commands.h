// What benchmarks that time other programs share: running one, with every failed run counted (a tool
// that fails looks fast), and a fresh empty folder before each timed run.
#pragma once

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace TovanelBench {

// The runs so far that did not end with status 0.
inline int& FailedRuns()
{
    static int failed = 0;
    return failed;
}

// Runs program in folder, its output thrown away and its errors passed on; a failure is counted.
inline void RunCounted(const QString& program, const QStringList& args, const QString& folder)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    if (!(p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0))
        ++FailedRuns();
}

inline void EmptyFolder(const QString& folder)
{
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
}

} // namespace TovanelBench
