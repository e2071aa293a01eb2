// The main window as the user meets it: controls, fonts, places, pointer rule, Help and the skin.
#include "window_fixture.h"

#include "app/qt_dialogs.h"

#include <QAccessible>
#include <QFile>
#include <QGroupBox>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>
#include <QtMath>
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
    void tabGoesRoundInReadingOrder_data();
    void tabGoesRoundInReadingOrder();
    void enterPressesTheFocusedButton_data();
    void enterPressesTheFocusedButton();
    void controlsAreNamedAndDescribedToScreenReaders_data();
    void controlsAreNamedAndDescribedToScreenReaders();
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
        QCOMPARE(QString(b->text()).remove(QLatin1Char('&')), caption);   // "&" only underlines the Alt-letter
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

void WindowTest::tabGoesRoundInReadingOrder_data()
{
    QTest::addColumn<int>("selected");   // the option selected, 0 for neither
    QTest::addColumn<QStringList>("expected");
    const QStringList top{"PushButton7", "ListView1", "PushButton1", "PushButton3", "PushButton4", "PushButton5"};
    // The selected option is the pair's one stop; the folder box and its button are stops while in use.
    QTest::newRow("results to a folder") << 1 << top + QStringList{"Option1", "Text1", "PushButton6", "PushButton2", "PushButton7"};
    QTest::newRow("results beside the source") << 2 << top + QStringList{"Option2", "PushButton2", "PushButton7"};
    QTest::newRow("neither option selected") << 0 << top + QStringList{"Option1", "PushButton2", "PushButton7"};
}

void WindowTest::tabGoesRoundInReadingOrder()
{
    QFETCH(int, selected);
    QFETCH(QStringList, expected);
    // The options as the last start left them: the window restores them as it opens.
    QTemporaryDir config;
    QFile ini(config.path() + QStringLiteral("/Varnholt.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QStringLiteral("[Tovanel]\nOption1=%1\nOption2=%2\n")
                  .arg(selected == 1 ? "True" : "False", selected == 2 ? "True" : "False").toUtf8());
    ini.close();
    WindowFixture w(config.path(), builtProgramFolder());
    QCOMPARE(w.ui().Option2->isChecked(), selected == 2);
    w.form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
    // The window opens with focus where the round begins.
    QStringList forth{QApplication::focusWidget()->objectName()};
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        forth << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(forth, expected);
}

// What a press left behind: what was shown, the list, the destination chosen.
static QStringList Aftermath(WindowFixture& w)
{
    QStringList seen;
    for (const Shown& s : w.dialogs.shown)
        seen << s.kind + QLatin1String(": ") + s.text;
    seen << QLatin1String("list: ") + w.form->listTexts().join(QLatin1Char('|'));
    seen << QLatin1String("beside the source: ") + QString::number(w.ui().Option2->isChecked());
    seen << QLatin1String("folder: ") + w.ui().Text1->text();
    return seen;
}

void WindowTest::enterPressesTheFocusedButton_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    for (const char* button : {"PushButton7", "PushButton1", "PushButton3", "PushButton4", "PushButton5",
                               "PushButton6", "PushButton2", "Option2"}) {
        QTest::addRow("%s, Enter", button) << button << int(Qt::Key_Return) << int(Qt::NoModifier);
        QTest::addRow("%s, keypad Enter", button) << button << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    }
    // Each caption's Alt-letter presses its control, typed into the folder box too; one that names no control types nothing.
    for (auto [button, key] : std::initializer_list<std::pair<const char*, char>>{
             {"PushButton7", 'H'}, {"PushButton1", 'A'}, {"PushButton3", 'F'}, {"PushButton4", 'C'}, {"PushButton5", 'L'},
             {"PushButton6", 'B'}, {"PushButton2", 'S'}, {"Option2", 'O'}, {"", 'Z'}})
        QTest::addRow("%s Alt+%c in the folder box", button, key) << button << int(key) << int(Qt::AltModifier);
}

