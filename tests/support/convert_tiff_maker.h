// Test TIFFs written with libtiff, with the pixels each page holds, for checking the PNGs made of them.
#pragma once

#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

namespace Tovanel::TestTiff {

struct Page {
    int width = 24;
    int height = 16;
    int seed = 0;
    bool gray = false;
    bool refusedSamples = false;  // complex samples: a page the converter refuses, though the splitter copies it
    bool stripPastEnd = false;    // a damaged page: its one strip lies past the end of the file
    bool cutBefore = false;       // the file is cut short where this page's directory starts
    const char* description = nullptr;  // its ImageDescription tag, when given
};

// count pages, colour and grey by turns from the first, their seeds counting up from seed; the first
// page is first in size and each next one grows by step (pages of unequal sizes catch a page given
// another's pixels or dimensions).
QList<Page> PagesOf(int count, int seed = 1, QSize first = {16, 10}, QSize step = {1, 2});
// The pixels a page holds, as RGB.
QImage Pixels(const Page& page);
// Writes a TIFF holding the pages in order; false when libtiff failed.
bool Write(const QString& path, const QList<Page>& pages);
// Writes a file that starts like a TIFF and then breaks off.
bool WriteDamaged(const QString& path);
// Number of pages of a TIFF as libtiff counts them (0 when it can't be opened).
int PageCount(const QString& path);
// The PNG at path, as RGB; a null image when missing or unreadable.
QImage ReadPng(const QString& path);
// The names a run gives the outputs of base: base.png_1.png up to base.png_<count>.png.
QStringList OutputNames(const QString& base, int count);
// Empty when folder holds the outputs of base for exactly these pages, each with its page's pixels;
// otherwise what differs.
QString OutputsDiffer(const QString& folder, const QString& base, const QList<Page>& pages);

} // namespace Tovanel::TestTiff
