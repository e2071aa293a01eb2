// The made-up sample values of every test page and buffer, in one place and without Qt, so the tool
// tests, the run tests, the fault tests and the benchmarks draw their noise alike: reproducible from a
// seed, with nothing a PNG filter or a deflate match could take up, and the same on every machine.
#pragma once

#include <cstdint>

namespace Tovanel::SampleValues {

// The value at a place, a pure function of its coordinates (page, x, y, sample or any four numbers):
// a page reads the same whatever its size and in whatever order it is drawn.
inline std::uint64_t Noise(std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0, std::uint64_t d = 0)
{
    std::uint64_t h = (a + 1) * 0x9E3779B97F4A7C15ull ^ (b + 7) * 0xC2B2AE3D27D4EB4Full
                      ^ (c + 3) * 0x165667B19E3779F9ull ^ d * 0x27D4EB2F165667C5ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// Values one after another from a seed, for filling a buffer in order.
class NoiseStream {
public:
    explicit NoiseStream(std::uint64_t seed) : state_(seed * 2862933555777941757ull + 3037000493ull) {}
    std::uint32_t next()
    {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state_ >> 33);
    }
    // Roughly normal, mean 0, standard deviation about sigma: a sensor's noise.
    int noise(int sigma) { return static_cast<int>((int(next() % 256) + int(next() % 256) - 255) * sigma / 104); }

private:
    std::uint64_t state_;
};

} // namespace Tovanel::SampleValues
