// The self-pipe: a signal handler may do almost nothing, so it writes the signal's number to a pipe
// that the event loop reads.
#include "batch/stop_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace Tovanel::Batch {

namespace {

// Plain descriptors, not handles: the signal handler writes to one, and may use nothing but
// async-signal-safe calls on plain data.
int pipeFds[2] = {-1, -1};
// The status to end with at once; 0 once signals are deferred to the event loop.
volatile sig_atomic_t exitAtOnce = 0;

void OnSignal(int signal)
{
    if (exitAtOnce != 0)
        ::_exit(exitAtOnce);
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t wrote = ::write(pipeFds[1], &number, 1);
    errno = saved;
}

void Install(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Restarted calls keep the run's waits whole; after the first signal the default comes back, so a
    // second one ends a run that is slow to stop.
    action.sa_flags = SA_RESTART | (handler == SIG_DFL ? 0 : SA_RESETHAND);
    ::sigaction(signal, &action, nullptr);
}

} // namespace

StopSignals::StopSignals(std::function<void(int)> onStop, int exitStatus) : onStop_(std::move(onStop))
{
    exitAtOnce = exitStatus;
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readPipe(); });
    Install(SIGINT, OnSignal);
    Install(SIGTERM, OnSignal);
}

void StopSignals::deferFromNow() { exitAtOnce = 0; }

StopSignals::~StopSignals()
{
    exitAtOnce = 0;
    Install(SIGINT, SIG_DFL);
    Install(SIGTERM, SIG_DFL);
    delete notifier_;
    for (int& fd : pipeFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void StopSignals::readPipe()
{
    unsigned char number = 0;
    while (::read(pipeFds[0], &number, 1) == 1) {
        if (received_ != 0)
            continue;
        received_ = number;
        if (onStop_)
            onStop_(number);
    }
}

} // namespace Tovanel::Batch
