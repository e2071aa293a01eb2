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

QString Numbered(const QString& stem, int k)
{
    return stem + QStringLiteral(" (") + QString::number(k) + QStringLiteral(").png");
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
    QString taken = own;
    if (owners_.value(own, source) != source) {
        const QString stem = own.left(own.size() - 4);   // the base always ends in ".png"
        // The first " (k)" that this source already writes under or that is free. Below nextFree_ every
        // number is taken (owners never change) or on disk (listed once per run), so only one this
        // source holds itself can be there.
        int& next = nextFree_[stem];
        next = qMax(next, 2);
        const int mine = ownNumber_.value(qMakePair(stem, source), 0);
        if (mine != 0 && mine < next) {
            taken = Numbered(stem, mine);
        } else {
            for (int k = next;; ++k) {
                taken = Numbered(stem, k);
                // The run never replaces a file it did not write.
                if (owners_.value(taken) == source || (!owners_.contains(taken) && !(usedOnDisk && usedOnDisk(taken)))) {
                    next = k + 1;
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
        if (where == Destination::Folder)
            own = OwnOutputBase(EntryOutputFolder(host, position), source);
        else if (where == Destination::BesideSource)
            own = OwnOutputBase(Main::GetFolderPart(source), source);
        bases << PlannedBase{own, owners.Take(own, source)};
    }
    return bases;
}

} // namespace Tovanel
