// The main window as the user meets it: controls, fonts, places, pointer rule, Help and the skin.
#include "window_fixture.h"

#include "app/qt_dialogs.h"

#include <QFile>
#include <QGroupBox>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>

using namespace Tovanel;

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void controlsHaveDesignedCaptionsContainersAndPlaces_data();
    void controlsHaveDesignedCaptionsContainersAndPlaces();
    void windowIsFixedSizeWithTitleAndNoMaximize();
    void fontsAreArialBold();
    void tabOrderFollowsTheDesign();
    void listHasOneColumnAndTheToolTip();
    void pointerTurnsToHandOverButtonsAndBackOverFrames();
    void hourglassStaysWhileBusy();
    void helpShowsItsMessageWithTheApplicationTitle();
    void skinRecoloursOnlyWhenItsFileExists();
    void messageBoxShowsItsDetails_data();
    void messageBoxShowsItsDetails();
};

void WindowTest::controlsHaveDesignedCaptionsContainersAndPlaces_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("twips");
    QTest::newRow("ListView1") << "ListView1" << "" << "Form1" << QRect(120, 630, 7800, 2535);
    QTest::newRow("ProgressBar1") << "ProgressBar1" << "Progress Bar" << "Form1" << QRect(120, 6660, 7800, 405);
    QTest::newRow("PushButton1") << "PushButton1" << "Add TIFF File(s)" << "Form1" << QRect(120, 3250, 3840, 405);
    QTest::newRow("PushButton3") << "PushButton3" << "Add All TIFF File(s) In Folder" << "Form1" << QRect(4080, 3250, 3840, 405);
    QTest::newRow("PushButton2") << "PushButton2" << "Start Converting" << "Form1" << QRect(120, 6140, 7800, 405);
    QTest::newRow("PushButton7") << "PushButton7" << "Help" << "Form1" << QRect(120, 120, 7800, 405);
    QTest::newRow("PushButton4") << "PushButton4" << "Clear List" << "Form1" << QRect(120, 3760, 3840, 405);
    QTest::newRow("PushButton5") << "PushButton5" << "Load Sample/Example Files" << "Form1" << QRect(4080, 3760, 3840, 405);
    QTest::newRow("Frame3") << "Frame3" << "Save Option" << "Form1" << QRect(120, 4200, 7800, 1815);
    QTest::newRow("Frame4") << "Frame4" << "" << "Frame3" << QRect(480, 510, 6840, 810);
    QTest::newRow("Text1") << "Text1" << "" << "Frame4" << QRect(120, 300, 5670, 345);
    QTest::newRow("PushButton6") << "PushButton6" << "..." << "Frame4" << QRect(6000, 300, 600, 345);
    QTest::newRow("Option1") << "Option1" << "Save results to this folder:" << "Frame3" << QRect(240, 300, 3615, 255);
    QTest::newRow("Option2") << "Option2" << "Save results in folder of original file" << "Frame3" << QRect(240, 1410, 3615, 255);
}

void WindowTest::controlsHaveDesignedCaptionsContainersAndPlaces()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, container);
    QFETCH(QRect, twips);
    WindowFixture w;
    auto* control = w.form->findChild<QWidget*>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(control->parentWidget()->objectName(), container);
    const QRect pixels(qRound(twips.x() / 15.0), qRound(twips.y() / 15.0), qRound(twips.width() / 15.0),
                       qRound(twips.height() / 15.0));
    QCOMPARE(control->geometry(), pixels);
    if (auto* b = qobject_cast<QAbstractButton*>(control))
        QCOMPARE(b->text(), caption);
    else if (auto* g = qobject_cast<QGroupBox*>(control))
        QCOMPARE(g->title(), caption);
    else if (auto* p = qobject_cast<QProgressBar*>(control))
        QCOMPARE(p->format(), caption);
}

