// The per-user settings store on QSettings: read anew at every call, written through at every change.
#include "settings/settings.h"

#include "fs/file.h"
#include "platform/error_trap.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <cmath>

namespace Tovanel {

namespace {

const QString kGroup = QStringLiteral("Tovanel");

// Damaged files that could not be moved aside and were already reported: their defaults apply
// quietly from then on, and they are never written over.
QSet<QString>& reportedDamage()
{
    static QSet<QString> files;
    return files;
}

QString Identity(const QFileInfo& info)
{
    return info.absoluteFilePath() + QLatin1Char('\n') + QString::number(info.size()) + QLatin1Char('\n')
        + QString::number(info.lastModified().toMSecsSinceEpoch());
}

// Qt's INI reader accepts nearly anything and turns what it can't parse into nothing, and its next
// write would replace the file with that nothing. So the bytes are judged first: text as this store
// writes it (UTF-8, sections, key=value lines, comments), or not ours to trust.
bool LooksLikeSettings(const QByteArray& bytes)
{
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\r' && c != '\n') || u == 0x7f)
            return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    if (utf8.hasError())
        return false;
    bool continued = false;
    for (QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        line = line.trimmed();
        const bool wasContinued = continued;
        qsizetype backslashes = 0;
        while (backslashes < line.size() && line.at(line.size() - 1 - backslashes) == QLatin1Char('\\'))
            ++backslashes;
        continued = backslashes % 2 == 1;
        if (wasContinued || line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')))
                return false;
            continue;
        }
        if (!line.contains(QLatin1Char('=')))
            return false;
    }
    return true;
}

QString FreeAsidePath(const QString& path)
{
    QString aside = path + QStringLiteral(".bad");
    for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = path + QStringLiteral(".bad.") + QString::number(n);
    return aside;
}

enum class StoreState { Usable, KnownDamaged };

// Makes sure the file at path can be read and later written over. A damaged one is renamed aside
// and reported by a Failure; one that can't be moved is reported once and then left alone.
StoreState CheckStore(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return StoreState::Usable;
    bool damaged = !info.isFile();
    if (!damaged) {
        QFile file(path);
        damaged = !file.open(QIODevice::ReadOnly) || !LooksLikeSettings(file.readAll());
    }
    if (!damaged) {
        QSettings probe(path, QSettings::IniFormat);
        damaged = probe.status() != QSettings::NoError;
    }
    if (!damaged)
        return StoreState::Usable;

    const QString identity = Identity(info);
    if (reportedDamage().contains(identity))
        return StoreState::KnownDamaged;
    const QString aside = FreeAsidePath(path);
    if (QDir().rename(path, aside)) {
        throw Failure(QStringLiteral("The settings file %1 could not be read. It was kept as %2, and the settings "
                                     "start again from their defaults.")
                          .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(aside)),
                      SettingsDamagedNumber);
    }
    reportedDamage().insert(identity);
    throw Failure(QStringLiteral("The settings file %1 could not be read, and it could not be moved aside to %2. "
                                 "The settings use their defaults and changes are not saved.")
                      .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(aside)),
                  SettingsDamagedNumber);
}

Failure UnwritableFailure(const QString& key, const QString& path)
{
    return Failure(QStringLiteral("The setting \"%1\" could not be saved in %2.").arg(key, QDir::toNativeSeparators(path)),
                   SettingsUnwritableNumber);
}

QString ValueText(const QVariant& value)
{
    // A hand-edited "a, b" comes back from Qt's reader as a list; it was one text to the user.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

// The file that a write at path must replace. A settings file kept elsewhere (a dotfiles folder) and
// linked into the config folder stays linked: the rename lands on the file the link leads to, not on
// the link, which would otherwise be replaced by a plain file that the kept one never hears of again.
QString LinkedFile(const QString& path)
{
    QString file = path;
    // As many links in a row as the system itself follows; a loop never gets here, since reading
    // already took such a file for damaged and moved it aside.
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(file);
        if (!info.isSymLink())
            return file;
        file = info.symLinkTarget();
    }
    return path;
}

// Stores key = value in the INI file at path. QSettings makes the new text (its escaping, its layout,
// every other key kept) on a private copy; that text then replaces the file through the program's one
// atomic write, flushed to disk. The lock is the one QSettings itself takes on the file, so two
// windows saving at once take turns and neither change is lost.
bool WriteSetting(const QString& path, const QString& key, const QString& value)
{
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.lock())
        return false;
    const QString folder = QFileInfo(path).absolutePath();
    QTemporaryDir scratch(folder + QLatin1Char('/') + QLatin1String(Fs::kTempPrefix) + QStringLiteral("settings-XXXXXX"));
    if (!scratch.isValid())
        return false;
    const QString copy = scratch.filePath(QFileInfo(path).fileName());
    struct stat st {};
    const bool existed = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    if (existed && !QFile::copy(path, copy))
        return false;
    {
        QSettings settings(copy, QSettings::IniFormat);
        settings.setValue(kGroup + QLatin1Char('/') + key, value);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
    QFile made(copy);
    if (!made.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = made.readAll();
    // A file that was there keeps its permissions; a new one gets the user's default ones.
    const mode_t mode = existed ? (st.st_mode & 07777) : 0666;
    const int err = Fs::WriteAtomically(LinkedFile(path), mode, [&](int fd) {
        return (!existed || ::fchmod(fd, mode) == 0) && Fs::WriteAll(fd, text.constData(), size_t(text.size()));
    }, true);
    return err == 0;
}

} // namespace

QString SettingsFilePath()
{
    // Asked anew each time: where the user's config folder lies is the environment's to say.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/Varnholt.ini");
}

QString GetSetting(const QString& key, const QVariant& defaultValue)
{
    const QString path = SettingsFilePath();
    if (CheckStore(path) == StoreState::KnownDamaged)
        return defaultValue.toString();
    const QSettings settings(path, QSettings::IniFormat);
    const QVariant value = settings.value(kGroup + QLatin1Char('/') + key);
    return value.isValid() ? ValueText(value) : defaultValue.toString();
}

void SaveSetting(const QString& key, const QString& value)
{
    const QString path = SettingsFilePath();
    QString damageNotice;
    try {
        if (CheckStore(path) == StoreState::KnownDamaged)
            throw UnwritableFailure(key, path);
    } catch (const Failure& failure) {
        // A damaged file that is still in place could not be moved aside: it is never written over.
        if (failure.number() != SettingsDamagedNumber || QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            throw;
        damageNotice = QString::fromUtf8(failure.what());
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        throw UnwritableFailure(key, path);
    // A reader (or a crash) sees the old settings or the new ones, never a torn file.
    if (!WriteSetting(path, key, value))
        throw UnwritableFailure(key, path);
    if (!damageNotice.isEmpty())
        throw Failure(damageNotice, SettingsDamagedNumber);
}

bool ToTruthValue(const QString& text)
{
    const QString word = text.trimmed();
    if (word.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (word.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = QLocale::c().toDouble(word, &ok);
    if (!ok || !std::isfinite(number))
        throw Failure(QStringLiteral("Type mismatch"), 13);
    return number != 0.0;
}

} // namespace Tovanel
