// Page lists: parsing, and which pages of a file of a known length they ask for.
#include "convert/page_selection.h"

#include <QStringList>

#include <algorithm>

namespace Tovanel {

namespace {

// A page number of one to nine digits, or 0 for anything else.
int Number(const QString& text)
{
    if (text.isEmpty() || text.size() > 9)
        return 0;
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n > 0 && !text.startsWith(QLatin1Char('+')) ? n : 0;
}

int Resolve(int ref, int pages)
{
    return ref < 0 ? pages + 1 + ref : ref;
}

} // namespace

std::optional<PageSelection> PageSelection::Parse(const QString& text, QString* why)
{
    PageSelection selection;
    for (const QString& item : text.split(QLatin1Char(','))) {
        Range range{0, 0};
        if (item.startsWith(QLatin1Char('-'))) {   // -K: the K-th page from the end
            const int k = Number(item.mid(1));
            range = {-k, -k};
        } else if (const qsizetype dash = item.indexOf(QLatin1Char('-')); dash < 0) {
            range.from = range.to = Number(item);
        } else {
            range.from = Number(item.left(dash));
            range.to = dash + 1 == item.size() ? -1 : Number(item.mid(dash + 1));
            if (range.to > 0 && range.to < range.from)
                range.from = 0;
        }
        if (range.from == 0 || range.to == 0) {
            *why = QStringLiteral("--pages needs page numbers such as 1-3,7 (-1 for the last page, 2- for "
                                  "page 2 to the end), not '")
                   + text + QStringLiteral("'.");
            return std::nullopt;
        }
        selection.ranges_ << range;
    }
    return selection;
}

bool PageSelection::contains(int page, int pages) const
{
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const Range& r) {
        return page >= Resolve(r.from, pages) && page <= Resolve(r.to, pages);
    });
}

QStringList PageSelection::absent(int pages) const
{
    QStringList numbers;
    for (const Range& r : ranges_) {
        if (r.from < 0 && Resolve(r.from, pages) < 1) {
            numbers << QString::number(r.from);
            continue;
        }
        const int from = std::max(r.from, pages + 1);
        if (r.to > pages)
            numbers << (from == r.to ? QString::number(from)
                                     : QString::number(from) + QLatin1Char('-') + QString::number(r.to));
        else if (r.to < 0 && r.from > pages)   // "N-" beyond the last page
            numbers << QString::number(r.from) + QLatin1Char('-');
    }
    return numbers;
}

} // namespace Tovanel
