// The conversion run's tests without a window: a fake host lists the files and records what the run
// shows; each test has its own run folder (through TEMP), source and output folders.
#pragma once

#include "convert/conversion_run.h"
#include "convert_tiff_maker.h"
#include "fake_dialogs.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace Tovanel::RunTest {

using TestFiles::Entries;
using TestTiff::Page;
using TestTiff::PagesOf;

class FakeHost : public RunHost {
public:
    int listCount() const override { return list.size(); }
    QString listText(int position) const override { return list.value(position - 1); }
    Destination destination() const override { return where; }
    QString destinationFolder() const override { return folder; }
    void setProgressValue(double value) override { progress.append(value); }
    void setProgressText(const QString& text) override { captions.append(text); }
    void setMousePointer(int value) override { pointers.append(value); }
    Dialogs& dialogs() override { return fake; }
    QObject* dialogOwner() override { return nullptr; }
    int jobs() const override { return slotCount; }
    void processEvents() override
    {
        ++pumps;
        if (onPump)
            onPump();
    }

    QStringList list;
    Destination where = Destination::Folder;
    QString folder;
    QList<double> progress;
    QStringList captions;
    QList<int> pointers;
    int pumps = 0;
    int slotCount = 0;
    std::function<void()> onPump;
    FakeDialogs fake;
};

class ConvertRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(work.isValid());
        // A dot in the temporary folder's path catches bases taken from the whole path instead of the name.
        temp = work.path() + QStringLiteral("/j.doe/Temp");
        src = work.path() + QStringLiteral("/src");
        out = work.path() + QStringLiteral("/out");
        for (const QString& d : {temp, src, out})
            ASSERT_TRUE(QDir().mkpath(d));
        previousTemp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(temp));
        host.folder = out;
    }
    void TearDown() override { qputenv("TEMP", previousTemp); }

    // Writes a TIFF into the source folder (or at an absolute path), folders made as needed, and lists it.
    QString addTiff(const QString& name, const QList<Page>& pages)
    {
        const QString path = QFileInfo(name).isAbsolute() ? name : src + QLatin1Char('/') + name;
        EXPECT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
        EXPECT_TRUE(TestTiff::Write(path, pages)) << path.toStdString();
        host.list.append(path);
        return path;
    }
    QStringList messageTexts() const
    {
        QStringList texts;
        for (const Shown& s : host.fake.messages())
            texts.append(s.text);
        return texts;
    }
    // The run ended with this closing box (a warning unless "Done." alone), no error report, and no
    // tool, script, marker, copy, page or page PNG left in the temporary folder.
    void expectFinished(const ConversionRun& run, const QString& text = QStringLiteral("Done."),
                        const QStringList& details = {})
    {
        EXPECT_EQ(host.fake.errorReports().size(), 0);
        ASSERT_FALSE(host.fake.messages().isEmpty());
        const Shown box = host.fake.messages().last();
        EXPECT_EQ(box.text.toStdString(), text.toStdString());
        EXPECT_EQ(box.details.toStdString(), details.join(QLatin1Char('\n')).toStdString());
        EXPECT_EQ(box.title, QString());
        EXPECT_EQ(box.buttons, Buttons::Ok);
        EXPECT_EQ(box.icon, text == QLatin1String("Done.") ? Icon::None : Icon::Warning);
        EXPECT_FALSE(run.isConverting());
        EXPECT_EQ(host.pointers.value(host.pointers.size() - 1), int(PointerDefault));
        EXPECT_EQ(Entries(temp), QStringList());
    }

    QTemporaryDir work;
    QString temp, src, out;
    QByteArray previousTemp;
    FakeHost host;
};

// While it lives, look is called each time the run lets events through, the waits for the tools included.
class EachMoment {
public:
    explicit EachMoment(std::function<void()> look)
    {
        QObject::connect(&watch_, &QTimer::timeout, std::move(look));
        watch_.start(0);
    }

private:
    QTimer watch_;
};

} // namespace Tovanel::RunTest
