// The main window: one class, its handlers defined in the folder of the subsystem that owns each.
#pragma once

#include "convert/conversion_run.h"
#include "convert/run_host.h"

#include <QCursor>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class QMimeData;
class QTreeWidgetItem;
class QDragMoveEvent;
class QDropEvent;

namespace Ui { class Form1; }

namespace Tovanel {

class Dialogs;

// The window is the conversion run's host: the run reads the list and destination and shows its
// progress here.
// Keys the window handles by their code.
enum KeyCode : int { KeyDelete = 46 };

// What a test or a benchmark may set differently from the program.
struct FormOptions {
    // A tool still running after this long is stopped with its process group; its page gives no PNG.
    qint64 toolTimeoutMs = ConversionRun::kDefaultToolTimeoutMs;
    // How closing the window during long work ends the program at once; empty = leave at once.
    std::function<void()> endProgram;
    // Tool calls at once in a run; 0 for the cores the program may use.
    int jobs = 0;
};

class Form1 : public QWidget, public RunHost {
    Q_OBJECT
public:
    using Options = FormOptions;

    // programFolder: where the program's beside-files (cursor, skin, Samples) lie; empty = the executable's folder.
    explicit Form1(Dialogs& dialogs, QString programFolder = QString(), Options options = Options(),
                   QWidget* parent = nullptr);
    ~Form1() override;

    Ui::Form1& ui() { return *ui_; }
    Dialogs& dialogs() override { return dialogs_; }
    const QString& programFolder() const { return programFolder_; }

    // The window's mouse pointer (0 default, 11 hourglass, 99 hand); 11 marks a long operation.
    int mousePointer() const { return mousePointer_; }
    void setMousePointer(int value) override;
    bool isBusy() const { return mousePointer_ == PointerHourglass; }
    // The list's own pointer (99 with the drag picture while an entry is carried, 1 arrow).
    int listPointer() const { return listPointer_; }
    void setListPointer(int value);

    // The file list, addressed by 1-based position.
    void addListItem(const QString& text);
    int listCount() const override;
    QString listText(int position) const override;
    void removeListItem(int position);
    void clearList();
    QStringList listTexts() const;

    // The progress bar's value keeps its fraction; the bar shows it rounded.
    double progressValue() const { return progressValue_; }
    void setProgressValue(double value) override;
    QString progressText() const;
    void setProgressText(const QString& text) override;

    // The rest of the run's host (app/form_run.cpp).
    Destination destination() const override;
    QString destinationFolder() const override;
    int jobs() const override { return jobs_; }
    QObject* dialogOwner() override { return this; }
    void processEvents() override;

    bool isConverting() const { return run_.isConverting(); }
    // The process group of the tool running now, 0 when none.
    qint64 runningToolGroup() const { return run_.runningToolGroup(); }

public slots:
    // Main window (app/)
    void Form_Load();
    void PushButton7_Click();
    // Output destination (app/)
    void Option1_Click();
    void Option2_Click();
    void Text1_Change();
    void PushButton6_Click();
    // File list (filelist/)
    void PushButton1_Click();
    void PushButton3_Click();
    void PushButton4_Click();
    // Conversion (convert/)
    void PushButton2_Click();
    // Samples (samples/)
    void PushButton5_Click();

public:
    // File list events (filelist/)
    void ListView1_KeyDown(int keyCode);
    void ListView1_DblClick();
    void ListView1_MouseDown(Qt::MouseButton button);
    void ListView1_ItemClick(QTreeWidgetItem* item);
    void ListView1_MouseMove(Qt::MouseButtons buttons, int x, int y);
    void ListView1_MouseUp();
    // Drag-and-drop intake (filelist/): returns whether the drag is welcome.
    bool ListView1_OLEDragOver(const QMimeData* data);
    void ListView1_OLEDragDrop(const QMimeData* data);

    // Start-up procedures of module Main that need the window (app/)
    void SetAppTitle();
    void ApplySkin();
    bool skinApplied() const { return skinApplied_; }
    // Samples (samples/)
    void TakeSampleSnapshot();
    void LoadSampleFiles();
    void OpenWebSiteByChance();

signals:
    void runFinished();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void connectControls();
    // Shows as not in use the controls whose use the long work going on would ignore.
    void showWhatIsInUse();
    void applyPointer();
    void applyButtonFonts();
    // Stopping a run from the window (app/form_run.cpp): Escape or closing asks first, once at a time.
    bool mayAskToStop() const { return run_.isConverting() && !run_.stopRequested() && !askingToStop_; }
    bool AskToStop();
    void EscapeDuringRun();
    int itemId(QTreeWidgetItem* item) const;
    QTreeWidgetItem* itemById(int id) const;

    std::unique_ptr<Ui::Form1> ui_;
    Dialogs& dialogs_;
    QString programFolder_;
    int mousePointer_ = PointerDefault;
    int listPointer_ = PointerDefault;
    QCursor handCursor_;
    bool hasHandCursor_ = false;
    bool skinApplied_ = false;
    double progressValue_ = 0.0;
    QString progressText_ = QStringLiteral("Progress Bar");

    // Drag state of the list: the flag, the carried entry (by id; gone from the list counts as none).
    bool dragFlag_ = false;
    int movedEntry_ = 0;
    int nextItemId_ = 1;

    // Where focus was when a run took it from a control it leaves out of use; it goes back there after.
    QPointer<QWidget> focusBeforeRun_, focusMovedTo_;
    bool openedOnce_ = false;   // the window has been active: its first focus was shown

    std::function<void()> endProgram_;
    int jobs_ = 0;
    bool closingAfterRun_ = false;   // the window was closed during a run: the program ends with it
    bool askingToStop_ = false;      // the question whether to stop the run is open
    // The conversion run (convert/), with this window as its host.
    ConversionRun run_;
};

} // namespace Tovanel
