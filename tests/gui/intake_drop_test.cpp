// Drag-and-drop onto the list: which drags are welcome, and what dropped files and folders add.
#include "intake_tree.h"

#include <memory>

using namespace Tovanel;

class IntakeDropTest : public QObject {
    Q_OBJECT
private slots:
    void onlyDragsWithLocalFilesAreWelcome_data();
    void onlyDragsWithLocalFilesAreWelcome();
    void droppedPathsAddInTheDropsOrder_data();
    void droppedPathsAddInTheDropsOrder();
    void dropIsTakenWhileBusyAndLeavesThePointer_data();
    void dropIsTakenWhileBusyAndLeavesThePointer();
};

void IntakeDropTest::onlyDragsWithLocalFilesAreWelcome_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("welcome");
    QTest::newRow("a file list") << "files" << true;
    QTest::newRow("plain text naming a file") << "text" << false;
    QTest::newRow("a web link only") << "web" << false;
    QTest::newRow("a web link and a file") << "web+file" << true;
    QTest::newRow("an empty URL list") << "none" << false;
}

void IntakeDropTest::onlyDragsWithLocalFilesAreWelcome()
{
    QFETCH(QString, kind);
    QFETCH(bool, welcome);
    QTemporaryDir dir;
    QVERIFY(MakeTree(dir.path(), {"a.tif"}));
    const QString file = dir.path() + QStringLiteral("/a.tif");
    auto data = std::make_unique<QMimeData>();
    if (kind == QLatin1String("files"))
        data->setUrls({QUrl::fromLocalFile(file)});
    else if (kind == QLatin1String("text"))
        data->setText(file);
    else if (kind == QLatin1String("web"))
        data->setUrls({QUrl(QStringLiteral("https://example.org/a.tif"))});
    else if (kind == QLatin1String("web+file"))
        data->setUrls({QUrl(QStringLiteral("https://example.org/a.tif")), QUrl::fromLocalFile(file)});
    else
        data->setUrls({});
    WindowFixture f;

    QCOMPARE(DropOnList(f, data.get()), welcome);

    QCOMPARE(f.form->listTexts(), welcome ? QStringList{file} : QStringList{});
    QVERIFY(f.dialogs.shown.isEmpty());
}

void IntakeDropTest::droppedPathsAddInTheDropsOrder_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("added");
    const QStringList tree{"notes.txt", "~lock.tif", "one/b.TIF", "one/a.png", "one/~skip.tif", "one/.h.tif",
                           "one/.r.tif ro", "one/deep/er/c", "two/z.tif", "two/sub/y.tif"};
    QTest::newRow("a file of any type, unchanged") << tree << QStringList{"notes.txt"} << QStringList{"notes.txt"};
    QTest::newRow("a dropped file with a leading tilde is taken")
        << tree << QStringList{"~lock.tif"} << QStringList{"~lock.tif"};
    QTest::newRow("a folder: every type at any depth, no tilde, no ordinary hidden file")
        << tree << QStringList{"one"} << QStringList{"one/.r.tif", "one/a.png", "one/b.TIF", "one/deep/er/c"};
    QTest::newRow("two folders: all of the first, then all of the second")
        << tree << QStringList{"two", "one/deep"} << QStringList{"two/z.tif", "two/sub/y.tif", "one/deep/er/c"};
    QTest::newRow("a folder and a file in the drop's order")
        << tree << QStringList{"two", "notes.txt"} << QStringList{"two/z.tif", "two/sub/y.tif", "notes.txt"};
    QTest::newRow("a file already listed is added again")
        << tree << QStringList{"notes.txt", "notes.txt"} << QStringList{"notes.txt", "notes.txt"};
    QTest::newRow("a path gone since the drag began is passed over")
        << tree << QStringList{"gone.tif", "two", "gone/", "notes.txt"}
        << QStringList{"two/z.tif", "two/sub/y.tif", "notes.txt"};
    QTest::newRow("a folder given with its closing separator")
        << tree << QStringList{"two/"} << QStringList{"two/z.tif", "two/sub/y.tif"};
    QTest::newRow("a symbolic-link loop inside a dropped folder adds each file once")
        << QStringList{"loop/a.tif", "loop/in/b.tif", "loop/in/back -> ..", "loop/in/self -> ."}
        << QStringList{"loop"} << QStringList{"loop/a.tif", "loop/in/b.tif"};
}

void IntakeDropTest::droppedPathsAddInTheDropsOrder()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, added);
    QTemporaryDir dir;
    QVERIFY(MakeTree(dir.path(), tree));
    WindowFixture f;
    f.form->addListItem(dir.path() + QStringLiteral("/notes.txt"));
    const std::unique_ptr<QMimeData> data(FileDrag(UnderRoot(dir.path(), dropped)));

    QVERIFY(DropOnList(f, data.get()));

    QCOMPARE(f.form->listTexts(), UnderRoot(dir.path(), QStringList{"notes.txt"} + added));
    QVERIFY(f.dialogs.shown.isEmpty());
}

void IntakeDropTest::dropIsTakenWhileBusyAndLeavesThePointer_data()
{
    QTest::addColumn<int>("pointer");
    QTest::newRow("idle") << int(PointerDefault);
    QTest::newRow("busy") << int(PointerHourglass);
}

void IntakeDropTest::dropIsTakenWhileBusyAndLeavesThePointer()
{
    QFETCH(int, pointer);
    QTemporaryDir dir;
    QVERIFY(MakeTree(dir.path(), {"f/a.tif", "b.tif"}));
    WindowFixture f;
    f.form->setMousePointer(pointer);
    const std::unique_ptr<QMimeData> data(FileDrag(UnderRoot(dir.path(), {"f", "b.tif"})));

    QVERIFY(DropOnList(f, data.get()));

    QCOMPARE(f.form->listTexts(), UnderRoot(dir.path(), {"f/a.tif", "b.tif"}));
    QCOMPARE(f.form->mousePointer(), pointer);
}

QTEST_MAIN(IntakeDropTest)
#include "intake_drop_test.moc"
