// Output names over the whole list: each source's own base and the " (k)" of a later source.
#include "convert/output_names.h"

#include "convert/name_template.h"
#include "fs/main_procs.h"

namespace Tovanel {

namespace {

// The base own takes as the k-th source of its name: own itself for the first; then " (k)" where the
// name template marks it, or before the ".png" that ends the base.
QString CopyBase(const QString& own, int k)
{
    const QString copy = k == 1 ? QString() : QStringLiteral(" (") + QString::number(k) + QLatin1Char(')');
    if (own.contains(kCopyMark)) {
        QString base = own;
        return base.replace(kCopyMark, copy);
    }
    return k == 1 ? own : own.left(own.size() - 4) + copy + QStringLiteral(".png");
}

} // namespace

QString OutputName(const QString& base, int n, int pages)
{
    const qsizetype mark = base.indexOf(kPageMark);
    if (mark < 0)
        return base + QLatin1Char('_') + QString::number(n) + QStringLiteral(".png");
    QString name = base;
    const int width = mark + 1 < name.size() ? name[mark + 1].unicode() - u'0' : 0;
    name.replace(mark, 2, QString::number(n).rightJustified(width, QLatin1Char('0')));
    return name.replace(kPagesMark, QString::number(pages));
}

QString OutputPattern(const QString& base)
{
    const qsizetype mark = base.indexOf(kPageMark);
    if (mark < 0)
        return CopyBase(base, 1) + QStringLiteral("_N.png");
    QString pattern = CopyBase(base, 1);
    pattern.replace(pattern.indexOf(kPageMark), 2, QStringLiteral("N"));
    return pattern.replace(kPagesMark, QStringLiteral("M"));
}

QString OwnBaseOf(const RunHost& host, int position, const QString& source, Destination where)
{
    const NameTemplate* names = host.nameTemplate();
    if (where == Destination::Folder)
        return names ? names->Key(names->hasDir() ? host.destinationFolder() : EntryOutputFolder(host, position),
                                  source, host.outputSubfolder(position))
                     : OwnOutputBase(EntryOutputFolder(host, position), source);
    if (where == Destination::BesideSource)
        return names ? names->Key(Main::GetFolderPart(source), source, QString())
                     : OwnOutputBase(Main::GetFolderPart(source), source);
    return QString();
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
    QString taken = CopyBase(own, 1);
    if (owners_.value(taken, source) != source) {
        for (int k = 2;; ++k) {
            taken = CopyBase(own, k);
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
        if (where != Destination::None)
            own = OwnBaseOf(host, position, source, where);
        bases << PlannedBase{QString(own).remove(kCopyMark), owners.Take(own, source)};
    }
    return bases;
}

} // namespace Tovanel
