// The folder-tree intake shared by "Add All" and folder drops.
#include "add_tree.h"

#include "addfolder.h"
#include "error_trap.h"
#include "form1.h"
#include "main_procs.h"

#include <QCoreApplication>

namespace Tovanel::Intake {

namespace {
// Short enough that no pause is felt, long enough that a list of 100,000 entries isn't laid out again
// after every few files.
constexpr qint64 EventIntervalMs = 15;
} // namespace

EventPacer::EventPacer() { sinceLast_.start(); }

void EventPacer::tick()
{
    if (sinceLast_.elapsed() < EventIntervalMs)
        return;
    QCoreApplication::processEvents();
    sinceLast_.restart();
}

QStringList ScanFolderTree(Form1& form, ErrorTrap& trap, const QString& start)
{
    QStringList folders;
    trap.run(116, [&] { folders = QStringList{start + QLatin1Char('/')}; });
    trap.run(118, [&] { AddFolder::GetSubDirectories2016(folders, true, form.dialogs()); });
    return folders;
}

bool TakesFoundFile(const QString& name, const QString& path)
{
    if (name.startsWith(QLatin1Char('~')))
        return false;
    if (!AddFolder::IsExistingFile(path))
        return false;
    try {
        return Main::GetAttr(path) != (Main::Hidden | Main::Archive);
    } catch (const Failure&) {
        // Gone between the two looks: like a file gone since the listing, it adds nothing and says nothing.
        return false;
    }
}

void AddFolderListFiles(Form1& form, ErrorTrap& trap, const QStringList& folders, const QString& pattern)
{
    EventPacer pacer;
    for (const QString& entry : folders) { // 120
        QString folder;
        trap.run(122, [&] { folder = entry.chopped(1); });
        // A listing that fails is reported and contributes nothing; the names of the folder before must
        // not be joined to this one.
        QStringList names;
        trap.run(124, [&] { names = AddFolder::GetFolderFiles(folder, pattern); });
        for (const QString& name : names) { // 126
            const QString path = folder + QLatin1Char('/') + name; // 130
            bool taken = false;
            trap.run(134, [&] { taken = TakesFoundFile(name, path); });
            if (taken)
                trap.run(134, [&] { form.addListItem(Main::NormalizePath(path)); });
            pacer.tick(); // 136
        }
        pacer.tick();
    }
}

} // namespace Tovanel::Intake
