// The per-user settings store: application "Varnholt", section "Tovanel".
#pragma once

#include <QString>
#include <QVariant>

namespace Tovanel {

// The stored value of key, or the default turned into text when the key has no value.
QString GetSetting(const QString& key, const QVariant& defaultValue);
// Stores value under key; the write reaches the disk at once and atomically. Throws Failure when it can't.
void SaveSetting(const QString& key, const QString& value);
// Reads a stored truth value: "True"/"False" in any case, or a number (non-zero is true).
// Throws Failure ("Type mismatch") for any other text.
bool ToTruthValue(const QString& text);

} // namespace Tovanel
