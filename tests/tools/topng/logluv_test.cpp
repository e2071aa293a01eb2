// Fidelity of LogL and LogLuv pages (SGILog): rendered as libtiff's RGBA interface renders them.
#include "sample_values.h"
#include "topng_checks.h"

#include <string>
#include <vector>

using namespace tovanel::tools;
using namespace tovanel::tools::test;

namespace {

constexpr uint32_t W = 29, H = 19;

// Grey for LogL, RGB for LogLuv, 8 bits, every sample as libtiff renders it.
class LogLuvPages : public InFolder<uint16_t> {};

TEST_P(LogLuvPages, EqualLibtiffsRgbaRendering) {
  const uint16_t photometric = GetParam();
  const bool luv = photometric == PHOTOMETRIC_LOGLUV;
  const int spp = luv ? 3 : 1;
  const std::string in = (dir_ / "log.tif").string(), out = (dir_ / "log.png").string();
  {
    TIFF* t = StartTiff(in, "w", W, H, 32, spp, photometric);
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_SGILOG);
    TIFFSetField(t, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
    std::vector<float> row(std::size_t{W} * spp);
    for (uint32_t y = 0; y < H; ++y) {
      for (std::size_t i = 0; i < row.size(); ++i)
        row[i] = static_cast<float>(Tovanel::SampleValues::Noise(i, y) % 4096 / 256.0);  // 0 to 16
      ASSERT_EQ(TIFFWriteScanline(t, row.data(), y, 0), 1);
    }
    TIFFClose(t);
  }
  PngImage png;
  ASSERT_NO_FATAL_FAILURE(ConvertAndRead(in, out, luv ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, 8, png));
  std::vector<uint32_t> rgba;
  ASSERT_TRUE(ReadRgbaImage(in, W, H, rgba, 0));
  EXPECT_EQ(Mismatches(png, W, H, [&](uint32_t x, uint32_t y) {
    return RgbaChannels(rgba[std::size_t{y} * W + x], png.channels);
  }), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LogLuvPages, ::testing::Values(PHOTOMETRIC_LOGL, PHOTOMETRIC_LOGLUV),
                         [](const auto& info) { return info.param == PHOTOMETRIC_LOGL ? "logl" : "logluv"; });

}  // namespace
