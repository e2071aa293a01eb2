// Module Shell32: starting programs, scripts, folders and URLs, and waiting for a started process.
#pragma once

#include <QString>
#include <QtGlobal>

namespace Tovanel { class Dialogs; }

namespace Tovanel::Shell32 {

// Show-window styles. No console window exists here, so they are kept as data only.
enum WindowStyle : int { Hidden = 0, Normal = 1, Minimized = 6 };

// A shell result above 32 means started; 0 to 32 is a failure code (see ShellFailure).
inline constexpr int kStarted = 42;

struct ShellError {
    int number = 0;          // 0 = no error
    QString description;
    QString source;          // program name + ".GShell"
};

// The failure table: number and message for a shell failure code r (0 to 32).
ShellError ShellFailure(int r);
// Number used by the rows that have none of their own.
inline qint64 DefaultErrorNumber(int r) { return -2147220456LL + r; }
// The source text of shell errors: the program's file name without its extension, then ".GShell".
QString ErrorSource();

// What a start needs besides its arguments, and what it leaves behind for the caller.
struct Session {
    Tovanel::Dialogs* dialogs = nullptr;  // folders and URLs go to the desktop through it
    qint64* runningGroup = nullptr;       // holds the process group while ShellAndWait waits, 0 otherwise
    qint64 timeoutMs = 0;                 // > 0: a process still running after this long is killed with its group

    // Filled by the calls.
    int windowStyleUsed = -1;             // the style the start was asked for, after the rules
    qint64 pid = 0;                       // the started process, 0 when none
    qint64 group = 0;                     // the process group it runs in, 0 when none
    ShellError error;                     // the last ShellOpen failure; number 0 when it started
    int fullSlices = 0;                   // polls of ShellAndWait that waited the whole 100 ms
    bool timedOut = false;
};

// Starts file with verb (empty or "open"): a script (".bat") with /bin/sh, a program directly, a
// folder or URL on the desktop. parameters are split as a shell would. The started process is a child
// of this program, in the one process group of everything this program starts; a watcher leading that
// group ends it (every command and all they started) when this program dies, or when the watcher gets
// SIGTERM or SIGHUP. Returns the shell result; on a failure code session.error is set.
int ShellOpen(const QString& file, int windowStyle, const QString& parameters, const QString& folder,
              const QString& verb, Session& session);

// Starts command through ShellOpen and waits until the process has ended, letting events run at
// most 100 ms apart. Returns the exit code (128 + signal for a killed process), or for a start
// failure -2147221504 + the error number (0 when that does not fit in 32 bits).
// windowStyle outside 0 to 6 becomes 6, and the caller's variable receives it.
int ShellAndWait(const QString& command, int& windowStyle, const QString& folder, Session& session);
int ShellAndWait(const QString& command, const QString& folder, Session& session);

} // namespace Tovanel::Shell32
