// The page splitter's core: one TIFF file per page, named by prefix and a three-letter counter.
#pragma once

#include "tiffcommon.h"

#include <cstddef>
#include <string>

namespace tovanel::tools {

// Three lower-case letters name a page file, so 26^3 pages is the most a file can be split into.
inline constexpr std::size_t kMaxSplitPages = 17576;

// The suffix of the page file with the given 0-based index: 0 -> "aaa", 1 -> "aab", 26 -> "aba",
// 17575 -> "zzz". Only meaningful for index < kMaxSplitPages.
std::string PageSuffix(std::size_t index);

// Writes every page of input into the current folder as prefix + PageSuffix(k) + ".tif", k being the
// page's 0-based index: a page that is skipped leaves its name unused. Each file appears
// whole or not at all. Ok when every page was written; otherwise the first skipped page's failure,
// whose one line names every skipped page (the pages that could be written are still written).
// A chain of directories that breaks off after some pages gives one page more, skipped as Damaged.
// A file with more than kMaxSplitPages pages gives TooManyPages and no output at all.
Failure SplitPages(const std::string& input, const std::string& prefix);

}  // namespace tovanel::tools
