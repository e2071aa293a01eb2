// libFuzzer target: the page splitter's core on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "split_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = tovanel::tools::fuzz::WriteInput(data, size);
  tovanel::tools::SplitPages(input, "varnholt");
  tovanel::tools::fuzz::ClearOutputs();
  return 0;
}
