// Output names over the whole list: each source's own base and the " (k)" of a later source.
#include "convert/output_names.h"

#include "fs/main_procs.h"

namespace Tovanel {

QString OutputName(const QString& base, int n)
{
    return base + QLatin1Char('_') + QString::number(n) + QStringLiteral(".png");
}

QString OwnOutputBase(const QString& folder, const QString& source)
{
    return Main::NormalizePath(folder + QLatin1Char('/') + Main::StripExtension(Main::GetFileNamePart(source))
                               + QStringLiteral(".png"));
}

QString EntryOutputFolder(const RunHost& host, int position)
{
    const QString subfolder = host.outputSubfolder(position);
    return subfolder.isEmpty() ? host.destinationFolder() : host.destinationFolder() + QLatin1Char('/') + subfolder;
}

QString BaseOwners::Take(const QString& own, const QString& source,
                         const std::function<bool(const QString& base)>& usedOnDisk)
{
    if (own.isEmpty())
        return own;
    QString taken = own;
    if (owners_.value(own, source) != source) {
        const QString stem = own.left(own.size() - 4);   // the base always ends in ".png"
        for (int k = 2;; ++k) {
            taken = stem + QStringLiteral(" (") + QString::number(k) + QStringLiteral(").png");
            // The run never replaces a file it did not write.
            if (owners_.value(taken) == source || (!owners_.contains(taken) && !(usedOnDisk && usedOnDisk(taken))))
                break;
        }
    }
    owners_.insert(taken, source);
    return taken;
}

QList<PlannedBase> PlanOutputBases(const RunHost& host)
{
    BaseOwners owners;
    QList<PlannedBase> bases;
    QString own;   // with no destination chosen, the base of the file before stays
    const Destination where = host.destination();
    for (int position = 1; position <= host.listCount(); ++position) {
        const QString source = host.listText(position);
        if (source.isEmpty()) {
            bases << PlannedBase();
            continue;
        }
        if (where == Destination::Folder)
            own = OwnOutputBase(EntryOutputFolder(host, position), source);
        else if (where == Destination::BesideSource)
            own = OwnOutputBase(Main::GetFolderPart(source), source);
        bases << PlannedBase{own, owners.Take(own, source)};
    }
    return bases;
}

} // namespace Tovanel
