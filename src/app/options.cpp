// The output destination: the two option buttons, the folder box and its browse button.
#include "app/form1.h"

#include "fs/addfolder.h"
#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "settings/settings.h"
#include "ui_form1.h"

namespace Tovanel {

namespace {

// Set on the window while its untrapped handlers can't save: the user hears of an outage once, not
// at every keystroke, and again only after a save has worked in between.
const char* const kSaveFailing = "tovanelSettingsSaveFailing";

QString TruthText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }

// Stores from a handler that has no error trap: a failure must neither escape into Qt's signal
// delivery nor vanish, so it is shown once through the seam.
void SaveUntrapped(Form1& form, const QString& key, const QString& value)
{
    try {
        SaveSetting(key, value);
        form.setProperty(kSaveFailing, false);
    } catch (const Failure& failure) {
        const bool damageNotice = failure.number() == SettingsDamagedNumber;
        if (!damageNotice && form.property(kSaveFailing).toBool())
            return;
        if (!damageNotice)
            form.setProperty(kSaveFailing, true);
        const QString text = damageNotice
            ? QString::fromUtf8(failure.what())
            : QString::fromUtf8(failure.what())
                  + QStringLiteral("\r\n\r\nThe program goes on, but changes to the output destination are not "
                                   "remembered until the settings can be saved again. This message is not repeated "
                                   "until then.");
        form.dialogs().message(&form, text, QString(), Buttons::Ok, Icon::Warning);
    }
}

} // namespace

void Form1::Option1_Click()
{
    SaveUntrapped(*this, QStringLiteral("Option1"), TruthText(ui_->Option1->isChecked()));
    SaveUntrapped(*this, QStringLiteral("Option2"), TruthText(ui_->Option2->isChecked()));
    ui_->Frame4->setEnabled(ui_->Option1->isChecked());
}

void Form1::Option2_Click() { Option1_Click(); }

void Form1::Text1_Change() { SaveUntrapped(*this, QStringLiteral("Text1"), ui_->Text1->text()); }

void Form1::PushButton6_Click()
{
    ErrorTrap trap(dialogs_, FormLocation("PushButton6_Click"));
    QString remembered;
    QString result;
    trap.run(100, [&] { remembered = GetSetting(QStringLiteral("LastFolderDot"), QString()); });
    trap.run(100, [&] {
        result = AddFolder::BrowseForFolder(dialogs_, this, QStringLiteral("Please select folder:"), remembered);
    });
    if (trap.leaveIf(102, [&] { return result.isEmpty(); }))
        return;
    trap.run(104, [&] { remembered = result; });
    trap.run(104, [&] { SaveSetting(QStringLiteral("LastFolderDot"), remembered); });
    // The root "/" already ends in the separator and is shown as it is.
    if (trap.test(104, [&] { return !result.endsWith(QLatin1Char('/')); }))
        trap.run(106, [&] { ui_->Text1->setText(result + QLatin1Char('/')); });
    else
        trap.run(108, [&] { ui_->Text1->setText(result); });
}

} // namespace Tovanel
