// "Start Converting" and the window's side of the conversion run: the destination, event processing and stopping.
#include "app/form1.h"

#include "fs/file.h"
#include "platform/dialogs.h"
#include "ui_form1.h"

#include <QScopedValueRollback>

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

bool Form1::AskToStop()
{
    const QScopedValueRollback<bool> asking(askingToStop_, true);
    // The question opens inside the run's wait: the tool calls already running go on to their end, and
    // the next ones start once it is answered.
    return dialogs_.message(this, QStringLiteral("Stop converting? The pages written so far are kept."), QString(),
                            Buttons::YesNo, Icon::Question)
           == Answer::Yes;
}

void Form1::EscapeDuringRun()
{
    // Should the run have ended while the question was open, the stop finds nothing left to stop.
    if (mayAskToStop() && AskToStop())
        run_.Stop();
}

QString Form1::destinationFolder() const { return ui_->Text1->text(); }

void Form1::processEvents() { Fs::ProcessPendingEvents(); }

} // namespace Tovanel
