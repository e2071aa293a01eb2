// The per-user settings store: application "Varnholt", section "Tovanel", one INI file per user.
#pragma once

#include <QString>
#include <QVariant>

namespace Tovanel {

// The stored value of key, or the default turned into text when the key has no value.
// Throws Failure once when the file turns out damaged: it is then kept aside and the defaults apply.
QString GetSetting(const QString& key, const QVariant& defaultValue);
// Stores value under key; the write reaches the disk at once and atomically. Throws Failure when it
// can't, and also (after a successful write) when a damaged file had to be kept aside first.
void SaveSetting(const QString& key, const QString& value);
// Reads a stored truth value: "True"/"False" in any case, or a number (non-zero is true).
// Throws Failure ("Type mismatch", 13) for any other text.
bool ToTruthValue(const QString& text);

// The settings file of the current user: $XDG_CONFIG_HOME/Varnholt.ini (default ~/.config).
QString SettingsFilePath();

// Failure numbers of the store, so callers without a trap can tell a lost write from a notice.
enum SettingsFailureNumber { SettingsDamagedNumber = 1001, SettingsUnwritableNumber = 1002 };

} // namespace Tovanel
