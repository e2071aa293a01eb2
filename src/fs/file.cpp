// The file layer's Qt side: paths as the program holds them, and the window's events.
#include "fs/file.h"

#include <QCoreApplication>
#include <QFile>

namespace Tovanel::Fs {

int WriteAtomically(const QString& target, mode_t mode, const std::function<bool(int)>& fill, bool flushToDisk)
{
    return WriteAtomically(QFile::encodeName(target).toStdString(), mode, fill, flushToDisk);
}

void ProcessPendingEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

} // namespace Tovanel::Fs
