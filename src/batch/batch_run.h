// The batch command from its arguments to its exit status.
#pragma once

#include <QProcessEnvironment>
#include <QStringList>

#include <cstdio>

class QIODevice;

namespace Tovanel::Batch {

enum ExitStatus : int {
    AllConverted = 0,
    SomeNotConverted = 1,   // the run still did all it could
    UsageError = 2,         // nothing was read or written
    CannotStart = 3,        // destination, working folder, report or resumed report unusable
    Interrupted = 130,      // SIGINT or SIGTERM
};

// Runs the command; a QCoreApplication must exist. in is standard input (for "-"), out standard output
// (--help, --version, --dry-run's list), err standard error (everything else).
int RunBatch(const QStringList& arguments, const QProcessEnvironment& environment, QIODevice& in, std::FILE* out,
             std::FILE* err);

} // namespace Tovanel::Batch
