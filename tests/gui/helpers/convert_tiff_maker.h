// Test TIFFs written with libtiff, with the pixels each page holds, for checking the PNGs made of them.
#pragma once

#include <QImage>
#include <QList>
#include <QString>

namespace Tovanel::TestTiff {

struct Page {
    int width = 24;
    int height = 16;
    int seed = 0;
    bool gray = false;
    bool refusedSamples = false;  // complex samples: a page the converter refuses, though the splitter copies it
};

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

} // namespace Tovanel::TestTiff
