// SIGINT and SIGTERM turned into a call in the event loop: the handler only writes to a pipe.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace Tovanel::Batch {

class StopSignals : public QObject {
public:
    // onStop runs in the event loop (at the run's next look at its events) with the signal's number. A
    // second signal, once the first has come, ends the program as the signal does by default.
    // Until deferFromNow(), while nothing is written yet, a signal ends the program at once with status
    // 130 (exitStatus).
    StopSignals(std::function<void(int)> onStop, int exitStatus);
    ~StopSignals() override;

    // From now on a signal is only noted and handed to onStop (the run's files need their ending).
    void deferFromNow();
    // The first signal that came, 0 while none did, as of the last look at the pipe.
    int received() const { return received_; }
    // Looks at the pipe now, for a signal that came after the event loop last ran.
    void readPipe();

private:
    std::function<void(int)> onStop_;
    QSocketNotifier* notifier_ = nullptr;
    int received_ = 0;
};

} // namespace Tovanel::Batch
