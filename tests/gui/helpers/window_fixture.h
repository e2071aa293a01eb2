// A real main window on the offscreen platform, its dialogs answered by the scripted fake.
#pragma once

#include "fake_dialogs.h"
#include "form1.h"
#include "ui_form1.h"

#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace Tovanel {

// The folder that holds the built program's beside-files (cursor, drag picture, skin, Samples).
inline QString builtProgramFolder() { return QStringLiteral(TOVANEL_BIN_DIR); }

class WindowFixture {
public:
    // Each window gets a settings folder of its own, so test functions never see each other's settings.
    explicit WindowFixture(const QString& programFolder = builtProgramFolder())
    {
        qputenv("XDG_CONFIG_HOME", configDir.path().toUtf8());
        form = std::make_unique<Form1>(dialogs, programFolder);
        form->show();
        (void)QTest::qWaitForWindowExposed(form.get());
    }
    Ui::Form1& ui() { return form->ui(); }

    QTemporaryDir configDir;
    FakeDialogs dialogs;
    std::unique_ptr<Form1> form;
};

} // namespace Tovanel
