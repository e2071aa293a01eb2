// Runs a piece of a test as the ordinary user nobody, for the faults that root never meets.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace TestSupport {
// Runs work in a child process with the identity of nobody (65534): its exit status (0 when work
// returned true, 1 when it returned false or threw), or -1 with why set when the child cannot take
// that identity (not root, no such user). What work puts in *said comes back in *said.
int AsNobody(const std::function<bool()>& work, QString* why, QByteArray* said = nullptr);
}
