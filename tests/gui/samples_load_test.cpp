// The sample files: the snapshot at the first start, loading through "Load Sample/Example Files",
// the question that follows, and the shipped samples converting.
#include "convert_tiff_maker.h"
#include "intake_tree.h"
#include "test_files.h"
#include "window_fixture.h"

#include <QDir>
#include <QFile>
#include <QTreeWidget>

using namespace Tovanel;

namespace {

const QString kQuestion = QStringLiteral("Would you like this software to open the folder where these sample files are "
                                         "stored (so that you can view them before working with them)?");

// A file (a TIFF header when no bytes are given), the folders on the way made first.
bool WriteFile(const QString& path, const QByteArray& bytes = "II*\0")
{
    return TestFiles::WriteFile(path, bytes, true);
}

void Press(WindowFixture& w) { QTest::mouseClick(w.ui().PushButton5, Qt::LeftButton); }

} // namespace

class SampleFiles : public QObject {
    Q_OBJECT
private:
    QTemporaryDir config;
    QTemporaryDir root;
    QString program;   // the program folder, inside root so that it can be moved

    // The Samples folder of the first start: hidden and non-TIFF files count, subfolders do not.
    void fillSamples()
    {
        for (const char* name : {"b.tif", "a.TIF", ".hidden", "notes.txt", "deeper/inner.tif"})
            QVERIFY(WriteFile(program + QStringLiteral("/Samples/") + QString::fromLatin1(name)));
    }
    QStringList recorded() const
    {
        return UnderRoot(program + QStringLiteral("/Samples"),
                        {QStringLiteral(".hidden"), QStringLiteral("a.TIF"), QStringLiteral("b.tif"),
                         QStringLiteral("notes.txt")});
    }

private slots:
    void init()
    {
        QDir(config.path()).removeRecursively();
        QDir().mkpath(config.path());
        QDir(root.path()).removeRecursively();
        program = root.path() + QStringLiteral("/program");
        QDir().mkpath(program);
    }

    void snapshotIsTakenUntilTheFolderHoldsFilesAndThenKept()
    {
        {
            WindowFixture w(config.path(), program);    // no Samples folder at all
            QVERIFY(w.stored(QStringLiteral("Snapshot")).isValid());
            QCOMPARE(w.stored(QStringLiteral("Snapshot")).toString(), QString());
        }
        QDir().mkpath(program + QStringLiteral("/Samples"));
        {
            WindowFixture w(config.path(), program);    // an empty one
            QCOMPARE(w.stored(QStringLiteral("Snapshot")).toString(), QString());
        }
        fillSamples();
        {
            WindowFixture w(config.path(), program);
            QCOMPARE(w.stored(QStringLiteral("Snapshot")).toString(), recorded().join(QLatin1Char('|')));
        }
        QVERIFY(WriteFile(program + QStringLiteral("/Samples/0-new.tif")));
        WindowFixture w(config.path(), program);
        QCOMPARE(w.stored(QStringLiteral("Snapshot")).toString(), recorded().join(QLatin1Char('|')));
        QVERIFY(w.dialogs.shown.isEmpty());
    }

    void loadingAddsTheRecordedFilesThatStillExist_data()
    {
        QTest::addColumn<QStringList>("byHand");        // listed before the button, relative to the program folder
        QTest::addColumn<QStringList>("addedLater");    // put into Samples after the first start
        QTest::addColumn<QStringList>("deletedLater");
        QTest::addColumn<int>("presses");
        QTest::addColumn<QStringList>("expected");      // relative to the program folder

        const QStringList all{"Samples/.hidden", "Samples/a.TIF", "Samples/b.tif", "Samples/notes.txt"};
        QTest::newRow("every recorded file, hidden and non-TIFF too") << QStringList() << QStringList()
                                                                    << QStringList() << 1 << all;
        QTest::newRow("pressed twice adds each once") << QStringList() << QStringList() << QStringList() << 2 << all;
        QTest::newRow("same path already listed")
            << QStringList{"Samples/b.tif"} << QStringList() << QStringList() << 1
            << QStringList{"Samples/b.tif", "Samples/.hidden", "Samples/a.TIF", "Samples/notes.txt"};
        QTest::newRow("path differing in case is added")
            << QStringList{"Samples/B.tif"} << QStringList() << QStringList() << 1
            << (QStringList{"Samples/B.tif"} + all);
        QTest::newRow("file added later is no sample")
            << QStringList() << QStringList{"Samples/c.tif"} << QStringList() << 1 << all;
        QTest::newRow("deleted file is skipped")
            << QStringList() << QStringList() << QStringList{"Samples/a.TIF"} << 1
            << QStringList{"Samples/.hidden", "Samples/b.tif", "Samples/notes.txt"};
    }

