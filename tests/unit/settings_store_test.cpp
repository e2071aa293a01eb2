// The settings store: where values live, that they come back exactly, truth values, and damaged files.
#include "platform/error_trap.h"
#include "settings/settings.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace Tovanel;

// Readable failure messages for texts.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(config.isValid());
        savedConfigHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    }
    void TearDown() override { qputenv("XDG_CONFIG_HOME", savedConfigHome); }

    QString iniPath() const { return config.path() + QStringLiteral("/Varnholt.ini"); }
    void writeRaw(const QByteArray& bytes, const QString& path = {}) const
    {
        ASSERT_TRUE(Tovanel::TestFiles::WriteFile(path.isEmpty() ? iniPath() : path, bytes));
    }
    static QByteArray readRaw(const QString& path) { return Tovanel::TestFiles::ReadFile(path); }

    QTemporaryDir config;
    QByteArray savedConfigHome;
};

// Runs f, which must throw a Failure; returns it.
template <class F>
Failure ExpectFailure(F&& f)
{
    try {
        f();
    } catch (const Failure& failure) {
        return failure;
    }
    ADD_FAILURE() << "no Failure thrown";
    return Failure(QString());
}

} // namespace

TEST_F(SettingsStore, AbsentKeyYieldsTheDefaultAsText)
{
    EXPECT_EQ(GetSetting(QStringLiteral("Option1"), 1), QStringLiteral("1"));
    EXPECT_EQ(GetSetting(QStringLiteral("Option2"), 0), QStringLiteral("0"));
    EXPECT_EQ(GetSetting(QStringLiteral("Extension"), QStringLiteral("tif")), QStringLiteral("tif"));
    EXPECT_EQ(GetSetting(QStringLiteral("Snapshot"), QString()), QString());
    EXPECT_FALSE(QFileInfo::exists(iniPath())) << "reading must not create the file";
}

TEST_F(SettingsStore, ValuesLiveInVarnholtIniUnderTovanel)
{
    SaveSetting(QStringLiteral("Text1"), QStringLiteral("/home/u/out/"));
    ASSERT_TRUE(QFileInfo(iniPath()).isFile());
    QSettings direct(iniPath(), QSettings::IniFormat);
    EXPECT_EQ(direct.childGroups(), QStringList{QStringLiteral("Tovanel")});
    EXPECT_EQ(direct.value(QStringLiteral("Tovanel/Text1")).toString(), QStringLiteral("/home/u/out/"));
    EXPECT_TRUE(readRaw(iniPath()).contains("[Tovanel]"));
}

class SettingsRoundTrip : public SettingsStore, public ::testing::WithParamInterface<const char*> {};

TEST_P(SettingsRoundTrip, ValueComesBackExactly)
{
    const QString value = QString::fromUtf8(GetParam());
    SaveSetting(QStringLiteral("Text1"), QStringLiteral("something else first"));
    SaveSetting(QStringLiteral("Text1"), value);
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QStringLiteral("default")), value);
}

INSTANTIATE_TEST_SUITE_P(AwkwardTexts, SettingsRoundTrip,
                         ::testing::Values("", "True", "/", " leading and trailing ", "a, b, c", "x=y; # not a comment",
                                           "[Tovanel]", "back\\slash\\", "quote \" inside", "line\nbreak",
                                           "/a/Samples/one.tif|/a/Samples/two.tif", "Grüße/日本/", "@Variant(x)",
                                           "tab\there"));

TEST_F(SettingsStore, EmptyValueIsStoredNotReplacedByDefault)
{
    SaveSetting(QStringLiteral("Text1"), QString());
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QStringLiteral("/desk/")), QString());
}

TEST_F(SettingsStore, EveryWriteIsOnDiskAtOnce)
{
    SaveSetting(QStringLiteral("LastFolderDot"), QStringLiteral("/first"));
    EXPECT_TRUE(readRaw(iniPath()).contains("LastFolderDot=/first"));
    SaveSetting(QStringLiteral("LastFolderDot"), QStringLiteral("/second/longer"));
    EXPECT_TRUE(readRaw(iniPath()).contains("LastFolderDot=/second/longer"));
}

