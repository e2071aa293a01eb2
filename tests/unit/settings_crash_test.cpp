// A process killed while it writes settings leaves a settings file that reads whole.
#include "platform/error_trap.h"
#include "settings/settings.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace Tovanel;

// Readable failure messages for texts.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

// Values of different lengths, so a torn write would show as a value that is none of them.
QString ValueNumber(int n)
{
    return QStringLiteral("/home/user/output-%1/").arg(n) + QString(n % 7 * 40, QLatin1Char('x'));
}

bool IsOneOfTheValues(const QString& text, int upTo)
{
    for (int n = 0; n <= upTo; ++n)
        if (text == ValueNumber(n))
            return true;
    return false;
}

} // namespace

TEST(SettingsCrash, KillDuringWritesLeavesACompleteValue)
{
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    SaveSetting(QStringLiteral("Snapshot"), QStringLiteral("/p/Samples/a.tif|/p/Samples/b.tif"));
    SaveSetting(QStringLiteral("Text1"), ValueNumber(0));

    constexpr int kKills = 40;
    constexpr int kValuesPerChild = 100000;
    QRandomGenerator random(20210831);
    int killedWhileRunning = 0;
    for (int round = 0; round < kKills; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The child only writes; it never returns into the test framework.
            for (int n = 1; n < kValuesPerChild; ++n) {
                try {
                    SaveSetting(QStringLiteral("Text1"), ValueNumber(n % 50));
                } catch (...) {
                    ::_exit(3);
                }
            }
            ::_exit(0);
        }
        ::usleep(2000 + random.bounded(30000));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            ++killedWhileRunning;
        else
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed to write, round " << round;

        // The file is whole: no damage report, the value is one the child wrote in full, and the other
        // key written before is still there.
        QString text;
        ASSERT_NO_THROW(text = GetSetting(QStringLiteral("Text1"), QStringLiteral("absent")));
        EXPECT_TRUE(IsOneOfTheValues(text, 49)) << "round " << round << ": " << text.toStdString();
        EXPECT_EQ(GetSetting(QStringLiteral("Snapshot"), QString()), QStringLiteral("/p/Samples/a.tif|/p/Samples/b.tif"));
        // And the store can still be written after the crash.
        ASSERT_NO_THROW(SaveSetting(QStringLiteral("Text1"), ValueNumber(0)));
        EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QString()), ValueNumber(0));
    }
    EXPECT_GT(killedWhileRunning, kKills / 2) << "the kills mostly came too late to test anything";
    EXPECT_FALSE(QFile::exists(config.path() + QStringLiteral("/Varnholt.ini.bad")));
    qputenv("XDG_CONFIG_HOME", saved);
}
