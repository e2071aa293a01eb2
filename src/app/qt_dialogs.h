// The dialog seam as the user sees it: Qt's message, input, file and folder dialogs and the desktop.
#pragma once

#include "platform/dialogs.h"

namespace Tovanel {

class QtDialogs final : public Dialogs {
public:
    QtDialogs();
    Answer message(QObject* owner, const QString& text, const QString& title, Buttons buttons, Icon icon,
                   const QString& details = QString()) override;
    QString inputBox(QObject* owner, const QString& prompt, const QString& title, const QString& defaultAnswer) override;
    QStringList openFiles(QObject* owner, const OpenFilesRequest& request) override;
    QString pickFolder(QObject* owner, const QString& prompt, const QString& startFolder) override;
    bool openUrl(const QUrl& url) override;
    double random() override;
};

} // namespace Tovanel
