// Times "Add All" with "*" over a big folder tree through the real window, against find on the same tree.
#include "fs/addfolder.h"
#include "platform/dialogs.h"
#include "time_find.h"
#include "app/form1.h"
#include "ui_form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// Answers the folder add's two questions; any message box during the add is a fault and is counted.
class AnsweringDialogs : public Tovanel::Dialogs {
public:
    QString folder;
    int messages = 0;
    Tovanel::Answer message(QObject*, const QString&, const QString&, Tovanel::Buttons, Tovanel::Icon,
                            const QString& = QString()) override
    {
        ++messages;
        return Tovanel::Answer::Ok;
    }
    QString inputBox(QObject*, const QString&, const QString&, const QString&) override { return QStringLiteral("*"); }
    QStringList openFiles(QObject*, const Tovanel::OpenFilesRequest&) override { return {}; }
    QString pickFolder(QObject*, const QString&, const QString&) override { return folder; }
    bool openUrl(const QUrl&) override { return false; }
    double random() override { return 0.5; }
};

double Seconds(const QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e9; }

// Files that "Add All" with "*" takes: every regular file but the ordinary hidden ones (the tree's
// ".complete" marker is one).
long long CountExpected(const std::string& root)
{
    const std::string command = "find '" + root + "' -type f ! -name '.*' | wc -l";
    FILE* pipe = ::popen(command.c_str(), "r");
    long long n = -1;
    if (!pipe || std::fscanf(pipe, "%lld", &n) != 1)
        n = -1;
    if (pipe)
        ::pclose(pipe);
    return n;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Measures the longest time in which no event was processed: a precise timer asks to run every few
// milliseconds, so the gap between two of its runs is how long the window could not answer.
class StallMeter {
public:
    // where: what the work had reached, read when the longest stretch ends.
    explicit StallMeter(std::function<int()> where) : where_(std::move(where))
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] { mark(); });
    }
    void start()
    {
        longest_ = 0;
        ticks_ = 0;
        clock_.start();
        last_ = 0;
        timer_.start();
    }
    double stop()
    {
        mark();
        timer_.stop();
        return static_cast<double>(longest_) / 1e6;
    }
    long long ticks() const { return ticks_; }
    int where() const { return whereLongest_; }
private:
    void mark()
    {
        const qint64 now = clock_.nsecsElapsed();
        if (now - last_ > longest_) {
            longest_ = now - last_;
            whereLongest_ = where_();
        }
        last_ = now;
        ++ticks_;
    }
    std::function<int()> where_;
    int whereLongest_ = 0;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
    long long ticks_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <tree folder made by tovanel-bench-fs> [runs]\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    struct stat st;
    if (::stat((root + "/.complete").c_str(), &st) != 0) {
        std::fprintf(stderr, "%s is not a finished benchmark tree (build it with bench/fs/run.sh)\n", root.c_str());
        return 2;
    }
    const QString qroot = QFileInfo(QFile::decodeName(QByteArray(root.c_str()))).absoluteFilePath();
    // The window saves "Extension" and "LastFolder": they go to a settings folder of this run, beside the
    // tree, never to the user's own.
    QTemporaryDir config(QFileInfo(qroot).path() + QStringLiteral("/bench-intake-config-XXXXXX"));
    if (!config.isValid()) {
        std::fprintf(stderr, "cannot make a settings folder beside %s\n", root.c_str());
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));

    QApplication app(argc, argv);
    AnsweringDialogs dialogs;
    dialogs.folder = qroot;
    Tovanel::Form1 form(dialogs, QStringLiteral(TOVANEL_BIN_DIR));
    form.show();
    QApplication::processEvents();
    const long long expected = CountExpected(root);
    TovanelBench::TimeFind(root); // every measurement starts from a warm cache

    // The list alone: the same number of entries appended with events processed as often as the add does.
    StallMeter meter([&form] { return form.listCount(); });
    QElapsedTimer timer;
    {
        const int n = static_cast<int>(std::max(0LL, expected));
        QElapsedTimer pace;
        pace.start();
        meter.start();
        timer.start();
        for (int i = 0; i < n; ++i) {
            form.addListItem(QStringLiteral("%1/Scan %2/page set %3/Report-%4.TIF").arg(qroot).arg(i % 100).arg(i % 99).arg(i % 10));
            if (pace.elapsed() >= 15) {
                QApplication::processEvents();
                pace.restart();
            }
        }
        const double listOnly = Seconds(timer);
        const double listStall = meter.stop();
        std::printf("list alone:     %.3f s for %d entries, longest stretch without events %.1f ms\n", listOnly, n,
                    listStall);
        // What each event pass costs at the end of a big add: the view lays the whole list out again.
        timer.start();
        form.ui().ListView1->doItemsLayout();
        std::printf("one layout of the list at %d entries: %.1f ms\n", n, Seconds(timer) * 1e3);
        form.clearList();
        QApplication::processEvents();
    }
    // The file system alone: the scan and every folder's listing, nothing added.
    {
        timer.start();
        QStringList folders{qroot + QLatin1Char('/')};
        Tovanel::AddFolder::GetSubDirectories2016(folders, true, dialogs);
        long long files = 0;
        for (const QString& f : folders)
            files += Tovanel::AddFolder::GetFolderFiles(f.chopped(1), QStringLiteral("*.*")).size();
        std::printf("scan + listing: %.3f s for %lld folders, %lld names\n", Seconds(timer),
                    static_cast<long long>(folders.size()), files);
    }

    std::vector<double> addTimes, findTimes, stalls;
    int listed = 0;
    for (int i = 0; i < runs; ++i) {
        form.clearList();
        QApplication::processEvents();
        findTimes.push_back(TovanelBench::TimeFind(root));
        meter.start();
        timer.start();
        form.ui().PushButton3->click();
        addTimes.push_back(Seconds(timer));
        stalls.push_back(meter.stop());
        listed = form.listCount();
        std::printf("run %d: Add All %.3f s, find %.3f s, longest stretch without events %.1f ms at %d entries (%lld timer runs)\n",
                    i + 1, addTimes.back(), findTimes.back(), stalls.back(), meter.where(), meter.ticks());
    }
    const double add = Median(addTimes);
    const double find = Median(findTimes);
    std::printf("listed: %d of %lld files, %d message boxes\n", listed, expected, dialogs.messages);
    std::printf("Add All \"*\":   %.3f s (median of %d)\n", add, runs);
    std::printf("find -type f:   %.3f s (median of %d)\n", find, runs);
    std::printf("ratio:          %.1f (goal: at most 10)\n", add / find);
    std::printf("longest stretch without processed events: %.1f ms (worst of %d runs; goal: at most 100)\n",
                *std::max_element(stalls.begin(), stalls.end()), runs);
    return listed == expected && dialogs.messages == 0 ? 0 : 1;
}
