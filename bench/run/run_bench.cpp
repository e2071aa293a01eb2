// Times whole conversion runs through the real window against ImageMagick, GraphicsMagick and Pillow.
//
// Usage: tovanel_bench_run [--cores] [CORPUS_FOLDER [REPEATS]]  (bench/run/run.sh builds and runs it)
//   CORPUS_FOLDER defaults to the project's bench-corpus (made by bench/make_corpus.sh);
//   each file is one kind. Every figure is the best of REPEATS runs (default 3), all in this one run.
//   --cores: Tovanel only, the whole run pinned to one core (as taskset -c 0 does: the window and
//   every tool it starts) and on all the cores it may use, file by file in the same run; prints per
//   kind the one-core and all-core seconds, the speed-up and the PNG bytes of each.
//   "tools only" runs the splitter and the converter directly on the same file, so the rest of our
//   run's time is the protocol: copies, scripts, shell starts, waits and output copies.
#include "best_of.h"
#include "commands.h"
#include "silent_dialogs.h"
#include "app/form1.h"
#include "ui_form1.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace Tovanel;
using TovanelBench::SilentDialogs;
using TovanelBench::bestOf;
using TovanelBench::EmptyFolder;
using TovanelBench::FailedRuns;
using TovanelBench::RunCounted;

namespace {

// Empties the run's folders and lists source alone, before each timed run of the window.
void listAlone(Form1& form, const QString& temp, const QString& out, const QString& source)
{
    EmptyFolder(temp);
    EmptyFolder(out);
    form.clearList();
    form.addListItem(source);
}

qint64 folderBytes(const QString& folder)
{
    qint64 bytes = 0;
    for (const QFileInfo& f : QDir(folder).entryInfoList({QStringLiteral("*.png")}, QDir::Files))
        bytes += f.size();
    return bytes;
}

// Gives every thread of this process the CPU set; the processes it starts from then on inherit it.
void setAffinity(const cpu_set_t& set)
{
    for (const QString& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        sched_setaffinity(task.toInt(), sizeof set, &set);
}

// One line of the cores table: seconds and PNG bytes on one core and on all.
void printCoresRow(const char* kind, int pages, double one, double all, qint64 bytesOne, qint64 bytesAll)
{
    std::printf("%-22s %5d %9.3f %8.3f %9.2f %6.2f %13lld %13lld %7.4f\n", kind, pages, one, all, one / all, all / one,
                static_cast<long long>(bytesOne), static_cast<long long>(bytesAll),
                double(bytesAll) / double(std::max<qint64>(bytesOne, 1)));
    std::fflush(stdout);
}

// The whole run of each file on the first of this process's CPUs and on all of them, best of repeats.
int compareCores(Form1& form, const QStringList& files, const QString& corpus, const QString& temp,
                 const QString& out, int repeats, const SilentDialogs& dialogs)
{
    cpu_set_t all;
    CPU_ZERO(&all);
    if (sched_getaffinity(0, sizeof all, &all) != 0)
        return 1;
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    std::printf("the whole run through the window, best of %d; seconds; %d cores against one\n", repeats,
                CPU_COUNT(&all));
    std::printf("%-22s %5s %9s %8s %9s %6s %13s %13s %7s\n", "kind", "pages", "1 core s", "all s", "speed-up",
                "all/1", "1-core bytes", "all bytes", "bytes");
    double sumOne = 0, sumAll = 0;
    qint64 bytesOne = 0, bytesAll = 0;
    int sumPages = 0;
    for (const QString& name : files) {
        const QString source = corpus + QLatin1Char('/') + name;
        const auto prepare = [&] { listAlone(form, temp, out, source); };
        const auto convert = [&] { form.ui().PushButton2->click(); };
        setAffinity(one);
        const double s1 = bestOf(repeats, prepare, convert);
        const qint64 b1 = folderBytes(out);
        setAffinity(all);
        const double sAll = bestOf(repeats, prepare, convert);
        const qint64 bAll = folderBytes(out);
        const int pages = QDir(out).entryList({QStringLiteral("*.png")}, QDir::Files).size();
        printCoresRow(qPrintable(name), pages, s1, sAll, b1, bAll);
        sumOne += s1; sumAll += sAll; bytesOne += b1; bytesAll += bAll; sumPages += pages;
    }
    printCoresRow("total", sumPages, sumOne, sumAll, bytesOne, bytesAll);
    std::printf("error reports: %d\n", dialogs.errors);
    return dialogs.errors == 0 ? 0 : 1;
}

const char* const kPillow = R"(import sys
from PIL import Image, ImageSequence
im = Image.open(sys.argv[1])
for i, frame in enumerate(ImageSequence.Iterator(im)):
    frame.save("out-%d.png" % i)
)";

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/tovanel-bench-XXXXXX"));
    TovanelBench::IsolateWindowIn(work.path());
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    const bool cores = args.removeAll(QStringLiteral("--cores")) > 0;
    // Absolute: every tool runs in a folder of its own.
    const QString corpus = QDir(args.size() > 1 ? args[1] : QStringLiteral(TOVANEL_BENCH_CORPUS)).absolutePath();
    const int repeats = args.size() > 2 ? std::max(1, args[2].toInt()) : 3;

