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
  PngOutcome r;
  r.code = ConvertPageToPng(input, pageIndex, png, r.why);
  if (r.code == Ok) r.png = ReadBytes(png);
  return r;
}

PngOutcome ConvertPageFile(const std::string& prefix, std::size_t pageIndex, const std::string& splitWhy,
                           const ConvertSettings& settings) {
  const std::string page = prefix + PageSuffix(pageIndex) + ".tif";
  if (!std::filesystem::exists(page)) return {kNoPageFile, "no page file: " + splitWhy, {}};
  PngOutcome r;
  const std::string png = PngPathFor(page);
  r.code = ConvertFirstPageToPng(page, png, r.why, settings);
  if (r.code == Ok) r.png = ReadBytes(png);
  return r;
}

void ExpectPageFileGivesThePng(const std::string& input, const std::string& png, const ConvertSettings& settings) {
  const TempDir dir;
  const std::string prefix = dir.file("p");
  std::string why;
  EXPECT_EQ(SplitPages(input, prefix, why), Ok) << why;
  const PngOutcome viaPage = ConvertPageFile(prefix, 0, why, settings);
  ASSERT_EQ(viaPage.code, Ok) << viaPage.why;
  EXPECT_TRUE(viaPage.png == ReadBytes(png)) << "the page file gives another PNG";
}

}  // namespace tovanel::tools::test