TEST_F(SettingsStore, ReadsSeeChangesMadeOutsideTheProgram)
{
    SaveSetting(QStringLiteral("Extension"), QStringLiteral("tif"));
    EXPECT_EQ(GetSetting(QStringLiteral("Extension"), QString()), QStringLiteral("tif"));
    writeRaw("[Tovanel]\nExtension=tiff-changed-outside\n");
    EXPECT_EQ(GetSetting(QStringLiteral("Extension"), QString()), QStringLiteral("tiff-changed-outside"));
}

TEST_F(SettingsStore, OtherKeysSurviveAWrite)
{
    writeRaw("[Tovanel]\nText1=/kept/\nOption1=True\n\n[Other]\nkey=value\n");
    ASSERT_TRUE(QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::WriteOwner));
    SaveSetting(QStringLiteral("Option2"), QStringLiteral("False"));
    // The file keeps its permissions, and no working copy or lock is left beside it.
    EXPECT_EQ(QFile::permissions(iniPath()) & 0xf0ff, QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_EQ(QDir(config.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Varnholt.ini")});
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QString()), QStringLiteral("/kept/"));
    EXPECT_EQ(GetSetting(QStringLiteral("Option1"), QString()), QStringLiteral("True"));
    EXPECT_EQ(GetSetting(QStringLiteral("Option2"), QString()), QStringLiteral("False"));
    EXPECT_EQ(QSettings(iniPath(), QSettings::IniFormat).value(QStringLiteral("Other/key")).toString(),
              QStringLiteral("value"));
}

TEST_F(SettingsStore, ConfigFolderIsFollowedWhenItChanges)
{
    SaveSetting(QStringLiteral("Text1"), QStringLiteral("/one/"));
    QTemporaryDir other;
    qputenv("XDG_CONFIG_HOME", other.path().toUtf8());
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QStringLiteral("fresh")), QStringLiteral("fresh"));
    SaveSetting(QStringLiteral("Text1"), QStringLiteral("/two/"));
    EXPECT_TRUE(QFileInfo(other.path() + QStringLiteral("/Varnholt.ini")).isFile());
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QString()), QStringLiteral("/one/"));
}

TEST_F(SettingsStore, MissingConfigFolderIsCreated)
{
    const QString nested = config.path() + QStringLiteral("/not/yet");
    qputenv("XDG_CONFIG_HOME", nested.toUtf8());
    SaveSetting(QStringLiteral("Text1"), QStringLiteral("/x/"));
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QString()), QStringLiteral("/x/"));
    EXPECT_TRUE(QFileInfo(nested + QStringLiteral("/Varnholt.ini")).isFile());
}

TEST_F(SettingsStore, UnwritableStoreFailsTheWriteAndKeepsReading)
{
    // A config folder below a plain file can never be created, whoever runs the test.
    writeRaw("not a folder", config.path() + QStringLiteral("/blocker"));
    qputenv("XDG_CONFIG_HOME", (config.path() + QStringLiteral("/blocker/config")).toUtf8());
    const Failure failure = ExpectFailure([] { SaveSetting(QStringLiteral("Text1"), QStringLiteral("/x/")); });
    EXPECT_EQ(failure.number(), SettingsUnwritableNumber);
    EXPECT_TRUE(QString::fromUtf8(failure.what()).contains(QStringLiteral("\"Text1\" could not be saved")));
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QStringLiteral("/desk/")), QStringLiteral("/desk/"));
}

// A settings file kept elsewhere and linked into the config folder (a dotfiles folder) stays linked:
// every write reaches the kept file, through a relative link, an absolute one or a link to a link.
struct LinkRow { const char* name; bool relative; bool viaSecondLink; };
void PrintTo(const LinkRow& row, std::ostream* out) { *out << row.name; }
class LinkedFile : public SettingsStore, public ::testing::WithParamInterface<LinkRow> {};

