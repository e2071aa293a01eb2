// Runs a piece of a test as nobody: a child drops root's identity and hands its result back through a pipe.
#include "as_nobody.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace TestSupport {

int AsNobody(const std::function<bool()>& work, QString* why, QByteArray* said)
{
    int fds[2];
    if (::geteuid() != 0 || ::pipe(fds) != 0) {
        *why = QString::fromLatin1(::geteuid() != 0 ? "not root: cannot act as another user" : "pipe failed");
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(77);
        bool ok = false;
        try {   // never let the test framework go on in this child, as nobody, with the tests that follow
            ok = work();
        } catch (...) {
        }
        const QByteArray out = said ? *said : QByteArray();
        for (ssize_t done = 0, n = 0; done < out.size(); done += n)
            if ((n = ::write(fds[1], out.constData() + done, static_cast<size_t>(out.size() - done))) <= 0)
                ::_exit(1);
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    QByteArray back;
    char buffer[4096];
    for (ssize_t n; pid > 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        back.append(buffer, static_cast<qsizetype>(n));
    ::close(fds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        *why = QStringLiteral("fork failed");
        return -1;
    }
    if (said)
        *said = back;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        *why = QStringLiteral("cannot take the identity of nobody (65534)");
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace TestSupport
