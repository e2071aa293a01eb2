// "Add All TIFF File(s) In Folder": which files of a folder tree it adds, in which order, and what it asks.
#include "intake_tree.h"

#include <QAbstractItemModel>

using namespace Tovanel;

namespace {

const QString Prompt = QStringLiteral(
    "Enter file extension to load:\r\r(* for all files, txt for all txt files, doc for all doc files, etc.)");

void AddAll(WindowFixture& f, const QString& answer, const QString& folder)
{
    f.dialogs.inputs.enqueue(answer);
    f.dialogs.folders.enqueue(folder);
    QTest::mouseClick(f.ui().PushButton3, Qt::LeftButton);
}

} // namespace

class IntakeFolderTest : public QObject {
    Q_OBJECT
private slots:
    void addsTheTreesMatchingFiles_data();
    void addsTheTreesMatchingFiles();
    void asksWithThePromptAndTheLastAnswers();
    void cancelStopsQuietly_data();
    void cancelStopsQuietly();
    void busyWhileAddingAndIdleAfter();
    void unsavableSettingsAreReportedAndTheAddGoesOn();
};

void IntakeFolderTest::addsTheTreesMatchingFiles_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("added");
    QTest::addColumn<bool>("rootForm");   // the chosen folder given with a trailing "/"
    QTest::addColumn<QStringList>("refused");   // named in one box: names that are not text
    QTest::newRow("extension in any letter case, not a longer one")
        << QStringList{"a.tif", "b.TIF", "c.Tif", "d.tiff", "e.png"} << "tif"
        << QStringList{"a.tif", "b.TIF", "c.Tif"} << false << QStringList{};
    QTest::newRow("asterisk takes every file of every type at any depth")
        << QStringList{"notes.txt", "noext", "pic.png", "sub/deep/x.tif"} << "*"
        << QStringList{"noext", "notes.txt", "pic.png", "sub/deep/x.tif"} << false << QStringList{};
    QTest::newRow("leading tilde skipped, tilde inside taken")
        << QStringList{"~lock.tif", "a~b.tif", "sub/~c.tif"} << "tif" << QStringList{"a~b.tif"} << false << QStringList{};
    QTest::newRow("ordinary hidden file skipped, hidden read-only taken")
        << QStringList{".h.tif", ".r.tif ro", "v.tif", "w.tif ro"} << "tif"
        << QStringList{".r.tif", "v.tif", "w.tif"} << false << QStringList{};
    QTest::newRow("empty folder adds nothing") << QStringList{} << "tif" << QStringList{} << false << QStringList{};
    QTest::newRow("no matching file adds nothing") << QStringList{"a.png", "sub/b.jpg", "c/"} << "tif"
        << QStringList{} << false << QStringList{};
    QTest::newRow("chosen folder's files first, then level by level")
        << QStringList{"b/y.tif", "a/c/w.tif", "a/x.tif", "z.tif"} << "tif"
        << QStringList{"z.tif", "a/x.tif", "b/y.tif", "a/c/w.tif"} << false << QStringList{};
    QTest::newRow("answer with a leading dot is taken without it")
        << QStringList{"a.tif", "b..tif", "c.TIF", "d.tiff", "e.png"} << ".tif"
        << QStringList{"a.tif", "b..tif", "c.TIF"} << false << QStringList{};
    QTest::newRow("only one leading dot is dropped")
        << QStringList{"a.tif", "b..tif"} << "..tif" << QStringList{"b..tif"} << false << QStringList{};
    QTest::newRow("symbolic-link loops add each file once")
        << QStringList{"z.tif", "a/x.tif", "a/up -> ..", "a/self -> ."} << "tif"
        << QStringList{"z.tif", "a/x.tif"} << false << QStringList{};
    QTest::newRow("a name's *, ?, [ and { are part of it, in files and folders alike")
        << QStringList{"ok.tif", "q?.tif", "*.tif", "[a]{b}.tif", "w?/in.tif", "s*/[x]/in.tif"} << "tif"
        << QStringList{"*.tif", "ok.tif", "q?.tif", "[a]{b}.tif", "w?/in.tif", "s*/[x]/in.tif"} << false
        << QStringList{};
    QTest::newRow("the answer is matched against the extension alone")
        << QStringList{"a.tif.png", "b.t.tif", "c.txt", "t.png"} << "t*" << QStringList{"b.t.tif", "c.txt"} << false
        << QStringList{};
    QTest::newRow("names that are not text are named in one box, the rest is added")
        << QStringList{"ok.tif", "caf\\xE9.tif", "x\\xFFy/in.tif", "other\\xFE.png"} << "tif"
        << QStringList{"ok.tif"} << false << QStringList{"caf\\xE9.tif", "x\\xFFy"};
    // The picker gives a file-system root with its separator ("/"); the folder then gets a second one
    // when the tree is listed. A folder given in that form here takes the same way through the paths.
    QTest::newRow("chosen folder in the root form, with its separator")
        << QStringList{"a.tif", "sub/b.tif"} << "tif" << QStringList{"a.tif", "sub/b.tif"} << true << QStringList{};
}

