// The list's membership test, for callers that want to avoid duplicate entries.
#pragma once

#include <QString>

class QTreeWidget;

namespace Tovanel::Main {
// True when the text of at least one entry equals text exactly (letter case counts).
bool ListContainsText(const QTreeWidget* list, const QString& text);
}
