// The program's command line: --help and --version answer on stdout; named files and folders join the list.
#include "app/startup_command_line.h"

#include "app/form1.h"
#include "fs/main_procs.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMimeData>

namespace Tovanel {

namespace {

// A named file or folder as a URL, as a file manager hands it over.
QUrl NamedPathUrl(const QString& argument)
{
    const QByteArray bytes = Main::EncodeKeptBytes(argument);
    if (Main::IsValidUtf8(bytes))
        return QUrl::fromUserInput(argument, QDir::currentPath(), QUrl::AssumeLocalFile);
    // A name that is not text goes on as its bytes, percent-encoded as a file manager sends them, so
    // that the list can name it to the user; decoded, it would name some other file that isn't there.
    const QByteArray absolute =
        bytes.startsWith('/') ? bytes : QFile::encodeName(QDir::currentPath()) + '/' + bytes;
    return QUrl::fromEncoded("file://" + absolute.toPercentEncoding("/"));
}

} // namespace

QStringList ProgramArguments(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << Main::DecodeKeepingBytes(QByteArray(argv[i]));
    return arguments;
}

CommandLine ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Converts single- and multi-page TIFF files into PNG files, one PNG per page."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("TIFF files to add to the list; a folder adds every file in it and in "
                                                "its subfolders, as dropping it on the list does."),
                                 QStringLiteral("[files or folders...]"));
    CommandLine line;
    if (!parser.parse(arguments)) {
        line.action = CommandLine::Refuse;
        line.text = parser.errorText() + QStringLiteral("\nTry '") + QCoreApplication::applicationName().toLower()
                    + QStringLiteral(" --help' for more information.\n");
        return line;
    }
    // addHelpOption() also offers --help-all; the Qt options it would add are those of any Qt program.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        line.action = CommandLine::Answer;
        line.text = parser.helpText();
        return line;
    }
    if (parser.isSet(version)) {
        line.action = CommandLine::Answer;
        line.text = QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion()
                    + QLatin1Char('\n');
        return line;
    }
    for (const QString& argument : parser.positionalArguments())
        if (!argument.isEmpty())
            line.opened.append(NamedPathUrl(argument));
    return line;
}

void OpenFromCommandLine(Form1& window, const QList<QUrl>& opened)
{
    if (opened.isEmpty())
        return;
    QMimeData data;
    data.setUrls(opened);
    window.ListView1_OLEDragDrop(&data);
}

} // namespace Tovanel
