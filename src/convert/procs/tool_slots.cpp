// Module Convert: tool calls side by side in slot folders, started and reaped on the caller's thread.
#include "convert/procs/tool_slots.h"

#include "convert/procs/shell32.h"
#include "common/cores.h"
#include "fs/file.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace Tovanel::Convert {

namespace {

// pid and every process below it, children first.
void CollectTree(pid_t pid, std::vector<pid_t>& out, int depth = 0)
{
    if (depth > 32)
        return;
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(taskDir + QLatin1Char('/') + task + QStringLiteral("/children"));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& child : children.readAll().split(' '))
            if (const pid_t c = static_cast<pid_t>(child.trimmed().toInt()); c > 0)
                CollectTree(c, out, depth + 1);
    }
    out.push_back(pid);
}

} // namespace

struct ToolSlots::Slot {
    QString folder;
    bool busy = false;
    pid_t pid = 0;
    pid_t group = 0;
    Fs::File pidfd;
    QElapsedTimer clock;
    Call call;
};

ToolSlots::ToolSlots(QString runFolder, int count, qint64 timeoutMs, Dialogs* dialogs)
    : runFolder_(std::move(runFolder)), timeoutMs_(timeoutMs),
      share_(count > 1 ? std::max(1, static_cast<int>(UsableCores()) / count) : 0), dialogs_(dialogs)
{
    for (int k = 1; k <= std::max(1, count); ++k) {
        auto slot = std::make_unique<Slot>();
        if (!runFolder_.isEmpty()) {
            slot->folder = runFolder_ + QStringLiteral("/slot-") + QString::number(k);
            QDir().mkdir(slot->folder);
        }
        slots_.push_back(std::move(slot));
    }
}

ToolSlots::~ToolSlots()
{
    // Whoever waited for the calls is gone: they end without a word.
    queue_.clear();
    for (auto& slot : slots_) {
        if (!slot->busy)
            continue;
        if (slot->group > 1)
            ::kill(-slot->group, SIGKILL);
        int status = 0;
        while (::waitpid(slot->pid, &status, 0) < 0 && errno == EINTR) {}
    }
}

void ToolSlots::submit(Key key, Call call) { queue_.emplace(key, std::move(call)); }

int ToolSlots::running() const
{
    return static_cast<int>(std::count_if(slots_.begin(), slots_.end(), [](const auto& s) { return s->busy; }));
}

qint64 ToolSlots::toolGroup() const
{
    for (const auto& slot : slots_)
        if (slot->busy && slot->group > 1)
            return slot->group;
    return 0;
}

void ToolSlots::startWaiting()
{
    for (auto& slot : slots_) {
        if (slot->busy || queue_.empty())
            continue;
        Call call = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        const QString script = call.start ? call.start(slot->folder) : QString();
        Shell32::Session session;
        session.dialogs = dialogs_;
        if (!script.isEmpty())
            Shell32::ShellOpen(script, Shell32::Hidden, QString(), slot->folder, QStringLiteral("open"), session);
        if (session.pid <= 0) {
            // Nothing runs for it (not written, or the start failed): it ends here.
            if (call.finish)
                call.finish(slot->folder, false);
            continue;
        }
        slot->busy = true;
        slot->pid = static_cast<pid_t>(session.pid);
        slot->group = static_cast<pid_t>(session.group);
        slot->pidfd = Fs::File(static_cast<int>(::syscall(SYS_pidfd_open, slot->pid, 0)));
        slot->clock.start();
        slot->call = std::move(call);
    }
}

void ToolSlots::pump(int sliceMs)
{
    startWaiting();
    std::vector<pollfd> fds;
    qint64 slice = sliceMs;
    for (const auto& slot : slots_) {
        if (!slot->busy)
            continue;
        if (slot->pidfd.valid())
            fds.push_back({slot->pidfd.get(), POLLIN, 0});
        else
            slice = std::min<qint64>(slice, 2);   // no pidfd: short sleeps stand in
        if (timeoutMs_ > 0)
            slice = std::max<qint64>(0, std::min(slice, timeoutMs_ - slot->clock.elapsed()));
    }
    if (fds.empty() && slice == sliceMs && running() == 0)
        return;
    if (!fds.empty())
        ::poll(fds.data(), fds.size(), static_cast<int>(slice));
    else
        ::usleep(static_cast<useconds_t>(slice * 1000));
    for (auto& slot : slots_) {
        if (!slot->busy)
            continue;
        int status = 0;
        const pid_t done = ::waitpid(slot->pid, &status, WNOHANG);
        if (done == slot->pid || (done < 0 && errno != EINTR)) {
            reap(*slot, done == slot->pid ? status : 0, false);
        } else if (timeoutMs_ > 0 && slot->clock.elapsed() >= timeoutMs_) {
            // Only this call's processes: the others in the group are other slots' work.
            std::vector<pid_t> tree;
            CollectTree(slot->pid, tree);
            for (const pid_t p : tree)
                ::kill(p, SIGKILL);
            while (::waitpid(slot->pid, &status, 0) < 0 && errno == EINTR) {}
            reap(*slot, status, true);
        }
    }
    startWaiting();
}

void ToolSlots::reap(Slot& slot, int status, bool timedOut)
{
    Q_UNUSED(status);
    // Freed before finish runs: finish may submit calls, show a box, or stop the run.
    Call call = std::move(slot.call);
    slot.busy = false;
    slot.pid = 0;
    slot.group = 0;
    slot.pidfd.close();
    if (call.finish)
        call.finish(slot.folder, timedOut);
}

void ToolSlots::endRunning()
{
    for (auto& slot : slots_)
        // Group 1 is never a tool's: kill(-1) would signal every process of the user.
        if (slot->busy && slot->group > 1)
            ::kill(-slot->group, SIGKILL);
}

} // namespace Tovanel::Convert
