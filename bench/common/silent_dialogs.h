// The dialog seam for benchmarks that drive the real window: every box answered with OK, nothing opened.
#pragma once

#include "platform/dialogs.h"

namespace TovanelBench {

class SilentDialogs : public Tovanel::Dialogs {
public:
    Tovanel::Answer message(QObject*, const QString&, const QString& title, Tovanel::Buttons, Tovanel::Icon,
                            const QString& = QString()) override
    {
        if (title == QLatin1String("Application Error"))
            ++errors;
        return Tovanel::Answer::Ok;
    }
    QString inputBox(QObject*, const QString&, const QString&, const QString&) override { return {}; }
    QStringList openFiles(QObject*, const Tovanel::OpenFilesRequest&) override { return {}; }
    QString pickFolder(QObject*, const QString&, const QString&) override { return {}; }
    bool openUrl(const QUrl&) override { return false; }
    double random() override { return 0.5; }
    int errors = 0;   // error report boxes shown
};

} // namespace TovanelBench
