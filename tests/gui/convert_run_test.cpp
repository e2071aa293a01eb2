// Whole conversion runs with the real tools: output names and pixels, odd names, and a clean temporary folder.
#include "convert_checks.h"

#include <QProcess>

#include <unistd.h>

using namespace Tovanel;

namespace {

// Each output holds the pixels of its page, and nothing else lies in the folder.
void verifyOutputs(const QString& folder, const QString& base, const QList<Page>& pages, const QStringList& alsoThere = {})
{
    QCOMPARE(TestTiff::OutputsDiffer(folder, base, pages), QString());
    QStringList expected = alsoThere + TestTiff::OutputNames(base, static_cast<int>(pages.size()));
    expected.sort();
    QCOMPARE(Entries(folder), expected);
}

} // namespace

class ConvertRunTest : public QObject {
    Q_OBJECT
private slots:
    void pagesBecomeNumberedPngs_data()
    {
        QTest::addColumn<int>("pageCount");
        QTest::addColumn<QString>("destination");   // "folder", "folder/" or "beside"
        QTest::newRow("one page, folder") << 1 << "folder";
        QTest::newRow("three pages, folder") << 3 << "folder";
        QTest::newRow("three pages, folder with trailing slash") << 3 << "folder/";
        QTest::newRow("one page, beside the source") << 1 << "beside";
        QTest::newRow("three pages, beside the source") << 3 << "beside";
    }
    void pagesBecomeNumberedPngs()
    {
        QFETCH(int, pageCount);
        QFETCH(QString, destination);
        ConvertRun run;
        const QList<Page> pages = pagesOf(pageCount);
        run.addTiff(QStringLiteral("scan.tif"), pages);
        if (destination == QLatin1String("beside"))
            run.saveBesideSource();
        else
            run.saveInFolder(destination.endsWith(QLatin1Char('/')) ? run.out + QLatin1Char('/') : run.out);
        run.start();
        verifyFinished(run);
        if (destination == QLatin1String("beside")) {
            verifyOutputs(run.src, QStringLiteral("scan"), pages, {QStringLiteral("scan.tif")});
            QCOMPARE(Entries(run.out), QStringList());
        } else {
            verifyOutputs(run.out, QStringLiteral("scan"), pages);
        }
    }

