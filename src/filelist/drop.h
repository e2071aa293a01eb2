// How the list answers a drag of files: always as a copy, so the drag source keeps its files.
#pragma once

#include <QByteArray>
#include <QList>

class QDropEvent;
class QObject;

namespace Tovanel { class Dialogs; }

namespace Tovanel::Intake {

// One warning box naming every file or folder of a drop or folder add that could not be added because
// its name is not text (names is their paths' bytes).
void ReportUndecodableNames(Dialogs& dialogs, QObject* owner, const QList<QByteArray>& names);

// Accepts event as a copy when welcome and the source allows a copy; refuses it otherwise. A move or
// link is never taken: a source that honours a move deletes the originals once the drop is done.
// Returns whether the drag was accepted.
bool AnswerAsCopy(QDropEvent& event, bool welcome);

} // namespace Tovanel::Intake
