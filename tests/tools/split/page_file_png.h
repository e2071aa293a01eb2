// A page converted directly from its file and from the page file the splitter writes of it: the
// program's window converts page files, tovanel-topng run by hand the file itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "topng.h"

namespace tovanel::tools::test {

// What converting a page gave: the converter's status and reason, and the PNG's bytes.
struct PngOutcome {
  int code = 0;
  std::string why;
  std::vector<uint8_t> png;
};

// The status of a page whose page file the splitter did not write.
inline constexpr int kNoPageFile = -1;

// Page pageIndex (an index into ListPages) of input converted directly, its PNG written at png.
PngOutcome ConvertDirectly(const std::string& input, std::size_t pageIndex, const std::string& png);

// The page file prefix + PageSuffix(pageIndex) + ".tif" (written by SplitPages(input, prefix))
// converted, its PNG written beside it; kNoPageFile, with splitWhy, when there is no such file.
PngOutcome ConvertPageFile(const std::string& prefix, std::size_t pageIndex, const std::string& splitWhy,
                           const ConvertSettings& settings = {});

// Splits input (a file of one page) and expects its page file to convert to the very bytes of the PNG
// at png, which the converter made of input with settings.
void ExpectPageFileGivesThePng(const std::string& input, const std::string& png, const ConvertSettings& settings = {});

}  // namespace tovanel::tools::test
