// Module Convert: tool calls side by side, each in a slot folder of its own inside the run folder.
#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace Tovanel { class Dialogs; }

namespace Tovanel::Convert {

// Up to N tool calls at once. A call waits in a queue, earliest key first, until a slot is free; it then
// gets the slot's folder ("slot-K" in the run folder), where its script, marker, error file and page
// file live, so every slot keeps the one-call protocol with names of its own. Everything runs on the
// caller's thread: pump() starts what may start, waits for the next end (never longer than a
// slice, so the caller's events keep running) and calls each ended call's finish.
class ToolSlots {
public:
    // start: writes what the call needs in its slot folder and returns the script to run there, or an
    // empty text when nothing is to run (the call then ends at once). finish: the call has ended (its
    // process is gone); timedOut when it was stopped for taking too long.
    struct Call {
        std::function<QString(const QString& slotFolder)> start;
        std::function<void(const QString& slotFolder, bool timedOut)> finish;
    };
    using Key = std::pair<int, int>;   // (file's list position, order within the file)

    ToolSlots(QString runFolder, int count, qint64 timeoutMs, Dialogs* dialogs);
    ~ToolSlots();
    ToolSlots(const ToolSlots&) = delete;
    ToolSlots& operator=(const ToolSlots&) = delete;

    int count() const { return static_cast<int>(slots_.size()); }
    void submit(Key key, Call call);
    // Calls running and waiting.
    int running() const;
    int waiting() const { return static_cast<int>(queue_.size()); }
    bool idle() const { return running() == 0 && queue_.empty(); }
    // The threads a converter started now may take: while other calls wait, its share of the cores
    // (they will be busy with those calls); else 0, every core (nothing else will need them).
    int threadsForCall() const { return queue_.empty() ? 0 : share_; }
    // Starts waiting calls on free slots, then waits at most sliceMs for one to end, and finishes the
    // ended ones. Returns at once when nothing runs.
    void pump(int sliceMs);
    // Ends every running call's process (its whole group); pump() then finishes them as usual.
    void endRunning();
    // The process group the tools run in, 0 when none runs.
    qint64 toolGroup() const;

private:
    struct Slot;
    void startWaiting();
    void reap(Slot& slot, int status, bool timedOut);

    QString runFolder_;
    qint64 timeoutMs_;
    int share_ = 0;   // the cores over the slots, at least 1; 0 for one slot, which takes them all
    Dialogs* dialogs_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::multimap<Key, Call> queue_;
};

} // namespace Tovanel::Convert
