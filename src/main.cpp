// Tovanel: reads the command line, makes the application and its main window.
#include "app/form1.h"
#include "app/qt_dialogs.h"
#include "app/startup_command_line.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("Tovanel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOVANEL_VERSION));
    {
        // --help and --version must answer where no display is (a terminal, a package check), so they
        // are looked for before the window system is reached.
        QCoreApplication reader(argc, argv);
        const Tovanel::CommandLine early = Tovanel::ParseCommandLine(Tovanel::ProgramArguments(argc, argv));
        if (early.action == Tovanel::CommandLine::Answer) {
            std::fputs(early.text.toLocal8Bit().constData(), stdout);
            return 0;
        }
    }
    QApplication app(argc, argv);
    // Read again without the options Qt took for itself (-platform, -style, ...): it takes them out of
    // argv as well.
    const Tovanel::CommandLine line = Tovanel::ParseCommandLine(Tovanel::ProgramArguments(argc, argv));
    if (line.action != Tovanel::CommandLine::Run) {
        std::fputs(line.text.toLocal8Bit().constData(), stderr);
        return 2;
    }
    Tovanel::QtDialogs dialogs;
    Tovanel::Form1 window(dialogs);
    window.show();
    // The named files join the list once the window is up, as a drop on it would add them.
    QTimer::singleShot(0, &window, [&] { Tovanel::OpenFromCommandLine(window, line.opened); });
    return app.exec();
}
