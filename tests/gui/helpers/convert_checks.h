// Checks shared by the window's conversion tests: the end of a run, acting during a run.
#pragma once

#include "convert_run_fixture.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <functional>

namespace Tovanel {

using TestTiff::Page;

// The run ended and its closing box said text, with these detail lines.
inline void verifyFinished(ConvertRun& run, const QString& text = QStringLiteral("Done."),
                           const QStringList& details = {})
{
    QCOMPARE(run.dialogs().errorReports().size(), 0);
    const Shown done = run.dialogs().messages().last();
    QCOMPARE(run.lastDetails().join(QLatin1Char('\n')), details.join(QLatin1Char('\n')));
    QCOMPARE(done.text, text);
    QCOMPARE(done.title, QString());
    QCOMPARE(done.buttons, Buttons::Ok);
    // Anything but "Done." alone is a warning.
    QCOMPARE(done.icon, text == QLatin1String("Done.") ? Icon::None : Icon::Warning);
    QCOMPARE(run.form().mousePointer(), 0);
    QCOMPARE(run.form().progressValue(), 0.0);
    QCOMPARE(run.form().progressText(), QStringLiteral("Progress Bar"));
    QVERIFY(!run.form().isConverting());
    // No tool, script, marker, copy, page or page PNG stays behind.
    QCOMPARE(Entries(run.temp), QStringList());
}

// Runs the conversion and calls look each time the run lets events through.
inline void EachMoment(ConvertRun& run, const std::function<void()>& look)
{
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, look);
    watch.start(0);
    run.start();
    watch.stop();
}

// Calls act once from inside the run (while it lets events through) when ready() first holds.
inline void DuringTheRun(ConvertRun& run, const std::function<bool()>& ready, const std::function<void()>& act)
{
    bool done = false;
    EachMoment(run, [&] {
        if (!done && ready()) {
            done = true;
            act();
        }
    });
    QVERIFY2(done, "the run ended before the moment came");
}

// The run has shown a file's name: it is converting.
inline bool Processing(ConvertRun& run) { return run.form().progressText().startsWith(QLatin1String("Processing: ")); }

} // namespace Tovanel
