// tovanel-split INPUT PREFIX: the page splitter's command line.
#include <cstdio>
#include <string>

#include "split_core.h"
#include "tiffcommon.h"

int main(int argc, char** argv) {
  using namespace tovanel::tools;
  if (argc != 3) {
    std::fprintf(stderr, "usage: tovanel-split INPUT PREFIX\n");
    return Usage;
  }
  std::string why;
  const int code = SplitPages(argv[1], argv[2], why);
  if (code != Ok) std::fprintf(stderr, "tovanel-split: %s: %s: %s\n", argv[1], ExitText(code), why.c_str());
  return code;
}
