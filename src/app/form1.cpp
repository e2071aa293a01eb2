// The main window: controls, pointer rule, Help, closing, and the routing of control events to handlers.
#include "app/form1.h"

#include "app/qt_dialogs.h"

#include "filelist/drop.h"
#include "platform/dialogs.h"
#include "platform/error_trap.h"
#include "ui_form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QTreeWidget>

#include <csignal>
#include <unistd.h>

namespace Tovanel {


Form1::Form1(Dialogs& dialogs, QString programFolder, Options options, QWidget* parent)
    // Without CustomizeWindowHint the window system fills in its default buttons, a maximize button among
    // them, which does nothing on a window of fixed size.
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      ui_(std::make_unique<Ui::Form1>()), dialogs_(dialogs),
      programFolder_(programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : std::move(programFolder)),
      endProgram_(options.endProgram ? std::move(options.endProgram) : [] { ::_exit(0); }),
      jobs_(options.jobs), run_(*this, options.toolTimeoutMs)
{
    ui_->setupUi(this);
    setFixedSize(536, 479);
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    // A dark desktop palette brings light text; on the white background it would all but vanish.
    white.setColor(QPalette::WindowText, Qt::black);
    white.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6b, 0x6b, 0x6b));   // not in use, still read
    setPalette(white);
    applyButtonFonts();
    ui_->ListView1->setFont(QFont(QStringLiteral("Arial"), 9, QFont::Bold));
    ui_->ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ui_->ListView1->viewport()->setAcceptDrops(true);
    connectControls();
    // "..." has no letter of its own to carry a mnemonic: B for browse. (A caption with "&" would set
    // its own shortcut; this one has none, so the key is given after the captions are in place.)
    ui_->PushButton6->setShortcut(QKeySequence(Qt::ALT | Qt::Key_B));
    ui_->PushButton6->setToolTip(QStringLiteral("Choose the folder for the results (Alt+B)"));
    ShowFocusWithARing(*this);
    // The window opens with focus where the round of Tab begins, at the top; left to itself it would
    // take the first control of its focus chain, "Start Converting", where a stray Enter starts a run.
    ui_->PushButton7->setFocus();
    Form_Load();
    // Centred on the screen when first shown.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

Form1::~Form1() = default;

void Form1::applyButtonFonts()
{
    QFont buttonFont(QStringLiteral("Arial"));
    buttonFont.setPointSizeF(11.25);
    buttonFont.setBold(true);
    for (QPushButton* b : {ui_->PushButton1, ui_->PushButton2, ui_->PushButton3, ui_->PushButton4, ui_->PushButton5,
                           ui_->PushButton6, ui_->PushButton7})
        b->setFont(buttonFont);
}

