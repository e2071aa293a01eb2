// tovanel-batch: the conversion run without a window, for scripts, servers and clusters.
#include "batch/batch_run.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tovanel-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOVANEL_VERSION));
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return Tovanel::Batch::CannotStart;
    return Tovanel::Batch::RunBatch(QCoreApplication::arguments(), QProcessEnvironment::systemEnvironment(), in,
                                    stdout, stderr);
}
