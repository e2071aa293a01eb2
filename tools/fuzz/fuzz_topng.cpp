// libFuzzer target: the PNG converter's core on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "topng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = tovanel::tools::fuzz::WriteInput(data, size);
  tovanel::tools::ConvertFirstPageToPng(input, tovanel::tools::fuzz::WorkFolder() + "/input.png");
  tovanel::tools::fuzz::ClearOutputs();
  return 0;
}
