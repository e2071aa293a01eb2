// "Add TIFF File(s)": what the dialog's choice adds, the dialog it opens and the selection size limit.
#include "window_fixture.h"

using namespace Tovanel;

namespace {

const QString TooMany = QStringLiteral(
    "You've selected too many files to add.\r\rPlease try adding via the \"Add All\" button.");

// n chosen files in one folder whose one-text form (folder, names, a NUL after each, closing NUL) is
// exactly `size` characters long.
QStringList SelectionOfSize(int n, int nameLength, int size)
{
    const int folderLength = size - 2 - n * (nameLength + 1);
    const QString folder = QLatin1Char('/') + QString(folderLength - 1, QLatin1Char('f'));
    QStringList paths;
    for (int i = 0; i < n; ++i) {
        const QString stem = QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
        paths << folder + QLatin1Char('/') + stem + QString(nameLength - 3 - 4, QLatin1Char('x'))
                + QStringLiteral(".tif");
    }
    return paths;
}

} // namespace

class IntakeDialogTest : public QObject {
    Q_OBJECT
private slots:
    void choiceIsAppendedInTheDialogsOrder_data();
    void choiceIsAppendedInTheDialogsOrder();
    void dialogOffersTiffFilesForMultipleSelection();
    void selectionLargerThanTheBufferIsRefused_data();
    void selectionLargerThanTheBufferIsRefused();
};

void IntakeDialogTest::choiceIsAppendedInTheDialogsOrder_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("chosen");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QStringList>("after");
    const QStringList listed{"/old/x.tif"};
    QTest::newRow("cancel adds nothing") << listed << QStringList{} << false << listed;
    QTest::newRow("one file exactly as returned")
        << listed << QStringList{"/scans//odd/a.tif"} << false << QStringList{"/old/x.tif", "/scans//odd/a.tif"};
    QTest::newRow("three files in the root folder")
        << QStringList{} << QStringList{"/a.tif", "/b.TIF", "/c.tiff"} << false
        << QStringList{"/a.tif", "/b.TIF", "/c.tiff"};
    QTest::newRow("several in the dialog's order, not sorted")
        << QStringList{} << QStringList{"/s/z.tif", "/s/a.tif", "/s/m.tif"} << false
        << QStringList{"/s/z.tif", "/s/a.tif", "/s/m.tif"};
    QTest::newRow("several are normalised")
        << QStringList{} << QStringList{"/s//t/a.tif", "/s//t/b.tif"} << false
        << QStringList{"/s/t/a.tif", "/s/t/b.tif"};
    QTest::newRow("a listed file is added again")
        << listed << QStringList{"/old/x.tif"} << false << QStringList{"/old/x.tif", "/old/x.tif"};
    QTest::newRow("while busy files are still added")
        << listed << QStringList{"/s/a.tif", "/s/b.tif"} << true << QStringList{"/old/x.tif", "/s/a.tif", "/s/b.tif"};
}

void IntakeDialogTest::choiceIsAppendedInTheDialogsOrder()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, chosen);
    QFETCH(bool, busy);
    QFETCH(QStringList, after);
    WindowFixture f;
    f.list(before);
    if (busy)
        f.form->setMousePointer(PointerHourglass);
    f.dialogs.fileChoices.enqueue(chosen);

    QTest::mouseClick(f.ui().PushButton1, Qt::LeftButton);

    QCOMPARE(f.form->listTexts(), after);
    QVERIFY(f.dialogs.messages().isEmpty());
    if (busy)
        QCOMPARE(f.form->mousePointer(), int(PointerHourglass));
}

void IntakeDialogTest::dialogOffersTiffFilesForMultipleSelection()
{
    WindowFixture f;
    QTest::mouseClick(f.ui().PushButton1, Qt::LeftButton);
    QCOMPARE(f.dialogs.shown.size(), 1);
    QCOMPARE(f.dialogs.shown[0].kind, QStringLiteral("openFiles"));
    QCOMPARE(f.dialogs.shown[0].text, QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files"));
    QCOMPARE(f.dialogs.shown[0].extra, QStringLiteral("TIFF Files (*.tif*)"));
}

void IntakeDialogTest::selectionLargerThanTheBufferIsRefused_data()
{
    QTest::addColumn<QStringList>("chosen");
    QTest::addColumn<bool>("refused");
    QTest::newRow("exactly 30000 characters") << SelectionOfSize(299, 99, 30000) << false;
    QTest::newRow("30001 characters") << SelectionOfSize(299, 99, 30001) << true;
    QTest::newRow("many short names over the limit") << SelectionOfSize(3000, 12, 40000) << true;
}

void IntakeDialogTest::selectionLargerThanTheBufferIsRefused()
{
    QFETCH(QStringList, chosen);
    QFETCH(bool, refused);
    WindowFixture f;
    f.form->addListItem(QStringLiteral("/old/x.tif"));
    f.dialogs.fileChoices.enqueue(chosen);

    QTest::mouseClick(f.ui().PushButton1, Qt::LeftButton);

    if (refused) {
        QCOMPARE(f.form->listTexts(), QStringList{"/old/x.tif"});
        QCOMPARE(f.dialogs.messages().size(), 1);
        QCOMPARE(f.dialogs.messages()[0].text, TooMany);
        QCOMPARE(f.dialogs.messages()[0].title, QString());
        QCOMPARE(f.dialogs.messages()[0].buttons, Buttons::Ok);
    } else {
        QCOMPARE(f.form->listCount(), 1 + chosen.size());
        QCOMPARE(f.form->listTexts().mid(1), chosen);
        QVERIFY(f.dialogs.messages().isEmpty());
    }
}

QTEST_MAIN(IntakeDialogTest)
#include "intake_dialog_test.moc"