void IntakeFolderTest::addsTheTreesMatchingFiles()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, answer);
    QFETCH(QStringList, added);
    QFETCH(bool, rootForm);
    QFETCH(QStringList, refused);
    QTemporaryDir dir;
    const QString root = dir.path() + QStringLiteral("/chosen");
    QVERIFY(QDir().mkpath(root));
    QVERIFY(MakeTree(root, tree));
    WindowFixture f;
    f.form->addListItem(QStringLiteral("/old/x.tif"));

    AddAll(f, answer, rootForm ? root + QLatin1Char('/') : root);

    QCOMPARE(f.form->listTexts(), QStringList{"/old/x.tif"} + UnderRoot(root, added));
    const QList<Shown> boxes = f.dialogs.messages();
    QCOMPARE(boxes.size(), refused.isEmpty() ? 0 : 1);
    for (const QString& path : UnderRoot(root, refused))
        QVERIFY2((boxes[0].text + boxes[0].details).contains(path), qPrintable(boxes[0].text + boxes[0].details));
}

void IntakeFolderTest::asksWithThePromptAndTheLastAnswers()
{
    QTemporaryDir dir;
    QVERIFY(MakeTree(dir.path(), {"a.png", "b.tif"}));
    WindowFixture f;

    AddAll(f, QStringLiteral("png"), dir.path());
    AddAll(f, QStringLiteral("tif"), dir.path());

    QCOMPARE(f.form->listTexts(), UnderRoot(dir.path(), {"a.png", "b.tif"}));
    QCOMPARE(f.dialogs.shown.size(), 4);
    const Shown firstInput = f.dialogs.shown[0];
    QCOMPARE(firstInput.kind, QStringLiteral("input"));
    QCOMPARE(firstInput.text, Prompt);
    QCOMPARE(firstInput.title, QString());
    QCOMPARE(firstInput.extra, QStringLiteral("tif"));
    QCOMPARE(f.dialogs.shown[1].kind, QStringLiteral("pickFolder"));
    QCOMPARE(f.dialogs.shown[1].text, QStringLiteral("Please select folder:"));
    QCOMPARE(f.dialogs.shown[1].extra, QString());
    QCOMPARE(f.dialogs.shown[2].extra, QStringLiteral("png"));
    QCOMPARE(f.dialogs.shown[3].extra, dir.path());
}

void IntakeFolderTest::cancelStopsQuietly_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("nextDefault");
    QTest::addColumn<int>("shownBeforeTheNextClick");
    QTest::newRow("cancel at the input box keeps the old extension") << "" << "tif" << 1;
    QTest::newRow("cancel at the folder picker keeps the new extension") << "png" << "png" << 2;
    QTest::newRow("an extension answered with its dot is kept without it") << ".png" << "png" << 2;
}

void IntakeFolderTest::cancelStopsQuietly()
{
    QFETCH(QString, answer);
    QFETCH(QString, nextDefault);
    QFETCH(int, shownBeforeTheNextClick);
    WindowFixture f;

    AddAll(f, answer, QString());
    QCOMPARE(f.dialogs.shown.size(), shownBeforeTheNextClick);
    QCOMPARE(f.form->listCount(), 0);
    QVERIFY(!f.form->isBusy());
    f.dialogs.shown.clear();
    QTest::mouseClick(f.ui().PushButton3, Qt::LeftButton);

    QCOMPARE(f.dialogs.shown.size(), 1);
    QCOMPARE(f.dialogs.shown[0].extra, nextDefault);
}

void IntakeFolderTest::busyWhileAddingAndIdleAfter()
{
    QTemporaryDir dir;
    QVERIFY(MakeTree(dir.path(), {"a.tif", "b.tif", "sub/c.tif"}));
    WindowFixture f;
    QList<int> pointers;
    // Every entry arrives while the window is busy, and "Clear List" pressed in between is refused.
    QObject::connect(f.ui().ListView1->model(), &QAbstractItemModel::rowsInserted, f.form.get(), [&] {
        pointers << f.form->mousePointer();
        if (pointers.size() == 1)
            QTest::mouseClick(f.ui().PushButton4, Qt::LeftButton);
    });

    AddAll(f, QStringLiteral("tif"), dir.path());

    QCOMPARE(pointers, (QList<int>{PointerHourglass, PointerHourglass, PointerHourglass}));
    QCOMPARE(f.form->listTexts(), UnderRoot(dir.path(), {"a.tif", "b.tif", "sub/c.tif"}));
    QCOMPARE(f.form->mousePointer(), int(PointerDefault));
}

void IntakeFolderTest::unsavableSettingsAreReportedAndTheAddGoesOn()
{
    QTemporaryDir dir;
    QVERIFY(MakeTree(dir.path(), {"a.tif"}));
    WindowFixture f;
    // A config folder that can't be made, as it would lie inside a file: every save fails.
    const QString blocker = dir.path() + QStringLiteral("/a.tif");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker + QStringLiteral("/config")));

    AddAll(f, QStringLiteral("tif"), dir.path());

    const QList<Shown> reports = f.dialogs.errorReports();
    QCOMPARE(reports.size(), 2);
    QVERIFY2(reports[0].text.contains(QLatin1String("Form1.PushButton3_Click at line 104")), qPrintable(reports[0].text));
    QVERIFY2(reports[1].text.contains(QLatin1String("Form1.PushButton3_Click at line 334")), qPrintable(reports[1].text));
    QCOMPARE(f.form->listTexts(), UnderRoot(dir.path(), {"a.tif"}));
    QCOMPARE(f.form->mousePointer(), int(PointerDefault));
}

QTEST_MAIN(IntakeFolderTest)
#include "intake_folder_test.moc"
