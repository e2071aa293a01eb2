// find's time over a tree, the yardstick of the folder benchmarks.
#pragma once

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>

extern char** environ;

namespace TovanelBench {

// Seconds "find ROOT -type f" takes, its output thrown away as a listing into the window would not
// print it either. Exits the benchmark when find can't be started.
inline double TimeFind(const std::string& root)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"find", root.c_str(), "-type", "f", nullptr};
    QElapsedTimer timer;
    timer.start();
    pid_t pid;
    if (posix_spawnp(&pid, "find", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
        std::perror("find");
        std::exit(1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    posix_spawn_file_actions_destroy(&actions);
    return seconds;
}

} // namespace TovanelBench
