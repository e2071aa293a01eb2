// Whole conversion runs with the real tools: output names and pixels, odd names, and a clean temporary folder.
#include "convert_run_fixture.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTimer>

#include <csignal>

#include <unistd.h>

using namespace Tovanel;
using TestTiff::Page;

namespace {

QList<Page> pagesOf(int count, int seed = 1)
{
    QList<Page> pages;
    for (int i = 0; i < count; ++i)
        pages.append(Page{20 + i, 12 + 3 * i, seed + i, i % 2 == 1});
    return pages;
}

QByteArray hashOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256) : QByteArray();
}

// Each output holds the pixels of its page, and nothing else lies in the folder.
void verifyOutputs(const QString& folder, const QString& base, const QList<Page>& pages, const QStringList& alsoThere = {})
{
    QStringList expected = alsoThere;
    for (int n = 1; n <= pages.size(); ++n) {
        const QString name = base + QStringLiteral(".png_") + QString::number(n) + QStringLiteral(".png");
        expected.append(name);
        const QImage got = TestTiff::ReadPng(folder + QLatin1Char('/') + name);
        QVERIFY2(!got.isNull(), qPrintable(name));
        QCOMPARE(got, TestTiff::Pixels(pages[n - 1]));
    }
    expected.sort();
    QCOMPARE(ConvertRun::entries(folder), expected);
}

// The run ended and its closing box said text, with these detail lines.
void verifyFinished(ConvertRun& run, const QString& text = QStringLiteral("Done."), const QStringList& details = {})
{
    QCOMPARE(run.dialogs().errorReports().size(), 0);
    const Shown done = run.dialogs().messages().last();
    QCOMPARE(done.text, text);
    QCOMPARE(run.lastDetails(), details);
    QCOMPARE(done.title, QString());
    QCOMPARE(done.buttons, Buttons::Ok);
    QCOMPARE(done.icon, Icon::None);
    QCOMPARE(run.form().mousePointer(), 0);
    QCOMPARE(run.form().progressValue(), 0.0);
    QCOMPARE(run.form().progressText(), QStringLiteral("Progress Bar"));
    QVERIFY(!run.form().isConverting());
    // No tool, script, marker, copy, page or page PNG stays behind.
    QCOMPARE(ConvertRun::entries(run.temp), QStringList());
}

// Calls act once from inside the run (while it lets events through) when ready() first holds.
void DuringTheRun(ConvertRun& run, const std::function<bool()>& ready, const std::function<void()>& act)
{
    bool done = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!done && ready()) {
            done = true;
            act();
        }
    });
    watch.start(0);
    run.start();
    watch.stop();
    QVERIFY2(done, "the run ended before the moment came");
}

