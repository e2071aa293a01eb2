// Converts one file through the real window ("Start Converting", offscreen), and the same pages with the
// tools alone, so that the rest of the run's time (the protocol per page) can be taken apart.
//
// Usage: tovanel-bench-pagecost FILE [RUNS] [window|tools|both]   (default: 3 runs, both)
// Prints the best time of each. Run it under strace -f or perf to see where a page's fixed cost goes.
#include "silent_dialogs.h"
#include "app/form1.h"
#include "ui_form1.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace Tovanel;
using TovanelBench::SilentDialogs;

namespace {

void emptyFolder(const QString& folder)
{
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
}

bool run(const QString& program, const QStringList& args, const QString& folder)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/tovanel-pagecost-XXXXXX"));
    TovanelBench::IsolateWindowIn(work.path());
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: tovanel-bench-pagecost FILE [RUNS] [window|tools|both]\n");
        return 2;
    }
    const QString source = QFileInfo(args[1]).absoluteFilePath();
    const int runs = args.size() > 2 ? std::max(1, args[2].toInt()) : 3;
    const QString mode = args.size() > 3 ? args[3] : QStringLiteral("both");
    const QString temp = work.path() + QStringLiteral("/temp"), out = work.path() + QStringLiteral("/out"),
                  other = work.path() + QStringLiteral("/other");
    qputenv("TEMP", QFile::encodeName(temp));

    SilentDialogs dialogs;
    Form1 form(dialogs, QStringLiteral(TOVANEL_BIN_DIR), Form1::Options{ConversionRun::kDefaultToolTimeoutMs, [] {}});
    form.show();
    form.ui().Option1->setChecked(true);
    form.ui().Text1->setText(out);

    double window = 1e300, tools = 1e300;
    int pages = 0, failed = 0;
    for (int i = 0; i < runs; ++i) {
        if (mode != QLatin1String("tools")) {
            emptyFolder(temp);
            emptyFolder(out);
            form.clearList();
            form.addListItem(source);
            QElapsedTimer t;
            t.start();
            form.ui().PushButton2->click();
            window = std::min(window, t.nsecsElapsed() / 1e9);
            pages = QDir(out).entryList({QStringLiteral("*.png")}, QDir::Files).size();
        }
        if (mode != QLatin1String("window")) {
            emptyFolder(other);
            QElapsedTimer t;
            t.start();
            failed += !run(QStringLiteral(TOVANEL_SPLIT), {source, QStringLiteral("varnholt")}, other);
            for (const QString& page : QDir(other).entryList({QStringLiteral("varnholt*.tif")}, QDir::Files, QDir::Name))
                failed += !run(QStringLiteral(TOVANEL_TOPNG),
                               {QStringLiteral("-out"), QStringLiteral("png"), other + QLatin1Char('/') + page}, other);
            tools = std::min(tools, t.nsecsElapsed() / 1e9);
        }
    }
    std::printf("pages %d; window run %.3f s; tools alone %.3f s; error reports %d; failed tool runs %d\n", pages,
                window < 1e300 ? window : 0.0, tools < 1e300 ? tools : 0.0, dialogs.errors, failed);
    return dialogs.errors || failed ? 1 : 0;
}