// Enter on a focused button does what a click on it does, and something is done.
void WindowTest::enterPressesTheFocusedButton()
{
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QStringList clicked, pressed, untouched;
    for (bool byKey : {false, true}) {
        WindowFixture w;
        w.list({QStringLiteral("/nowhere/a.tif")});
        w.ui().Text1->setText(QStringLiteral("/nowhere/"));   // a run is refused before it touches anything
        auto* target = w.form->findChild<QAbstractButton*>(button);
        untouched = Aftermath(w);
        if (byKey) {
            w.form->activateWindow();   // a mnemonic answers in the active window
            QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
            QWidget* focus = modifiers == Qt::AltModifier ? static_cast<QWidget*>(w.ui().Text1) : target;
            focus->setFocus();
            QTest::keyClick(focus, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QTRY_COMPARE(Aftermath(w), clicked);   // a mnemonic's click comes a moment later
        } else if (target) {
            QTest::mouseClick(target, Qt::LeftButton);
        }
        (byKey ? pressed : clicked) = Aftermath(w);
    }
    QVERIFY(clicked != untouched || button.isEmpty());
}

void WindowTest::controlsAreNamedAndDescribedToScreenReaders_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("says");   // a word of what the description must say
    QTest::newRow("ListView1") << "ListView1" << "TIFF files to convert" << "Drop";
    QTest::newRow("ProgressBar1") << "ProgressBar1" << "Conversion progress" << "conversion";
    QTest::newRow("PushButton7") << "PushButton7" << "Help" << "hint";
    QTest::newRow("PushButton1") << "PushButton1" << "Add TIFF File(s)" << "file dialog";
    QTest::newRow("PushButton3") << "PushButton3" << "Add All TIFF File(s) In Folder" << "subfolders";
    QTest::newRow("PushButton4") << "PushButton4" << "Clear List" << "Removes every file";
    QTest::newRow("PushButton5") << "PushButton5" << "Load Sample/Example Files" << "sample";
    QTest::newRow("Frame3") << "Frame3" << "Save Option" << "saved";
    QTest::newRow("Option1") << "Option1" << "Save results to this folder:" << "folder named";
    QTest::newRow("Option2") << "Option2" << "Save results in folder of original file" << "folder that holds";
    QTest::newRow("Frame4") << "Frame4" << "Folder for the results and its browse button" << "one folder";
    QTest::newRow("Text1") << "Text1" << "Folder for the results" << "saved to";
    QTest::newRow("PushButton6") << "PushButton6" << "Choose the folder for the results" << "folder picker";
    QTest::newRow("PushButton2") << "PushButton2" << "Start Converting" << "Converts every file";
}

// What a screen reader is told, read as it reads it: through the accessibility interface.
void WindowTest::controlsAreNamedAndDescribedToScreenReaders()
{
    QFETCH(QString, control);
    QFETCH(QString, name);
    QFETCH(QString, says);
    WindowFixture w;
    auto* widget = w.form->findChild<QWidget*>(control);
    QVERIFY(widget);
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(reader);
    QCOMPARE(reader->text(QAccessible::Name), name);
    const QString description = reader->text(QAccessible::Description);
    QVERIFY2(description.contains(says), qPrintable(description));
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

// The production message box: the text, the application title, the icon, OK only, and the details
// (what a run did not convert) open under the text, or none. The box leaves room beside its title for
// a window manager's icon and buttons.
void WindowTest::messageBoxShowsItsDetails_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("details");
    QTest::newRow("done alone") << "Done." << int(Icon::None) << "";
    QTest::newRow("nothing listed") << "No files added." << int(Icon::None) << "";
    // More lines than the area shows, so its scroll bar takes its share of the width too.
    QStringList lines;
    for (int i = 1; i <= 20; ++i)
        lines << QStringLiteral("/home/ann/Scans/archive/2019/insurance/claims/water-damage/kitchen/ceiling-%1.tif: "
                                "not converted: not a TIFF file").arg(i, 2, 10, QLatin1Char('0'));
    QTest::newRow("done with details") << "Done.\n20 of 20 files were not converted completely."
                                       << int(Icon::Warning) << lines.join(QLatin1Char('\n'));
}

