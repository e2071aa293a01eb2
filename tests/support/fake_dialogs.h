// The scripted fake of the dialog seam: queues answers and records everything shown.
#pragma once

#include "platform/dialogs.h"

#include <QList>
#include <QQueue>
#include <QUrl>

#include <functional>

namespace Tovanel {

struct Shown {
    QString kind;            // "message", "input", "openFiles", "pickFolder", "openUrl"
    QString text;            // message text, input prompt, dialog title or URL
    QString title;           // as passed (empty = application title)
    Buttons buttons = Buttons::Ok;
    Icon icon = Icon::None;
    QString extra;           // input default, file filter, start folder
    QString details;         // a message box's unfoldable details
};

class FakeDialogs : public Dialogs {
public:
    QQueue<Answer> answers;          // for message boxes with Yes/No; OK boxes need none
    QQueue<QString> inputs;          // empty text = cancel
    QQueue<QStringList> fileChoices; // empty list = cancel
    QQueue<QString> folders;         // empty text = cancel
    QQueue<double> randoms;          // default 0.5 when empty
    QList<Shown> shown;
    QList<QUrl> opened;
    bool openUrlResult = true;
    // Called after each message is recorded, e.g. to act while a box is "open".
    std::function<void(const Shown&)> onMessage;

    Answer message(QObject*, const QString& text, const QString& title, Buttons buttons, Icon icon,
                   const QString& details = QString()) override
    {
        shown.append({QStringLiteral("message"), text, title, buttons, icon, {}, details});
        if (onMessage)
            onMessage(shown.last());
        if (buttons == Buttons::Ok)
            return Answer::Ok;
        return answers.isEmpty() ? Answer::No : answers.dequeue();
    }
    QString inputBox(QObject*, const QString& prompt, const QString& title, const QString& defaultAnswer) override
    {
        shown.append({QStringLiteral("input"), prompt, title, Buttons::Ok, Icon::None, defaultAnswer, {}});
        return inputs.isEmpty() ? QString() : inputs.dequeue();
    }
    QStringList openFiles(QObject*, const OpenFilesRequest& request) override
    {
        shown.append({QStringLiteral("openFiles"), request.title, request.title, Buttons::Ok, Icon::None,
                      request.filter, {}});
        return fileChoices.isEmpty() ? QStringList() : fileChoices.dequeue();
    }
    QString pickFolder(QObject*, const QString& prompt, const QString& startFolder) override
    {
        shown.append({QStringLiteral("pickFolder"), prompt, QString(), Buttons::Ok, Icon::None, startFolder, {}});
        return folders.isEmpty() ? QString() : folders.dequeue();
    }
    bool openUrl(const QUrl& url) override
    {
        shown.append({QStringLiteral("openUrl"), url.toString(), QString(), Buttons::Ok, Icon::None, {}, {}});
        opened.append(url);
        return openUrlResult;
    }
    double random() override { return randoms.isEmpty() ? 0.5 : randoms.dequeue(); }

    // Only the message boxes, in order.
    QList<Shown> messages() const
    {
        QList<Shown> out;
        for (const Shown& s : shown)
            if (s.kind == QLatin1String("message"))
                out.append(s);
        return out;
    }
    QList<Shown> errorReports() const
    {
        QList<Shown> out;
        for (const Shown& s : messages())
            if (s.title == QLatin1String("Application Error"))
                out.append(s);
        return out;
    }
};

} // namespace Tovanel
