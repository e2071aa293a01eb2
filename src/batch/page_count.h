// How many pages each source has, asked of the splitter's count mode, which writes no page.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace Tovanel::Batch {

struct PageCount {
    int pages = 0;
    // Why a source has no page to give, in the run's words; with pages, why the page after them
    // cannot be read (the chain of pages breaks off).
    QString reason;
};

// The count of each source, in order, from the splitter the program carries, run in a working folder
// of its own that is gone again on return. False with why when the splitter could not be run.
bool CountPages(const QStringList& sources, QList<PageCount>& counts, QString& why);

} // namespace Tovanel::Batch
