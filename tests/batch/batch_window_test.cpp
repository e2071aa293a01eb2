// One list, two hosts: the window's "Add All TIFF File(s) In Folder" and "Start Converting", and
// tovanel-batch on the same folder, list the same files and write the same names and bytes.
#include "convert_run_fixture.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using namespace Tovanel;

namespace {

QMap<QString, QByteArray> Tree(const QString& folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path), TestFiles::ReadFile(path));
    }
    return files;
}

} // namespace

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
        const auto pagesOf = [](int count, int seed) { return TestTiff::PagesOf(count, seed, {10, 6}, {1, 1}); };
        // Same bases from three folders, a hidden file and a "~" file the folder add leaves out, an
        // upper-case extension, and a file that is not a TIFF.
        const QStringList names{QStringLiteral("a.tif"), QStringLiteral("b/a.TIF"), QStringLiteral("b/c/a.tif"),
                                QStringLiteral("b/c/d.tiff"), QStringLiteral("b/.hidden.tif"), QStringLiteral("~temp.tif")};
        int seed = 1;
        for (const QString& name : names) {
            const QString path = run.src + QStringLiteral("/tree/") + name;
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
            QVERIFY(TestTiff::Write(path, pagesOf(seed % 3 + 1, seed)));
            ++seed;
        }
        QVERIFY(TestFiles::WriteFile(run.src + QStringLiteral("/tree/b/notes.txt"), "words"));

        run.dialogs().inputs.enqueue(extension);
        run.dialogs().folders.enqueue(run.src + QStringLiteral("/tree"));
        QTest::mouseClick(run.ui().PushButton3, Qt::LeftButton);
        const QStringList listed = run.form().listTexts();
        QVERIFY(listed.size() >= 3);
        run.saveInFolder(run.out);
        run.start();

        const QString batchOut = run.root + QStringLiteral("/batch-out");
        const QString report = run.root + QStringLiteral("/report.jsonl");
        QVERIFY(QDir().mkpath(batchOut));
        QProcess batch;
        batch.start(QStringLiteral(TOVANEL_BATCH_EXE),
                    {QStringLiteral("-q"), QStringLiteral("--ext"), extension, QStringLiteral("--out"), batchOut,
                     QStringLiteral("--report"), report, run.src + QStringLiteral("/tree")});
        QVERIFY(batch.waitForFinished(60000));
        QCOMPARE(batch.exitCode(), extension == QLatin1String("*") ? 1 : 0);

        QStringList batchListed;
        for (const QByteArray& line : TestFiles::ReadFile(report).split('\n')) {
            const QString source = QJsonDocument::fromJson(line).object().value(QStringLiteral("source")).toString();
            if (!source.isEmpty() && (batchListed.isEmpty() || batchListed.last() != source))
                batchListed << source;
        }
        QCOMPARE(batchListed, listed);
        const QMap<QString, QByteArray> window = Tree(run.out);
        QVERIFY(window.contains(QStringLiteral("a (3).png_1.png")));
        QCOMPARE(Tree(batchOut).keys(), window.keys());
        QVERIFY(Tree(batchOut) == window);
    }
};

QTEST_MAIN(BatchWindowTest)
#include "batch_window_test.moc"
