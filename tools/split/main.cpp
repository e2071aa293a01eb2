// tovanel-split INPUT PREFIX: the page splitter's command line; tovanel-split --count INPUT...: how
// many pages each input would give, without writing any.
#include <cstdio>
#include <cstring>
#include <string>

#include "split_core.h"
#include "tiffcommon.h"

namespace {

using namespace tovanel::tools;

std::string OneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  return text;
}

// The pages a split of input would write, listed as the split lists them; the status the split would
// end with when it would write none, or when the chain of directories breaks off after the pages.
Result<std::size_t> CountPages(const char* input) {
  const Result<TiffPtr> in = OpenTiffForReading(input, "D");
  if (!in.value) return {0, in.failure};
  bool chainBroken = false;
  const std::size_t pages = ListPages(in.value.get(), kMaxSplitPages + 1, &chainBroken).size();
  if (pages > kMaxSplitPages) return {0, {TooManyPages, "more than " + std::to_string(kMaxSplitPages) + " pages"}};
  if (pages == 0) return {0, {Damaged, LastTiffError().empty() ? "no readable page" : LastTiffError()}};
  if (chainBroken) return {pages, {Damaged, "cannot read the page's image directory (" + LastTiffError() + ")"}};
  return {pages, {}};
}

// One line per input on stdout, in order: "<pages> <status>", and for a status other than 0 a tab and
// why (the page after the counted ones is the one that failed); the input's name is not repeated, so a caller pairs every answer with its input whatever the
// name holds. Exits with the first input's failure status, 0 when every input has pages.
int CountMode(int count, char** inputs) {
  InstallTiffHandlers();
  int first = Ok;
  for (int i = 0; i < count; ++i) {
    const Result<std::size_t> pages = CountPages(inputs[i]);
    if (pages.failure.ok()) {
      std::printf("%zu 0\n", pages.value);
      continue;
    }
    if (first == Ok) first = pages.failure.code;
    std::printf("%zu %d\t%s\n", pages.value, pages.failure.code, OneLine(pages.failure.why).c_str());
  }
  return std::fflush(stdout) == 0 ? first : WriteFailed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--count") == 0) return CountMode(argc - 2, argv + 2);
  if (argc != 3) {
    std::fprintf(stderr, "usage: tovanel-split INPUT PREFIX | tovanel-split --count INPUT...\n");
    return Usage;
  }
  const Failure failure = SplitPages(argv[1], argv[2]);
  if (!failure.ok())
    std::fprintf(stderr, "tovanel-split: %s: %s: %s\n", argv[1], ExitText(failure.code), failure.why.c_str());
  return failure.code;
}
