// How the list answers a drag of files: always as a copy, so the drag source keeps its files.
#pragma once

class QDropEvent;

namespace Tovanel::Intake {

// Accepts event as a copy when welcome and the source allows a copy; refuses it otherwise. A move or
// link is never taken: a source that honours a move deletes the originals once the drop is done.
// Returns whether the drag was accepted.
bool AnswerAsCopy(QDropEvent& event, bool welcome);

} // namespace Tovanel::Intake
