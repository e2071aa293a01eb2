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
    // The controls whose use the run ignores, "+" in use or "-" not, as a screen reader hears them.
    auto inUse = [&](QString seen = {}) {
        for (const char* c : {"PushButton2", "PushButton4", "Option1", "Option2", "Text1", "PushButton6"})
            seen += QAccessible::queryAccessibleInterface(run.form().findChild<QWidget*>(c))->state().disabled ? '-' : '+';
        return seen;
    };
    QString during;
    run.ui().PushButton2->setFocus();   // as Enter starts it

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
        during = inUse();
        QTest::keyClicks(run.ui().Text1, QStringLiteral("elsewhere"));   // not taken
    });
    QCOMPARE(run.form().listTexts(), (QStringList{listed, late + QStringLiteral("/b.tif")}));
    QCOMPARE(pointerAfterAdding, int(PointerHourglass));
    // The entry added during the run counts among the files the run did not convert.
    QCOMPARE(run.lastMessage(), QStringLiteral("Done.\n1 of 2 files were not converted completely."));
    QCOMPARE(run.lastDetails(),
             QStringList{late + QStringLiteral("/b.tif: not converted: added to the list during the run")});
    QCOMPARE(QDir(run.out).entryList({QStringLiteral("*.png")}, QDir::Files), QStringList{"a.png_1.png"});
    QCOMPARE(run.form().mousePointer(), int(PointerDefault));
    QCOMPARE(during + inUse(), QStringLiteral("------++++++"));
    QCOMPARE(run.window->stored(QStringLiteral("Text1")).toString(), run.out);
    // Not left on Help, where it went from Start Converting while that was not in use (unless a click took it).
    QVERIFY(run.form().focusWidget() != run.ui().PushButton7);
}

QTEST_MAIN(IntakeDuringRunTest)
#include "intake_during_run_test.moc"
