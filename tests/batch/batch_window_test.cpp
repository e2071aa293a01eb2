// One list, two hosts: the window's "Add All TIFF File(s) In Folder" and "Start Converting", and
// tovanel-batch on the same folder, list the same files and write the same names and bytes.
#include "convert_run_fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using namespace Tovanel;
using namespace Qt::StringLiterals;
using TestFiles::Tree;

class BatchWindowTest : public QObject {
    Q_OBJECT
private slots:
    void sameListSameNamesSameBytes_data()
    {
        QTest::addColumn<QString>("extension");
        QTest::newRow("tif, any letter case, any depth") << "tif";
        QTest::newRow("every file") << "*";
    }
    void sameListSameNamesSameBytes()
    {
        QFETCH(QString, extension);
        ConvertRun run;
        // Same bases from three folders, a hidden file and a "~" file the folder add leaves out, an
        // upper-case extension, and a file that is not a TIFF.
        const QStringList names{u"a.tif"_s, u"b/a.TIF"_s, u"b/c/a.tif"_s,
                                u"b/c/d.tiff"_s, u"b/.hidden.tif"_s, u"~temp.tif"_s};
        int seed = 1;
        for (const QString& name : names) {
            const QString path = run.src + u"/tree/"_s + name;
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
            QVERIFY(TestTiff::Write(path, TestTiff::PagesOf(seed % 3 + 1, seed)));
            ++seed;
        }
        QVERIFY(TestFiles::WriteFile(run.src + u"/tree/b/notes.txt"_s, "words"));

        run.dialogs().inputs.enqueue(extension);
        run.dialogs().folders.enqueue(run.src + u"/tree"_s);
        QTest::mouseClick(run.ui().PushButton3, Qt::LeftButton);
        const QStringList listed = run.form().listTexts();
        QVERIFY(listed.size() >= 3);
        run.saveInFolder(run.out);
        run.start();

        const QString batchOut = run.root + u"/batch-out"_s;
        const QString report = run.root + u"/report.jsonl"_s;
        QVERIFY(QDir().mkpath(batchOut));
        QProcess batch;
        batch.start(QStringLiteral(TOVANEL_BATCH_EXE),
                    {u"-q"_s, u"--ext"_s, extension, u"--out"_s, batchOut,
                     u"--report"_s, report, run.src + u"/tree"_s});
        QVERIFY(batch.waitForFinished(60000));
        QCOMPARE(batch.exitCode(), extension == QLatin1String("*") ? 1 : 0);

        QStringList batchListed;
        for (const QByteArray& line : TestFiles::ReadFile(report).split('\n')) {
            const QString source = QJsonDocument::fromJson(line).object().value(u"source"_s).toString();
            if (!source.isEmpty() && (batchListed.isEmpty() || batchListed.last() != source))
                batchListed << source;
        }
        QCOMPARE(batchListed, listed);
        const QMap<QString, QByteArray> window = Tree(run.out);
        QVERIFY(window.contains(u"a (3).png_1.png"_s));
        QCOMPARE(Tree(batchOut).keys(), window.keys());
        QVERIFY(Tree(batchOut) == window);
    }
};

QTEST_MAIN(BatchWindowTest)
#include "batch_window_test.moc"
