// A window with its own temporary, source and output folders, for driving whole conversion runs.
#pragma once

#include "convert_tiff_maker.h"
#include "test_files.h"
#include "window_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace Tovanel {

using TestFiles::Entries;

class ConvertRun {
public:
    // tempName: the temporary folder under the test's own folder; a dot in it catches bases taken
    // from the whole path instead of the name.
    static inline const QString kDefaultTempName = QStringLiteral("j.doe/Temp");

    // toolTimeoutMs: how long a tool may run before it is stopped; jobs: tool calls at once (0: the
    // program's default, the usable cores).
    explicit ConvertRun(const QString& tempName = kDefaultTempName,
                        qint64 toolTimeoutMs = ConversionRun::kDefaultToolTimeoutMs, int jobs = 0)
    {
        root = work.path();
        temp = root + QLatin1Char('/') + tempName;
        src = root + QStringLiteral("/src");
        out = root + QStringLiteral("/out");
        for (const QString& d : {temp, src, out})
            QDir().mkpath(d);
        previousTemp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(temp));
        const auto endProgram = [this] {
            ++endProgramCalls;
            tempAtEndProgram = Entries(temp);
        };
        window = std::make_unique<WindowFixture>(QString(), builtProgramFolder(), nullptr,
                                                 Form1::Options{toolTimeoutMs, endProgram, jobs});
    }
    ~ConvertRun() { qputenv("TEMP", previousTemp); }

    Form1& form() { return *window->form; }
    Ui::Form1& ui() { return window->ui(); }
    FakeDialogs& dialogs() { return window->dialogs; }

    void saveInFolder(const QString& folder)
    {
        QTest::mouseClick(ui().Option1, Qt::LeftButton);
        ui().Text1->setText(folder);
    }
    void saveBesideSource() { QTest::mouseClick(ui().Option2, Qt::LeftButton); }
    // Writes a TIFF into the source folder (or at an absolute path) and lists it.
    QString addTiff(const QString& name, const QList<TestTiff::Page>& pages)
    {
        const QString path = QFileInfo(name).isAbsolute() ? name : src + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!TestTiff::Write(path, pages))
            qWarning("could not write %s", qPrintable(path));
        form().addListItem(path);
        return path;
    }
    void start() { QTest::mouseClick(ui().PushButton2, Qt::LeftButton); }
    // Starts with "TEMP" unset (or empty) and the system temp folder (TMPDIR) at system.
    void startWithSystemTemp(const QString& system, bool emptyTemp = false)
    {
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(system));
        emptyTemp ? qputenv("TEMP", QByteArray()) : qunsetenv("TEMP");
        start();
        qputenv("TMPDIR", oldTmp);
    }

    QString lastMessage() { return dialogs().messages().isEmpty() ? QString() : dialogs().messages().last().text; }
    // The lines of the closing box's details.
    QStringList lastDetails()
    {
        return dialogs().messages().isEmpty()
                   ? QStringList()
                   : dialogs().messages().last().details.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QTemporaryDir work;
    QString root, temp, src, out;
    std::unique_ptr<WindowFixture> window;
    int endProgramCalls = 0;
    QStringList tempAtEndProgram;   // what the temporary folder held when the program was ended
    QByteArray previousTemp;
};

} // namespace Tovanel
