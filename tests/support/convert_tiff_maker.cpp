// Writes the test TIFFs of the conversion tests with libtiff.
#include "convert_tiff_maker.h"

#include <QColorSpace>
#include <QFile>

#include <tiffio.h>

#include <algorithm>
#include <vector>

namespace Tovanel::TestTiff {

namespace {
int Sample(const Page& p, int x, int y, int c) { return (x * 7 + y * 13 + p.seed * 31 + c * 50) & 0xff; }

quint32 Le(const QByteArray& b, qsizetype at, int size)
{
    quint32 v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = (v << 8) | static_cast<quint8>(b.at(at + i));
    return v;
}

// Points the one strip of each marked page (a little-endian classic TIFF as libtiff writes it here)
// past the end of the file.
bool MoveStripsPastEnd(const QString& path, const QList<Page>& pages)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray b = f.readAll();
    if (b.size() < 8 || b.at(0) != 'I')
        return false;
    quint32 ifd = Le(b, 4, 4);
    for (const Page& page : pages) {
        if (ifd == 0 || ifd + 2 > static_cast<quint32>(b.size()))
            return false;
        const quint32 entries = Le(b, ifd, 2);
        for (quint32 e = 0; e < entries && page.stripPastEnd; ++e) {
            const qsizetype entry = ifd + 2 + 12 * e;
            if (Le(b, entry, 2) == 273 && Le(b, entry + 4, 4) == 1) {
                const quint32 past = static_cast<quint32>(b.size()) + 100000;
                for (int i = 0; i < 4; ++i)
                    b[entry + 8 + i] = static_cast<char>((past >> (8 * i)) & 0xff);
                b[entry + 2] = 4;   // LONG
                b[entry + 3] = 0;
            }
        }
        ifd = Le(b, ifd + 2 + 12 * entries, 4);
    }
    return f.seek(0) && f.write(b) == b.size();
}
// Cuts the file short where the directory of the first page marked cutBefore starts.
bool CutBeforeMarkedPage(const QString& path, const QList<Page>& pages)
{
    const auto marked = std::find_if(pages.begin(), pages.end(), [](const Page& p) { return p.cutBefore; });
    TIFF* tif = marked == pages.end() ? nullptr : TIFFOpen(QFile::encodeName(path).constData(), "r");
    const bool found = tif && TIFFSetDirectory(tif, static_cast<tdir_t>(marked - pages.begin()));
    const qint64 at = found ? static_cast<qint64>(TIFFCurrentDirOffset(tif)) : 0;
    if (tif)
        TIFFClose(tif);
    return marked == pages.end() || (found && QFile::resize(path, at));
}
} // namespace

QImage Pixels(const Page& page)
{
    QImage image(page.width, page.height, QImage::Format_RGB888);
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x) {
            if (page.gray) {
                const int v = Sample(page, x, y, 0);
                image.setPixel(x, y, qRgb(v, v, v));
            } else {
                image.setPixel(x, y, qRgb(Sample(page, x, y, 0), Sample(page, x, y, 1), Sample(page, x, y, 2)));
            }
        }
    return image;
}

bool Write(const QString& path, const QList<Page>& pages)
{
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tif)
        return false;
    bool ok = true;
    for (const Page& p : pages) {
        const int spp = p.gray ? 1 : 3;
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.gray ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, p.height);
        if (p.refusedSamples)
            TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_COMPLEXINT);
        if (pages.size() > 1)
            TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        if (p.description)
            TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, p.description);
        std::vector<unsigned char> row(static_cast<size_t>(p.width * spp));
        for (int y = 0; y < p.height && ok; ++y) {
            for (int x = 0; x < p.width; ++x)
                for (int c = 0; c < spp; ++c)
                    row[static_cast<size_t>(x * spp + c)] = static_cast<unsigned char>(Sample(p, x, y, c));
            ok = TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) == 1;
        }
        ok = ok && TIFFWriteDirectory(tif) == 1;
    }
    TIFFClose(tif);
    return ok && (std::none_of(pages.begin(), pages.end(), [](const Page& p) { return p.stripPastEnd; })
                  || MoveStripsPastEnd(path, pages))
           && CutBeforeMarkedPage(path, pages);
}

bool WriteDamaged(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    // A little-endian header pointing at a directory far beyond the end of the file.
    const char bytes[] = {'I', 'I', 42, 0, 0x10, 0x27, 0, 0, 'b', 'r', 'o', 'k', 'e', 'n'};
    return f.write(bytes, sizeof bytes) == static_cast<qint64>(sizeof bytes);
}

int PageCount(const QString& path)
{
    TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tif)
        return 0;
    const int n = TIFFNumberOfDirectories(tif);
    TIFFClose(tif);
    return n;
}

QList<Page> PagesOf(int count, int seed, QSize first, QSize step)
{
    QList<Page> pages;
    for (int i = 0; i < count; ++i)
        pages.append(Page{first.width() + i * step.width(), first.height() + i * step.height(), seed + i, i % 2 == 1});
    return pages;
}

QStringList OutputNames(const QString& base, int count)
{
    QStringList names;
    for (int n = 1; n <= count; ++n)
        names << base + QStringLiteral(".png_") + QString::number(n) + QStringLiteral(".png");
    return names;
}

QString OutputsDiffer(const QString& folder, const QString& base, const QList<Page>& pages)
{
    const QStringList names = OutputNames(base, static_cast<int>(pages.size()) + 1);
    for (qsizetype i = 0; i < pages.size(); ++i) {
        const QImage got = ReadPng(folder + QLatin1Char('/') + names[i]);
        if (got.isNull())
            return names[i] + QStringLiteral(" is missing or no PNG");
        if (got != Pixels(pages[i]))
            return names[i] + QStringLiteral(" is not page %1 of its source").arg(i + 1);
    }
    if (QFile::exists(folder + QLatin1Char('/') + names.last()))
        return base + QStringLiteral(" has more outputs than pages");
    return {};
}

QImage ReadPng(const QString& path)
{
    QImage image(path, "PNG");
    if (image.isNull())
        return image;
    // Only the stored samples count, not how a colour-managed viewer would show them.
    image.setColorSpace(QColorSpace());
    return image.convertToFormat(QImage::Format_RGB888);
}

} // namespace Tovanel::TestTiff
