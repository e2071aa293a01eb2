// Writes the test TIFFs of the conversion tests with libtiff.
#include "convert_tiff_maker.h"

#include <QColorSpace>
#include <QFile>

#include <tiffio.h>
#include <vector>

namespace Tovanel::TestTiff {

namespace {
int Sample(const Page& p, int x, int y, int c) { return (x * 7 + y * 13 + p.seed * 31 + c * 50) & 0xff; }
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
    return ok;
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
