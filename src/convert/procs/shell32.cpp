// Module Shell32: starts programs and scripts in a process group of their own, and waits for them.
#include "convert/procs/shell32.h"

#include "platform/dialogs.h"
#include "fs/fs_internal.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <limits>
#include <vector>

extern char** environ;

namespace Tovanel::Shell32 {

namespace {

// Shell failure codes as the table knows them.
enum Code : int {
    OutOfMemory = 0, FileNotFound = 2, PathNotFound = 3, AccessDenied = 5, NoMemory = 8, BadFormat = 11,
    NoAssociation = 31,
};

int CodeForErrno(int err)
{
    switch (err) {
    case ENOENT: return FileNotFound;
    case ENOTDIR: return PathNotFound;
    case EACCES: case EPERM: return AccessDenied;
    case ENOMEM: case EAGAIN: return NoMemory;
    case ENOEXEC: return BadFormat;
    default: return 1;   // the table's generic row
    }
}

bool LooksLikeUrl(const QString& text)
{
    // "x:" alone is not a scheme; a scheme has at least two characters.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    return scheme.match(text).hasMatch();
}

int ExitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 0;
}

// The first child of a start: leads the process group, starts the command as its own child, and
// passes on how it ended. When the program dies it ends the whole group, so no tool of a killed
// program goes on writing. Only async-signal-safe calls from here on: the program has other threads.
void Tell(int fd, int err)
{
    const ssize_t written = ::write(fd, &err, sizeof err);
    static_cast<void>(written);
}

[[noreturn]] void GuardGroup(const char* path, char* const* argv, const char* folder, pid_t program, int report)
{
    // Without a group of its own, ending "the group" would end the program's.
    if (::setpgid(0, 0) != 0 && ::getpgrp() != ::getpid()) {
        Tell(report, errno);
        ::_exit(127);
    }
    struct sigaction standard{};
    standard.sa_handler = SIG_DFL;
    for (int sig : {SIGCHLD, SIGPIPE, SIGTERM, SIGHUP, SIGINT})
        ::sigaction(sig, &standard, nullptr);
    sigset_t watched;
    sigemptyset(&watched);
    for (int sig : {SIGCHLD, SIGTERM, SIGHUP})
        sigaddset(&watched, sig);
    ::sigprocmask(SIG_SETMASK, &watched, nullptr);
    // The death of the program (the thread that started us) arrives as SIGTERM; had it died already,
    // nothing is started.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != program)
        ::_exit(128 + SIGKILL);
    const pid_t command = ::fork();
    if (command == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        if (folder && ::chdir(folder) != 0) {
            Tell(report, errno);
            ::_exit(127);
        }
        ::execve(path, argv, environ);
        Tell(report, errno);
        ::_exit(127);
    }
    if (command < 0) {
        Tell(report, errno);
        ::_exit(127);
    }
    ::close(report);
    for (;;) {
        siginfo_t info;
        const int sig = ::sigwaitinfo(&watched, &info);
        if (sig == SIGCHLD) {
            int status = 0;
            if (::waitpid(command, &status, WNOHANG) == command)
                ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        } else if (sig > 0) {
            ::kill(0, SIGKILL);   // the whole group, this process with it
        }
    }
}

int Spawn(const QStringList& argv, const QString& folder, qint64& pidOut)
{
    // Everything the children use is made before the fork.
    std::vector<QByteArray> raw;
    raw.reserve(static_cast<size_t>(argv.size()));
    for (const QString& a : argv)
        raw.push_back(QFile::encodeName(a));
    std::vector<char*> args;
    for (QByteArray& a : raw)
        args.push_back(a.data());
    args.push_back(nullptr);
    const QByteArray dir = QFile::encodeName(folder);

    // The command's start failure comes back through this pipe; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return CodeForErrno(errno);
    const pid_t program = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        GuardGroup(args[0], args.data(), folder.isEmpty() ? nullptr : dir.constData(), program, report[1]);
    }
    const int forkErr = errno;
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return CodeForErrno(forkErr);
    }
    ::setpgid(pid, pid);   // also done by the child: whichever runs first, the group exists at once
    int err = 0;
    ssize_t got;
    while ((got = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {}
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof err)) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        return CodeForErrno(err);
    }
    pidOut = pid;
    return kStarted;
}

// Paths are taken relative to our own working folder, as the caller meant them, not the child's.
QString Absolute(const QString& path)
{
    return QDir::isRelativePath(path) ? QDir::current().absoluteFilePath(path) : path;
}

int Start(const QString& file, const QString& parameters, const QString& folder, const QString& verb,
          Session& session)
{
    const QString v = verb.toLower();
    if (!v.isEmpty() && v != QLatin1String("open") && v != QLatin1String("explore"))
        return NoAssociation;
    if (!folder.isEmpty() && !QFileInfo(folder).isDir())
        return PathNotFound;

    const QFileInfo info(Absolute(file));
    const bool exists = !file.isEmpty() && info.exists();
    if (!exists && LooksLikeUrl(file)) {
        if (!session.dialogs)
            return NoAssociation;
        return session.dialogs->openUrl(QUrl(file)) ? kStarted : NoAssociation;
    }
    if (!exists)
        return FileNotFound;
    if (info.isDir() || (!info.fileName().endsWith(QLatin1String(".bat"), Qt::CaseInsensitive) && !info.isExecutable())) {
        // A folder or a document: the desktop decides what opens it.
        if (!session.dialogs)
            return NoAssociation;
        return session.dialogs->openUrl(QUrl::fromLocalFile(info.absoluteFilePath())) ? kStarted : NoAssociation;
    }

    QStringList argv;
    if (info.fileName().endsWith(QLatin1String(".bat"), Qt::CaseInsensitive))
        argv << QStringLiteral("/bin/sh");
    argv << info.absoluteFilePath();
    argv << QProcess::splitCommand(parameters);
    return Spawn(argv, folder, session.pid);
}

} // namespace

