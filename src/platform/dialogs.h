// The one seam through which the program talks to the user and the desktop.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

class QObject;

namespace Tovanel {

enum class Buttons { Ok, YesNo };
enum class Icon { None, Information, Warning, Critical, Question };
enum class Answer { Ok, Yes, No };

struct OpenFilesRequest {
    QString title;
    QString filter;             // e.g. "TIFF Files (*.tif*)"
    bool multiple = true;
};

// Every message box, input box, file dialog, folder picker, desktop hand-off and random number goes
// through here. Production shows Qt dialogs; tests hand in a scripted fake.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // A modal message box. An empty title means the application title; details, when not empty, are
    // text the user can unfold under the message (one line per item).
    virtual Answer message(QObject* owner, const QString& text, const QString& title, Buttons buttons, Icon icon,
                           const QString& details = QString()) = 0;
    // Returns the typed text, or the empty text when the user cancelled.
    virtual QString inputBox(QObject* owner, const QString& prompt, const QString& title,
                             const QString& defaultAnswer) = 0;
    // Returns the chosen files' full paths in the dialog's order; empty when cancelled.
    virtual QStringList openFiles(QObject* owner, const OpenFilesRequest& request) = 0;
    // Returns the chosen folder (no trailing "/" except for the root "/"), or empty when cancelled.
    virtual QString pickFolder(QObject* owner, const QString& prompt, const QString& startFolder) = 0;
    // Hands a folder or URL to the desktop. Returns false when nothing could open it.
    virtual bool openUrl(const QUrl& url) = 0;
    // A number r with 0 <= r < 1.
    virtual double random() = 0;
};

// The caption of every message and input box that gives no title of its own.
QString AppTitle();
void SetAppTitleText(const QString& title);

} // namespace Tovanel
