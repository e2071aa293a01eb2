// Adding to the list while a conversion run works: the entries arrive, the run leaves them alone, and the
// run's busy state outlives a folder add made in the middle of it.
#include "convert_checks.h"
#include "intake_tree.h"

#include <QAccessible>

using namespace Tovanel;

class IntakeDuringRunTest : public QObject {
    Q_OBJECT
private slots:
    void entriesAddedDuringARunAreListedButNotConverted_data();
    void entriesAddedDuringARunAreListedButNotConverted();
    void controlsTheRunIgnoresReadAsNotInUse();
};

void IntakeDuringRunTest::entriesAddedDuringARunAreListedButNotConverted_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Add TIFF File(s)") << "dialog";
    QTest::newRow("Add All") << "folder";
    QTest::newRow("drop") << "drop";
}

void IntakeDuringRunTest::entriesAddedDuringARunAreListedButNotConverted()
{
    QFETCH(QString, how);
    ConvertRun run;
    const QString listed = run.addTiff(QStringLiteral("a.tif"), {TestTiff::Page{}});
    const QString late = run.root + QStringLiteral("/late");
    QVERIFY(QDir().mkpath(late));
    QVERIFY(TestTiff::Write(late + QStringLiteral("/b.tif"), {TestTiff::Page{}}));
    run.saveInFolder(run.out);

    int pointerAfterAdding = -1;
    DuringTheRun(run, [&] { return Processing(run); }, [&] {
        if (how == QLatin1String("dialog")) {
            run.dialogs().fileChoices.enqueue({late + QStringLiteral("/b.tif")});
            QTest::mouseClick(run.ui().PushButton1, Qt::LeftButton);
        } else if (how == QLatin1String("folder")) {
            run.dialogs().inputs.enqueue(QStringLiteral("tif"));
            run.dialogs().folders.enqueue(late);
            QTest::mouseClick(run.ui().PushButton3, Qt::LeftButton);
        } else {
            const std::unique_ptr<QMimeData> data(FileDrag({late}));
            DropOnList(*run.window, data.get());
        }
        pointerAfterAdding = run.form().mousePointer();
    });
    QCOMPARE(run.form().listTexts(), (QStringList{listed, late + QStringLiteral("/b.tif")}));
    QCOMPARE(pointerAfterAdding, int(PointerHourglass));
    // The entry added during the run counts among the files the run did not convert.
    QCOMPARE(run.lastMessage(), QStringLiteral("Done.\n1 of 2 files were not converted completely."));
    QCOMPARE(run.lastDetails(),
             QStringList{late + QStringLiteral("/b.tif: not converted: added to the list during the run")});
    QCOMPARE(QDir(run.out).entryList({QStringLiteral("*.png")}, QDir::Files), QStringList{"a.png_1.png"});
    QCOMPARE(run.form().mousePointer(), int(PointerDefault));
}

// During a run a screen reader hears, and the eye sees, which controls do something: adding and Help
// do, a second start, clearing and the destination do not; a try at the latter changes nothing. After
// the run every control is in use again, and focus is back where it was. Escape and closing stay in
// use (the stopping tests).
void IntakeDuringRunTest::controlsTheRunIgnoresReadAsNotInUse()
{
    const std::pair<const char*, bool> inUseDuringTheRun[] = {
        {"PushButton7", true},  {"ListView1", true},    {"PushButton1", true}, {"PushButton3", true},
        {"PushButton5", true},  {"PushButton2", false}, {"PushButton4", false}, {"Option1", false},
        {"Option2", false},     {"Text1", false},       {"PushButton6", false}};
    ConvertRun run;
    const QString listed = run.addTiff(QStringLiteral("a.tif"), {TestTiff::Page{}});
    run.saveInFolder(run.out);
    auto readInUse = [&] {
        QStringList seen;
        for (const auto& [name, expected] : inUseDuringTheRun) {
            auto* control = run.form().findChild<QWidget*>(name);
            const bool inUse = !QAccessible::queryAccessibleInterface(control)->state().disabled;
            seen << QStringLiteral("%1 %2").arg(name, inUse ? "in use" : "not in use");
        }
        return seen;
    };
    QStringList expected, during;
    for (const auto& [name, inUse] : inUseDuringTheRun)
        expected << QStringLiteral("%1 %2").arg(name, inUse ? "in use" : "not in use");
    run.ui().PushButton2->setFocus();   // as Enter starts it
    DuringTheRun(run, [&] { return Processing(run); }, [&] {
        during = readInUse();
        run.ui().Text1->setFocus();
        QTest::keyClicks(run.ui().Text1, QStringLiteral("elsewhere"));
        QTest::mouseClick(run.ui().Option2, Qt::LeftButton);
        QTest::mouseClick(run.ui().PushButton4, Qt::LeftButton);
    });
    QCOMPARE(during, expected);
    expected.replaceInStrings(QStringLiteral("not in use"), QStringLiteral("in use"));
    QCOMPARE(readInUse(), expected);
    QCOMPARE(run.form().focusWidget(), run.ui().PushButton2);   // focus went on while it was out of use, and back
    QCOMPARE(run.form().destination(), Destination::Folder);
    QCOMPARE(run.form().destinationFolder(), run.out);
    QCOMPARE(run.window->stored(QStringLiteral("Text1")).toString(), run.out);
    QCOMPARE(run.form().listTexts(), QStringList{listed});
}

QTEST_MAIN(IntakeDuringRunTest)
#include "intake_during_run_test.moc"