void WindowTest::windowIsFixedSizeWithTitleAndNoMaximize()
{
    WindowFixture w;
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Tovanel"));
    QCOMPARE(w.form->size(), QSize(536, 479));
    QCOMPARE(w.form->minimumSize(), w.form->maximumSize());
    QVERIFY(w.form->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(w.form->windowFlags() & Qt::WindowMaximizeButtonHint));
    // What the window system is handed: only the buttons named, no defaults filled in beside them.
    QVERIFY(w.form->windowHandle());
    const Qt::WindowFlags handed = w.form->windowHandle()->flags();
    QVERIFY(handed & Qt::CustomizeWindowHint);
    QVERIFY(handed & Qt::WindowMinimizeButtonHint);
    QVERIFY(handed & Qt::WindowCloseButtonHint);
    QVERIFY(!(handed & Qt::WindowMaximizeButtonHint));
    QVERIFY(!w.form->windowIcon().isNull());
    QCOMPARE(AppTitle(), QStringLiteral("Tovanel"));
}

void WindowTest::fontsAreArialBold()
{
    WindowFixture w;
    for (QWidget* c : {static_cast<QWidget*>(w.ui().Frame3), static_cast<QWidget*>(w.ui().Option1),
                       static_cast<QWidget*>(w.ui().Text1), static_cast<QWidget*>(w.ui().ListView1)}) {
        QCOMPARE(c->font().family(), QStringLiteral("Arial"));
        QCOMPARE(c->font().pointSizeF(), 9.0);
        QVERIFY(c->font().bold());
    }
    for (QPushButton* b : w.form->findChildren<QPushButton*>()) {
        QCOMPARE(b->font().pointSizeF(), 11.25);
        QVERIFY2(b->font().bold(), qPrintable(b->objectName()));
    }
}

void WindowTest::tabOrderFollowsTheDesign()
{
    WindowFixture w;
    const QStringList expected{"ListView1", "PushButton1", "PushButton3", "PushButton2", "PushButton7",
                               "PushButton4", "PushButton5", "Text1", "PushButton6", "Option1"};
    QWidget* current = w.ui().ListView1;
    for (int i = 1; i < expected.size(); ++i) {
        current = current->nextInFocusChain();
        // Skip the pieces that belong to a control (scroll bars, header, viewport) and unfocusable widgets.
        while (current && (current->focusPolicy() & Qt::TabFocus) != Qt::TabFocus)
            current = current->nextInFocusChain();
        QVERIFY(current);
        QCOMPARE(current->objectName(), expected[i]);
    }
}

void WindowTest::listHasOneColumnAndTheToolTip()
{
    WindowFixture w;
    QTreeWidget* list = w.ui().ListView1;
    QCOMPARE(list->columnCount(), 1);
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("TIFF File(s)"));
    QCOMPARE(list->columnWidth(0), 7000 / 15);
    QVERIFY(!list->rootIsDecorated());
    QCOMPARE(list->toolTip(), QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | line to "
                                             "right and out of window to reveal full names."));
    // A path longer than the column loses its middle, so the file name stays in view; its row's tip
    // shows it whole.
    QCOMPARE(list->textElideMode(), Qt::ElideMiddle);
    const QString longPath = QStringLiteral("/home/ann/Scans/archive/2019/insurance/claims/water-damage/kitchen/"
                                            "ceiling-photos-before-repair.tif");
    w.list({QStringLiteral("/short.tif"), longPath});
    QVERIFY(list->fontMetrics().horizontalAdvance(longPath) > list->columnWidth(0));
    QCOMPARE(list->topLevelItem(0)->toolTip(0), QStringLiteral("/short.tif"));
    QCOMPARE(list->topLevelItem(1)->toolTip(0), longPath);
}

static void hover(QWidget* widget)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(3, 3), widget->mapToGlobal(QPointF(3, 3)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &move);
}

