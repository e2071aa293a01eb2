// Renders the main window offscreen into a PNG for the README (run: tovanel-screenshot OUT.png [light|dark]).
#include "app/form1.h"
#include "app/form_palettes.h"
#include "app/qt_dialogs.h"
#include "ui_form1.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTemporaryDir>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir scratch;   // the screenshot must not read or write the user's settings
    qputenv("XDG_CONFIG_HOME", scratch.path().toUtf8());
    QApplication app(argc, argv);
    if (argc != 2 && argc != 3)
        return 2;
    QApplication::setPalette(Tovanel::DesktopPalette(QString::fromLocal8Bit(argc == 3 ? argv[2] : "light")));
    Tovanel::QtDialogs dialogs;
    Tovanel::Form1 window(dialogs);
    window.ui().Text1->setText(QStringLiteral("/home/ann/Scans/PNG/"));
    for (const char* name : {"/home/ann/Scans/2021/invoice-0412.tif", "/home/ann/Scans/2021/letter-from-bank.tiff",
                             "/home/ann/Scans/photos/garden-1998.tif", "/home/ann/Scans/fax/contract-signed.tif",
                             "/home/ann/Scans/archive/2019/insurance/claims/water-damage/kitchen-ceiling-photos.tif"})
        window.addListItem(QString::fromUtf8(name));
    window.show();
    window.activateWindow();
    QCoreApplication::processEvents();
    // Focus brought to "Start Converting" by the keyboard (it is one step back from Help, where the
    // round begins) shows the keyboard's focus ring in the picture.
    window.ui().PushButton7->setFocus();
    QKeyEvent backtab(QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier);
    QCoreApplication::sendEvent(window.ui().PushButton7, &backtab);
    QCoreApplication::processEvents();
    return window.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
