// Start-up of the main window: caption, title, skin, hand cursor, samples, list column, destination.
#include "app/form1.h"

#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "fs/main_procs.h"
#include "settings/settings.h"
#include "app/startup.h"
#include "ui_form1.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QCheckBox>
#include <QRadioButton>
#include <QTreeWidget>

namespace Tovanel::Main {
QString MakeAppTitle(const QString& productName)
{
    QString title = productName;
    do {
        const int blank = title.lastIndexOf(QLatin1Char(' '));
        if (blank < 0)
            break;
        title = title.left(blank);
    } while (title.size() > 40);
    return title;
}
} // namespace Tovanel::Main

namespace Tovanel {

namespace {
// Selects or clears one option button as the stored setting says. Qt refuses to clear the selected
// button of an exclusive pair, but a stored "False" for both must show neither selected; selecting
// still clears the other one and fires the click handler through toggled().
void SetOptionSelected(QRadioButton* option, bool selected)
{
    const bool exclusive = option->autoExclusive();
    if (!selected)
        option->setAutoExclusive(false);
    option->setChecked(selected);
    option->setAutoExclusive(exclusive);
}

// A stored option as a truth value. A stored text that is none ("maybe", typed by hand) still fails
// as designed, so the start-up reports it; its default is stored first, so that it is reported once
// and not at every start after. The option keeps its state, which is that default.
bool StoredTruthValue(const QString& key, bool byDefault)
{
    const QString stored = GetSetting(key, byDefault ? 1 : 0);
    try {
        return ToTruthValue(stored);
    } catch (const Failure&) {
        try {
            SaveSetting(key, byDefault ? QStringLiteral("True") : QStringLiteral("False"));
        } catch (const Failure&) {
            // Then the next start reports it again; the box still says what is wrong.
        }
        throw;
    }
}

// The point of a .cur file that clicks: its first image entry carries it (bytes 10 to 13); Qt's image
// reader drops it, and a hand that clicks beside its fingertip feels wrong.
QPoint CursorHotSpot(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(14);
    auto word = [&](int at) { return int(uchar(head[at])) | int(uchar(head[at + 1])) << 8; };
    if (head.size() < 14 || word(0) != 0 || word(2) != 2)
        return {};
    return QPoint(word(10), word(12));
}
} // namespace

void Form1::SetAppTitle() { SetAppTitleText(Main::MakeAppTitle(QStringLiteral("Tovanel"))); }

void Form1::ApplySkin()
{
    const QString skinPath = programFolder_ + QStringLiteral("/x/o.cjs");
    if (!QFileInfo(skinPath).isFile())
        return;
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    // The system's button text is made to be read on its button face, in light and dark palettes alike.
    const QColor buttonText = QApplication::palette().color(QPalette::ButtonText);
    // A control not in use (the options during a run) shows its caption dimmed toward the face, still read.
    const auto toFace = [&](float text, float face) { return 0.55f * text + 0.45f * face; };
    const QColor dimmed = QColor::fromRgbF(toFace(buttonText.redF(), buttonFace.redF()),
                                           toFace(buttonText.greenF(), buttonFace.greenF()),
                                           toFace(buttonText.blueF(), buttonFace.blueF()));
    auto paint = [&](QWidget* w) {
        QPalette p = w->palette();
        p.setColor(QPalette::Window, buttonFace);
        p.setColor(QPalette::WindowText, buttonText);
        p.setColor(QPalette::Disabled, QPalette::WindowText, dimmed);
        w->setPalette(p);
        w->setAutoFillBackground(true);
    };
    paint(this);
    for (QWidget* w : findChildren<QWidget*>())
        if (qobject_cast<QRadioButton*>(w) || qobject_cast<QCheckBox*>(w) || qobject_cast<QGroupBox*>(w)
            || qobject_cast<QLabel*>(w))
            paint(w);
    QFile skin(skinPath);
    if (skin.open(QIODevice::ReadOnly))
        setStyleSheet(QString::fromUtf8(skin.readAll()));
    skinApplied_ = true;
}

void Form1::Form_Load()
{
    ErrorTrap trap(dialogs_, FormLocation("Form_Load"));
    trap.run(100, [&] { setWindowTitle(QStringLiteral("Tovanel")); });
    trap.run(100, [&] { setWindowIcon(QIcon(programFolder_ + QStringLiteral("/tovanel.ico"))); });
    trap.run(100, [&] { SetAppTitle(); });
    trap.run(102, [&] { ApplySkin(); });
    const QString cursorPath = programFolder_ + QStringLiteral("/HAND-M.CUR");
    if (trap.test(104, [&] { return Main::FileExistsByDate(cursorPath); }))
        trap.run(106, [&] {
            QPixmap hand(cursorPath);
            hasHandCursor_ = !hand.isNull();
            if (hasHandCursor_) {
                const QPoint hotSpot = CursorHotSpot(cursorPath);
                handCursor_ = QCursor(hand, hotSpot.x(), hotSpot.y());
            }
        });
    trap.run(108, [&] { OpenWebSiteByChance(); });
    if (trap.test(110, [&] { return GetSetting(QStringLiteral("Snapshot"), QString()).isEmpty(); }))
        trap.run(110, [&] { TakeSampleSnapshot(); });
    if (trap.test(130, [&] { return GetSetting(QStringLiteral("Snapshot"), QString()).isEmpty(); }))
        trap.run(130, [&] { TakeSampleSnapshot(); });
    trap.run(132, [&] { ui_->ListView1->setHeaderLabels({QStringLiteral("TIFF File(s)")}); });
    trap.run(134, [&] { ui_->ListView1->setColumnWidth(0, 7000 / 15); });
    trap.run(136, [&] {
        const QString offered = Main::GetDefaultOutputFolder();   // computed before the setting is read
        ui_->Text1->setText(GetSetting(QStringLiteral("Text1"), offered));
    });
    trap.run(138, [&] { SetOptionSelected(ui_->Option1, StoredTruthValue(QStringLiteral("Option1"), true)); });
    trap.run(140, [&] { SetOptionSelected(ui_->Option2, StoredTruthValue(QStringLiteral("Option2"), false)); });
    if (trap.test(142, [&] { return ui_->Option1->isChecked(); }))
        trap.run(144, [&] { ui_->Frame4->setEnabled(true); });
    else
        trap.run(146, [&] { ui_->Frame4->setEnabled(false); });
}

} // namespace Tovanel
