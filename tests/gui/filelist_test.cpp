// The file list: removal, clearing, the busy refusal and reordering by carrying an entry.
#include "filelist/list_contains.h"
#include "window_fixture.h"

#include <QScrollBar>
#include <QTreeWidget>

using namespace Tovanel;

namespace {

QPoint centreOf(QTreeWidget* list, int position)
{
    return list->visualItemRect(list->topLevelItem(position - 1)).center();
}

void send(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent event(type, QPointF(at), target->mapToGlobal(QPointF(at)), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

// Presses on the entry at `from`, moves over each position in `path` with the button held, releases.
void carry(Form1& form, int from, const QList<int>& path)
{
    QTreeWidget* list = form.ui().ListView1;
    QWidget* viewport = list->viewport();
    send(viewport, QEvent::MouseButtonPress, centreOf(list, from), Qt::LeftButton, Qt::LeftButton);
    for (int position : path)
        send(viewport, QEvent::MouseMove, centreOf(list, position), Qt::NoButton, Qt::LeftButton);
    send(viewport, QEvent::MouseButtonRelease, centreOf(list, path.isEmpty() ? from : path.last()), Qt::LeftButton,
         Qt::NoButton);
}

void select(Form1& form, int position)
{
    QTreeWidget* list = form.ui().ListView1;
    list->setCurrentItem(list->topLevelItem(position - 1));
}

} // namespace

class FileListTest : public QObject {
    Q_OBJECT
private slots:
    void removalActsOnTheSelectedEntryOnly_data();
    void removalActsOnTheSelectedEntryOnly();
    void removalOnAnEmptyListDoesNothing();
    void sameTextMayStandTwice();
    void clearListEmptiesTheListUnlessBusy();
    void carryingAnEntryMovesItAndShiftsTheOthers_data();
    void carryingAnEntryMovesItAndShiftsTheOthers();
    void carriedEntryRemovedSinceCountsAsNone();
    void dragPointerShowsWhileCarryingAndArrowAfter();
    void carryingNearTheListsEdgeScrollsTowardsIt();
    void listContainsTextComparesExactly();
};

void FileListTest::removalActsOnTheSelectedEntryOnly_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QStringList>("expected");
    const QStringList all{"/a/1.tif", "/a/2.tif", "/a/3.tif"};
    QTest::newRow("Delete key") << "key" << false << QStringList{"/a/1.tif", "/a/3.tif"};
    QTest::newRow("double-click") << "dblclick" << false << QStringList{"/a/1.tif", "/a/3.tif"};
    QTest::newRow("other key") << "otherkey" << false << all;
    QTest::newRow("Delete key while busy") << "key" << true << all;
    QTest::newRow("double-click while busy") << "dblclick" << true << all;
}

void FileListTest::removalActsOnTheSelectedEntryOnly()
{
    QFETCH(QString, how);
    QFETCH(bool, busy);
    QFETCH(QStringList, expected);
    WindowFixture w;
    w.list({"/a/1.tif", "/a/2.tif", "/a/3.tif"});
    select(*w.form, 2);
    if (busy)
        w.form->setMousePointer(PointerHourglass);
    QTreeWidget* list = w.ui().ListView1;
    if (how == "key")
        QTest::keyClick(list, Qt::Key_Delete);
    else if (how == "otherkey")
        QTest::keyClick(list, Qt::Key_Backspace);
    else
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centreOf(list, 2));
    QCOMPARE(w.form->listTexts(), expected);
    QVERIFY(w.dialogs.shown.isEmpty());
}

void FileListTest::removalOnAnEmptyListDoesNothing()
{
    WindowFixture w;
    QTest::keyClick(w.ui().ListView1, Qt::Key_Delete);
    QTest::mouseDClick(w.ui().ListView1->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
    QCOMPARE(w.form->listCount(), 0);
    QVERIFY(w.dialogs.shown.isEmpty());
}

void FileListTest::sameTextMayStandTwice()
{
    WindowFixture w;
    w.list({"/s/x.tif", "/s/x.tif"});
    QCOMPARE(w.form->listCount(), 2);
    select(*w.form, 1);
    QTest::keyClick(w.ui().ListView1, Qt::Key_Delete);
    QCOMPARE(w.form->listTexts(), QStringList{"/s/x.tif"});
}

void FileListTest::clearListEmptiesTheListUnlessBusy()
{
    WindowFixture w;
    w.list({"/a", "/b", "/c"});
    w.form->setMousePointer(PointerHourglass);
    QTest::mouseClick(w.ui().PushButton4, Qt::LeftButton);
    QCOMPARE(w.form->listCount(), 3);
    w.form->setMousePointer(PointerDefault);
    QTest::mouseClick(w.ui().PushButton4, Qt::LeftButton);
    QCOMPARE(w.form->listCount(), 0);
    QVERIFY(w.dialogs.shown.isEmpty());
}

void FileListTest::carryingAnEntryMovesItAndShiftsTheOthers_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("from");
    QTest::addColumn<QList<int>>("path");
    QTest::addColumn<QStringList>("expected");
    const QStringList five{"1", "2", "3", "4", "5"};
    QTest::newRow("2 over 3 and 4 to 5") << five << 2 << QList<int>{3, 4, 5} << QStringList{"1", "3", "4", "5", "2"};
    QTest::newRow("jump from 1 to 4 exchanges just those") << five << 1 << QList<int>{4}
                                                          << QStringList{"4", "2", "3", "1", "5"};
    QTest::newRow("5 up to 2") << five << 5 << QList<int>{4, 3, 2} << QStringList{"1", "5", "2", "3", "4"};
    QTest::newRow("identical texts never exchange") << QStringList{"a", "a", "b"} << 1 << QList<int>{2}
                                                    << QStringList{"a", "a", "b"};
    QTest::newRow("back and forth") << five << 3 << QList<int>{4, 3} << five;
}

