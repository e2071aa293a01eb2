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

// The pages a split of input would write, listed as the split lists them; 0 with the status the split
// would end with (and why) when it would write none.
std::size_t CountPages(const char* input, int& code, std::string& why) {
  code = Ok;
  TiffPtr in(OpenTiffForReading(input, code, why, "D"));
  if (!in) return 0;
  const std::size_t pages = ListPages(in.get(), kMaxSplitPages + 1).size();
  if (pages > kMaxSplitPages) {
    code = TooManyPages;
    why = "more than " + std::to_string(kMaxSplitPages) + " pages";
    return 0;
  }
  if (pages == 0) {
    code = Damaged;
    why = LastTiffError().empty() ? "no readable page" : LastTiffError();
  }
  return pages;
}

// One line per input on stdout, in order: "<pages> <status>", and for a status other than 0 a tab and
// why; the input's name is not repeated, so a caller pairs every answer with its input whatever the
// name holds. Exits with the first input's failure status, 0 when every input has pages.
int CountMode(int count, char** inputs) {
  InstallTiffHandlers();
  int first = Ok;
  for (int i = 0; i < count; ++i) {
    int code = Ok;
    std::string why;
    const std::size_t pages = CountPages(inputs[i], code, why);
    if (code == Ok) {
      std::printf("%zu 0\n", pages);
      continue;
    }
    if (first == Ok) first = code;
    std::printf("0 %d\t%s\n", code, OneLine(why).c_str());
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
  std::string why;
  const int code = SplitPages(argv[1], argv[2], why);
  if (code != Ok) std::fprintf(stderr, "tovanel-split: %s: %s: %s\n", argv[1], ExitText(code), why.c_str());
  return code;
}
