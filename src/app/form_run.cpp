// "Start Converting" and the window's side of the conversion run: the destination and event processing.
#include "app/form1.h"

#include "fs/file.h"
#include "ui_form1.h"

namespace Tovanel {

void Form1::PushButton2_Click()
{
    const bool ran = run_.Start();
    // The window was closed during the run, which has now stopped and cleaned up after itself.
    if (closingAfterRun_) {
        endProgram_();
        return;
    }
    if (ran)
        emit runFinished();
}

Destination Form1::destination() const
{
    if (ui_->Option1->isChecked())
        return Destination::Folder;
    return ui_->Option2->isChecked() ? Destination::BesideSource : Destination::None;
}

QString Form1::destinationFolder() const { return ui_->Text1->text(); }

void Form1::processEvents() { Fs::ProcessPendingEvents(); }

} // namespace Tovanel
