// What benchmarks that drive the real window share: a dialog seam that answers every box with OK and
// opens nothing, and the isolation of the window from the user's settings.
#pragma once

#include "platform/dialogs.h"

#include <QFile>

namespace TovanelBench {

class SilentDialogs : public Tovanel::Dialogs {
public:
    Tovanel::Answer message(QObject*, const QString&, const QString& title, Tovanel::Buttons, Tovanel::Icon,
                            const QString& = QString()) override
    {
        ++shown;
        if (title == QLatin1String("Application Error"))
            ++errors;
        return Tovanel::Answer::Ok;
    }
    QString inputBox(QObject*, const QString&, const QString&, const QString&) override { return {}; }
    QStringList openFiles(QObject*, const Tovanel::OpenFilesRequest&) override { return {}; }
    QString pickFolder(QObject*, const QString&, const QString&) override { return {}; }
    bool openUrl(const QUrl&) override { return false; }
    double random() override { return 0.5; }
    int shown = 0;    // boxes shown
    int errors = 0;   // error report boxes among them
};

// Keeps the window's settings, caches and everything else of a benchmark inside folder, offscreen.
// Call before the application object is made.
inline void IsolateWindowIn(const QString& folder)
{
    for (const char* var : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        qputenv(var, QFile::encodeName(folder));
    qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace TovanelBench
