// Module Shell32: the process group every started command runs in.
#pragma once

#include <QByteArray>

#include <sys/types.h>

namespace Tovanel::Shell32 {

// Starts args[0] with args (null-terminated) in folder (empty: ours), stdin from /dev/null, default
// signal handling, as a child of this program in the one process group of everything it starts. A
// watcher leads that group and ends it, every command and all they started, when this program dies
// (kill -9 included) or when the watcher gets SIGTERM or SIGHUP; after the group was killed, the next
// start makes a new one. Returns 0 with pid and group set, or the errno of the failed start.
int StartInToolGroup(char* const* args, const QByteArray& folder, pid_t& pid, pid_t& group);

} // namespace Tovanel::Shell32
