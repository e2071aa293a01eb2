// Fidelity of LogL and LogLuv pages (SGILog): rendered as libtiff's RGBA interface renders them.
#include "png_reader.h"
#include "tiffcommon.h"
#include "tool_test_support.h"
#include "topng.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace tovanel::tools;
using tovanel::test::PngImage;
using tovanel::test::ReadPng;

namespace {

constexpr uint32_t W = 29, H = 19;

// Grey for LogL, RGB for LogLuv, 8 bits, every sample as libtiff renders it.
class LogLuvPages : public ::testing::TestWithParam<uint16_t> {
 protected:
  tovanel::tools::test::TempDir tmp_;
  fs::path dir_{tmp_.path()};
};

TEST_P(LogLuvPages, EqualLibtiffsRgbaRendering) {
  const uint16_t photometric = GetParam();
  const bool luv = photometric == PHOTOMETRIC_LOGLUV;
  const int spp = luv ? 3 : 1;
  const std::string in = (dir_ / "log.tif").string(), out = (dir_ / "log.png").string();
  {
    TIFF* t = TIFFOpen(in.c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, W);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, H);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_SGILOG);
    TIFFSetField(t, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 32);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
    std::vector<float> row(std::size_t{W} * spp);
    for (uint32_t y = 0; y < H; ++y) {
      for (std::size_t i = 0; i < row.size(); ++i)
        row[i] = static_cast<float>(((i * 2654435761u) ^ (y * 40503u)) % 4096 / 256.0);  // 0 to 16
      ASSERT_EQ(TIFFWriteScanline(t, row.data(), y, 0), 1);
    }
    TIFFClose(t);
  }
  std::string why;
  ASSERT_EQ(ConvertFirstPageToPng(in, out, why), Ok) << why;
  PngImage png;
  ASSERT_TRUE(ReadPng(out, png, why)) << why;
  ASSERT_EQ(png.colorType, luv ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY);
  ASSERT_EQ(png.depth, 8);
  std::vector<uint32_t> rgba(std::size_t{W} * H);
  {
    TIFF* t = TIFFOpen(in.c_str(), "r");
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(TIFFReadRGBAImageOriented(t, W, H, rgba.data(), ORIENTATION_TOPLEFT, 0));
    TIFFClose(t);
  }
  int mismatches = 0;
  for (uint32_t y = 0; y < H; ++y)
    for (uint32_t x = 0; x < W; ++x) {
      const uint32_t p = rgba[std::size_t{y} * W + x];
      const uint32_t want[3] = {TIFFGetR(p), TIFFGetG(p), TIFFGetB(p)};
      for (int k = 0; k < png.channels; ++k)
        if (png.at(x, y, k) != want[k] && ++mismatches <= 5)
          ADD_FAILURE() << "pixel " << x << "," << y << " channel " << k << ": " << png.at(x, y, k)
                        << " != " << want[k];
    }
  EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LogLuvPages, ::testing::Values(PHOTOMETRIC_LOGL, PHOTOMETRIC_LOGLUV),
                         [](const auto& info) { return info.param == PHOTOMETRIC_LOGL ? "logl" : "logluv"; });

}  // namespace