void WindowTest::pointerTurnsToHandOverButtonsAndBackOverFrames()
{
    WindowFixture w;
    QCOMPARE(w.form->mousePointer(), 0);
    struct Step { QWidget* over; int pointer; };
    const Step steps[] = {{w.ui().PushButton1, 99}, {w.ui().Frame3, 0}, {w.ui().PushButton7, 99},
                          {w.ui().Text1, 0},        {w.ui().PushButton6, 99}, {w.ui().Option2, 0},
                          {w.ui().PushButton2, 99}, {w.form.get(), 0},       {w.ui().PushButton5, 99},
                          {w.ui().ListView1->viewport(), 0}};
    for (const Step& s : steps) {
        hover(s.over);
        QCOMPARE(w.form->mousePointer(), s.pointer);
    }
    hover(w.ui().PushButton4);
    QCOMPARE(w.form->cursor().shape(), Qt::BitmapCursor);   // the hand picture from HAND-M.CUR
    hover(w.ui().Frame4);
    QCOMPARE(w.form->cursor().shape(), Qt::ArrowCursor);
}

void WindowTest::hourglassStaysWhileBusy()
{
    WindowFixture w;
    w.form->setMousePointer(PointerHourglass);
    for (QWidget* over : {static_cast<QWidget*>(w.ui().PushButton1), static_cast<QWidget*>(w.ui().Frame3),
                          w.ui().ListView1->viewport(), static_cast<QWidget*>(w.ui().PushButton3)}) {
        hover(over);
        QCOMPARE(w.form->mousePointer(), 11);
        QCOMPARE(over->cursor().shape(), Qt::WaitCursor);
    }
}

void WindowTest::helpShowsItsMessageWithTheApplicationTitle()
{
    WindowFixture w;
    QTest::mouseClick(w.ui().PushButton7, Qt::LeftButton);
    const auto messages = w.dialogs.messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].text, QStringLiteral("Make sure TIFF files are TIFF files and not PNG files (for example) with "
                                              "a TIFF file extension."));
    QCOMPARE(messages[0].title, QString());   // the application title
    QCOMPARE(messages[0].icon, Icon::None);
    QCOMPARE(messages[0].buttons, Buttons::Ok);
}

void WindowTest::skinRecoloursOnlyWhenItsFileExists()
{
    QTemporaryDir bare;   // a program folder without the skin
    {
        WindowFixture w(bare.path());
        QVERIFY(!w.form->skinApplied());
        QCOMPARE(w.form->palette().color(QPalette::Window), QColor(Qt::white));
    }
    QVERIFY(QDir().mkpath(bare.path() + "/x"));
    QVERIFY(QFile::copy(builtProgramFolder() + "/x/o.cjs", bare.path() + "/x/o.cjs"));
    WindowFixture w(bare.path());
    QVERIFY(w.form->skinApplied());
    const QColor face = QApplication::palette().color(QPalette::Button);
    QCOMPARE(w.form->palette().color(QPalette::Window), face);
    QCOMPARE(w.ui().Option1->palette().color(QPalette::Window), face);
    QCOMPARE(w.ui().Frame3->palette().color(QPalette::Window), face);
    QVERIFY(!w.form->styleSheet().isEmpty());
}

// The production message box: the text, the application title, no icon, OK only, and the details
// (what a run did not convert) as the box's unfoldable detailed text, or none.
void WindowTest::messageBoxShowsItsDetails_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("details");
    QTest::newRow("done alone") << "Done." << "";
    QTest::newRow("done with details") << "Done.\n1 of 2 files were not converted completely."
                                       << "/a/b.tif: not converted: not a TIFF file\n/a/c.tif: 0 of 1 pages written";
}

void WindowTest::messageBoxShowsItsDetails()
{
    QFETCH(QString, text);
    QFETCH(QString, details);
    QtDialogs dialogs;
    QString seenText, seenDetails, seenTitle;
    int seenIcon = -1, seenButtons = -1;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seenText = box->text();
        seenDetails = box->detailedText();
        seenTitle = box->windowTitle();
        seenIcon = box->icon();
        seenButtons = box->standardButtons();
        box->accept();
    });
    QCOMPARE(dialogs.message(nullptr, text, QString(), Buttons::Ok, Icon::None, details), Answer::Ok);
    QCOMPARE(seenText, text);
    QCOMPARE(seenDetails, details);
    QCOMPARE(seenTitle, AppTitle());
    QCOMPARE(seenIcon, int(QMessageBox::NoIcon));
    QCOMPARE(seenButtons, int(QMessageBox::Ok));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
