// Gives each fuzz input to a tool core as a real file in a private folder, as the tools see files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "common/file.h"

namespace tovanel::tools::fuzz {

// A folder of this process's own under TMPDIR, made the working folder (the splitter writes there).
// The name lives on the heap for good, so the clean-up at exit still finds it after static objects
// are gone.
inline const std::string& WorkFolder() {
  static const std::string* folder = [] {
    const char* base = std::getenv("TMPDIR");
    auto* made = new std::string(std::string(base && *base ? base : "/tmp") + "/tovanel-fuzz.XXXXXX");
    if (!::mkdtemp(made->data())) std::abort();
    if (::chdir(made->c_str()) != 0) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*folder, ec);
    });
    return made;
  }();
  return *folder;
}

inline std::string WriteInput(const uint8_t* data, size_t size) {
  const std::string path = WorkFolder() + "/input.tif";
  Tovanel::Fs::File file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!file.valid() || !Tovanel::Fs::WriteAll(file.get(), data, size) || file.close() != 0) std::abort();
  return path;
}

// Removes what the tool wrote, so every input starts from an empty folder.
inline void ClearOutputs() {
  for (const auto& entry : std::filesystem::directory_iterator(WorkFolder()))
    if (entry.path().filename() != "input.tif") std::filesystem::remove_all(entry.path());
}

}  // namespace tovanel::tools::fuzz