    void loadingAddsTheRecordedFilesThatStillExist()
    {
        QFETCH(QStringList, byHand);
        QFETCH(QStringList, addedLater);
        QFETCH(QStringList, deletedLater);
        QFETCH(int, presses);
        QFETCH(QStringList, expected);
        fillSamples();
        WindowFixture w(config.path(), program);
        for (const QString& name : addedLater)
            QVERIFY(WriteFile(program + QLatin1Char('/') + name));
        for (const QString& name : deletedLater)
            QVERIFY(QFile::remove(program + QLatin1Char('/') + name));
        for (const QString& path : UnderRoot(program, byHand))
            w.form->addListItem(path);

        for (int i = 0; i < presses; ++i)
            Press(w);
        QCOMPARE(w.form->listTexts(), UnderRoot(program, expected));
        QCOMPARE(w.dialogs.messages().size(), presses);
        QVERIFY(w.dialogs.opened.isEmpty());   // the fake answers No unless told otherwise
    }

    void questionIsAskedAndYesOpensTheFolder_data()
    {
        QTest::addColumn<bool>("withSamples");
        QTest::addColumn<Answer>("answer");
        QTest::newRow("samples, yes") << true << Answer::Yes;
        QTest::newRow("samples, no") << true << Answer::No;
        QTest::newRow("nothing added, yes") << false << Answer::Yes;
        QTest::newRow("nothing added, no") << false << Answer::No;
    }

    void questionIsAskedAndYesOpensTheFolder()
    {
        QFETCH(bool, withSamples);
        QFETCH(Answer, answer);
        if (withSamples)
            fillSamples();
        WindowFixture w(config.path(), program);
        w.dialogs.answers.enqueue(answer);
        Press(w);

        QCOMPARE(w.dialogs.messages().size(), 1);
        const Shown question = w.dialogs.messages().first();
        QCOMPARE(question.text, kQuestion);
        QCOMPARE(question.title, QString());
        QCOMPARE(question.buttons, Buttons::YesNo);
        QCOMPARE(question.icon, Icon::None);
        QCOMPARE(w.form->listCount(), withSamples ? 4 : 0);
        const QList<QUrl> expected = answer == Answer::Yes
            ? QList<QUrl>{QUrl::fromLocalFile(program + QStringLiteral("/Samples/"))}
            : QList<QUrl>{};
        QCOMPARE(w.dialogs.opened, expected);
    }

    void movedProgramFolderLoadsNothingButStillAsks()
    {
        fillSamples();
        { WindowFixture first(config.path(), program); }
        const QString moved = root.path() + QStringLiteral("/renamed");
        QVERIFY(QDir().rename(program, moved));

        WindowFixture w(config.path(), moved);
        QCOMPARE(w.stored(QStringLiteral("Snapshot")).toString(), recorded().join(QLatin1Char('|')));
        w.dialogs.answers.enqueue(Answer::Yes);
        Press(w);
        QCOMPARE(w.form->listCount(), 0);
        QCOMPARE(w.dialogs.messages().size(), 1);
        QCOMPARE(w.dialogs.opened, QList<QUrl>{QUrl::fromLocalFile(moved + QStringLiteral("/Samples/"))});
    }

    void failureWhileLoadingIsReportedAndTheQuestionSkipped()
    {
        fillSamples();
        WindowFixture w(config.path(), program);
        QVERIFY(WriteFile(config.path() + QStringLiteral("/Varnholt.ini"), QByteArray("\0\0garbage", 9)));
        Press(w);
        const QList<Shown> shown = w.dialogs.messages();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].title, QStringLiteral("Application Error"));
        QVERIFY(shown[0].text.contains(QStringLiteral("in Brisquet2021/08/31.Form1.PushButton5_Click at line 100")));
        QCOMPARE(w.form->listCount(), 0);
        QVERIFY(QFileInfo::exists(config.path() + QStringLiteral("/Varnholt.ini.bad")));
    }

    // The samples the program ships fill the list at a first start and a click converts them, page by
    // page (their pixels against a reference decoder's are the engine's to check).
    void shippedSamplesLoadAndConvert()
    {
        QTemporaryDir temp;
        QTemporaryDir out;
        const QByteArray previousTemp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(temp.path()));
        const QString samples = builtProgramFolder() + QStringLiteral("/Samples");
        const QStringList names{"chart_palette.tif", "landscape_jpeg.tif", "letter_3_pages_g4.tif",
                                "microscope_16bit.tif"};
        {
            WindowFixture w(config.path(), builtProgramFolder());
            Press(w);
            QCOMPARE(w.form->listTexts(), UnderRoot(samples, names));
            w.ui().Text1->setText(out.path());
            QTest::mouseClick(w.ui().PushButton2, Qt::LeftButton);
        }
        qputenv("TEMP", previousTemp);

        const QList<QPair<QString, int>> pages{{"chart_palette", 1}, {"landscape_jpeg", 1},
                                               {"letter_3_pages_g4", 3}, {"microscope_16bit", 1}};
        QStringList expectedOutputs;
        for (const auto& [base, count] : pages)
            expectedOutputs += TestTiff::OutputNames(base, count);
        QCOMPARE(QDir(out.path()).entryList(QDir::Files, QDir::Name), expectedOutputs);
    }
};

QTEST_MAIN(SampleFiles)
#include "samples_load_test.moc"