    // The base is the source's name less its last extension; a name without one is taken whole, even
    // when the temporary folder's path holds a dot. Shell characters in a name stay part of the name:
    // nothing is run, the file is converted.
    void outputBaseComesFromTheName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("base");
        QTest::addColumn<int>("seed");
        QTest::newRow("two dots") << "a.b.tif" << "a.b" << 4;
        QTest::newRow("no dot") << "scan" << "scan" << 4;
        QTest::newRow("upper-case extension") << "Report.TIFF" << "Report" << 4;
        // Named like the page files: the copy must not be taken for one of them.
        QTest::newRow("page prefix") << "varnholt.tif" << "varnholt" << 4;
        QTest::newRow("page prefix, other case") << "VARNHOLT-2024.TIF" << "VARNHOLT-2024" << 4;
        QTest::newRow("a later page's name") << "varnholtaac.tif" << "varnholtaac" << 4;
        QTest::newRow("the second page's name") << "varnholtaab.tif" << "varnholtaab" << 4;
        QTest::newRow("command substitution") << "$(touch x).tif" << "$(touch x)" << 7;
        QTest::newRow("backquotes") << "a`touch y`.tif" << "a`touch y`" << 7;
        QTest::newRow("single quote") << "it's.tif" << "it's" << 7;
        QTest::newRow("double quote") << "say \"hi\".tif" << "say \"hi\"" << 7;
        QTest::newRow("backslash and dollar") << "back\\slash $HOME.tif" << "back\\slash $HOME" << 7;
        QTest::newRow("leading dash") << "-n.tif" << "-n" << 7;
        QTest::newRow("semicolon") << "a; touch z.tif" << "a; touch z" << 7;
        // Pattern characters are part of a name too: no step takes it for a pattern.
        QTest::newRow("question mark") << "scan?.tif" << "scan?" << 7;
        QTest::newRow("star") << "scan*.tif" << "scan*" << 7;
        QTest::newRow("brackets and braces") << "[a]{b,c}.tif" << "[a]{b,c}" << 7;
    }
    void outputBaseComesFromTheName()
    {
        QFETCH(QString, name);
        QFETCH(QString, base);
        QFETCH(int, seed);
        ConvertRun run;
        const QList<Page> pages = pagesOf(2, seed);
        run.addTiff(name, pages);
        run.saveInFolder(run.out);
        run.start();
        verifyFinished(run);
        verifyOutputs(run.out, base, pages);
        for (const QString& stray : {QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z")}) {
            QVERIFY(!QFile::exists(run.temp + QLatin1Char('/') + stray));
            QVERIFY(!QFile::exists(run.src + QLatin1Char('/') + stray));
        }
    }

    // A source already in the temporary folder is converted and still there afterwards, unchanged,
    // even when it is named like the page files (it is neither cleared away nor taken for a page).
    // Named like its own second page, it still gives every page: the pages are made in the run's own
    // folder, never beside it.
    void sourceInTheTemporaryFolderIsKept_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("base");
        QTest::addColumn<bool>("secondPageLeftOut");
        QTest::newRow("plain name") << "inside.tif" << "inside" << false;
        QTest::newRow("page prefix") << "varnholt.tif" << "varnholt" << false;
        QTest::newRow("its second page's name") << "varnholtaab.tif" << "varnholtaab" << false;
    }
    void sourceInTheTemporaryFolderIsKept()
    {
        QFETCH(QString, name);
        QFETCH(QString, base);
        QFETCH(bool, secondPageLeftOut);
        ConvertRun run;
        const QList<Page> pages = pagesOf(3, 2);
        const QString source = run.addTiff(run.temp + QLatin1Char('/') + name, pages);
        const QByteArray before = TestFiles::ReadFile(source);
        run.saveInFolder(run.out);
        run.start();
        QCOMPARE(run.dialogs().errorReports().size(), 0);
        QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        verifyOutputs(run.out, base, secondPageLeftOut ? QList<Page>{pages[0], pages[2]} : pages);
        QCOMPARE(TestFiles::ReadFile(source), before);
        QCOMPARE(Entries(run.temp), QStringList{name});
    }

    // Replacing an output renames a new file over it: a file that shared the old output's data (a hard
    // link, a reader holding it open) keeps its bytes.
    void outputsReplaceOldFilesWhole()
    {
        ConvertRun run;
        const QList<Page> pages = pagesOf(1, 5);
        run.addTiff(QStringLiteral("scan.tif"), pages);
        const QString keep = run.root + QStringLiteral("/keep.bin");
        QVERIFY(TestFiles::WriteFile(keep, "precious bytes"));
        QCOMPARE(::link(QFile::encodeName(keep).constData(), QFile::encodeName(run.out + QStringLiteral("/scan.png_1.png")).constData()), 0);
        run.saveInFolder(run.out);
        run.start();
        verifyFinished(run);
        verifyOutputs(run.out, QStringLiteral("scan"), pages);
        QCOMPARE(TestFiles::ReadFile(keep), QByteArray("precious bytes"));
    }

    // Real files from public test sets: every page gives the pixels ImageMagick decodes.
    void corpusFilesMatchAReferenceDecoder_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("three grey pages") << "imagetiff_seq-1c-8b-multipage.tiff";
        QTest::newRow("three G4 pages") << "pillow_g4-multi.tiff";
        QTest::newRow("multipage") << "pillow_multipage.tiff";
    }
    void corpusFilesMatchAReferenceDecoder()
    {
        QFETCH(QString, file);
        ConvertRun run;
        const QString source = run.src + QLatin1Char('/') + file;
        QVERIFY(QFile::copy(QStringLiteral(TOVANEL_CORPUS_DIR "/") + file, source));
        run.form().addListItem(source);
        run.saveInFolder(run.out);
        run.start();
        verifyFinished(run);
        const int pages = TestTiff::PageCount(source);
        QVERIFY(pages > 1);
        const QString ref = run.root + QStringLiteral("/ref");
        QDir().mkpath(ref);
        QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/convert"), {source, ref + QStringLiteral("/p-%d.png")}), 0);
        const QString base = file.left(file.lastIndexOf(QLatin1Char('.')));
        QCOMPARE(Entries(run.out).size(), pages);
        for (int n = 1; n <= pages; ++n) {
            const QImage got = TestTiff::ReadPng(run.out + QLatin1Char('/') + base + QStringLiteral(".png_") + QString::number(n) + QStringLiteral(".png"));
            const QImage want = TestTiff::ReadPng(ref + QStringLiteral("/p-") + QString::number(n - 1) + QStringLiteral(".png"));
            QVERIFY(!got.isNull() && !want.isNull());
            QCOMPARE(got, want);
        }
    }
};

QTEST_MAIN(ConvertRunTest)
#include "convert_run_test.moc"
