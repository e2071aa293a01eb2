// Qt implementation of the dialog seam.
#include "app/qt_dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QFocusFrame>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QInputDialog>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStyle>
#include <QTextEdit>
#include <QTime>
#include <QtMath>

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

// The lines and columns the details show without scrolling: a path of 80 characters fits across.
constexpr int kDetailsLines = 15;
constexpr int kDetailsColumns = 80;

// A message box whose details, when it has any, are open from the start: they say what went wrong,
// and a user should not have to find a button to learn it. Such a box can be made larger, the details
// taking the room; QMessageBox fixes its size to its contents at every change of its layout, so the
// size it fits when shown is made the least one instead.
class MessageBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    bool event(QEvent* event) override
    {
        // Once free, a change of layout (a resize by the user brings one) leaves the size to the user.
        if (event->type() == QEvent::LayoutRequest && grows_)
            return QDialog::event(event);
        return QMessageBox::event(event);
    }

    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);   // puts the details button in place
        // The button that takes Enter shows its focus from the start, as one the keyboard reached,
        // as strongly as any other button shows it.
        setAttribute(Qt::WA_KeyboardFocusChange);
        if (!findChild<QFocusFrame*>())
            ShowFocusWithARing(*this);
        const auto* details = findChild<QTextEdit*>();
        if (details && !details->isVisibleTo(this))
            for (QAbstractButton* button : buttons())
                if (buttonRole(button) == ActionRole)
                    button->click();
        letGrow();
    }

private:
    void letGrow()
    {
        auto* details = findChild<QTextEdit*>();
        auto* grid = qobject_cast<QGridLayout*>(layout());
        if (!details || !grid || !isVisible() || grows_)
            return;
        grows_ = true;
        setMinimumSize(size());
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        setSizeGripEnabled(true);
        // The details' row takes the height the box gains (the width goes to every row).
        for (int i = 0; i < grid->count(); ++i) {
            QWidget* w = grid->itemAt(i)->widget();
            if (w && (w == details || w->isAncestorOf(details))) {
                int row, column, rows, columns;
                grid->getItemPosition(i, &row, &column, &rows, &columns);
                grid->setRowStretch(row, 1);
            }
        }
    }

    bool grows_ = false;
};

// Window managers set an icon and their buttons beside the title, often in a larger font than the
// window's; a box as narrow as its text leaves them no room and the title is cut to a letter or two.
// The room is counted in the font's measures, so it grows with the user's font and scale.
void LeaveRoomForTheTitle(QMessageBox& box)
{
    auto* buttons = box.findChild<QDialogButtonBox*>();
    if (!buttons || !box.layout())
        return;
    QFont font = box.font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    const int wanted = 2 * metrics.horizontalAdvance(box.windowTitle()) + 10 * metrics.height();
    const QMargins margins = box.layout()->contentsMargins() + box.contentsMargins();
    buttons->setMinimumWidth(wanted - margins.left() - margins.right());
}

// The details list a run's files, one a line, in a fixed-pitch font, kDetailsLines lines of
// kDetailsColumns characters in view; a longer line wraps (at a blank where it can) rather than run
// past the right edge, where a reader would never see how it ends.
void MakeDetailsReadable(QMessageBox& box)
{
    auto* details = box.findChild<QTextEdit*>();
    if (!details)
        return;
    details->ensurePolished();
    details->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    details->setLineWrapMode(QTextEdit::WidgetWidth);
    details->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    details->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    details->setAccessibleName(QStringLiteral("What was not converted, and why"));
    // A keyboard user can reach them to scroll.
    details->setFocusPolicy(Qt::StrongFocus);
    const QFontMetrics metrics(details->font());
    const int margins = 2 * qCeil(details->document()->documentMargin()) + 2 * details->frameWidth();
    const int bar = details->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, details);
    details->setMinimumHeight(kDetailsLines * metrics.lineSpacing() + margins);
    details->setMaximumHeight(QWIDGETSIZE_MAX);   // QMessageBox fixes it to a few lines
    details->setMinimumWidth(metrics.horizontalAdvance(QString(kDetailsColumns, QLatin1Char('M'))) + margins + bar);
}

// A screen reader names the box's icon by what it warns of, not as a picture without a name.
void NameTheIcon(QMessageBox& box, Icon icon)
{
    auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"));
    if (!label)
        return;
    switch (icon) {
    case Icon::Information: label->setAccessibleName(QStringLiteral("Information")); break;
    case Icon::Warning: label->setAccessibleName(QStringLiteral("Warning")); break;
    case Icon::Critical: label->setAccessibleName(QStringLiteral("Error")); break;
    case Icon::Question: label->setAccessibleName(QStringLiteral("Question")); break;
    case Icon::None: break;
    }
}

// A generator seeded from the seconds since midnight, as the start-up's chance draw expects.
QRandomGenerator& generator()
{
    static QRandomGenerator g(static_cast<quint32>(QTime::currentTime().msecsSinceStartOfDay() / 1000));
    return g;
}
} // namespace

void ShowFocusWithARing(QWidget& window)
{
    auto* ring = new QFocusFrame(&window);
    // Styles draw the ring in the highlight colour, made to be seen behind text, not beside it.
    QPalette inText = ring->palette();
    inText.setColor(QPalette::Highlight, inText.color(QPalette::WindowText));
    ring->setPalette(inText);
    QObject::connect(qApp, &QApplication::focusChanged, ring, [&window, ring](QWidget*, QWidget* now) {
        const bool ours = now && now != &window && window.isAncestorOf(now);
        ring->setWidget(ours && window.testAttribute(Qt::WA_KeyboardFocusChange) ? now : nullptr);
    });
}

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
    MessageBox box(toQt(icon), title.isEmpty() ? AppTitle() : title, displayText(text),
                   buttons == Buttons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, widgetOf(owner));
    if (!details.isEmpty()) {
        box.setDetailedText(details);
        MakeDetailsReadable(box);
    }
    NameTheIcon(box, icon);
    // The focus ring lies just outside a button, within the row that holds them.
    if (auto* row = box.findChild<QDialogButtonBox*>())
        row->setContentsMargins(4, 4, 4, 4);
    LeaveRoomForTheTitle(box);
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