    const QString temp = work.path() + QStringLiteral("/temp");
    const QString out = work.path() + QStringLiteral("/out");
    const QString other = work.path() + QStringLiteral("/other");
    qputenv("TEMP", QFile::encodeName(temp));

    SilentDialogs dialogs;
    Form1 form(dialogs, QStringLiteral(TOVANEL_BIN_DIR), Form1::Options{ConversionRun::kDefaultToolTimeoutMs, [] {}});
    form.show();
    form.ui().Option1->setChecked(true);
    form.ui().Text1->setText(out);

    const QStringList files = QDir(corpus).entryList({QStringLiteral("*.tif"), QStringLiteral("*.tiff")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no TIFF files in %s\n", qPrintable(corpus));
        return 1;
    }
    if (cores)
        return compareCores(form, files, corpus, temp, out, repeats, dialogs);
    std::printf("best of %d runs each; times in seconds; ratio = fastest other / Tovanel (above 1: Tovanel faster)\n", repeats);
    std::printf("%-22s %5s %8s %8s %8s %8s %8s %7s %9s %9s\n", "kind", "pages", "Tovanel", "pages/s", "IM", "GM",
                "Pillow", "ratio", "tools", "protocol");
    double sumOurs = 0, sumIm = 0, sumGm = 0, sumPil = 0, sumTools = 0, sumBest = 0;
    int sumPages = 0;
    bool allFaster = true;
    for (const QString& name : files) {
        const QString source = corpus + QLatin1Char('/') + name;
        int pages = 0;
        const double ours = bestOf(repeats, [&] { listAlone(form, temp, out, source); },
                                   [&] { form.ui().PushButton2->click(); });
        pages = QDir(out).entryList({QStringLiteral("*.png")}, QDir::Files).size();

        const double tools = bestOf(repeats, [&] { EmptyFolder(other); }, [&] {
            RunCounted(QStringLiteral(TOVANEL_SPLIT), {source, QStringLiteral("varnholt")}, other);
            for (const QString& page : QDir(other).entryList({QStringLiteral("varnholt*.tif")}, QDir::Files, QDir::Name))
                RunCounted(QStringLiteral(TOVANEL_TOPNG), {QStringLiteral("-out"), QStringLiteral("png"), other + QLatin1Char('/') + page}, other);
        });
        const double im = bestOf(repeats, [&] { EmptyFolder(other); },
                                 [&] { RunCounted(QStringLiteral("/usr/bin/convert"), {source, QStringLiteral("out-%d.png")}, other); });
        const double gm = bestOf(repeats, [&] { EmptyFolder(other); }, [&] {
            RunCounted(QStringLiteral("/usr/bin/gm"), {QStringLiteral("convert"), source, QStringLiteral("+adjoin"), QStringLiteral("out-%d.png")}, other);
        });
        const double pil = bestOf(repeats, [&] { EmptyFolder(other); }, [&] {
            RunCounted(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(kPillow), source}, other);
        });
        const double fastest = std::min({im, gm, pil});
        allFaster = allFaster && ours < fastest;
        std::printf("%-22s %5d %8.3f %8.1f %8.3f %8.3f %8.3f %7.2f %9.3f %8.3f (%4.1f%%)\n", qPrintable(name), pages, ours,
                    pages / ours, im, gm, pil, fastest / ours, tools, ours - tools, 100.0 * (ours - tools) / ours);
        std::fflush(stdout);
        sumOurs += ours; sumIm += im; sumGm += gm; sumPil += pil; sumTools += tools; sumBest += fastest;
        sumPages += pages;
    }
    std::printf("%-22s %5d %8.3f %8.1f %8.3f %8.3f %8.3f %7.2f %9.3f %8.3f (%4.1f%%)\n", "total", sumPages, sumOurs,
                sumPages / sumOurs, sumIm, sumGm, sumPil, sumBest / sumOurs, sumTools, sumOurs - sumTools,
                100.0 * (sumOurs - sumTools) / sumOurs);
    const bool valid = dialogs.errors == 0 && FailedRuns() == 0;
    std::printf("error reports: %d; failed tool runs: %d; faster than the fastest other on every kind: %s\n", dialogs.errors,
                FailedRuns(), !valid ? "not measured (failures)" : allFaster ? "yes" : "no");
    return valid ? 0 : 1;
}
