// Times tovanel-batch on the whole benchmark corpus as one list against the window's whole run of the
// same list, and against other converters under GNU parallel with as many jobs as cores.
//
// Usage: tovanel_bench_batch [CORPUS_FOLDER [REPEATS]]  (bench/batch/run.sh builds and runs it)
//   Every figure is the best of REPEATS runs (default 3). The window and the batch command must give
//   the same files, byte for byte; the others write their own names, so only their time counts.
#include "best_of.h"
#include "commands.h"
#include "silent_dialogs.h"
#include "app/form1.h"
#include "ui_form1.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
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

QMap<QString, QByteArray> pngs(const QString& folder)
{
    QMap<QString, QByteArray> files;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("*.png")}, QDir::Files)) {
        QFile f(folder + QLatin1Char('/') + name);
        f.open(QIODevice::ReadOnly);
        files.insert(name, f.readAll());
    }
    return files;
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2) : QString();
}

const char* const kPillow = R"(import sys
from PIL import Image, ImageSequence
im = Image.open(sys.argv[1])
for i, frame in enumerate(ImageSequence.Iterator(im)):
    frame.save("%s-%d.png" % (sys.argv[2], i))
)";

void printRow(const char* what, double seconds, int pages, double reference)
{
    std::printf("%-44s %8.3f %8.1f %8.2f\n", what, seconds, pages / seconds, seconds / reference);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/tovanel-bench-XXXXXX"));
    TovanelBench::IsolateWindowIn(work.path());
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString corpus = QDir(args.size() > 1 ? args[1] : QStringLiteral(TOVANEL_BENCH_CORPUS)).absolutePath();
    const int repeats = args.size() > 2 ? std::max(1, args[2].toInt()) : 3;
    const QString temp = work.path() + QStringLiteral("/temp");
    const QString out = work.path() + QStringLiteral("/out");
    const QString other = work.path() + QStringLiteral("/other");
    qputenv("TEMP", QFile::encodeName(temp));

    QStringList files;
    for (const QString& name : QDir(corpus).entryList({QStringLiteral("*.tif"), QStringLiteral("*.tiff")}, QDir::Files, QDir::Name))
        files << corpus + QLatin1Char('/') + name;
    if (files.isEmpty()) {
        std::fprintf(stderr, "no TIFF files in %s\n", qPrintable(corpus));
        return 1;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    const int cores = CPU_COUNT(&set);
    const QString jobs = QString::number(cores);
    const QString pillow = work.path() + QStringLiteral("/pillow.py");
    {
        QFile f(pillow);
        f.open(QIODevice::WriteOnly);
        f.write(kPillow);
    }

    SilentDialogs dialogs;
    Form1 form(dialogs, QStringLiteral(TOVANEL_BIN_DIR), Form1::Options{ConversionRun::kDefaultToolTimeoutMs, [] {}});
    form.show();
    form.ui().Option1->setChecked(true);
    form.ui().Text1->setText(out);
    const auto listAll = [&] {
        EmptyFolder(temp);
        EmptyFolder(out);
        form.clearList();
        for (const QString& file : files)
            form.addListItem(file);
    };
    const auto fresh = [&] {
        EmptyFolder(temp);
        EmptyFolder(out);
    };

    const QString before = loadAverage();
    const double window = bestOf(repeats, listAll, [&] { form.ui().PushButton2->click(); });
    const QMap<QString, QByteArray> fromWindow = pngs(out);
    const int pages = static_cast<int>(fromWindow.size());
    const double batch = bestOf(repeats, fresh, [&] {
        RunCounted(QStringLiteral(TOVANEL_BATCH), QStringList{QStringLiteral("--quiet"), QStringLiteral("--out"), out} + files, work.path());
    });
    const bool same = pngs(out) == fromWindow;
    const double shards = bestOf(repeats, fresh, [&] {
        RunCounted(QStringLiteral("parallel"),
            QStringList{QStringLiteral("-j"), jobs, QStringLiteral(TOVANEL_BATCH), QStringLiteral("--quiet"),
                        QStringLiteral("--shard"), QStringLiteral("{}/") + jobs, QStringLiteral("--out"), out}
                + files + QStringList{QStringLiteral(":::")} + [&] {
                      QStringList parts;
                      for (int i = 1; i <= cores; ++i)
                          parts << QString::number(i);
                      return parts;
                  }(),
            work.path());
    });
    const bool sameSharded = pngs(out) == fromWindow;
    const QStringList each = QStringList{QStringLiteral(":::")} + files;
    const double im = bestOf(repeats, [&] { EmptyFolder(other); }, [&] {
        RunCounted(QStringLiteral("parallel"),
            QStringList{QStringLiteral("-q"), QStringLiteral("-j"), jobs, QStringLiteral("/usr/bin/convert"), QStringLiteral("{}"),
                        other + QStringLiteral("/{/.}-%d.png")} + each, other);
    });
    const double gm = bestOf(repeats, [&] { EmptyFolder(other); }, [&] {
        RunCounted(QStringLiteral("parallel"),
            QStringList{QStringLiteral("-q"), QStringLiteral("-j"), jobs, QStringLiteral("/usr/bin/gm"), QStringLiteral("convert"),
                        QStringLiteral("{}"), QStringLiteral("+adjoin"), other + QStringLiteral("/{/.}-%d.png")} + each, other);
    });
    const double pil = bestOf(repeats, [&] { EmptyFolder(other); }, [&] {
        RunCounted(QStringLiteral("parallel"),
            QStringList{QStringLiteral("-q"), QStringLiteral("-j"), jobs, QStringLiteral("/usr/bin/python3"), pillow,
                        QStringLiteral("{}"), other + QStringLiteral("/{/.}")} + each, other);
    });
    const QString after = loadAverage();

    std::printf("the benchmark corpus as one list: %lld files, %d pages; best of %d; %d cores; load average %s before, %s after\n",
                static_cast<long long>(files.size()), pages, repeats, cores, qPrintable(before), qPrintable(after));
    std::printf("%-44s %8s %8s %8s\n", "", "seconds", "pages/s", "/window");
    printRow("tovanel, the window's whole run", window, pages, window);
    printRow("tovanel-batch", batch, pages, window);
    printRow(qPrintable(QStringLiteral("tovanel-batch, %1 shards under parallel -j%1").arg(cores)), shards, pages, window);
    printRow(qPrintable(QStringLiteral("ImageMagick convert, parallel -j%1").arg(cores)), im, pages, window);
    printRow(qPrintable(QStringLiteral("GraphicsMagick gm convert, parallel -j%1").arg(cores)), gm, pages, window);
    printRow(qPrintable(QStringLiteral("Pillow, parallel -j%1").arg(cores)), pil, pages, window);
    std::printf("the same PNG files, byte for byte, from the window, the batch command and its shards: %s\n",
                same && sameSharded ? "yes" : "NO");
    std::printf("error reports: %d; failed runs: %d\n", dialogs.errors, FailedRuns());
    return same && sameSharded && dialogs.errors == 0 && FailedRuns() == 0 ? 0 : 1;
}
