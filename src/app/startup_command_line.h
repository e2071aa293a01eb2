// The program's command line: --help, --version, and the files and folders to open at start-up.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace Tovanel {

class Form1;

struct CommandLine {
    enum Action { Run, Answer, Refuse };
    Action action = Run;
    QString text;        // what Answer prints on stdout, or what Refuse prints on stderr
    QList<QUrl> opened;  // the files and folders named, in the order given
};

// The program's arguments (argv once Qt took its own options) as text. Unlike QCoreApplication's, a
// file name that is not UTF-8 keeps its bytes (Main::DecodeKeepingBytes), so it can still be told.
QStringList ProgramArguments(int argc, char* argv[]);

// Reads the arguments (the program's name first). File managers hand over paths (Exec=tovanel %F);
// a file: URL is taken too, and relative paths are resolved against the current folder.
CommandLine ParseCommandLine(const QStringList& arguments);

// Adds what the command line named as a drop of the same files and folders onto the list adds it.
void OpenFromCommandLine(Form1& window, const QList<QUrl>& opened);

} // namespace Tovanel
