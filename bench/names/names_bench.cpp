// Times BaseOwners::Take, the one call behind every output base of a run and of the batch command's
// plan, over n sources that all share one name, so that each later one takes the next " (k)".
// Usage: tovanel-bench-names [REPEATS [LARGEST]]  (bench/names/run.sh builds and runs it)
//   For each n: the best of REPEATS, in seconds, and the time per source in microseconds, which stays
//   flat when the naming is linear.
#include "best_of.h"
#include "convert/output_names.h"

#include <QCoreApplication>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cstdio>

using namespace Tovanel;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int largest = argc > 2 ? std::atoi(argv[2]) : 100000;
    // A folder that held the first outputs of every tenth " (k)" from an earlier run.
    QSet<QString> onDisk;
    for (int k = 2; k < 100000; k += 10)
        onDisk.insert(QStringLiteral("/out/scan (%1).png").arg(k));
    const auto used = [&](const QString& base) { return onDisk.contains(base); };
    std::printf("%-10s %12s %12s %14s %14s\n", "sources", "list s", "us/source", "list+disk s", "us/source");
    for (const int n : {2500, 5000, 10000, 20000, 100000}) {
        if (n > largest)
            break;
        QStringList sources;
        for (int i = 0; i < n; ++i)
            sources << QStringLiteral("/data/d%1/scan.tif").arg(i);
        const QString own = QStringLiteral("/out/scan.png");
        BaseOwners owners;
        QString last;
        const auto run = [&](const std::function<bool(const QString&)>& disk) {
            return TovanelBench::bestOf(repeats, [&] { owners.clear(); }, [&] {
                for (const QString& source : sources)
                    last = owners.Take(own, source, disk);
            });
        };
        const double fromList = run({});
        const double withDisk = run(used);
        std::printf("%-10d %12.3f %12.2f %14.3f %14.2f   last: %s\n", n, fromList, fromList * 1e6 / n, withDisk,
                    withDisk * 1e6 / n, qPrintable(last));
        std::fflush(stdout);
    }
    return 0;
}
