// The batch command's list: standard input's paths, files as they are, folders by the folder add's code.
#include "batch/batch_inputs.h"

#include "filelist/add_tree.h"
#include "fs/main_procs.h"
#include "platform/error_trap.h"

#include <QFile>
#include <QIODevice>

namespace Tovanel::Batch {

QStringList ReadPathList(QIODevice& in, bool nulSeparated)
{
    const QByteArray all = in.readAll();
    QStringList paths;
    for (const QByteArray& line : all.split(nulSeparated ? '\0' : '\n'))
        if (!line.isEmpty())
            paths << QFile::decodeName(line);
    return paths;
}

QList<Entry> GatherList(const Options& options, QIODevice& in, Dialogs& dialogs)
{
    QList<Entry> list;
    ErrorTrap trap(dialogs, QStringLiteral("in tovanel-batch.GatherList "));
    const QString pattern = Intake::ExtensionPattern(options.extension);
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
    for (const QString& given : paths) {
        QString path = AbsolutePath(given);
        int attributes = 0;
        try {
            attributes = Main::GetAttr(path);
        } catch (const Failure&) {
            // Named but not there: the run says so for it.
        }
        if (!(attributes & Main::Directory)) {
            list << Entry{path, QString()};
            continue;
        }
        while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
            path.chop(1);
        const QString top = Main::NormalizePath(path + QLatin1Char('/'));
        const QStringList folders = Intake::ScanFolderTree(dialogs, trap, path);
        Intake::AddFolderListFiles(trap, folders, pattern, [&](const QString& found) {
            const QString folder = Main::GetFolderPart(found);
            QString sub = folder.startsWith(top) ? folder.mid(top.size()) : QString();
            sub.chop(sub.endsWith(QLatin1Char('/')) ? 1 : 0);
            list << Entry{found, sub};
        });
    }
    return list;
}

} // namespace Tovanel::Batch
