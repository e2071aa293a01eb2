// Qt implementation of the dialog seam.
#include "app/qt_dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QTime>

namespace Tovanel {

namespace {
QWidget* widgetOf(QObject* owner) { return qobject_cast<QWidget*>(owner); }

QMessageBox::Icon toQt(Icon icon)
{
    switch (icon) {
    case Icon::Information: return QMessageBox::Information;
    case Icon::Warning: return QMessageBox::Warning;
    case Icon::Critical: return QMessageBox::Critical;
    case Icon::Question: return QMessageBox::Question;
    case Icon::None: break;
    }
    return QMessageBox::NoIcon;
}

// A generator seeded from the seconds since midnight, as the start-up's chance draw expects.
QRandomGenerator& generator()
{
    static QRandomGenerator g(static_cast<quint32>(QTime::currentTime().msecsSinceStartOfDay() / 1000));
    return g;
}
} // namespace

QtDialogs::QtDialogs() = default;

// The texts keep their carriage returns; Qt breaks lines on line feeds only.
static QString displayText(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

Answer QtDialogs::message(QObject* owner, const QString& text, const QString& title, Buttons buttons, Icon icon,
                          const QString& details)
{
    QMessageBox box(toQt(icon), title.isEmpty() ? AppTitle() : title, displayText(text),
                    buttons == Buttons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, widgetOf(owner));
    if (!details.isEmpty())
        box.setDetailedText(details);
    const int result = box.exec();
    if (buttons == Buttons::Ok)
        return Answer::Ok;
    return result == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

QString QtDialogs::inputBox(QObject* owner, const QString& prompt, const QString& title, const QString& defaultAnswer)
{
    bool ok = false;
    const QString answer = QInputDialog::getText(widgetOf(owner), title.isEmpty() ? AppTitle() : title, displayText(prompt),
                                                 QLineEdit::Normal, defaultAnswer, &ok);
    return ok ? answer : QString();
}

QStringList QtDialogs::openFiles(QObject* owner, const OpenFilesRequest& request)
{
    QFileDialog dialog(widgetOf(owner), request.title);
    dialog.setFileMode(request.multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    dialog.setNameFilter(request.filter);
    // Qt's own dialog matches "*.tif*" without regard to letter case, so .TIF and .Tiff are offered too.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

QString QtDialogs::pickFolder(QObject* owner, const QString& prompt, const QString& startFolder)
{
    return QFileDialog::getExistingDirectory(widgetOf(owner), prompt, startFolder, QFileDialog::ShowDirsOnly);
}

bool QtDialogs::openUrl(const QUrl& url) { return QDesktopServices::openUrl(url); }

double QtDialogs::random() { return generator().generateDouble(); }

} // namespace Tovanel
