// Times the multi-threaded zlib coder on one thread against all usable cores, and the bytes of each.
//
// Usage: tovanel-bench-deflate [TIFF files...]   (REPEAT=n in the environment: best of n, default 3)
// Samples: a made-up photograph and scanned document, then the first page of each file, its rows
// filtered as the converter filters them. Each sample is coded both ways (full matching at the
// converter's level, and run-only), from one buffer and as a stream of 1 MiB parts.
#include "deflate_parallel.h"
#include "sample_rows.h"

#include <tiffio.h>

#include <ctime>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace tovanel::tools;

namespace {

struct Sample {
    std::string name;
    std::vector<std::uint8_t> rows;
    bool colour8;  // 8-bit RGB or RGBA: the converter codes these at level 4
};

// The first page's rows as PNG would hold them (16-bit samples big-endian), filtered; empty if unread.
std::vector<std::uint8_t> ReadFilteredRows(const char* path, bool& colour8)
{
    TIFF* tif = TIFFOpen(path, "r");
    if (!tif)
        return {};
    std::uint16_t bps = 1, spp = 1, photometric = 0, compression = 1;
    std::uint32_t width = 0, height = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    if (compression == COMPRESSION_JPEG && photometric == PHOTOMETRIC_YCBCR)
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    const std::size_t rowBytes = (std::size_t{width} * spp * bps + 7) / 8;
    std::vector<std::uint8_t> px(rowBytes * height);
    bool ok = !TIFFIsTiled(tif);
    for (std::uint32_t y = 0; ok && y < height; ++y)
        ok = TIFFReadScanline(tif, px.data() + y * rowBytes, y) >= 0;
    TIFFClose(tif);
    if (!ok)
        return {};
    colour8 = bps == 8 && spp >= 3;
    if (bps == 16)
        for (std::size_t i = 0; i + 1 < px.size(); i += 2)
            std::swap(px[i], px[i + 1]);
    if (bps < 8 || photometric == PHOTOMETRIC_PALETTE) {
        // Palette and sub-byte rows are not filtered: each row is its filter byte 0 and the row.
        std::vector<std::uint8_t> rows;
        rows.reserve(height * (rowBytes + 1));
        for (std::uint32_t y = 0; y < height; ++y) {
            rows.push_back(0);
            rows.insert(rows.end(), px.begin() + y * rowBytes, px.begin() + (y + 1) * rowBytes);
        }
        return rows;
    }
    return tovanel::testing::FilterRows(px, rowBytes, std::max<std::size_t>(1, spp * bps / 8));
}

struct Result {
    double seconds = 1e300, cpu = 1e300;  // wall and CPU time (all threads) of the fastest run
    std::size_t bytes = 0;
};

double CpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + t.tv_nsec * 1e-9;
}

// Keeps the run if it was the fastest so far.
void Keep(Result& r, std::chrono::steady_clock::time_point start, double cpuStart)
{
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (wall < r.seconds) {
        r.seconds = wall;
        r.cpu = CpuSeconds() - cpuStart;
    }
}

Result TimeBuffer(const Sample& s, const DeflateSettings& settings, unsigned threads, int repeat)
{
    Result r;
    std::vector<std::uint8_t> out(ZlibStreamBound(s.rows.size()));
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu = CpuSeconds();
        engine::Pool pool(threads);
        r.bytes = DeflateToZlib(pool, s.rows.data(), s.rows.size(), out.data(), out.size(), settings);
        Keep(r, start, cpu);
    }
    return r;
}

Result TimeStream(const Sample& s, const DeflateSettings& settings, unsigned threads, int repeat)
{
    Result r;
    constexpr std::size_t kPart = std::size_t{1} << 20;
    for (int i = 0; i < repeat; ++i) {
        std::size_t bytes = 0;
        const auto start = std::chrono::steady_clock::now();
        const double cpu = CpuSeconds();
        engine::Pool pool(threads);
        ZlibStreamDeflater d(pool, settings, [&](const std::uint8_t*, std::size_t n) { return bytes += n, true; });
        bool ok = true;
        for (std::size_t at = 0; ok && at < s.rows.size(); at += kPart)
            ok = d.write(s.rows.data() + at, std::min(kPart, s.rows.size() - at));
        ok = ok && d.finish();
        Keep(r, start, cpu);
        r.bytes = ok ? bytes : 0;
    }
    return r;
}

void Report(const Sample& s, int repeat)
{
    for (DeflateCoding coding : {DeflateCoding::Matches, DeflateCoding::Runs}) {
        const int level = coding == DeflateCoding::Runs ? 6 : s.colour8 ? 4 : 6;
        const DeflateSettings settings{coding, level};
        for (bool stream : {false, true}) {
            const Result a = stream ? TimeStream(s, settings, 1, repeat) : TimeBuffer(s, settings, 1, repeat);
            const Result b = stream ? TimeStream(s, settings, 0, repeat) : TimeBuffer(s, settings, 0, repeat);
            std::printf("%-22s %6.1f %-7s %2d %-6s %8.1f %10zu %8.1f %10zu %6.2f %+6.2f%% %+6.1f%%\n", s.name.c_str(),
                        s.rows.size() / 1048576.0, coding == DeflateCoding::Runs ? "runs" : "matches", level,
                        stream ? "stream" : "buffer", a.seconds * 1e3, a.bytes, b.seconds * 1e3, b.bytes,
                        a.seconds / b.seconds, 100.0 * (double(b.bytes) / double(a.bytes) - 1),
                        100.0 * (b.cpu / a.cpu - 1));
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* rep = std::getenv("REPEAT");
    const int repeat = rep ? std::max(1, std::atoi(rep)) : 3;
    TIFFSetWarningHandler(nullptr);
    std::vector<Sample> samples;
    samples.push_back({"made-up photo", tovanel::testing::PhotoRows(3000, 2000), true});
    samples.push_back({"made-up scan", tovanel::testing::DocumentRows(2550, 3300, 2), false});
    for (int i = 1; i < argc; ++i) {
        bool colour8 = false;
        std::vector<std::uint8_t> rows = ReadFilteredRows(argv[i], colour8);
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        if (rows.empty())
            std::fprintf(stderr, "%s: cannot read its first page by rows; left out\n", argv[i]);
        else
            samples.push_back({name, std::move(rows), colour8});
    }
    const unsigned cores = engine::UsableCores();
    std::printf("usable cores: %u, best of %d; times in ms; over = all-core bytes over one-core bytes; cpu = all-core"
                " CPU time over one-core (the work splitting adds)\n",
                cores, repeat);
    std::printf("%-22s %6s %-7s %2s %-6s %8s %10s %8s %10s %6s %7s %7s\n", "sample", "MiB", "coding", "lv", "mode",
                "1-core", "bytes", "all", "bytes", "speed", "over", "cpu");
    for (const Sample& s : samples)
        Report(s, repeat);
    return 0;
}