ShellError ShellFailure(int r)
{
    ShellError e;
    e.source = ErrorSource();
    auto set = [&](qint64 number, const char* message) {
        e.number = static_cast<int>(number);
        e.description = QString::fromLatin1(message);
    };
    const qint64 standard = DefaultErrorNumber(r);
    switch (r) {
    case 0: set(FsDetail::OutOfMemory, "Out of memory"); break;
    case 2: set(FsDetail::FileNotFound, "File not found"); break;
    case 3: set(FsDetail::PathNotFound, "Path not found"); break;
    case 5: set(FsDetail::PathFileAccessError, "Path/file access error"); break;
    case 8: set(FsDetail::OutOfMemory, "Out of memory"); break;
    case 11: set(standard, "The executable file is invalid or corrupt"); break;
    case 26: set(FsDetail::PathFileAccessError, "A sharing violation occurred."); break;
    case 27: set(standard, "This file type does not have a valid file association."); break;
    case 28: set(286, "The file could not be opened due to time out. Please try again in a moment."); break;
    case 29:
        set(285, "The file could not be opened because the DDE transaction failed. Please try again in a moment.");
        break;
    case 30:
        set(285, "The file could not be opened because the target application is busy. Please try again in a moment.");
        break;
    case 31: set(standard, "No application is associated with this file type."); break;
    case 32: set(48, "The specified dynamic-link library was not found."); break;
    default: set(standard, "An error occurred occurred whilst trying to open or print the selected file."); break;
    }
    return e;
}

QString ErrorSource()
{
    QString name = QStringLiteral("tovanel");
    if (QCoreApplication::instance())
        name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return name + QStringLiteral(".GShell");
}

int ShellOpen(const QString& file, int windowStyle, const QString& parameters, const QString& folder,
              const QString& verb, Session& session)
{
    session.pid = 0;
    session.error = ShellError();
    if (file.toUpper().contains(QLatin1String(".EXE")))
        windowStyle = Hidden;
    // Without parameters and folder the start uses a normal window, whatever was asked.
    session.windowStyleUsed = (parameters.isEmpty() && folder.isEmpty()) ? Normal : windowStyle;
    const int r = Start(file, parameters, folder, verb, session);
    if (r >= 0 && r <= 32)
        session.error = ShellFailure(r);
    return r;
}

int ShellAndWait(const QString& command, int& windowStyle, const QString& folder, Session& session)
{
    if (windowStyle < 0 || windowStyle > 6)
        windowStyle = Minimized;
    session.fullSlices = 0;
    session.timedOut = false;
    ShellOpen(command, windowStyle, QString(), folder, QStringLiteral("open"), session);
    if (session.error.number != 0) {
        const qint64 sum = -2147221504LL + session.error.number;
        if (sum < std::numeric_limits<int>::min() || sum > std::numeric_limits<int>::max())
            return 0;
        return static_cast<int>(sum);
    }
    if (session.pid <= 0)
        return 0;   // handed to the desktop: no process of ours to wait for

    const pid_t pid = static_cast<pid_t>(session.pid);
    if (session.runningGroup)
        *session.runningGroup = pid;
    // A pidfd wakes the poll the moment the process ends; without one, short sleeps stand in.
    const Fs::File pidfdHandle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    const int pidfd = pidfdHandle.get();
    QElapsedTimer clock;
    clock.start();
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            status = 0;   // reaped elsewhere: nothing more to learn
            break;
        }
        Fs::ProcessPendingEvents();
        qint64 slice = 100;
        if (session.timeoutMs > 0) {
            const qint64 left = session.timeoutMs - clock.elapsed();
            if (left <= 0) {
                ::kill(-pid, SIGKILL);
                session.timedOut = true;
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
                break;
            }
            slice = qMin(slice, left);
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(slice)) == 0 && slice == 100)
                ++session.fullSlices;
        } else {
            bool ended = false;
            for (qint64 waited = 0; waited < slice && !ended; waited += 2) {
                ::usleep(2000);
                siginfo_t info{};
                ended = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0
                        && info.si_pid == pid;
            }
            if (!ended && slice == 100)
                ++session.fullSlices;
        }
    }
    // Cleared before anything else can run, so closing the window never signals a reused id.
    if (session.runningGroup)
        *session.runningGroup = 0;
    return ExitCodeOf(status);
}

int ShellAndWait(const QString& command, const QString& folder, Session& session)
{
    int style = -1;
    return ShellAndWait(command, style, folder, session);
}

} // namespace Tovanel::Shell32
