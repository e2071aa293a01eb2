// Both page tools on every fuzz find: a documented status, no crash, no hang, no stray file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tiffcommon.h"
#include "tool_test_support.h"

namespace tovanel::tools {
namespace {

using test::RunResult;
using test::RunTool;
using test::TempDir;

struct Tool {
  const char* name;
  std::string program;
  // The command line for an input that lies in the working folder as "input.tif".
  std::vector<std::string> args;
};

std::vector<Tool> Tools() {
  std::vector<Tool> tools = {{"tovanel-split", TOVANEL_SPLIT_EXE, {"input.tif", "varnholt"}}};
#ifdef TOVANEL_TOPNG_EXE
  tools.push_back({"tovanel-topng", TOVANEL_TOPNG_EXE, {"-out", "png", "input.tif"}});
#endif
  return tools;
}

std::vector<std::filesystem::path> Regressions() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(TOVANEL_FUZZ_REGRESSIONS_DIR))
    if (entry.is_regular_file() && entry.path().extension() != ".md") files.push_back(entry.path());
  return files;
}

TEST(FuzzRegressions, BothToolsEndCleanlyOnEveryFind) {
  for (const Tool& tool : Tools()) {
    for (const std::filesystem::path& find : Regressions()) {
      SCOPED_TRACE(std::string(tool.name) + " " + find.filename().string());
      TempDir dir;
      std::filesystem::copy_file(find, dir.file("input.tif"));
      const RunResult run = RunTool(tool.program, tool.args, dir.path(), 60);
      ASSERT_FALSE(run.timedOut);
      ASSERT_EQ(run.signal, 0) << run.stderrText;
      EXPECT_TRUE(run.exitCode == Ok || (run.exitCode >= CannotOpen && run.exitCode <= TooManyPages)) << run.exitCode;
      EXPECT_LE(test::LineCount(run.stderrText), 1) << run.stderrText;
      for (const std::string& name : test::ListFolder(dir.path()))
        EXPECT_NE(name.front(), '.') << "temporary file left: " << name;
    }
  }
}

}  // namespace
}  // namespace tovanel::tools