void WindowTest::messageBoxShowsItsDetails()
{
    QFETCH(QString, text);
    QFETCH(int, icon);
    QFETCH(QString, details);
    QtDialogs dialogs;
    WindowFixture w;   // the box over the skinned window, as the program shows it
    QString seenText, seenDetails, seenTitle;
    int seenIcon = -1, seenButtons = -1, width = 0;
    bool okHasFocus = false;
    bool hasArea = false, areaOpen = false;
    QFont areaFont;
    QSize view;
    int wrappedLines = 0, scrollAcross = 0;
    QSize grown;
    QStringList names;   // of the icon and the details, as a screen reader hears them
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seenText = box->text();
        seenDetails = box->detailedText();
        seenTitle = box->windowTitle();
        seenIcon = box->icon();
        seenButtons = box->standardButtons();
        width = box->width();
        // Enter closes it: the details, which take focus to be scrolled, do not take it from OK.
        // (The offscreen platform leaves activating a box over a window to the test.)
        box->activateWindow();
        okHasFocus = QTest::qWaitFor([&] { return box->focusWidget() == box->button(QMessageBox::Ok); });
        names << QAccessible::queryAccessibleInterface(box->findChild<QWidget*>("qt_msgboxex_icon_label"))->text(QAccessible::Name);
        if (auto* area = box->findChild<QTextEdit*>()) {
            hasArea = true;
            areaOpen = area->isVisible();
            areaFont = area->font();
            const int margin = qCeil(area->document()->documentMargin());
            view = area->viewport()->size() - QSize(2 * margin, 2 * margin);
            for (QTextBlock b = area->document()->begin(); b.isValid(); b = b.next())
                wrappedLines += b.layout()->lineCount() - 1;
            scrollAcross = area->horizontalScrollBar()->maximum();
            names << QAccessible::queryAccessibleInterface(area)->text(QAccessible::Name);
            // Made larger by the user, the box gives the room to the details.
            grown = area->size();
            box->resize(box->size() + QSize(200, 150));
            grown = area->size() - grown;
        }
        box->accept();
    });
    QCOMPARE(dialogs.message(w.form.get(), text, QString(), Buttons::Ok, Icon(icon), details), Answer::Ok);
    QCOMPARE(seenText, text);
    QCOMPARE(seenDetails, details);
    QCOMPARE(seenTitle, AppTitle());
    QCOMPARE(seenIcon, int(icon == int(Icon::Warning) ? QMessageBox::Warning : QMessageBox::NoIcon));
    QCOMPARE(seenButtons, int(QMessageBox::Ok));
    QVERIFY(okHasFocus);
    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    const QFontMetrics title(titleFont);
    // An icon and three buttons, each a text line's height square, and a little space.
    QVERIFY2(width >= title.horizontalAdvance(seenTitle) + 6 * title.height(), qPrintable(QString::number(width)));
    QCOMPARE(names.first(), icon == int(Icon::Warning) ? QStringLiteral("Warning") : QString());
    QCOMPARE(hasArea, !details.isEmpty());
    if (details.isEmpty())
        return;
    QVERIFY(areaOpen);
    const QFontMetrics metrics(areaFont);
    QVERIFY2(view.height() >= 15 * metrics.lineSpacing(), qPrintable(QString::number(view.height())));
    const QString path80 = details.left(80);
    QVERIFY2(view.width() >= metrics.horizontalAdvance(path80), qPrintable(QString::number(view.width())));
    // Lines longer than the area wrap rather than run past its edge.
    QVERIFY(wrappedLines >= 20 && scrollAcross == 0);
    QCOMPARE(names.last(), QStringLiteral("What was not converted, and why"));
    QVERIFY(grown.width() >= 200 && grown.height() >= 150);
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
