// The file layer under every procedure: the shared handles and atomic write (common/file.h), and what
// of it needs Qt.
#pragma once

#include "common/file.h"

#include <QString>

namespace Tovanel::Fs {

// WriteAtomically (common/file.h) for a path as the program holds it.
int WriteAtomically(const QString& target, mode_t mode, const std::function<bool(int)>& fill, bool flushToDisk);

// Lets pending window events run; does nothing when no application object exists (tools, benchmarks).
void ProcessPendingEvents();

} // namespace Tovanel::Fs
