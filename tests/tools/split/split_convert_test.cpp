// A page file converts to the very PNG its source page converts to: the splitter carries every tag the
// converter reads. (The converter's fidelity fixtures are checked the same way as they are converted.)
#include <gtest/gtest.h>
#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "page_file_png.h"
#include "png_reader.h"
#include "split_core.h"
#include "tiffcommon.h"
#include "tool_test_support.h"

namespace tovanel::tools {
namespace {

using test::ConvertDirectly;
using test::ConvertPageFile;
using test::PngOutcome;
using test::TempDir;

const std::string kCorpus = TOVANEL_CORPUS_DIR;

std::vector<std::string> ManifestFiles() {
  std::vector<std::string> files;
  std::ifstream in(kCorpus + "/MANIFEST.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) files.push_back(line.substr(0, line.find('\t')));
  return files;
}

TEST(PageFilePng, EveryCorpusPageComesOutAsFromItsSourceFile) {
  const std::vector<std::string> files = ManifestFiles();
  ASSERT_GT(files.size(), 300u);
  const auto start = std::chrono::steady_clock::now();
  int pages = 0, equal = 0, refused = 0, chainBroken = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::string input = kCorpus + "/" + file;
    std::size_t count = 0;
    bool broken = false;
    if (const Result<TiffPtr> tif = OpenTiffForReading(input); tif.value)
      count = ListPages(tif.value.get(), 0, &broken).size();
    const TempDir dir;
    const std::string prefix = dir.file("p");
    const std::string splitWhy = SplitPages(input, prefix).why;
    for (std::size_t k = 0; k < count; ++k) {
      SCOPED_TRACE("page " + std::to_string(k + 1));
      ++pages;
      const PngOutcome direct = ConvertDirectly(input, k, dir.file("direct.png"));
      const PngOutcome viaPage = ConvertPageFile(prefix, k, splitWhy);
      if (broken) {
        // The converter refuses every page of a file whose chain of directories breaks or loops; the
        // splitter writes the pages before the break. There is no PNG to compare with.
        EXPECT_EQ(direct.code, Damaged) << direct.why;
        ++chainBroken;
      } else if (direct.code == Ok) {
        EXPECT_EQ(viaPage.code, Ok) << viaPage.why;
        EXPECT_TRUE(viaPage.png == direct.png) << "the page file gives another PNG";
        equal += viaPage.png == direct.png;
      } else {
        // No PNG either way.
        EXPECT_NE(viaPage.code, Ok) << "the page file converts; directly: " << direct.why;
        ++refused;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("corpus: %zu files, %d pages: %d equal PNGs, %d refused both ways, %d in broken chains, %.1f s\n",
              files.size(), pages, equal, refused, chainBroken, seconds);
  EXPECT_GT(equal, 300);
}

// libtiff reads as many bytes of an uncompressed strip as its rows hold, whatever its byte count says.
// Two strips of five rows, 185 bytes each, with a directory entry changed (SHORT values, inline).
struct WrongCountCase {
  const char* name;
  uint16_t tag;
  std::string value;
  int status;  // the converter's, directly and from the page file
};

TEST(PageFilePng, UncompressedStripsCarryTheRowsLibtiffReads) {
  const WrongCountCase rows[] = {
      // Copied by its count, the last strip's rows were read from the page file's directory.
      {"the last strip's count 85 bytes short", TIFFTAG_STRIPBYTECOUNTS, std::string("\xb9\0\x64\0", 4), Ok},
      // Six rows a strip: the first strip's rows run into the second's data, which the converter refuses.
      {"rows of one strip in the next one's data", TIFFTAG_ROWSPERSTRIP, std::string("\x06\0", 2), Damaged},
  };
  for (const WrongCountCase& row : rows) {
    SCOPED_TRACE(row.name);
    const TempDir dir;
    const std::string input = dir.file("strips.tif"), prefix = dir.file("p");
    {
      TIFF* t = test::StartTiff(input, "w", 37, 10, 8, 1, PHOTOMETRIC_MINISBLACK);
      ASSERT_NE(t, nullptr);
      std::vector<std::vector<uint8_t>> plane(1, std::vector<uint8_t>(370));
      for (std::size_t i = 0; i < plane[0].size(); ++i) plane[0][i] = static_cast<uint8_t>(i * 7);
      ASSERT_TRUE(test::WriteStrippedPlanes(t, plane, 10, 37, 5));
      TIFFClose(t);
    }
    const std::vector<uint8_t> header = test::ReadBytes(input);
    const uint32_t ifd = header[4] | header[5] << 8 | header[6] << 16 | uint32_t{header[7]} << 24;
    ASSERT_TRUE(test::PatchEntryValue(input, ifd, row.tag, row.value));
    const std::string splitWhy = SplitPages(input, prefix).why;
    const PngOutcome direct = ConvertDirectly(input, 0, dir.file("direct.png"));
    const PngOutcome viaPage = ConvertPageFile(prefix, 0, splitWhy);
    EXPECT_EQ(direct.code, row.status) << direct.why;
    EXPECT_EQ(viaPage.code, row.status) << viaPage.why;
    EXPECT_TRUE(viaPage.png == direct.png) << "the page file gives another PNG";
  }
}

// ---- elevation models as GDAL writes them ----

constexpr uint32_t W = 61, H = 47;
constexpr char kGdalMetadata[] = "<GDALMetadata>\n  <Item name=\"AREA_OR_POINT\">Area</Item>\n</GDALMetadata>\n";

void StartDem(TIFF* t, uint16_t bps, uint16_t spp, uint16_t format, uint16_t compression, uint16_t predictor) {
  // GDAL's tags, defined for writing as GDAL defines them (this libtiff does not know them); libtiff
  // forgets such definitions at each new directory.
  static const TIFFFieldInfo kGdalTags[] = {
      {TIFFTAG_GDAL_METADATA, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALMetadata")},
      {TIFFTAG_GDAL_NODATA, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALNoDataValue")}};
  ASSERT_EQ(TIFFMergeFieldInfo(t, kGdalTags, 2), 0);
  test::SetPageFields(t, W, H, bps, spp, spp == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, format);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(t, TIFFTAG_PREDICTOR, predictor);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8);
}

template <typename T>
void WriteRows(TIFF* t, uint16_t spp, T (*value)(uint32_t x, uint32_t y, int s)) {
  std::vector<T> row(std::size_t{W} * spp);
  for (uint32_t y = 0; y < H; ++y) {
    for (uint32_t x = 0; x < W; ++x)
      for (int s = 0; s < spp; ++s) row[std::size_t{x} * spp + s] = value(x, y, s);
    ASSERT_EQ(TIFFWriteScanline(t, row.data(), y, 0), 1);
  }
  ASSERT_TRUE(TIFFWriteDirectory(t));
}

// Heights with a fractional part; pixels that hold no data in the top left corner.
float FloatHeight(uint32_t x, uint32_t y, int) {
  if (x < 15 && y < 11) return -9999;
  return 312.5f + 4.25f * x + 2.5f * y + ((x * 7 + y * 13) % 11) * 0.125f;
}
// Grey heights surrounded by no data, as a reprojected tile is.
int16_t IntHeight(uint32_t x, uint32_t y, int) {
  if (x < 6 || y < 6 || x >= W - 6 || y >= H - 6) return -32768;
  return static_cast<int16_t>(200 + (x * 5 + y * 3) % 900);
}
float Band(uint32_t x, uint32_t y, int s) { return static_cast<float>(s * 20) + x * 3.0f + y * 2.0f; }

// Page 1: float heights with -9999 as no-data. Page 2: int16 heights with -32768 as no-data. Page 3:
// float RGB bands with a range of their own each. Page 4: page 2 without the no-data tag.
void WriteDems(const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr);
  ASSERT_NO_FATAL_FAILURE(StartDem(t, 32, 1, SAMPLEFORMAT_IEEEFP, COMPRESSION_ADOBE_DEFLATE, PREDICTOR_FLOATINGPOINT));
  TIFFSetField(t, TIFFTAG_GDAL_METADATA, kGdalMetadata);
  TIFFSetField(t, TIFFTAG_GDAL_NODATA, "-9999");
  ASSERT_NO_FATAL_FAILURE(WriteRows(t, 1, FloatHeight));

  ASSERT_NO_FATAL_FAILURE(StartDem(t, 16, 1, SAMPLEFORMAT_INT, COMPRESSION_LZW, PREDICTOR_HORIZONTAL));
  TIFFSetField(t, TIFFTAG_GDAL_NODATA, "-32768");
  ASSERT_NO_FATAL_FAILURE(WriteRows(t, 1, IntHeight));

  ASSERT_NO_FATAL_FAILURE(StartDem(t, 32, 3, SAMPLEFORMAT_IEEEFP, COMPRESSION_NONE, PREDICTOR_NONE));
  double lo[] = {-50, 0, 10}, hi[] = {400, 300, 250};
  TIFFSetField(t, TIFFTAG_PERSAMPLE, PERSAMPLE_MULTI);
  TIFFSetField(t, TIFFTAG_SMINSAMPLEVALUE, lo);
  TIFFSetField(t, TIFFTAG_SMAXSAMPLEVALUE, hi);
  TIFFSetField(t, TIFFTAG_PERSAMPLE, PERSAMPLE_MERGED);
  ASSERT_NO_FATAL_FAILURE(WriteRows(t, 3, Band));

  ASSERT_NO_FATAL_FAILURE(StartDem(t, 16, 1, SAMPLEFORMAT_INT, COMPRESSION_LZW, PREDICTOR_HORIZONTAL));
  ASSERT_NO_FATAL_FAILURE(WriteRows(t, 1, IntHeight));
  TIFFClose(t);
}

// The value of a tag libtiff does not define, as stored; empty when the page has none.
std::string UndefinedTag(TIFF* t, ttag_t tag) {
  uint32_t count = 0;
  void* data = nullptr;
  if (!TIFFFindField(t, tag, TIFF_ANY) || TIFFGetField(t, tag, &count, &data) != 1) return {};
  return std::string(static_cast<const char*>(data), count);
}

// Every sample's value of SMinSampleValue or SMaxSampleValue; empty when the page has none.
std::vector<double> PerSample(TIFF* t, ttag_t tag) {
  uint16_t spp = 1;
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
  double* v = nullptr;
  TIFFSetField(t, TIFFTAG_PERSAMPLE, PERSAMPLE_MULTI);
  const bool got = TIFFGetField(t, tag, &v) == 1 && v;
  TIFFSetField(t, TIFFTAG_PERSAMPLE, PERSAMPLE_MERGED);
  return got ? std::vector<double>(v, v + spp) : std::vector<double>{};
}

// What each page of WriteDems gives directly (no-data pixels transparent, a range from the tags), and
// the tags its page file must hold as they were written (text with its closing NUL).
struct DemPage {
  int pngType;
  std::string metadata, noData;
  std::vector<double> lo, hi;
};

TEST(PageFilePng, ElevationModelsKeepTheirNoDataAndRange) {
  const DemPage pages[] = {
      {PNG_COLOR_TYPE_GRAY_ALPHA, std::string(kGdalMetadata, sizeof kGdalMetadata), std::string("-9999", 6), {}, {}},
      {PNG_COLOR_TYPE_GRAY_ALPHA, "", std::string("-32768", 7), {}, {}},
      {PNG_COLOR_TYPE_RGB, "", "", {-50, 0, 10}, {400, 300, 250}},
      {PNG_COLOR_TYPE_GRAY, "", "", {}, {}},
  };
  const TempDir dir;
  const std::string input = dir.file("dem.tif"), prefix = dir.file("p");
  ASSERT_NO_FATAL_FAILURE(WriteDems(input));
  const Failure split = SplitPages(input, prefix);
  ASSERT_EQ(split.code, Ok) << split.why;
  std::string why;
  for (std::size_t k = 0; k < std::size(pages); ++k) {
    SCOPED_TRACE("page " + std::to_string(k + 1));
    const PngOutcome direct = ConvertDirectly(input, k, dir.file("direct.png"));
    ASSERT_EQ(direct.code, Ok) << direct.why;
    tovanel::test::PngImage png;
    ASSERT_TRUE(tovanel::test::ReadPng(dir.file("direct.png"), png, why)) << why;
    EXPECT_EQ(png.colorType, pages[k].pngType);
    const PngOutcome viaPage = ConvertPageFile(prefix, k, "");
    ASSERT_EQ(viaPage.code, Ok) << viaPage.why;
    EXPECT_TRUE(viaPage.png == direct.png) << "the page file gives another PNG";

    // The tags themselves, which GDAL and other readers take from the page file too.
    TIFF* page = TIFFOpen((prefix + PageSuffix(k) + ".tif").c_str(), "r");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(UndefinedTag(page, TIFFTAG_GDAL_METADATA), pages[k].metadata);
    EXPECT_EQ(UndefinedTag(page, TIFFTAG_GDAL_NODATA), pages[k].noData);
    EXPECT_EQ(PerSample(page, TIFFTAG_SMINSAMPLEVALUE), pages[k].lo);
    EXPECT_EQ(PerSample(page, TIFFTAG_SMAXSAMPLEVALUE), pages[k].hi);
    TIFFClose(page);
  }
}

}  // namespace
}  // namespace tovanel::tools
