// The file layer's Qt side: paths as the program holds them, and the window's events.
#include "fs/file.h"

#include "fs/main_procs.h"

#include <QCoreApplication>

namespace Tovanel::Fs {

int WriteAtomically(const QString& target, mode_t mode, const std::function<bool(int)>& fill, bool flushToDisk)
{
    return WriteAtomically(Main::EncodeKeptBytes(target).toStdString(), mode, fill, flushToDisk);
}

void ProcessPendingEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

} // namespace Tovanel::Fs
