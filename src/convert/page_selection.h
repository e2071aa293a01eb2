// The pages of each file a run converts, for the batch command's --pages: "1-3,7", "-1" (the last page),
// "2-" (page 2 to the end).
#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace Tovanel {

class PageSelection {
public:
    // The selection, or none with why the text is not one.
    static std::optional<PageSelection> Parse(const QString& text, QString* why);

    // Whether page (1-based) of a file of pages pages is asked for.
    bool contains(int page, int pages) const;
    // The numbers asked for that a file of pages pages does not have, as the closing words and the
    // report name them ("5", "7-9", "-4"); empty when it has them all.
    QStringList absent(int pages) const;

private:
    // A number counts from the first page (1 = first), a negative one from the last (-1 = last); an
    // open end is 0.
    struct Range {
        int from;
        int to;
    };
    QList<Range> ranges_;
};

} // namespace Tovanel
