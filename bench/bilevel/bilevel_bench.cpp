// Where a bilevel page's conversion goes: libtiff's decoding, the copy of its rows behind their filter
// bytes, and the deflate codings the converter may choose, each timed on its own (best of REPEAT, default 3).
//
// Usage: tovanel-bench-bilevel TIFF files...   (the first page of each; 1-bit pages only)
#include "deflate_parallel.h"
#include "deflate_piece.h"

#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace tovanel::tools;

namespace {

double BestMs(int repeats, const std::function<void()>& work) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    work();
    best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

struct Coding {
  std::string name;
  DeflateSettings settings;
  int filter = 0;  // PNG filter type of every row: 0 none, 1 sub, 2 up
  double ms = 0;
  std::size_t bytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int repeats = std::max(1, std::atoi(std::getenv("REPEAT") ? std::getenv("REPEAT") : "3"));
  std::vector<Coding> codings;
  for (int level : {1, 4, 5, 6, 7})
    codings.push_back({"libdeflate level " + std::to_string(level), {DeflateCoding::Matches, level}});
  for (int level : {1, 6})
    codings.push_back({"zlib run-only level " + std::to_string(level), {DeflateCoding::Runs, level}});
  for (int filter : {1, 2})
    for (int level : {1, 4, 6})
      codings.push_back({std::string(filter == 1 ? "sub" : "up") + ", libdeflate " + std::to_string(level),
                         {DeflateCoding::Matches, level}, filter});
  double decodeMs = 0, copyMs = 0;
  std::size_t pages = 0, raw = 0;
  TIFFSetWarningHandler(nullptr);
  for (int a = 1; a < argc; ++a) {
    TIFF* tif = TIFFOpen(argv[a], "r");
    if (!tif) return 1;
    uint32_t width = 0, height = 0;
    uint16_t bps = 1, spp = 1;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    if (bps != 1 || spp != 1 || TIFFIsTiled(tif)) {
      std::fprintf(stderr, "%s: not a bilevel striped page\n", argv[a]);
      return 1;
    }
    const std::size_t rowBytes = (std::size_t{width} + 7) / 8;
    std::vector<uint8_t> px(rowBytes * height), rows((rowBytes + 1) * height);
    bool ok = true;
    decodeMs += BestMs(repeats, [&] {
      uint8_t* at = px.data();
      for (tstrip_t s = 0; ok && s < TIFFNumberOfStrips(tif); ++s) {
        const tmsize_t got = TIFFReadEncodedStrip(tif, s, at, static_cast<tmsize_t>(px.data() + px.size() - at));
        ok = got >= 0;
        at += ok ? got : 0;
      }
    });
    TIFFClose(tif);
    if (!ok) return 1;
    copyMs += BestMs(repeats, [&] {
      for (uint32_t y = 0; y < height; ++y) {
        rows[y * (rowBytes + 1)] = 0;
        std::memcpy(&rows[y * (rowBytes + 1) + 1], &px[y * rowBytes], rowBytes);
      }
    });
    std::vector<uint8_t> out(ZlibStreamBound(rows.size())), sub(rows), up(rows);
    for (uint32_t y = 0; y < height; ++y) {
      uint8_t* s = &sub[y * (rowBytes + 1)];
      uint8_t* u = &up[y * (rowBytes + 1)];
      const uint8_t* row = &px[y * rowBytes];
      s[0] = 1;
      u[0] = 2;
      for (std::size_t i = 0; i < rowBytes; ++i) {
        s[1 + i] = static_cast<uint8_t>(row[i] - (i ? row[i - 1] : 0));
        u[1 + i] = static_cast<uint8_t>(row[i] - (y ? row[i - rowBytes] : 0));
      }
    }
    for (Coding& c : codings) {
      const std::vector<uint8_t>& in = c.filter == 1 ? sub : c.filter == 2 ? up : rows;
      std::size_t size = 0;
      c.ms += BestMs(repeats, [&] {
        size = deflate_detail::CompressWhole(c.settings, in.data(), in.size(), out.data(), out.size());
      });
      c.bytes += size;
    }
    ++pages;
    raw += rows.size();
  }
  if (pages == 0) return 2;
  std::printf("%zu pages, %zu bytes of rows; ms per page on this thread (best of %d), bytes in all\n", pages, raw,
              repeats);
  std::printf("%-26s %8.2f\n", "decoding (libtiff)", decodeMs / pages);
  std::printf("%-26s %8.2f\n", "rows behind filter bytes", copyMs / pages);
  for (const Coding& c : codings) std::printf("%-26s %8.2f %12zu\n", c.name.c_str(), c.ms / pages, c.bytes);
}