// The process group's member whose command line holds text, or 0.
qint64 MemberRunning(qint64 group, const QByteArray& text)
{
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
        QFile cmdline(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
        if (!pid.front().isDigit() || !stat.open(QIODevice::ReadOnly) || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        if (fields.size() > 2 && fields[2].toLongLong() == group && cmdline.readAll().contains(text))
            return pid.toLongLong();
    }
    return 0;
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
            QCOMPARE(ConvertRun::entries(run.out), QStringList());
        } else {
            verifyOutputs(run.out, QStringLiteral("scan"), pages);
        }
    }

    // The base is the source's name less its last extension; a name without one is taken whole, even
    // when the temporary folder's path holds a dot.
    void outputBaseComesFromTheName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("base");
        QTest::newRow("two dots") << "a.b.tif" << "a.b";
        QTest::newRow("no dot") << "scan" << "scan";
        QTest::newRow("upper-case extension") << "Report.TIFF" << "Report";
        // Named like the page files: the copy must not be taken for one of them.
        QTest::newRow("page prefix") << "varnholt.tif" << "varnholt";
        QTest::newRow("page prefix, other case") << "VARNHOLT-2024.TIF" << "VARNHOLT-2024";
        QTest::newRow("a later page's name") << "varnholtaac.tif" << "varnholtaac";
        QTest::newRow("the second page's name") << "varnholtaab.tif" << "varnholtaab";
    }
    void outputBaseComesFromTheName()
    {
        QFETCH(QString, name);
        QFETCH(QString, base);
        ConvertRun run;
        const QList<Page> pages = pagesOf(2, 4);
        run.addTiff(name, pages);
        run.saveInFolder(run.out);
        run.start();
        verifyFinished(run);
        verifyOutputs(run.out, base, pages);
    }

    // A page that gives no PNG leaves its number unused: output N is page N whatever the pages before
    // it gave, and the closing box names the page and why. The whole-copy fallback, tried for page 1
    // only, never puts page 1 under another page's number.
    void pagesThatGiveNothingLeaveTheirNumbersUnused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("base");
        QTest::addColumn<int>("failing");   // the page that gives nothing
        QTest::addColumn<bool>("damaged");  // damaged rather than refused by the converter
        QTest::addColumn<QString>("why");
        const QString refused = QStringLiteral("a kind of image that cannot be converted");
        QTest::newRow("refused page 2, two dots") << "a.b.tif" << "a.b" << 2 << false << refused;
        QTest::newRow("refused page 2, page prefix") << "varnholt.tif" << "varnholt" << 2 << false << refused;
        QTest::newRow("refused page 1") << "scan.tif" << "scan" << 1 << false << refused;
        QTest::newRow("refused page 3") << "scan.tif" << "scan" << 3 << false << refused;
        QTest::newRow("damaged page 2") << "multi.tif" << "multi" << 2 << true << "damaged";
        QTest::newRow("damaged page 1") << "multi.tif" << "multi" << 1 << true << "damaged";
        QTest::newRow("damaged page 3") << "multi.tif" << "multi" << 3 << true << "damaged";
    }
    void pagesThatGiveNothingLeaveTheirNumbersUnused()
    {
        QFETCH(QString, name);
        QFETCH(QString, base);
        QFETCH(int, failing);
        QFETCH(bool, damaged);
        QFETCH(QString, why);
        ConvertRun run;
        QList<Page> pages = pagesOf(3, 3);
        (damaged ? pages[failing - 1].stripPastEnd : pages[failing - 1].signedSamples) = true;
        const QString source = run.addTiff(name, pages);
        run.saveInFolder(run.out);
        run.start();
        QStringList expected, written;
        for (int n = 1; n <= 3; ++n) {
            if (n == failing)
                continue;
            const QString output = base + QStringLiteral(".png_") + QString::number(n) + QStringLiteral(".png");
            expected << output;
            written << QString::number(n);
            QCOMPARE(TestTiff::ReadPng(run.out + QLatin1Char('/') + output), TestTiff::Pixels(pages[n - 1]));
        }
        QCOMPARE(ConvertRun::entries(run.out), expected);
        const QStringList details = run.lastDetails();
        QCOMPARE(details.size(), 1);
        const QString head = source + QStringLiteral(": 2 of 3 pages written (") + written.join(QStringLiteral(", "))
                             + QStringLiteral("); page ") + QString::number(failing) + QStringLiteral(": ") + why;
        QVERIFY2(details[0].startsWith(head), qPrintable(details[0]));
        verifyFinished(run, QStringLiteral("Done.\n1 of 1 file was not converted completely."), details);
    }

    // Shell characters in a name stay part of the name: nothing is run, the file is converted.
    void oddNamesAreNeverCommands_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("command substitution") << "$(touch x).tif";
        QTest::newRow("backquotes") << "a`touch y`.tif";
        QTest::newRow("single quote") << "it's.tif";
        QTest::newRow("double quote") << "say \"hi\".tif";
        QTest::newRow("backslash and dollar") << "back\\slash $HOME.tif";
        QTest::newRow("leading dash") << "-n.tif";
        QTest::newRow("semicolon") << "a; touch z.tif";
    }
    void oddNamesAreNeverCommands()
    {
        QFETCH(QString, name);
        ConvertRun run;
        const QList<Page> pages = pagesOf(2, 7);
        run.addTiff(name, pages);
        run.saveInFolder(run.out);
        run.start();
        verifyFinished(run);
        verifyOutputs(run.out, name.left(name.lastIndexOf(QLatin1Char('.'))), pages);
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
        const QByteArray before = hashOf(source);
        run.saveInFolder(run.out);
        run.start();
        QCOMPARE(run.dialogs().errorReports().size(), 0);
        QCOMPARE(run.lastMessage(), QStringLiteral("Done."));
        verifyOutputs(run.out, base, secondPageLeftOut ? QList<Page>{pages[0], pages[2]} : pages);
        QCOMPARE(hashOf(source), before);
        QCOMPARE(ConvertRun::entries(run.temp), QStringList{name});
    }

    // Sources of one run that would share an output base never replace each other's outputs: each later
    // one takes the next " (k)" before ".png", and the closing box says so.
    void sameBaseInOneRunTakesTheNextNumber_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("beside");
        QTest::addColumn<QStringList>("bases");
        QTest::newRow("same name in two folders") << QStringList{"one/same.tif", "two/same.tif"} << false
                                                  << QStringList{"same", "same (2)"};
        QTest::newRow("three sources, one base") << QStringList{"a/scan.tif", "a/scan.tiff", "b/scan.tif"} << false
                                                 << QStringList{"scan", "scan (2)", "scan (3)"};
        QTest::newRow("beside the source, two extensions") << QStringList{"a/doc.tif", "a/doc.tiff"} << true
                                                           << QStringList{"doc", "doc (2)"};
        QTest::newRow("a name that looks renamed") << QStringList{"a/x.tif", "b/x.tif", "a/x (2).tif"} << false
                                                   << QStringList{"x", "x (2)", "x (2) (2)"};
    }
    void sameBaseInOneRunTakesTheNextNumber()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, beside);
        QFETCH(QStringList, bases);
        ConvertRun run;
        QList<QList<Page>> pages;
        QStringList sources;
        for (int i = 0; i < names.size(); ++i) {
            pages << pagesOf(3 - i % 2, 10 * i + 1);
            sources << run.addTiff(names[i], pages.last());
        }
        if (beside)
            run.saveBesideSource();
        else
            run.saveInFolder(run.out);
        run.start();
        QStringList details;
        for (int i = 0; i < names.size(); ++i) {
            const QString folder = beside ? QFileInfo(sources[i]).absolutePath() : run.out;
            for (int n = 1; n <= pages[i].size(); ++n) {
                const QString output = folder + QLatin1Char('/') + bases[i] + QStringLiteral(".png_") + QString::number(n)
                                       + QStringLiteral(".png");
                QCOMPARE(TestTiff::ReadPng(output), TestTiff::Pixels(pages[i][n - 1]));
            }
            if (i > 0 && bases[i] != QFileInfo(names[i]).completeBaseName())
                details << sources[i] + QStringLiteral(": saved as ") + folder + QLatin1Char('/') + bases[i]
                               + QStringLiteral(".png_N.png, since ") + folder + QLatin1Char('/')
                               + QFileInfo(names[i]).completeBaseName() + QStringLiteral(".png_N.png came from another file of this run");
        }
        if (!beside)
            QCOMPARE(ConvertRun::entries(run.out).size(), 3 * names.size() - names.size() / 2);
        verifyFinished(run, QStringLiteral("Done.\nEvery file was converted; some were saved under another name (see the details)."),
                       details);
    }

    // Files that give nothing are passed over, the files after them convert, and the closing box says
    // which files did not convert and why.
    void damagedFileGivesNothingAndTheRunGoesOn()
    {
        ConvertRun run;
        const QList<Page> first = pagesOf(1, 1), last = pagesOf(2, 20);
        run.addTiff(QStringLiteral("first.tif"), first);
        QVERIFY(TestTiff::WriteDamaged(run.src + QStringLiteral("/broken.tif")));
        run.form().addListItem(run.src + QStringLiteral("/broken.tif"));
        run.form().addListItem(run.src + QStringLiteral("/missing.tif"));
        QFile text(run.src + QStringLiteral("/notes.tif"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("these are notes, not an image\n");
        text.close();
        run.form().addListItem(text.fileName());
        run.addTiff(QStringLiteral("last.tif"), last);
        run.saveInFolder(run.out);
        run.start();
        const QStringList details = run.lastDetails();
        QCOMPARE(details.size(), 3);
        QVERIFY2(details[0].startsWith(run.src + QStringLiteral("/broken.tif: not converted: damaged")), qPrintable(details[0]));
        QCOMPARE(details[1], run.src + QStringLiteral("/missing.tif: not converted: the file was gone or could not be read "
                                                      "when its turn came (No such file or directory)"));
        QCOMPARE(details[2], run.src + QStringLiteral("/notes.tif: not converted: not a TIFF file"));
        verifyFinished(run, QStringLiteral("Done.\n3 of 5 files were not converted completely."), details);
        QStringList names = ConvertRun::entries(run.out);
        QCOMPARE(names, (QStringList{QStringLiteral("first.png_1.png"), QStringLiteral("last.png_1.png"),
                                     QStringLiteral("last.png_2.png")}));
        QCOMPARE(TestTiff::ReadPng(run.out + QStringLiteral("/last.png_2.png")), TestTiff::Pixels(last[1]));
    }

    // The destination removed while the run goes: the files before it are whole, each file after it is
    // named with the folder that could not be written.
    void destinationRemovedMidRunIsNamed()
    {
        ConvertRun run;
        const QString dest = run.out + QStringLiteral("/dest");
        QVERIFY(QDir().mkpath(dest));
        const QList<Page> pages = pagesOf(2, 4);
        QStringList sources;
        for (const char* name : {"a.tif", "b.tif", "c.tif"})
            sources << run.addTiff(QString::fromLatin1(name), pages);
        run.saveInFolder(dest);
        DuringTheRun(
            run, [&] { return run.form().progressText() == QStringLiteral("Processing: b.tif"); },
            [&] { QVERIFY(QDir(dest).removeRecursively()); });
        const QString why = QStringLiteral(": 0 of 2 pages written; pages 1, 2: the output folder ") + dest
                            + QStringLiteral("/ cannot be written (No such file or directory)");
        verifyFinished(run, QStringLiteral("Done.\n2 of 3 files were not converted completely."),
                       {sources[1] + why, sources[2] + why});
        QVERIFY(!QFileInfo::exists(dest));
    }

    // A converter killed on page 2: pages 1 and 3 keep their numbers, nothing stands under _2, and the
    // closing box names page 2.
    void killedToolLeavesItsPageNamed()
    {
        ConvertRun run;
        // Page 2 is large enough that its converter is still running when the window next looks.
        const QList<Page> pages{Page{20, 12, 1, false}, Page{3000, 2500, 2, false}, Page{22, 15, 3, true}};
        const QString source = run.addTiff(QStringLiteral("big.tif"), pages);
        run.saveInFolder(run.out);
        qint64 killed = 0;
        DuringTheRun(
            run,
            [&] {
                const qint64 group = run.form().runningToolGroup();
                return group > 0 && MemberRunning(group, "varnholtaab.tif") > 0;
            },
            [&] {
                killed = run.form().runningToolGroup();
                ::kill(static_cast<pid_t>(-killed), SIGKILL);
            });
        QVERIFY(killed > 1);
        QCOMPARE(ConvertRun::entries(run.out), (QStringList{QStringLiteral("big.png_1.png"), QStringLiteral("big.png_3.png")}));
        QCOMPARE(TestTiff::ReadPng(run.out + QStringLiteral("/big.png_1.png")), TestTiff::Pixels(pages[0]));
        QCOMPARE(TestTiff::ReadPng(run.out + QStringLiteral("/big.png_3.png")), TestTiff::Pixels(pages[2]));
        verifyFinished(run, QStringLiteral("Done.\n1 of 1 file was not converted completely."),
                       {source + QStringLiteral(": 2 of 3 pages written (1, 3); page 2: the converter ended without a "
                                                "result (it was stopped or took too long)")});
    }

    // Replacing an output renames a new file over it: a file that shared the old output's data (a hard
    // link, a reader holding it open) keeps its bytes.
    void outputsReplaceOldFilesWhole()
    {
        ConvertRun run;
        const QList<Page> pages = pagesOf(1, 5);
        run.addTiff(QStringLiteral("scan.tif"), pages);
        const QString keep = run.root + QStringLiteral("/keep.bin");
        QFile k(keep);
        QVERIFY(k.open(QIODevice::WriteOnly));
        k.write("precious bytes");
        k.close();
        QCOMPARE(::link(QFile::encodeName(keep).constData(), QFile::encodeName(run.out + QStringLiteral("/scan.png_1.png")).constData()), 0);
        run.saveInFolder(run.out);
        run.start();
        verifyFinished(run);
        verifyOutputs(run.out, QStringLiteral("scan"), pages);
        QVERIFY(k.open(QIODevice::ReadOnly));
        QCOMPARE(k.readAll(), QByteArray("precious bytes"));
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
        QCOMPARE(ConvertRun::entries(run.out).size(), pages);
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
