// The command line: named files and folders reach the list as a drop of them does; --help and --version
// answer on stdout without a display.
#include "intake_tree.h"
#include "app/startup_command_line.h"
#include "tree_removal.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>

#include <memory>
#include <vector>

using namespace Tovanel;
using TestSupport::RemoveTreeAt;

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void namedPathsJoinTheListAsADropOfThemDoes_data();
    void namedPathsJoinTheListAsADropOfThemDoes();
    void programAnswersWithoutADisplay_data();
    void programAnswersWithoutADisplay();
};

void CommandLineTest::namedPathsJoinTheListAsADropOfThemDoes_data()
{
    // "@" stands for the test's folder, which is also the current folder the program starts in.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("added");   // under the test's folder
    QTest::addColumn<QStringList>("refused"); // named in one box: the name is not text
    QTest::newRow("an absolute file") << QStringList{"@/notes.txt"} << QStringList{"notes.txt"} << QStringList{};
    QTest::newRow("relative file and folder")
        << QStringList{"two", "notes.txt"} << QStringList{"two/z.tif", "two/sub/y.tif", "notes.txt"} << QStringList{};
    QTest::newRow("a folder: every file at any depth, no tilde, no ordinary hidden file")
        << QStringList{"@/one"} << QStringList{"one/.r.tif", "one/a.png", "one/b.TIF", "one/deep/er/c"}
        << QStringList{};
    QTest::newRow("a file URL, as some launchers hand over")
        << QStringList{"file://@/two/z.tif"} << QStringList{"two/z.tif"} << QStringList{};
    QTest::newRow("a name that looks like an option, after --")
        << QStringList{"--", "-dash.tif"} << QStringList{"-dash.tif"} << QStringList{};
    QTest::newRow("a missing path is passed over, the others still come")
        << QStringList{"gone.tif", "@/two/z.tif"} << QStringList{"two/z.tif"} << QStringList{};
    QTest::newRow("nothing named adds nothing") << QStringList{} << QStringList{} << QStringList{};
    QTest::newRow("a name that is not text is named, the others still come")
        << QStringList{"bad\\xFF.tif", "@/two/z.tif"} << QStringList{"two/z.tif"} << QStringList{"bad\\xFF.tif"};
}

void CommandLineTest::namedPathsJoinTheListAsADropOfThemDoes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, added);
    QFETCH(QStringList, refused);
    QTemporaryDir dir;
    const auto removeTree = qScopeGuard([&] { RemoveTreeAt(AT_FDCWD, QFile::encodeName(dir.path()).constData()); });
    QVERIFY(MakeTree(dir.path(), {"notes.txt", "-dash.tif", "one/b.TIF", "one/a.png", "one/~skip.tif", "one/.h.tif",
                                  "one/.r.tif ro", "one/deep/er/c", "two/z.tif", "two/sub/y.tif", "bad\\xFF.tif"}));
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    // As the program gets them: bytes.
    QList<QByteArray> bytes{"tovanel"};
    for (const QString& a : arguments)
        bytes << TestPathBytes(QString(a).replace(QLatin1Char('@'), dir.path()));
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    const CommandLine line = ParseCommandLine(ProgramArguments(int(argv.size()), argv.data()));
    QDir::setCurrent(before);
    QCOMPARE(line.action, CommandLine::Run);

    WindowFixture f;
    OpenFromCommandLine(*f.form, line.opened);
    QCOMPARE(f.form->listTexts(), UnderRoot(dir.path(), added));
    const QString problem = RefusedNamesProblem(f.dialogs, UnderRoot(dir.path(), refused));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    // The same paths dropped on another window give the same list.
    QStringList absolute;
    for (const QUrl& url : line.opened)
        absolute << url.toLocalFile();
    WindowFixture dropped;
    const std::unique_ptr<QMimeData> data(FileDrag(absolute));
    DropOnList(dropped, data.get());
    QCOMPARE(f.form->listTexts(), dropped.form->listTexts());
}

void CommandLineTest::programAnswersWithoutADisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");   // a pattern the whole of stdout matches
    QTest::addColumn<QString>("err");   // a pattern the whole of stderr matches
    QTest::addColumn<bool>("display");  // whether an (offscreen) window system is there
    const QString usage = QStringLiteral("(?s)Usage: \\S*tovanel \\[options\\] \\[files or folders...\\]\n.*"
                                         "-h, --help.*-v, --version.*files .*");
    QTest::newRow("--help") << QStringList{"--help"} << 0 << usage << "" << false;
    QTest::newRow("-h") << QStringList{"-h"} << 0 << usage << "" << false;
    QTest::newRow("--help-all") << QStringList{"--help-all"} << 0 << usage << "" << false;
    QTest::newRow("--help among files") << QStringList{"a.tif", "--help"} << 0 << usage << "" << false;
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "Tovanel \\d+\\.\\d+\\.\\d+\n" << "" << false;
    QTest::newRow("an unknown option is refused")
        << QStringList{"--frobnicate", "a.tif"} << 2 << ""
        << "Unknown option 'frobnicate'.\nTry 'tovanel --help' for more information.\n" << true;
    QTest::newRow("-v") << QStringList{"-v"} << 0 << "Tovanel \\d+\\.\\d+\\.\\d+\n" << "" << false;
}

void CommandLineTest::programAnswersWithoutADisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(bool, display);
    QProcess program;
    // Without a window system, making the application window would abort the program.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QTemporaryDir runtime;   // private, as the session's own runtime folder is; Qt warns of any other
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    if (display)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(TOVANEL_BIN_DIR "/tovanel"), arguments);
    QVERIFY(program.waitForFinished(30000));
    const QString stdoutText = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString stderrText = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(out)).match(stdoutText).hasMatch(),
             qPrintable(stdoutText));
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(err)).match(stderrText).hasMatch(),
             qPrintable(stderrText));
}

QTEST_MAIN(CommandLineTest)
#include "command_line_test.moc"
