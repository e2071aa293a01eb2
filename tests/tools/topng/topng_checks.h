// Shared by the converter's fidelity suites: a private folder per case, converting and reading back, pixel checks.
#pragma once

#include "page_file_png.h"
#include "png_reader.h"
#include "tiffcommon.h"
#include "tool_test_support.h"
#include "topng.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace tovanel::tools::test {

using tovanel::test::PngImage;
using tovanel::test::ReadPng;

// A parameterised test with a fresh folder of its own under TMPDIR, removed afterwards.
template <typename Param>
class InFolder : public ::testing::TestWithParam<Param> {
 protected:
  TempDir tmp_;
  std::filesystem::path dir_{tmp_.path()};
};

// Settings that convert on these threads (0: the usable cores), the page held in memory or streamed
// (every page, however small, when streamed is set).
inline ConvertSettings Settings(unsigned threads, bool streamed) {
  return {threads, streamed ? 0 : kMaxInMemoryImage};
}

// Converts in to out and reads the PNG back, which must have the given colour type and depth. The
// program's window converts the page file the splitter writes of in: it must give the same bytes.
inline void ConvertAndRead(const std::string& in, const std::string& out, int colorType, int depth, PngImage& png,
                           const ConvertSettings& settings = {}) {
  const Failure f = ConvertFirstPageToPng(in, out, settings);
  ASSERT_EQ(f.code, Ok) << f.why;
  ExpectPageFileGivesThePng(in, out, settings);
  std::string why;
  ASSERT_TRUE(ReadPng(out, png, why)) << why;
  ASSERT_EQ(png.colorType, colorType);
  ASSERT_EQ(png.depth, depth);
}

// The pixels of png (width x height of them) that differ from want(x, y), which gives one value per
// channel; the first five are reported as failures, prefixed with what.
inline int Mismatches(const PngImage& png, uint32_t width, uint32_t height,
                      const std::function<std::vector<uint32_t>(uint32_t, uint32_t)>& want,
                      const std::string& what = {}) {
  int mismatches = 0;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const std::vector<uint32_t> w = want(x, y);
      if (static_cast<int>(w.size()) != png.channels) {
        ADD_FAILURE() << what << "pixel " << x << "," << y << ": " << png.channels << " channels, expected "
                      << w.size();
        return mismatches + 1;
      }
      for (int k = 0; k < png.channels; ++k)
        if (png.at(x, y, k) != w[k] && ++mismatches <= 5)
          ADD_FAILURE() << what << "pixel " << x << "," << y << " channel " << k << ": " << png.at(x, y, k)
                        << " != " << w[k];
    }
  return mismatches;
}

// The first channels of an RGBA pixel as libtiff's RGBA interface gives it.
inline std::vector<uint32_t> RgbaChannels(uint32_t p, int channels) {
  std::vector<uint32_t> v{TIFFGetR(p), TIFFGetG(p), TIFFGetB(p), TIFFGetA(p)};
  v.resize(channels);
  return v;
}

// The name of a case run through the writer that holds the page and through the streaming one.
template <typename Case>
std::string StreamingName(const ::testing::TestParamInfo<std::tuple<Case, bool>>& info) {
  return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_streamed" : "_inmemory");
}

}  // namespace tovanel::tools::test
