// The program as a child process for the kill tests: a real window lists the given files and converts them.
//
//     fault_run_driver OUTPUT_FOLDER SOURCE...
//
// TEMP and XDG_CONFIG_HOME come from the environment. Prints "listed" once the files are in the list and
// each message box's text as it is shown, then its detail lines, if any; exits 0 when the run ended with
// "Done." alone.
#include "fake_dialogs.h"
#include "app/form1.h"
#include "ui_form1.h"

#include <QApplication>
#include <QTest>

#include <cstdio>

using namespace Tovanel;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: fault_run_driver OUTPUT_FOLDER SOURCE...\n");
        return 2;
    }
    FakeDialogs dialogs;
    dialogs.onMessage = [](const Shown& shown) {
        std::printf("%s\n", qPrintable(shown.text));
        if (!shown.details.isEmpty())
            std::printf("%s\n", qPrintable(shown.details));
        std::fflush(stdout);
    };
    Form1 form(dialogs, QStringLiteral(TOVANEL_BIN_DIR));
    form.show();
    QTest::mouseClick(form.ui().Option1, Qt::LeftButton);
    form.ui().Text1->setText(args[1]);
    for (const QString& source : args.mid(2))
        form.addListItem(source);
    std::printf("listed\n");
    std::fflush(stdout);
    QTest::mouseClick(form.ui().PushButton2, Qt::LeftButton);
    const QList<Shown> shown = dialogs.messages();
    return !shown.isEmpty() && shown.last().text == QLatin1String("Done.") ? 0 : 1;
}
