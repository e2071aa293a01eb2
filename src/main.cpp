// Tovanel: makes the application and its main window.
#include "app/form1.h"
#include "app/qt_dialogs.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tovanel"));
    Tovanel::QtDialogs dialogs;
    Tovanel::Form1 window(dialogs);
    window.show();
    return app.exec();
}
