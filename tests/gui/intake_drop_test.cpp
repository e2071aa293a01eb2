// Drag-and-drop onto the list: which drags are welcome, and what dropped files and folders add.
#include "intake_tree.h"
#include "tree_removal.h"

#include <QScopeGuard>

#include <memory>

using namespace Tovanel;
using TestSupport::RemoveTreeAt;

class IntakeDropTest : public QObject {
    Q_OBJECT
private slots:
    void onlyDragsWithLocalFilesAreWelcome_data();
    void onlyDragsWithLocalFilesAreWelcome();
    void droppedPathsAddInTheDropsOrder_data();
    void droppedPathsAddInTheDropsOrder();
    void dropIsTakenWhileBusyAndLeavesThePointer_data();
    void dropIsTakenWhileBusyAndLeavesThePointer();
    void dropsAreTakenAsCopiesOnly_data();
    void dropsAreTakenAsCopiesOnly();
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
    QTest::addColumn<QStringList>("refused");   // named in one box: the name is not text
    const QStringList tree{"notes.txt", "~lock.tif", "one/b.TIF", "one/a.png", "one/~skip.tif", "one/.h.tif",
                           "one/.r.tif ro", "one/deep/er/c", "two/z.tif", "two/sub/y.tif"};
    QTest::newRow("a file of any type, unchanged")
        << tree << QStringList{"notes.txt"} << QStringList{"notes.txt"} << QStringList{};
    QTest::newRow("a dropped file with a leading tilde is taken")
        << tree << QStringList{"~lock.tif"} << QStringList{"~lock.tif"} << QStringList{};
    QTest::newRow("a folder: every type at any depth, no tilde, no ordinary hidden file")
        << tree << QStringList{"one"} << QStringList{"one/.r.tif", "one/a.png", "one/b.TIF", "one/deep/er/c"}
        << QStringList{};
    QTest::newRow("two folders: all of the first, then all of the second")
        << tree << QStringList{"two", "one/deep"} << QStringList{"two/z.tif", "two/sub/y.tif", "one/deep/er/c"}
        << QStringList{};
    QTest::newRow("a folder and a file in the drop's order")
        << tree << QStringList{"two", "notes.txt"} << QStringList{"two/z.tif", "two/sub/y.tif", "notes.txt"}
        << QStringList{};
    QTest::newRow("a file already listed is added again")
        << tree << QStringList{"notes.txt", "notes.txt"} << QStringList{"notes.txt", "notes.txt"} << QStringList{};
    QTest::newRow("a path gone since the drag began is passed over")
        << tree << QStringList{"gone.tif", "two", "gone/", "notes.txt"}
        << QStringList{"two/z.tif", "two/sub/y.tif", "notes.txt"} << QStringList{};
    QTest::newRow("a folder given with its closing separator")
        << tree << QStringList{"two/"} << QStringList{"two/z.tif", "two/sub/y.tif"} << QStringList{};
    QTest::newRow("a symbolic-link loop inside a dropped folder adds each file once")
        << QStringList{"loop/a.tif", "loop/in/b.tif", "loop/in/back -> ..", "loop/in/self -> ."}
        << QStringList{"loop"} << QStringList{"loop/a.tif", "loop/in/b.tif"} << QStringList{};
    QTest::newRow("names that are not text are named in one box, the rest is added")
        << tree + QStringList{"bad\\xFF.tif", "one/deep/odd\\xFE.tif", "one/x\\xE9y/in.tif"}
        << QStringList{"bad\\xFF.tif", "notes.txt", "one"}
        << QStringList{"notes.txt", "one/.r.tif", "one/a.png", "one/b.TIF", "one/deep/er/c"}
        << QStringList{"bad\\xFF.tif", "one/x\\xE9y", "one/deep/odd\\xFE.tif"};
}

void IntakeDropTest::droppedPathsAddInTheDropsOrder()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, added);
    QFETCH(QStringList, refused);
    QTemporaryDir dir;
    const auto removeTree = qScopeGuard([&] { RemoveTreeAt(AT_FDCWD, QFile::encodeName(dir.path()).constData()); });
    QVERIFY(MakeTree(dir.path(), tree));
    WindowFixture f;
    f.form->addListItem(dir.path() + QStringLiteral("/notes.txt"));
    const std::unique_ptr<QMimeData> data(FileDrag(UnderRoot(dir.path(), dropped)));

    QVERIFY(DropOnList(f, data.get()));

    QCOMPARE(f.form->listTexts(), UnderRoot(dir.path(), QStringList{"notes.txt"} + added));
    const QString problem = RefusedNamesProblem(f.dialogs, UnderRoot(dir.path(), refused));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
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

void IntakeDropTest::dropsAreTakenAsCopiesOnly_data()
{
    QTest::addColumn<int>("offered");
    QTest::addColumn<int>("keys");
    QTest::addColumn<int>("proposed");
    QTest::addColumn<bool>("taken");
    const int copyMove = int(Qt::CopyAction | Qt::MoveAction);
    QTest::newRow("a drop offered as a move is answered as a copy")
        << copyMove << int(Qt::ShiftModifier) << int(Qt::MoveAction) << true;
    QTest::newRow("a drop offered as a copy stays a copy")
        << copyMove << int(Qt::NoModifier) << int(Qt::CopyAction) << true;
    QTest::newRow("a drop offered as a link is answered as a copy")
        << int(Qt::CopyAction | Qt::LinkAction) << int(Qt::AltModifier) << int(Qt::LinkAction) << true;
    QTest::newRow("a source that allows only a move is refused")
        << int(Qt::MoveAction) << int(Qt::NoModifier) << int(Qt::MoveAction) << false;
    QTest::newRow("a source that allows only a link is refused")
        << int(Qt::LinkAction) << int(Qt::NoModifier) << int(Qt::LinkAction) << false;
}

void IntakeDropTest::dropsAreTakenAsCopiesOnly()
{
    QFETCH(int, offered);
    QFETCH(int, keys);
    QFETCH(int, proposed);
    QFETCH(bool, taken);
    QTemporaryDir dir;
    QVERIFY(MakeTree(dir.path(), {"a.tif"}));
    const std::unique_ptr<QMimeData> data(FileDrag(UnderRoot(dir.path(), {"a.tif"})));
    const auto actions = Qt::DropActions(offered);
    const auto modifiers = Qt::KeyboardModifiers(keys);
    // The row offers what it says: the desktop's proposal for these keys.
    QCOMPARE(int(QDropEvent(QPointF(), actions, data.get(), Qt::LeftButton, modifiers).proposedAction()), proposed);
    WindowFixture f;

    QList<Qt::DropAction> answers;
    QCOMPARE(DropOnList(f, data.get(), actions, modifiers, &answers), taken);

    if (taken)
        QCOMPARE(answers, (QList<Qt::DropAction>{Qt::CopyAction, Qt::CopyAction, Qt::CopyAction}));
    else
        QVERIFY(answers.isEmpty());
    QCOMPARE(f.form->listTexts(), taken ? UnderRoot(dir.path(), {"a.tif"}) : QStringList{});
}

QTEST_MAIN(IntakeDropTest)
#include "intake_drop_test.moc"