void Form1::connectControls()
{
    connect(ui_->PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(ui_->PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(ui_->PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(ui_->PushButton4, &QPushButton::clicked, this, &Form1::PushButton4_Click);
    connect(ui_->PushButton5, &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(ui_->PushButton6, &QPushButton::clicked, this, &Form1::PushButton6_Click);
    connect(ui_->PushButton7, &QPushButton::clicked, this, &Form1::PushButton7_Click);
    // An option's click handler runs whenever it becomes selected, by the user or by the program.
    connect(ui_->Option1, &QRadioButton::toggled, this, [this](bool on) { if (on) Option1_Click(); });
    connect(ui_->Option2, &QRadioButton::toggled, this, [this](bool on) { if (on) Option2_Click(); });
    connect(ui_->Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
    // The selected option is the pair's one Tab stop, however it came to be selected (Qt moves the stop
    // only to an option that takes focus); the arrow keys move between the two.
    for (QRadioButton* option : {ui_->Option1, ui_->Option2})
        connect(option, &QRadioButton::toggled, this, [this] {
            const bool none = !ui_->Option1->isChecked() && !ui_->Option2->isChecked();
            for (QRadioButton* o : {ui_->Option1, ui_->Option2})
                o->setFocusPolicy(none || o->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
        });

    // The pointer rule needs moves without a pressed button.
    setMouseTracking(true);
    const QList<QWidget*> tracked{ui_->PushButton1, ui_->PushButton2, ui_->PushButton3, ui_->PushButton4,
                                  ui_->PushButton5, ui_->PushButton6, ui_->PushButton7, ui_->Frame3,
                                  ui_->Frame4, ui_->Option1, ui_->Option2, ui_->Text1, ui_->ProgressBar1};
    for (QWidget* w : tracked) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
    installEventFilter(this);
    ui_->ListView1->installEventFilter(this);
    ui_->ListView1->viewport()->setMouseTracking(true);
    ui_->ListView1->viewport()->installEventFilter(this);
}

void Form1::setMousePointer(int value)
{
    mousePointer_ = value;
    applyPointer();
    showWhatIsInUse();
}

void Form1::showWhatIsInUse()
{
    // A run is going from its hourglass to its closing box: meanwhile a second start is not taken, and
    // the destination it writes to stays as it began. Clearing waits for any long work to end. Adding
    // files, Help and the list's reordering stay in use, and so do Escape and closing, which ask to stop.
    const bool converting = run_.isConverting() && isBusy();
    // Focus that this moves on (from "Start Converting" pressed by Enter, say) goes back at the end,
    // unless the user has taken it elsewhere meanwhile.
    const bool starting = converting && ui_->PushButton2->isEnabled();
    QWidget* focus = focusWidget();
    ui_->PushButton2->setEnabled(!converting);
    ui_->Frame3->setEnabled(!converting);   // the options, the folder and its browse button (Frame4 keeps its own state)
    ui_->PushButton4->setEnabled(!isBusy());
    if (starting) {
        focusBeforeRun_ = focus;
        focusMovedTo_ = focusWidget() != focus ? focusWidget() : nullptr;
    } else if (!converting && focusBeforeRun_) {
        if (focusMovedTo_ && focusWidget() == focusMovedTo_ && focusBeforeRun_->isEnabled())
            focusBeforeRun_->setFocus(Qt::OtherFocusReason);
        focusBeforeRun_ = focusMovedTo_ = nullptr;
    }
}

void Form1::applyPointer()
{
    // The window's pointer applies over the whole window, controls included.
    QList<QWidget*> all = findChildren<QWidget*>();
    all.prepend(this);
    for (QWidget* w : all) {
        if (w == ui_->ListView1->viewport() && listPointer_ != PointerDefault && mousePointer_ == PointerDefault)
            continue;   // the list's own pointer shows while the window has none of its own
        switch (mousePointer_) {
        case PointerHourglass: w->setCursor(Qt::WaitCursor); break;
        case PointerCustom: w->setCursor(hasHandCursor_ ? handCursor_ : QCursor(Qt::PointingHandCursor)); break;
        default: w->unsetCursor(); break;
        }
    }
}

void Form1::setListPointer(int value)
{
    listPointer_ = value;
    if (mousePointer_ != PointerDefault)
        return;
    QWidget* viewport = ui_->ListView1->viewport();
    if (value == PointerCustom) {
        QPixmap picture(programFolder_ + QStringLiteral("/drag.ico"));
        if (!picture.isNull())
            viewport->setCursor(QCursor(picture));
    } else if (value == PointerArrow) {
        viewport->setCursor(Qt::ArrowCursor);
    } else {
        viewport->unsetCursor();
    }
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    QTreeWidget* list = ui_->ListView1;
    if (watched == list->viewport()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* me = static_cast<QMouseEvent*>(event);
            ListView1_MouseDown(me->button());
            // The pressed entry becomes the carried one before the first move is handled.
            if (QTreeWidgetItem* item = list->itemAt(me->position().toPoint())) {
                list->setCurrentItem(item);
                ListView1_ItemClick(item);
            }
            break;
        }
        case QEvent::MouseMove: {
            auto* me = static_cast<QMouseEvent*>(event);
            const QPoint p = me->position().toPoint();
            ListView1_MouseMove(me->buttons(), p.x(), p.y());
            // While an entry is carried the list must not turn the move into a selection sweep.
            if (dragFlag_)
                return true;
            break;
        }
        case QEvent::MouseButtonRelease:
            ListView1_MouseUp();
            break;
        case QEvent::MouseButtonDblClick:
            ListView1_DblClick();
            break;
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* de = static_cast<QDragMoveEvent*>(event);
            Intake::AnswerAsCopy(*de, ListView1_OLEDragOver(de->mimeData()));
            return true;
        }
        case QEvent::Drop: {
            auto* de = static_cast<QDropEvent*>(event);
            if (Intake::AnswerAsCopy(*de, true))
                ListView1_OLEDragDrop(de->mimeData());
            return true;
        }
        default:
            break;
        }
        return QWidget::eventFilter(watched, event);
    }
    // The first focus shows as the window opens, as one the keyboard moved would: a user who starts
    // with the keyboard must see where it is before pressing a key. (Showing the window clears the mark.)
    if (watched == this && event->type() == QEvent::WindowActivate && !openedOnce_) {
        openedOnce_ = true;
        setAttribute(Qt::WA_KeyboardFocusChange);
    }
    // During a run Escape is the user's way to stop it, whichever control has focus; otherwise it is
    // left to the controls as before.
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape
        && run_.isConverting()) {
        EscapeDuringRun();
        return true;
    }
    if (watched == ui_->Text1 && event->type() == QEvent::KeyPress) {
        // An Alt key that no control answers is no text: a stray one must not replace the folder typed.
        auto* ke = static_cast<QKeyEvent*>(event);
        if ((ke->modifiers() & Qt::AltModifier) && !(ke->modifiers() & Qt::ControlModifier) && !ke->text().isEmpty()
            && ke->text().at(0).isPrint())
            return true;
    }
    if (watched == list && event->type() == QEvent::KeyPress) {
        auto* ke = static_cast<QKeyEvent*>(event);
        if (ke->key() == Qt::Key_Delete)
            ListView1_KeyDown(KeyDelete);
        return QWidget::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress && qobject_cast<QAbstractButton*>(watched)) {
        // Enter presses the focused button as Space does; held down, it presses once.
        auto* ke = static_cast<QKeyEvent*>(event);
        const bool enter = ke->key() == Qt::Key_Return || ke->key() == Qt::Key_Enter;
        if (enter && (ke->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!ke->isAutoRepeat())
                static_cast<QAbstractButton*>(watched)->click();
            return true;
        }
    }
    if (event->type() == QEvent::MouseMove && !isBusy()) {
        // Hover rule: the hand over any button, the arrow over the background, frames, options and text box.
        const bool overButton = qobject_cast<QPushButton*>(watched) != nullptr;
        const int wanted = overButton ? PointerCustom : PointerDefault;
        if (mousePointer_ != wanted)
            setMousePointer(wanted);
        // A button ignores a plain move, which would then reach the window's background and undo the hand.
        if (overButton && static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton)
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::PushButton7_Click()
{
    ErrorTrap trap(dialogs_, FormLocation("PushButton7_Click"));
    trap.run(100, [&] {
        dialogs_.message(this,
                         QStringLiteral("Make sure TIFF files are TIFF files and not PNG files (for example) with a TIFF "
                                        "file extension."),
                         QString(), Buttons::Ok, Icon::None);
    });
}

void Form1::closeEvent(QCloseEvent* event)
{
    // During a run the user first says whether to stop it; No keeps the window and the run. A close
    // while that question is open is the same wish again, and the question's answer decides.
    if (askingToStop_ || (mayAskToStop() && !AskToStop())) {
        event->ignore();
        return;
    }
    event->accept();
    // A run is stopped rather than cut off: its tools end, the outputs already written stay, and its
    // working folder goes before the program ends (when the run returns, in PushButton2_Click).
    if (run_.isConverting()) {
        closingAfterRun_ = true;
        run_.Stop(ConversionRun::StopQuietly);
        return;
    }
    if (isBusy()) {
        endProgram_();
        return;
    }
    QCoreApplication::quit();
}

void Form1::setProgressValue(double value)
{
    progressValue_ = value;
    ui_->ProgressBar1->setValue(qRound(value));
}

QString Form1::progressText() const { return progressText_; }

void Form1::setProgressText(const QString& text)
{
    progressText_ = text;
    // The bar draws its format as the caption; a literal "%" must not be taken for a placeholder.
    QString escaped = text;
    escaped.replace(QLatin1Char('%'), QStringLiteral("%%"));
    ui_->ProgressBar1->setFormat(escaped);
    // A screen reader names the bar by its caption, so it hears which file is being converted; the idle
    // caption names the bar's kind, which a reader says anyway, so it hears what the bar is for.
    ui_->ProgressBar1->setAccessibleName(text == QLatin1String("Progress Bar") ? QStringLiteral("Conversion progress")
                                                                                : text);
}

} // namespace Tovanel
