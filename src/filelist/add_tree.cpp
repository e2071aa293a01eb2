// The folder-tree intake shared by "Add All", folder drops and the batch command; no widget in it.
#include "filelist/add_tree.h"

#include "fs/addfolder.h"
#include "fs/file.h"
#include "fs/main_procs.h"
#include "platform/error_trap.h"

#include <QCoreApplication>

#include <algorithm>

namespace Tovanel::Intake {

namespace {
// Events run at least this often, so the window never seems to hang...
constexpr qint64 LongestIntervalMs = 20;
constexpr qint64 ShortestIntervalMs = 10;
// ...but get no more than about a fifth of the time: each pass lays out the whole list again, which
// grows with every entry added, and would otherwise take over a long add.
constexpr qint64 WorkPerEventShare = 4;
} // namespace

EventPacer::EventPacer() { sinceLast_.start(); }

void EventPacer::tick()
{
    if (sinceLast_.elapsed() < interval_)
        return;
    QElapsedTimer pass;
    pass.start();
    Fs::ProcessPendingEvents();
    interval_ = std::clamp(pass.elapsed() * WorkPerEventShare, ShortestIntervalMs, LongestIntervalMs);
    sinceLast_.restart();
}

QString WithoutLeadingDot(QString extension)
{
    if (extension.size() > 1 && extension.startsWith(QLatin1Char('.')))
        extension.remove(0, 1);
    return extension;
}

QStringList ScanFolderTree(Dialogs& dialogs, ErrorTrap& trap, const QString& start, QList<QByteArray>* undecodable)
{
    QStringList folders;
    trap.run(116, [&] { folders = QStringList{start + QLatin1Char('/')}; });
    trap.run(118, [&] { AddFolder::GetSubDirectories2016(folders, true, dialogs, undecodable); });
    return folders;
}

bool TakesFoundFile(const QString& name, const QString& path)
{
    if (name.startsWith(QLatin1Char('~')))
        return false;
    int attributes = 0;
    try {
        attributes = Main::GetAttr(path);
    } catch (const Failure&) {
        // Gone since the listing: adds nothing and says nothing.
        return false;
    }
    // The listing only names files that passed the existence test; the archive bit, which the
    // attributes carry exactly for a file (or a link to one), tells whether it still is one. One look
    // at the file instead of two matters over a hundred thousand of them.
    return (attributes & Main::Archive) && attributes != (Main::Hidden | Main::Archive);
}

void AddFolderListFiles(ErrorTrap& trap, const QStringList& folders, const QStringList& extensions,
                        const std::function<void(const QString&)>& add, QList<QByteArray>* undecodable,
                        qsizetype* otherExtension)
{
    EventPacer pacer;
    for (const QString& entry : folders) { // 120
        QString folder;
        trap.run(122, [&] { folder = entry.chopped(1); });
        // A listing that fails is reported and contributes nothing; the names of the folder before must
        // not be joined to this one.
        AddFolder::ExtensionListing listing;
        trap.run(124, [&] { listing = AddFolder::ListByExtension(folder, extensions); });
        if (undecodable)
            undecodable->append(listing.undecodable);
        if (otherExtension)
            *otherExtension += listing.otherExtension;
        for (const QString& name : listing.names) { // 126
            const QString path = folder + QLatin1Char('/') + name; // 130
            bool taken = false;
            trap.run(134, [&] { taken = TakesFoundFile(name, path); });
            if (taken)
                trap.run(134, [&] { add(Main::NormalizePath(path)); });
            pacer.tick(); // 136
        }
        pacer.tick();
    }
}

} // namespace Tovanel::Intake
