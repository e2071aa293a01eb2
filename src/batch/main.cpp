// tovanel-batch: the conversion run without a window, for scripts, servers and clusters.
#include "batch/batch_run.h"
#include "fs/main_procs.h"

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
    // The arguments by their bytes: a name that is not UTF-8 must still name its file.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << Tovanel::Main::DecodeKeepingBytes(QByteArray(argv[i]));
    return Tovanel::Batch::RunBatch(arguments, QProcessEnvironment::systemEnvironment(), in, stdout, stderr);
}
