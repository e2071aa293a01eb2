// A page converted directly from its file and from the page file the splitter writes of it.
#include "page_file_png.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "split_core.h"
#include "tiffcommon.h"
#include "tool_test_support.h"
#include "topng.h"

namespace tovanel::tools::test {

PngOutcome ConvertDirectly(const std::string& input, std::size_t pageIndex, const std::string& png) {
  Failure f = ConvertPageToPng(input, pageIndex, png);
  return {f.code, std::move(f.why), f.ok() ? ReadBytes(png) : std::vector<uint8_t>()};
}

PngOutcome ConvertPageFile(const std::string& prefix, std::size_t pageIndex, const std::string& splitWhy,
                           const ConvertSettings& settings) {
  const std::string page = prefix + PageSuffix(pageIndex) + ".tif";
  if (!std::filesystem::exists(page)) return {kNoPageFile, "no page file: " + splitWhy, {}};
  const std::string png = PngPathFor(page);
  Failure f = ConvertFirstPageToPng(page, png, settings);
  return {f.code, std::move(f.why), f.ok() ? ReadBytes(png) : std::vector<uint8_t>()};
}

void ExpectPageFileGivesThePng(const std::string& input, const std::string& png, const ConvertSettings& settings) {
  const TempDir dir;
  const std::string prefix = dir.file("p");
  const Failure split = SplitPages(input, prefix);
  EXPECT_EQ(split.code, Ok) << split.why;
  const PngOutcome viaPage = ConvertPageFile(prefix, 0, split.why, settings);
  ASSERT_EQ(viaPage.code, Ok) << viaPage.why;
  EXPECT_TRUE(viaPage.png == ReadBytes(png)) << "the page file gives another PNG";
}

}  // namespace tovanel::tools::test
