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
    if (QString planned = host.plannedBase(position); !planned.isEmpty())
        return planned;
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

namespace {

// The stem and k of a base "stem (k).png" (k written as the loop below writes it); false for others.
bool SplitNumbered(const QString& base, QString& stem, int& k)
{
    if (!base.endsWith(QStringLiteral(").png")))
        return false;
    const qsizetype open = base.lastIndexOf(QStringLiteral(" ("));
    if (open < 0)
        return false;
    const QStringView digits = QStringView(base).mid(open + 2, base.size() - 5 - (open + 2));
    if (digits.isEmpty() || digits.front() == u'0')
        return false;
    for (QChar c : digits)
        if (!c.isDigit() || c.unicode() > '9')
            return false;
    bool ok = false;
    k = digits.toInt(&ok);
    stem = base.left(open);
    return ok && k >= 2;
}

} // namespace

void BaseOwners::clear()
{
    owners_.clear();
    nextFree_.clear();
    ownNumber_.clear();
}

void BaseOwners::Remember(const QString& base, const QString& source)
{
    owners_.insert(base, source);
    QString stem;
    int k = 0;
    if (SplitNumbered(base, stem, k)) {
        int& lowest = ownNumber_[qMakePair(stem, source)];
        if (lowest == 0 || k < lowest)
            lowest = k;
    }
}

QString BaseOwners::Take(const QString& own, const QString& source,
                         const std::function<bool(const QString& base)>& usedOnDisk)
{
    if (own.isEmpty())
        return own;
    QString taken = CopyBase(own, 1);
    if (owners_.value(taken, source) != source) {
        // A name template's base is counted by itself, the window's by its stem.
        const bool templated = own.contains(kCopyMark);
        const QString key = templated ? own : own.left(own.size() - 4);   // the base always ends in ".png"
        // The first " (k)" that this source already writes under or that is free. Below nextFree_ every
        // number is taken (owners never change) or on disk (listed once per run), so only one this
        // source holds itself can be there.
        int& next = nextFree_[key];
        next = qMax(next, 2);
        const int mine = ownNumber_.value(qMakePair(key, source), 0);
        if (mine != 0 && mine < next) {
            taken = CopyBase(own, mine);
        } else {
            for (int k = next;; ++k) {
                taken = CopyBase(own, k);
                // The run never replaces a file it did not write.
                if (owners_.value(taken) == source || (!owners_.contains(taken) && !(usedOnDisk && usedOnDisk(taken)))) {
                    next = k + 1;
                    if (templated)
                        ownNumber_.insert(qMakePair(key, source), k);
                    break;
                }
            }
        }
    }
    Remember(taken, source);
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
