// The dialog seam on a console: boxes become text on standard error, and nothing is ever asked.
#pragma once

#include "platform/dialogs.h"

#include <QList>
#include <QPair>
#include <QString>

#include <cstdio>
#include <functional>

namespace Tovanel::Batch {

// A name as the console shows it: as it is, unless it holds a control character (a line end, a tab,
// an escape) or a byte that is not UTF-8; then whole in the shell's $'...' form, "\n", "\t", "\r",
// "\\", "\'" and "\xHH" for the rest, so that each printed line stays one line and the name, pasted
// into a shell, names the file.
QString ShownName(const QString& name);

// The names of a list that ShownName changes, and the text with each of them shown so.
class NameEscapes {
public:
    void add(const QString& name);
    QString apply(QString text) const;
private:
    QList<QPair<QString, QString>> names_;   // the longest first, so no name is taken for part of another
};

class ConsoleDialogs : public Dialogs {
public:
    explicit ConsoleDialogs(std::FILE* err) : err_(err) {}

    // While silenced, boxes of the run (no title of their own) print nothing; error reports still do.
    void setSilenced(bool silenced) { silenced_ = silenced; }
    // Called before anything is printed, so a progress line can make room.
    void setBeforePrint(std::function<void()> beforePrint) { beforePrint_ = std::move(beforePrint); }
    // Names shown by ShownName wherever they appear in what is printed.
    void setEscapes(const NameEscapes* escapes) { escapes_ = escapes; }
    // Prints one line of the program's own ("tovanel-batch: " and text), whatever the silence.
    void say(const QString& text);

    Answer message(QObject* owner, const QString& text, const QString& title, Buttons buttons, Icon icon,
                   const QString& details = QString()) override;
    // Nothing is asked on a console: every question is answered as cancelled.
    QString inputBox(QObject*, const QString&, const QString&, const QString&) override { return QString(); }
    QStringList openFiles(QObject*, const OpenFilesRequest&) override { return QStringList(); }
    QString pickFolder(QObject*, const QString&, const QString&) override { return QString(); }
    bool openUrl(const QUrl&) override { return false; }
    double random() override { return 0.5; }

private:
    void print(const QString& text);

    std::FILE* err_;
    bool silenced_ = false;
    const NameEscapes* escapes_ = nullptr;
    std::function<void()> beforePrint_;
};

} // namespace Tovanel::Batch
