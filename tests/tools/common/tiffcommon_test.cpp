// Tests of tovanel_tiffcommon: opening never blocks or misreads, pages skip thumbnails.
#include "tiffcommon.h"
#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tovanel::tools;

namespace {

class TiffCommon : public ::testing::Test {
 protected:
  void SetUp() override { InstallTiffHandlers(); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Writes a TIFF with one 4x2 8-bit grey image per entry; true entries are reduced-resolution.
  void writeTiff(const std::string& p, const std::vector<bool>& reduced) {
    TIFF* t = TIFFOpen(p.c_str(), "w");
    ASSERT_NE(t, nullptr);
    for (bool r : reduced) {
      test::SetPageFields(t, 4, 2, 8, 1, PHOTOMETRIC_MINISBLACK);
      TIFFSetField(t, TIFFTAG_SUBFILETYPE, r ? FILETYPE_REDUCEDIMAGE : 0);
      unsigned char row[4] = {1, 2, 3, 4};
      TIFFWriteScanline(t, row, 0, 0);
      TIFFWriteScanline(t, row, 1, 0);
      TIFFWriteDirectory(t);
    }
    TIFFClose(t);
  }

  test::TempDir tmp_;
  fs::path dir_{tmp_.path()};
};

TEST_F(TiffCommon, EveryExitCodeHasText) {
  for (int c : {Ok, Usage, CannotOpen, NotTiff, Damaged, Unsupported, TooLarge, WriteFailed, TooManyPages})
    EXPECT_STRNE(ExitText(c), "unknown error") << c;
  EXPECT_STREQ(ExitText(77), "unknown error");
}

struct OpenCase {
  const char* name;
  int expected;
};

TEST_F(TiffCommon, OpenRefusesWhatIsNotARegularTiffWithoutBlocking) {
  {
    std::ofstream(path("empty.tif"));
    std::ofstream(path("text.tif")) << "hello, this is not a TIFF";
    std::ofstream(path("short.tif")) << "II*";
    std::ofstream(path("header-only.tif"), std::ios::binary) << std::string("II*\0\x08\0\0\0", 8);
  }
  ASSERT_EQ(::mkfifo(path("fifo.tif").c_str(), 0600), 0);
  fs::create_directory(path("folder.tif"));
  const OpenCase cases[] = {
      {"missing.tif", CannotOpen}, {"fifo.tif", CannotOpen}, {"folder.tif", CannotOpen},
      {"empty.tif", NotTiff},      {"text.tif", NotTiff},    {"short.tif", NotTiff},
      {"header-only.tif", Damaged},
  };
  for (const auto& c : cases) {
    const Result<TiffPtr> t = OpenTiffForReading(path(c.name));
    EXPECT_EQ(t.value, nullptr) << c.name;
    EXPECT_EQ(t.failure.code, c.expected) << c.name;
    EXPECT_FALSE(t.failure.why.empty()) << c.name;
  }
  if (::access("/dev/null", R_OK) == 0) {
    const Result<TiffPtr> t = OpenTiffForReading("/dev/null");
    EXPECT_EQ(t.value, nullptr);
    EXPECT_EQ(t.failure.code, CannotOpen);
  }
}

TEST_F(TiffCommon, OpenReadsAValidTiff) {
  writeTiff(path("ok.tif"), {false});
  const Result<TiffPtr> t = OpenTiffForReading(path("ok.tif"));
  ASSERT_NE(t.value, nullptr) << t.failure.why;
  EXPECT_EQ(t.failure.code, Ok);
}

struct PagesCase {
  std::vector<bool> reduced;
  std::vector<tdir_t> pages;
};

TEST_F(TiffCommon, ListPagesSkipsThumbnailsOnlyWhenFullImagesExist) {
  const PagesCase cases[] = {
      {{false}, {0}},
      {{false, false, false}, {0, 1, 2}},
      {{false, true, false, true}, {0, 2}},
      {{true, false}, {1}},
      {{true, true}, {0, 1}},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string p = path("pages" + std::to_string(n++) + ".tif");
    writeTiff(p, c.reduced);
    const Result<TiffPtr> t = OpenTiffForReading(p);
    ASSERT_NE(t.value, nullptr) << t.failure.why;
    EXPECT_EQ(ListPages(t.value.get()), c.pages) << p;
    tdir_t first = 99;
    EXPECT_TRUE(FirstPage(t.value.get(), first));
    EXPECT_EQ(first, c.pages.front()) << p;
  }
}

TEST_F(TiffCommon, PathPartsSplitAtTheLastSlash) {
  EXPECT_EQ(FileNamePart("/a.b/c"), "c");
  EXPECT_EQ(FolderPart("/a.b/c"), "/a.b/");
  EXPECT_EQ(FileNamePart("c.tif"), "c.tif");
  EXPECT_EQ(FolderPart("c.tif"), "");
}

}  // namespace
