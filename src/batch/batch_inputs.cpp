// The batch command's list: standard input's paths, files as they are, folders by the folder add's code.
#include "batch/batch_inputs.h"

#include "filelist/add_tree.h"
#include "fs/main_procs.h"
#include "platform/error_trap.h"

#include <QIODevice>
#include <QSet>

namespace Tovanel::Batch {

QStringList ReadPathList(QIODevice& in, bool nulSeparated)
{
    const QByteArray all = in.readAll();
    QStringList paths;
    for (const QByteArray& line : all.split(nulSeparated ? '\0' : '\n'))
        if (!line.isEmpty())
            paths << Main::DecodeKeepingBytes(line);
    return paths;
}

Gathered GatherList(const Options& options, QIODevice& in, Dialogs& dialogs)
{
    Gathered gathered;
    ErrorTrap trap(dialogs, QStringLiteral("in tovanel-batch.GatherList "));
    QStringList extensions;
    for (const QString& extension : options.extensions)
        extensions << Intake::WithoutLeadingDot(extension);
    QStringList paths;
    bool stdinRead = false;
    for (const QString& given : options.paths) {
        if (given == QLatin1String("-")) {
            if (!stdinRead)
                paths << ReadPathList(in, options.nulSeparated);
            stdinRead = true;
        } else {
            paths << given;
        }
    }
    QSet<QString> listed;
    const auto take = [&](const QString& path, const QString& subfolder) {
        if (listed.contains(path)) {
            ++gathered.repeated;
            return;
        }
        listed.insert(path);
        gathered.list << Entry{path, subfolder};
    };
    for (const QString& given : paths) {
        QString path = AbsolutePath(given);
        int attributes = 0;
        try {
            attributes = Main::GetAttr(path);
        } catch (const Failure&) {
            // Named but not there: the run says so for it.
        }
        if (!(attributes & Main::Directory)) {
            take(path, QString());
            continue;
        }
        while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
            path.chop(1);
        const QString top = Main::NormalizePath(path + QLatin1Char('/'));
        const QStringList folders = Intake::ScanFolderTree(dialogs, trap, path);
        Intake::AddFolderListFiles(
            trap, folders, extensions,
            [&](const QString& found) {
                const QString folder = Main::GetFolderPart(found);
                QString sub = folder.startsWith(top) ? folder.mid(top.size()) : QString();
                sub.chop(sub.endsWith(QLatin1Char('/')) ? 1 : 0);
                take(found, sub);
            },
            nullptr, &gathered.otherExtension);
    }
    return gathered;
}

} // namespace Tovanel::Batch
