// Times a folder add's work (scan, then every folder's "*.*" listing) against find on the same tree.
#include "common/file.h"
#include "fs/addfolder.h"
#include "silent_dialogs.h"
#include "time_find.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool MakeDir(const std::string& path)
{
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool MakeFile(const std::string& path)
{
    return Tovanel::Fs::File(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)).valid();
}

// 100 folders of 99 subfolders each: 10,000 folders; 10 files in each: 100,000 files.
bool MakeTree(const std::string& root)
{
    if (!MakeDir(root))
        return false;
    for (int a = 0; a < 100; ++a) {
        char top[32];
        std::snprintf(top, sizeof top, "/Scan %02d", a);
        const std::string topPath = root + top;
        if (!MakeDir(topPath))
            return false;
        for (int b = -1; b < 99; ++b) {
            std::string folder = topPath;
            if (b >= 0) {
                char sub[32];
                std::snprintf(sub, sizeof sub, "/page set %02d", b);
                folder += sub;
                if (!MakeDir(folder))
                    return false;
            }
            for (int f = 0; f < 10; ++f) {
                char name[32];
                std::snprintf(name, sizeof name, "/Report-%d.TIF", f);
                if (!MakeFile(folder + name))
                    return false;
            }
        }
    }
    return MakeFile(root + "/.complete");
}

double TimeScan(const QString& root, qsizetype& folders, qsizetype& files, int& shown)
{
    // A box shown during the scan is a fault here: it is counted and reported.
    TovanelBench::SilentDialogs dialogs;
    QElapsedTimer timer;
    timer.start();
    QStringList list{root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/')};
    Tovanel::AddFolder::GetSubDirectories2016(list, true, dialogs);
    files = 0;
    for (const QString& folder : list)
        files += Tovanel::AddFolder::GetFolderFiles(folder, QStringLiteral("*.*")).size();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    folders = list.size();
    shown = dialogs.shown;
    return seconds;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv); // the scan processes events as it would in the window
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <tree folder> [runs]\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    struct stat st;
    if (::stat((root + "/.complete").c_str(), &st) != 0) {
        std::printf("building the tree in %s ...\n", root.c_str());
        if (!MakeTree(root)) {
            std::perror(root.c_str());
            return 1;
        }
    }
    const QString qroot = QFile::decodeName(QByteArray(root.c_str()));
    qsizetype folders = 0, files = 0;
    int shown = 0;
    TovanelBench::TimeFind(root); // both start from a warm cache
    TimeScan(qroot, folders, files, shown);
    std::vector<double> scanTimes, findTimes;
    for (int i = 0; i < runs; ++i) {
        findTimes.push_back(TovanelBench::TimeFind(root));
        scanTimes.push_back(TimeScan(qroot, folders, files, shown));
    }
    const double scan = Median(scanTimes);
    const double find = Median(findTimes);
    std::printf("tree: %lld folders, %lld files listed (\".complete\" marker included), %d reports\n",
                static_cast<long long>(folders), static_cast<long long>(files), shown);
    std::printf("scan + listing: %.3f s (median of %d)\n", scan, runs);
    std::printf("find -type f:   %.3f s (median of %d)\n", find, runs);
    std::printf("ratio: %.2f (goal: at most 5)\n", scan / find);
    return 0;
}
