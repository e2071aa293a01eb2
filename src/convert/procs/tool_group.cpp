// Module Shell32: the process group every started command runs in, and the start itself.
#include "convert/procs/tool_group.h"

#include "common/file.h"

#include <csignal>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Tovanel::Shell32 {

namespace {

// The attributes and file actions of a start. The command begins with the default handling of every
// signal and none blocked, whatever this program set for itself, in the given process group (0: a new
// one it leads).
struct SpawnSettings {
    posix_spawnattr_t attributes{};
    posix_spawn_file_actions_t actions{};
    int err = 0;

    explicit SpawnSettings(pid_t group)
    {
        if ((err = posix_spawnattr_init(&attributes)) != 0)
            return;
        attributesMade_ = true;
        if ((err = posix_spawn_file_actions_init(&actions)) != 0)
            return;
        actionsMade_ = true;
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        err = posix_spawnattr_setflags(&attributes,
                                       POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (err == 0)
            err = posix_spawnattr_setpgroup(&attributes, group);
        if (err == 0)
            err = posix_spawnattr_setsigdefault(&attributes, &all);
        if (err == 0)
            err = posix_spawnattr_setsigmask(&attributes, &none);
    }
    ~SpawnSettings()
    {
        if (actionsMade_)
            posix_spawn_file_actions_destroy(&actions);
        if (attributesMade_)
            posix_spawnattr_destroy(&attributes);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

private:
    bool attributesMade_ = false;
    bool actionsMade_ = false;
};

// Every command this program starts runs in one process group, led by a watcher: a shell that reads a
// pipe only this program holds open for writing. However the program ends, kill -9 included, the
// kernel closes that pipe, the read returns, and the watcher ends the whole group: no tool of a dead
// program goes on writing. Commands are started with posix_spawn, which neither copies the program's
// address space nor leaves a copy of it running beside each tool.
class ToolGroup {
public:
    // The group to start a command in: made anew at the first start, after the group was ended (a
    // time-out or the window's close kills it with its watcher), and in a forked copy of the program.
    int leader(pid_t& group)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // Ended (now reaped) or not ours to wait for: either way no longer watching. What may be left
        // of its group is not signalled here: once nobody is in it, its number can be another's.
        if (owner_ != ::getpid() || (leader_ > 0 && ::waitpid(leader_, nullptr, WNOHANG) != 0))
            forget();
        if (leader_ <= 0) {
            if (const int err = start(); err != 0)
                return err;
        }
        group = leader_;
        return 0;
    }

    // After a start failed because the group had gone meanwhile.
    void reset()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        forget();
    }

private:
    // Lets go of the pipe: a watcher still alive ends its group at that, and a forked copy, which holds
    // the original's pipe too, no longer keeps the original's watcher waiting.
    void forget()
    {
        lifeline_.close();
        leader_ = 0;
        owner_ = ::getpid();
    }

    int start()
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return errno;
        const Fs::File readEnd(ends[0]);
        Fs::File writeEnd(ends[1]);
        // A trapped TERM or HUP interrupts the read too, so those end the group as well.
        char sh[] = "/bin/sh", dashC[] = "-c", script[] = "trap 'kill -9 0' TERM HUP; read -r _; kill -9 0";
        char* argv[] = {sh, dashC, script, nullptr};
        SpawnSettings settings(0);
        if (settings.err == 0)
            settings.err = posix_spawn_file_actions_adddup2(&settings.actions, readEnd.get(), STDIN_FILENO);
        for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
            if (settings.err == 0)
                settings.err = posix_spawn_file_actions_addopen(&settings.actions, fd, "/dev/null", O_WRONLY, 0);
        }
        pid_t pid = 0;
        const int err = settings.err != 0
                            ? settings.err
                            : posix_spawn(&pid, sh, &settings.actions, &settings.attributes, argv, environ);
        if (err != 0)
            return err;
        lifeline_ = std::move(writeEnd);
        leader_ = pid;
        return 0;
    }

    std::mutex mutex_;
    pid_t owner_ = ::getpid();
    pid_t leader_ = 0;
    Fs::File lifeline_;
};

ToolGroup& Tools()
{
    static ToolGroup group;
    return group;
}

int StartIn(pid_t group, char* const* args, const QByteArray& folder, pid_t& pid)
{
    SpawnSettings settings(group);
    if (settings.err == 0)
        settings.err = posix_spawn_file_actions_addopen(&settings.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (settings.err == 0 && !folder.isEmpty())
        settings.err = posix_spawn_file_actions_addchdir_np(&settings.actions, folder.constData());
    if (settings.err != 0)
        return settings.err;
    return posix_spawn(&pid, args[0], &settings.actions, &settings.attributes, args, environ);
}

} // namespace

int StartInToolGroup(char* const* args, const QByteArray& folder, pid_t& pid, pid_t& group)
{
    // A group whose watcher was ended between the look and the start refuses to be joined: once more
    // with a new one.
    int err = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        err = Tools().leader(group);
        if (err == 0)
            err = StartIn(group, args, folder, pid);
        if (err != EPERM)
            break;
        Tools().reset();
    }
    return err;
}

} // namespace Tovanel::Shell32
