// Output names, decided over the whole list in list order: every shard of a list and a resumed run
// name every page as one run over the whole list does.
#pragma once

#include "convert/run_host.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace Tovanel {

// The name of output n (1-based) of a file of pages pages whose output base is base.
QString OutputName(const QString& base, int n, int pages = 0);

// The names of a base's outputs as the closing words show them: "scan.png_N.png".
QString OutputPattern(const QString& base);

// The own base of the source at position with the destination where (empty for None): its name less
// its extension, then ".png", in its output folder; with the host's name template, the template's key.
QString OwnBaseOf(const RunHost& host, int position, const QString& source, Destination where);

// A source's own output base in folder: its name less its last extension (a name without one is taken
// whole), then ".png".
QString OwnOutputBase(const QString& folder, const QString& source);

// The folder the outputs of the entry at position go into with the folder destination: the destination
// folder, or the host's subfolder of it.
QString EntryOutputFolder(const RunHost& host, int position);

// Which source writes under which base: the first source to come to a base keeps it; a later source
// with the same own base takes the first " (k)" that no other source of the list has, and, where
// usedOnDisk is given, that has no outputs in its folder from before the run.
class BaseOwners {
public:
    // The base source writes under, own being its own base; remembered for the sources after it.
    QString Take(const QString& own, const QString& source,
                 const std::function<bool(const QString& base)>& usedOnDisk = {});
    void clear();

private:
    void Remember(const QString& base, const QString& source);

    QHash<QString, QString> owners_;   // output base -> the source that writes under it
    // Per stem (a base less ".png"): every " (k)" below this one is taken or was already on disk, so
    // the next source of that stem looks from here on, and a run of n sources stays linear.
    QHash<QString, int> nextFree_;
    // Per stem and source: the lowest " (k)" that source writes under, which it keeps when it comes again.
    QHash<QPair<QString, QString>, int> ownNumber_;
};

// An entry's own base, and the base its outputs take (another when an earlier source had its own).
struct PlannedBase {
    QString own;
    QString base;
};
// The output bases of every entry of the host's list as a run over the whole list gives them (entry at
// position p at index p - 1); empty for an entry that cannot be read or when nothing is written.
QList<PlannedBase> PlanOutputBases(const RunHost& host);

} // namespace Tovanel
