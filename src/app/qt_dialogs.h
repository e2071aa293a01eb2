// The dialog seam as the user sees it: Qt's message, input, file and folder dialogs and the desktop.
#pragma once

#include "platform/dialogs.h"

class QWidget;

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

// Draws a ring round the control of window that has keyboard focus. The styles' own focus cues are
// faint (a light tint round a caption, an outline a shade off), and under some palettes they vanish; a
// ring in the text colour of the surface the control lies on is read wherever that text is. It shows
// once the keyboard has moved focus (or the window marks its first focus as such), as the styles' cues do.
void ShowFocusWithARing(QWidget& window);

} // namespace Tovanel
