// Text stays readable and keyboard focus visible under light and dark desktop palettes, skinned or not.
#include "app/form_palettes.h"
#include "window_fixture.h"

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QTreeWidget>

#include <algorithm>
#include <functional>
#include <map>

using namespace Tovanel;

namespace {

// The style's light palette, a common dark theme, and a darker one whose button face is close to its window.
const char* const kPalettes[] = {"light", "dark", "darker"};

double Luminance(QRgb c)
{
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

// The contrast ratio of two colours as accessibility guidelines define it (1 to 21).
double Contrast(QRgb a, QRgb b)
{
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QImage Grab(QWidget* w, const QRect& area = QRect(QPoint(0, 0), QSize(-1, -1)))
{
    QCoreApplication::processEvents();
    return w->grab(area).toImage().convertToFormat(QImage::Format_RGB32);
}

// The contrast of a text with what lies behind it: the pixels the text changes are its glyphs; the
// commonest colour around them is the background, and the glyph pixel farthest from it the text colour
// (the cores of bold strokes carry it undimmed by smoothing).
double TextContrast(QWidget* w, const std::function<void(bool)>& showText, QString* why)
{
    showText(false);
    const QImage without = Grab(w);
    showText(true);
    const QImage with = Grab(w);
    QRect box;
    for (int y = 0; y < with.height(); ++y)
        for (int x = 0; x < with.width(); ++x)
            if (with.pixel(x, y) != without.pixel(x, y))
                box |= QRect(x, y, 1, 1);
    if (box.isEmpty()) {
        *why = QStringLiteral("the text changed no pixel");
        return 0;
    }
    std::map<QRgb, int> counts;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            ++counts[with.pixel(x, y)];
    const QRgb background =
        std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
    double best = 1;
    QRgb text = background;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            if (with.pixel(x, y) != without.pixel(x, y) && Contrast(with.pixel(x, y), background) > best) {
                best = Contrast(with.pixel(x, y), background);
                text = with.pixel(x, y);
            }
    *why = QStringLiteral("text %1 on %2: %3:1")
               .arg(QColor(text).name(), QColor(background).name())
               .arg(best, 0, 'f', 2);
    return best;
}

struct Spot {
    QWidget* widget;
    std::function<void(bool)> showText;
};

Spot SpotOf(WindowFixture& w, const QString& spot)
{
    Ui::Form1& ui = w.ui();
    QTreeWidget* list = ui.ListView1;
    auto caption = [](QAbstractButton* b) {
        const QString text = b->text();
        return Spot{b, [b, text](bool on) { b->setText(on ? text : QString()); }};
    };
    if (spot == QLatin1String("list entry")) {
        w.form->addListItem(QStringLiteral("/home/ann/Scans/2021/invoice-0412.tif"));
        QTreeWidgetItem* item = list->topLevelItem(0);
        return {list->viewport(), [item](bool on) {
                    item->setText(0, on ? QStringLiteral("/home/ann/Scans/2021/invoice-0412.tif") : QString());
                }};
    }
    if (spot == QLatin1String("list header"))
        return {list->header(), [list](bool on) { list->headerItem()->setText(0, on ? QStringLiteral("TIFF File(s)") : QString()); }};
    if (spot == QLatin1String("destination path") || spot == QLatin1String("destination path not in use")) {
        if (spot.endsWith(QLatin1String("not in use")))
            QTest::mouseClick(ui.Option2, Qt::LeftButton);
        QLineEdit* text = ui.Text1;
        return {text, [text](bool on) { text->setText(on ? QStringLiteral("/home/ann/Scans/PNG/") : QString()); }};
    }
    if (spot == QLatin1String("Save Option caption")) {
        QGroupBox* frame = ui.Frame3;
        return {frame, [frame](bool on) { frame->setTitle(on ? QStringLiteral("Save Option") : QString()); }};
    }
    if (spot == QLatin1String("option caption"))
        return caption(ui.Option1);
    if (spot == QLatin1String("Start Converting"))
        return caption(ui.PushButton2);
    return caption(ui.PushButton7);
}

} // namespace

class WindowReadabilityTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir bare;   // a program folder without the skin
    QPalette original;

private slots:
    void initTestCase() { original = QApplication::palette(); }
    void cleanup() { QApplication::setPalette(original); }

    void textStandsOutFromItsBackground_data()
    {
        QTest::addColumn<QString>("palette");
        QTest::addColumn<bool>("skin");
        QTest::addColumn<QString>("spot");
        for (const char* palette : kPalettes)
            for (bool skin : {true, false})
                for (const char* spot : {"list entry", "list header", "destination path", "destination path not in use",
                                         "Save Option caption", "option caption", "Start Converting", "Help"}) {
                    // Unskinned, a control not in use looks as the style makes it, faint by intent.
                    if (!skin && QByteArray(spot).endsWith("not in use"))
                        continue;
                    QTest::addRow("%s, %s, %s", palette, skin ? "skinned" : "plain", spot)
                        << QString::fromLatin1(palette) << skin << QString::fromLatin1(spot);
                }
    }

    // Normal text needs 4.5:1 to be read comfortably; text of a control not in use is held to 3:1.
    void textStandsOutFromItsBackground()
    {
        QFETCH(QString, palette);
        QFETCH(bool, skin);
        QFETCH(QString, spot);
        QApplication::setPalette(DesktopPalette(palette));
        WindowFixture w(skin ? builtProgramFolder() : bare.path());
        QCOMPARE(w.form->skinApplied(), skin);
        const Spot s = SpotOf(w, spot);
        QString why;
        const double contrast = TextContrast(s.widget, s.showText, &why);
        const double needed = spot.endsWith(QLatin1String("not in use")) ? 3.0 : 4.5;
        QVERIFY2(contrast >= needed, qPrintable(why));
    }

    void focusIsPlainlyVisible_data()
    {
        QTest::addColumn<QString>("palette");
        QTest::addColumn<bool>("skin");
        QTest::addColumn<QString>("control");
        for (const char* palette : kPalettes)
            for (bool skin : {true, false})
                for (const char* control : {"PushButton2", "PushButton1", "PushButton6", "Text1", "ListView1", "Option1",
                                            "PushButton7 as the window opens"})
                    QTest::addRow("%s, %s, %s", palette, skin ? "skinned" : "plain", control)
                        << QString::fromLatin1(palette) << skin << QString::fromLatin1(control);
    }

    // A focused control must differ from its unfocused self by 3:1 over at least a one-pixel ring round it.
    void focusIsPlainlyVisible()
    {
        QFETCH(QString, palette);
        QFETCH(bool, skin);
        QFETCH(QString, control);
        QApplication::setPalette(DesktopPalette(palette));
        WindowFixture w(skin ? builtProgramFolder() : bare.path());
        w.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
        auto* target = w.form->findChild<QWidget*>(control.section(QLatin1Char(' '), 0, 0));
        QVERIFY(target);
        const QRect around = QRect(target->mapTo(w.form.get(), QPoint(0, 0)), target->size()).adjusted(-3, -3, 3, 3);
        const QImage opened = Grab(w.form.get(), around);
        // Focus travels by the keys, as a keyboard user moves it: styles show focus only after a key moved it.
        w.ui().PushButton7->setFocus();
        for (int i = 0; i < 20 && !target->hasFocus(); ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(target->hasFocus());
        QTest::keyClick(target, Qt::Key_Tab);
        QVERIFY(!target->hasFocus());
        // The control and a little round it: a focus ring may lie just outside it.
        const QImage before = Grab(w.form.get(), around);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QVERIFY(target->hasFocus());
        const QImage after = control.endsWith(QLatin1String("opens")) ? opened : Grab(w.form.get(), around);
        QCOMPARE(after.size(), before.size());
        int changed = 0;
        for (int y = 0; y < after.height(); ++y)
            for (int x = 0; x < after.width(); ++x)
                changed += Contrast(after.pixel(x, y), before.pixel(x, y)) >= 3.0;
        const int ring = 2 * (after.width() + after.height());
        QVERIFY2(changed >= ring, qPrintable(QStringLiteral("%1 pixels changed by 3:1, a ring is %2").arg(changed).arg(ring)));
    }
};

QTEST_MAIN(WindowReadabilityTest)
#include "window_readability_test.moc"
