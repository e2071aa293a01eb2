// A real main window on the offscreen platform, its dialogs answered by the scripted fake.
#pragma once

#include "fake_dialogs.h"
#include "app/form1.h"
#include "ui_form1.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

namespace Tovanel {

// The folder that holds the built program's beside-files (cursor, drag picture, skin, Samples).
inline QString builtProgramFolder() { return QStringLiteral(TOVANEL_BIN_DIR); }

class WindowFixture {
public:
    // Each window gets a settings folder of its own, so test functions never see each other's settings.
    explicit WindowFixture(const QString& programFolder = builtProgramFolder())
        : WindowFixture(QString(), programFolder)
    {
    }

    // A window started on a prepared settings folder (empty: a fresh one of its own), so a test can
    // stage what an earlier start left behind; prepare() queues dialog answers before Form_Load runs.
    WindowFixture(const QString& configFolder, const QString& programFolder,
                  const std::function<void(FakeDialogs&)>& prepare = {}, Form1::Options options = {})
        : configPath(configFolder.isEmpty() ? configDir.path() : configFolder)
    {
        qputenv("XDG_CONFIG_HOME", configPath.toUtf8());
        if (prepare)
            prepare(dialogs);
        form = std::make_unique<Form1>(dialogs, programFolder, std::move(options));
        form->show();
        (void)QTest::qWaitForWindowExposed(form.get());
    }
    Ui::Form1& ui() { return form->ui(); }
    // Lists the texts, in order, as the program's own adds do.
    void list(const QStringList& texts)
    {
        for (const QString& t : texts)
            form->addListItem(t);
    }

    // A stored setting as it is on disk, read past the program's own store; a null QVariant when absent.
    QVariant stored(const QString& key) const
    {
        return QSettings(configPath + QStringLiteral("/Varnholt.ini"), QSettings::IniFormat)
            .value(QStringLiteral("Tovanel/") + key);
    }

    QTemporaryDir configDir;
    QString configPath;
    FakeDialogs dialogs;
    std::unique_ptr<Form1> form;
};

} // namespace Tovanel
