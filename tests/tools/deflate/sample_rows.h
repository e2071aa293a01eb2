// Filtered PNG rows of made-up pages (a photograph, a scanned document) for compression tests and benchmarks.
#pragma once

#include "sample_values.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace tovanel::testing {

// A fixed-seed generator, so that every run sees the same pages.
using SampleRandom = ::Tovanel::SampleValues::NoiseStream;

// Each row gets the filter with the smallest sum of absolute values, as the converter does.
inline std::vector<std::uint8_t> FilterRows(const std::vector<std::uint8_t>& pixels, std::size_t rowBytes,
                                            std::size_t bpp)
{
    const std::size_t height = pixels.size() / rowBytes;
    std::vector<std::uint8_t> out(height * (rowBytes + 1)), cand(rowBytes), best(rowBytes), zero(rowBytes, 0);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels.data() + y * rowBytes;
        const std::uint8_t* up = y ? row - rowBytes : zero.data();
        long bestSum = -1;
        int bestType = 0;
        for (int type = 0; type < 5; ++type) {
            long sum = 0;
            for (std::size_t i = 0; i < rowBytes; ++i) {
                const int a = i >= bpp ? row[i - bpp] : 0, b = up[i], c = i >= bpp ? up[i - bpp] : 0;
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                const int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                const int pred = type == 0 ? 0 : type == 1 ? a : type == 2 ? b : type == 3 ? (a + b) / 2 : paeth;
                cand[i] = static_cast<std::uint8_t>(row[i] - pred);
                sum += cand[i] < 128 ? cand[i] : 256 - cand[i];
            }
            if (bestSum < 0 || sum < bestSum) {
                bestSum = sum;
                bestType = type;
                std::swap(cand, best);
            }
        }
        out[y * (rowBytes + 1)] = static_cast<std::uint8_t>(bestType);
        std::copy(best.begin(), best.end(), out.begin() + static_cast<std::ptrdiff_t>(y * (rowBytes + 1) + 1));
    }
    return out;
}

// RGB, 8 bits: smooth shading, a few hard edges, sensor noise.
inline std::vector<std::uint8_t> PhotoRows(std::size_t width, std::size_t height, std::uint64_t seed = 1)
{
    SampleRandom rng(seed);
    std::vector<std::uint8_t> px(width * height * 3);
    const double fx = 0.002 + (rng.next() % 100) * 1e-5, fy = 0.003 + (rng.next() % 100) * 1e-5;
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                double v = 128 + 70 * std::sin(x * fx * (c + 1) + y * fy) * std::cos(y * fy * (3 - c) - x * fx);
                if ((x / 300 + y / 200) % 5 == 0)
                    v = v * 0.5 + 60;  // objects with hard edges
                const int s = static_cast<int>(v) + rng.noise(4);
                px[(y * width + x) * 3 + c] = static_cast<std::uint8_t>(std::clamp(s, 0, 255));
            }
    return FilterRows(px, width * 3, 3);
}

// Grey, 8 bits: paper, lines of dark glyphs drawn from a small alphabet; with noise a scan, without a
// rendered page.
inline std::vector<std::uint8_t> DocumentRows(std::size_t width, std::size_t height, int noise = 2,
                                              std::uint64_t seed = 2)
{
    SampleRandom rng(seed);
    constexpr int kGlyphs = 40, kGlyphW = 18, kGlyphH = 26, kLine = 56;
    std::vector<std::uint32_t> glyphs(kGlyphs * kGlyphH);
    for (std::uint32_t& g : glyphs)
        g = rng.next() & rng.next();  // sparse strokes, 18 of the 32 bits used
    std::vector<std::uint8_t> px(width * height);
    for (std::size_t y = 0; y < height; ++y) {
        const std::size_t line = y / kLine, gy = y % kLine;
        SampleRandom lineRng(seed * 1000 + line);
        const std::size_t lineLength = width / 4 + lineRng.next() % (width / 2 + 1);
        for (std::size_t x = 0; x < width; ++x) {
            int v = 238 + (noise ? rng.noise(noise) : 0);
            const std::size_t cell = x / kGlyphW;
            if (gy < kGlyphH && x >= 150 && x < 150 + lineLength && cell % 7 != 0) {
                SampleRandom cellRng(line * 100003 + cell);
                const std::uint32_t bits = glyphs[(cellRng.next() % kGlyphs) * kGlyphH + gy];
                if (bits >> (x % kGlyphW) & 1)
                    v = 20 + (noise ? rng.noise(noise) : 0);
            }
            px[y * width + x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
    }
    return FilterRows(px, width, 1);
}

}  // namespace tovanel::testing