TEST_P(LinkedFile, StaysALinkAndTheFileItLeadsToIsWritten)
{
    const QString dotfiles = config.path() + QStringLiteral("/dotfiles");
    const QString kept = dotfiles + QStringLiteral("/Varnholt.ini");
    ASSERT_TRUE(TestFiles::WriteFile(kept, "[Tovanel]\nText1=/kept/\n", true));
    ASSERT_TRUE(QFile::setPermissions(kept, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QString leadsTo = GetParam().relative ? QStringLiteral("dotfiles/Varnholt.ini") : kept;
    if (GetParam().viaSecondLink) {
        ASSERT_EQ(::symlink(QFile::encodeName(leadsTo).constData(),
                            QFile::encodeName(config.path() + QStringLiteral("/second.ini")).constData()), 0);
        leadsTo = QStringLiteral("second.ini");
    }
    ASSERT_EQ(::symlink(QFile::encodeName(leadsTo).constData(), QFile::encodeName(iniPath()).constData()), 0);

    SaveSetting(QStringLiteral("Option1"), QStringLiteral("False"));
    SaveSetting(QStringLiteral("Option2"), QStringLiteral("True"));

    EXPECT_TRUE(QFileInfo(iniPath()).isSymLink());
    EXPECT_EQ(QFileInfo(iniPath()).canonicalFilePath(), QFileInfo(kept).canonicalFilePath());
    const QSettings direct(kept, QSettings::IniFormat);
    EXPECT_EQ(direct.value(QStringLiteral("Tovanel/Text1")).toString(), QStringLiteral("/kept/"));
    EXPECT_EQ(direct.value(QStringLiteral("Tovanel/Option1")).toString(), QStringLiteral("False"));
    EXPECT_EQ(direct.value(QStringLiteral("Tovanel/Option2")).toString(), QStringLiteral("True"));
    EXPECT_EQ(QFile::permissions(kept) & 0xf0ff, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    EXPECT_EQ(TestFiles::Entries(dotfiles), QStringList{QStringLiteral("Varnholt.ini")});
}

INSTANTIATE_TEST_SUITE_P(Links, LinkedFile,
                         ::testing::Values(LinkRow{"relative", true, false}, LinkRow{"absolute", false, false},
                                           LinkRow{"linkToALink", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- truth values

struct TruthRow { const char* text; bool expected; };
class TruthValues : public ::testing::TestWithParam<TruthRow> {};

TEST_P(TruthValues, ReadAsDesigned)
{
    EXPECT_EQ(ToTruthValue(QString::fromUtf8(GetParam().text)), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(WordsAndNumbers, TruthValues,
                         ::testing::Values(TruthRow{"True", true}, TruthRow{"TRUE", true}, TruthRow{"tRuE", true},
                                           TruthRow{"False", false}, TruthRow{"false", false},
                                           TruthRow{"FALSE", false}, TruthRow{"1", true}, TruthRow{"-1", true},
                                           TruthRow{"0", false}, TruthRow{"2.5", true}, TruthRow{"0.0", false},
                                           TruthRow{"-0", false}, TruthRow{"1e3", true}, TruthRow{" 1 ", true},
                                           TruthRow{" True ", true}, TruthRow{"0.001", true}));

class NotTruthValues : public ::testing::TestWithParam<const char*> {};

TEST_P(NotTruthValues, FailWithTypeMismatch)
{
    const Failure failure = ExpectFailure([] { ToTruthValue(QString::fromUtf8(GetParam())); });
    EXPECT_STREQ(failure.what(), "Type mismatch");
    EXPECT_EQ(failure.number(), 13);
}

INSTANTIATE_TEST_SUITE_P(Others, NotTruthValues,
                         ::testing::Values("", "yes", "on", "Truth", "1x", "maybe", "nan", "inf", "True False", "--1"));

// ---- damaged files

struct DamageRow { const char* name; QByteArray bytes; };
class DamagedFile : public SettingsStore, public ::testing::WithParamInterface<DamageRow> {};

TEST_P(DamagedFile, IsKeptAsideReportedOnceAndDefaultsApply)
{
    writeRaw(GetParam().bytes);
    const Failure failure = ExpectFailure([] { GetSetting(QStringLiteral("Text1"), QStringLiteral("/desk/")); });
    EXPECT_EQ(failure.number(), SettingsDamagedNumber);
    EXPECT_TRUE(QString::fromUtf8(failure.what()).contains(iniPath() + QStringLiteral(".bad"))) << failure.what();
    EXPECT_EQ(readRaw(iniPath() + QStringLiteral(".bad")), GetParam().bytes);
    EXPECT_FALSE(QFileInfo::exists(iniPath()));

    // Reported once: from now on the defaults apply and writes work.
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QStringLiteral("/desk/")), QStringLiteral("/desk/"));
    SaveSetting(QStringLiteral("Text1"), QStringLiteral("/new/"));
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QString()), QStringLiteral("/new/"));
    EXPECT_EQ(readRaw(iniPath() + QStringLiteral(".bad")), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedFile,
    ::testing::Values(DamageRow{"binary", QByteArray("\x00\x01\x02\xff\xfe[Tov\x00anel]\nText1=abc\n", 28)},
                      DamageRow{"notUtf8", QByteArray("[Tovanel]\nText1=/caf\xe9/\n")},
                      DamageRow{"unclosedSection", QByteArray("[Tovanel\nText1=/x/\n")},
                      DamageRow{"truncatedLine", QByteArray("[Tovanel]\nText1=/x/\nOpti")},
                      DamageRow{"zeros", QByteArray(4096, '\0')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsStore, DamagedFileFoundByAWriteKeepsTheNewValue)
{
    writeRaw(QByteArray("\x7f" "ELF garbage", 12));
    const Failure failure = ExpectFailure([] { SaveSetting(QStringLiteral("Option1"), QStringLiteral("True")); });
    EXPECT_EQ(failure.number(), SettingsDamagedNumber);
    EXPECT_EQ(GetSetting(QStringLiteral("Option1"), QString()), QStringLiteral("True"));
    EXPECT_EQ(readRaw(iniPath() + QStringLiteral(".bad")), QByteArray("\x7f" "ELF garbage", 12));
}

TEST_F(SettingsStore, AnEarlierDamagedFileIsNotOverwritten)
{
    writeRaw("first\x01", iniPath());
    ExpectFailure([] { GetSetting(QStringLiteral("Text1"), QString()); });
    writeRaw("second\x02", iniPath());
    ExpectFailure([] { GetSetting(QStringLiteral("Text1"), QString()); });
    EXPECT_EQ(readRaw(iniPath() + QStringLiteral(".bad")), QByteArray("first\x01"));
    EXPECT_EQ(readRaw(iniPath() + QStringLiteral(".bad.2")), QByteArray("second\x02"));
}

TEST_F(SettingsStore, AFolderInPlaceOfTheFileIsMovedAside)
{
    ASSERT_TRUE(QDir(config.path()).mkdir(QStringLiteral("Varnholt.ini")));
    ExpectFailure([] { GetSetting(QStringLiteral("Text1"), QString()); });
    EXPECT_TRUE(QFileInfo(iniPath() + QStringLiteral(".bad")).isDir());
    SaveSetting(QStringLiteral("Text1"), QStringLiteral("/ok/"));
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QString()), QStringLiteral("/ok/"));
}

TEST_F(SettingsStore, HandWrittenFileWithCommentsIsAccepted)
{
    writeRaw("; written by hand\r\n# another comment\r\n\r\n[Tovanel]\r\nText1 = /by/hand/\r\nOption1=1\r\n");
    EXPECT_EQ(GetSetting(QStringLiteral("Text1"), QString()), QStringLiteral("/by/hand/"));
    EXPECT_EQ(GetSetting(QStringLiteral("Option1"), QString()), QStringLiteral("1"));
    EXPECT_FALSE(QFileInfo::exists(iniPath() + QStringLiteral(".bad")));
}
