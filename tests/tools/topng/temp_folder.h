// Test helper: a fresh folder of the test's own under TMPDIR.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace tovanel::test {

// Makes TMPDIR/<name>.XXXXXX (/tmp when TMPDIR is unset); an empty path when it can't.
inline std::filesystem::path MakeTempFolder(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + ".XXXXXX";
  return ::mkdtemp(pattern.data()) ? std::filesystem::path(pattern) : std::filesystem::path();
}

}  // namespace tovanel::test