void FileListTest::carryingAnEntryMovesItAndShiftsTheOthers()
{
    QFETCH(QStringList, entries);
    QFETCH(int, from);
    QFETCH(QList<int>, path);
    QFETCH(QStringList, expected);
    WindowFixture w;
    w.list(entries);
    carry(*w.form, from, path);
    QCOMPARE(w.form->listTexts(), expected);
    if (!path.isEmpty() && expected != entries)
        QCOMPARE(w.ui().ListView1->currentItem()->text(0), entries[from - 1]);
}

void FileListTest::carriedEntryRemovedSinceCountsAsNone()
{
    WindowFixture w;
    w.list({"1", "2", "3", "4"});
    QTreeWidget* list = w.ui().ListView1;
    QWidget* viewport = list->viewport();
    carry(*w.form, 2, {});
    QTest::keyClick(list, Qt::Key_Delete);   // removes the carried entry "2"
    QCOMPARE(w.form->listTexts(), (QStringList{"1", "3", "4"}));
    // A press outside any entry keeps the last clicked one, which is gone now: no exchange.
    send(viewport, QEvent::MouseButtonPress, QPoint(5, viewport->height() - 3), Qt::LeftButton, Qt::LeftButton);
    send(viewport, QEvent::MouseMove, centreOf(list, 1), Qt::NoButton, Qt::LeftButton);
    send(viewport, QEvent::MouseMove, centreOf(list, 3), Qt::NoButton, Qt::LeftButton);
    send(viewport, QEvent::MouseButtonRelease, centreOf(list, 3), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(w.form->listTexts(), (QStringList{"1", "3", "4"}));
}

void FileListTest::dragPointerShowsWhileCarryingAndArrowAfter()
{
    WindowFixture w;
    w.list({"1", "2"});
    QTreeWidget* list = w.ui().ListView1;
    send(list->viewport(), QEvent::MouseButtonPress, centreOf(list, 1), Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(w.form->listPointer(), 99);
    QCOMPARE(list->viewport()->cursor().shape(), Qt::BitmapCursor);   // drag.ico
    send(list->viewport(), QEvent::MouseButtonRelease, centreOf(list, 1), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(w.form->listPointer(), 1);
    QCOMPARE(list->viewport()->cursor().shape(), Qt::ArrowCursor);
}

void FileListTest::carryingNearTheListsEdgeScrollsTowardsIt()
{
    WindowFixture w;
    QStringList entries;
    for (int i = 1; i <= 60; ++i)
        entries << QString::number(i);
    w.list(entries);
    QTreeWidget* list = w.ui().ListView1;
    QWidget* viewport = list->viewport();
    QScrollBar* bar = list->verticalScrollBar();
    auto lastVisible = [&] {
        int k = 1;
        while (k < list->topLevelItemCount() && list->visualItemRect(list->topLevelItem(k)).bottom() < viewport->height())
            ++k;
        return k;   // 1-based position of the last entry shown whole
    };
    // Near the bottom edge: the entry below the one under the pointer comes into view.
    const int bottom = lastVisible();
    QVERIFY(bottom < 60);
    carry(*w.form, bottom - 1, {bottom});
    QVERIFY(bar->value() > 0);
    QVERIFY(list->visualItemRect(list->topLevelItem(bottom)).bottom() < viewport->height());
    // In the middle of the list nothing scrolls, wherever the window stands on the screen.
    const int scrolled = bar->value();
    const int top = list->indexOfTopLevelItem(list->itemAt(5, 5)) + 1;
    const int middle = top + (lastVisible() - top) / 2;
    carry(*w.form, middle - 1, {middle});
    QCOMPARE(bar->value(), scrolled);
    // Near the top edge: the entry above comes into view.
    carry(*w.form, top + 1, {top});
    QVERIFY(bar->value() < scrolled);
}

void FileListTest::listContainsTextComparesExactly()
{
    WindowFixture w;
    QVERIFY(!Tovanel::Main::ListContainsText(w.ui().ListView1, "/a/b.tif"));   // empty list
    w.list({"/a/b.tif", "/c/d.tif"});
    QVERIFY(Tovanel::Main::ListContainsText(w.ui().ListView1, "/c/d.tif"));
    QVERIFY(!Tovanel::Main::ListContainsText(w.ui().ListView1, "/A/b.tif"));
    QVERIFY(!Tovanel::Main::ListContainsText(w.ui().ListView1, "/a/b.tif "));
}

QTEST_MAIN(FileListTest)
#include "filelist_test.moc"
