// tovanel-split end to end: page files named and counted right, holding the very pixels and bytes of each page.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "split_core.h"
#include "tiffcommon.h"
#include "sample_values.h"
#include "tool_test_support.h"

namespace tovanel::tools {
namespace {

// The page files in folder: the splitter's account of the file (PREFIX.pages) lies beside them.
std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names = test::ListFolder(folder);
  std::erase_if(names, [](const std::string& n) { return n.ends_with(kPagesFileSuffix); });
  return names;
}

using test::DecodePage;
using test::RunResult;
using test::RunTool;
using test::TempDir;
using test::WriteBytes;

const std::string kSplit = TOVANEL_SPLIT_EXE;
const std::string kCorpus = TOVANEL_CORPUS_DIR;

TEST(PageSuffix, CountsThreeLowerCaseLettersInPageOrder) {
  const std::vector<std::pair<std::size_t, std::string>> rows = {
      {0, "aaa"}, {1, "aab"}, {25, "aaz"}, {26, "aba"}, {675, "azz"}, {676, "baa"}, {17575, "zzz"}};
  for (const auto& [index, suffix] : rows) EXPECT_EQ(PageSuffix(index), suffix) << index;
}

// ---- synthetic multi-page files ----

struct PageSpec {
  uint32_t width = 64, height = 48;
  uint16_t bits = 8, samples = 1, photometric = PHOTOMETRIC_MINISBLACK;
  uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG;
  uint16_t predictor = 0, fillOrder = 0, sampleFormat = SAMPLEFORMAT_UINT, extra = 0;
  uint32_t rowsPerStrip = 16, tile = 0, group3Options = 0;
  bool thumbnail = false, smooth = false;
};

struct SplitCase {
  const char* name;
  const char* mode;  // libtiff open mode: byte order and BigTIFF
  std::vector<PageSpec> pages;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

uint32_t Hash(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return static_cast<uint32_t>(Tovanel::SampleValues::Noise(a, b, c, d));
}

// A sample value for page p: noise, or a smooth ramp where a lossy codec would blur noise.
uint32_t Sample(const PageSpec& s, uint32_t page, uint32_t x, uint32_t y, uint32_t c) {
  if (s.smooth) return (x * 2 + y + c * 40 + page * 10) & 0xFF;
  if (s.bits == 1) return ((x / 3 + y / 5 + page + c) % 7) < 3;
  const uint32_t h = Hash(page, x, y, c);
  return s.bits >= 32 ? h : h & ((1u << s.bits) - 1);
}

// Plane after plane, row after row: the layout that DecodePage produces.
std::vector<unsigned char> PagePlanes(const PageSpec& s, uint32_t page, uint64_t& lineBytes) {
  const bool separate = s.planar == PLANARCONFIG_SEPARATE;
  const uint32_t perLine = separate ? 1 : s.samples;
  const uint32_t planes = separate ? s.samples : 1;
  lineBytes = (uint64_t{s.width} * perLine * s.bits + 7) / 8;
  std::vector<unsigned char> data(lineBytes * s.height * planes, 0);
  std::vector<unsigned char> line(lineBytes);
  for (uint32_t plane = 0; plane < planes; ++plane)
    for (uint32_t y = 0; y < s.height; ++y) {
      std::fill(line.begin(), line.end(), 0);
      for (uint32_t x = 0; x < s.width; ++x)
        for (uint32_t c = 0; c < perLine; ++c)
          test::PutBits(line.data(), uint64_t{x} * perLine + c, s.bits, Sample(s, page, x, y, separate ? plane : c));
      std::memcpy(&data[(uint64_t{plane} * s.height + y) * lineBytes], line.data(), lineBytes);
    }
  return data;
}

const unsigned char kIcc[] = "not a real profile, but bytes that must travel with the page";

void WritePage(TIFF* tif, const PageSpec& s, uint32_t page) {
  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, s.thumbnail ? FILETYPE_REDUCEDIMAGE : 0);
  test::SetPageFields(tif, s.width, s.height, s.bits, s.samples, s.photometric);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, s.sampleFormat);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, s.planar);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
  if (s.fillOrder) TIFFSetField(tif, TIFFTAG_FILLORDER, s.fillOrder);
  if (s.predictor) TIFFSetField(tif, TIFFTAG_PREDICTOR, s.predictor);
  if (s.group3Options) TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, s.group3Options);
  if (s.extra) {
    const uint16_t kinds[] = {s.extra};
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, kinds);
  }
  if (s.photometric == PHOTOMETRIC_PALETTE) {
    std::vector<uint16_t> r(1u << s.bits), g(r.size()), b(r.size());
    for (std::size_t i = 0; i < r.size(); ++i) {
      r[i] = static_cast<uint16_t>(i * 257 * 3);
      g[i] = static_cast<uint16_t>(65535 - i * 100);
      b[i] = static_cast<uint16_t>(Hash(page, static_cast<uint32_t>(i), 0, 0));
    }
    TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
  }
  if (s.photometric == PHOTOMETRIC_YCBCR) {
    TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  }
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, 300.0f + page);
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, 150.0f);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(sizeof kIcc), kIcc);

  uint64_t lineBytes = 0;
  // YCbCr JPEG pages take RGB samples in (the codec converts and subsamples).
  PageSpec input = s;
  if (s.photometric == PHOTOMETRIC_YCBCR) input.samples = 3;
  const std::vector<unsigned char> data = PagePlanes(input, page, lineBytes);
  const uint32_t planes = s.planar == PLANARCONFIG_SEPARATE ? s.samples : 1;
  const uint64_t planeBytes = lineBytes * s.height;
  if (s.tile) {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, s.tile);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, s.tile);
    const uint64_t tileRow = static_cast<uint64_t>(TIFFTileRowSize64(tif));
    std::vector<unsigned char> tile(static_cast<std::size_t>(TIFFTileSize64(tif)));
    for (uint32_t plane = 0; plane < planes; ++plane)
      for (uint32_t y = 0; y < s.height; y += s.tile)
        for (uint32_t x = 0; x < s.width; x += s.tile) {
          std::fill(tile.begin(), tile.end(), 0);
          const uint64_t xOff = uint64_t{x} * (tileRow * 8 / s.tile) / 8;
          for (uint32_t r = 0; r < s.tile && y + r < s.height; ++r)
            std::memcpy(&tile[r * tileRow], &data[plane * planeBytes + (y + r) * lineBytes + xOff],
                        std::min(tileRow, lineBytes - xOff));
          ASSERT_GE(TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, x, y, 0, static_cast<uint16_t>(plane)), tile.data(),
                                         static_cast<tmsize_t>(tile.size())), 0);
        }
  } else {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.rowsPerStrip);
    const uint32_t perPlane = (s.height + s.rowsPerStrip - 1) / s.rowsPerStrip;
    for (uint32_t plane = 0; plane < planes; ++plane)
      for (uint32_t k = 0; k < perPlane; ++k) {
        const uint64_t rows = std::min<uint64_t>(s.rowsPerStrip, s.height - uint64_t{k} * s.rowsPerStrip);
        ASSERT_GE(TIFFWriteEncodedStrip(tif, plane * perPlane + k,
                                        const_cast<unsigned char*>(&data[plane * planeBytes + uint64_t{k} * s.rowsPerStrip * lineBytes]),
                                        static_cast<tmsize_t>(rows * lineBytes)), 0);
      }
  }
  ASSERT_TRUE(TIFFWriteDirectory(tif));
}

void WriteFile(const std::string& path, const SplitCase& c) {
  TIFF* tif = TIFFOpen(path.c_str(), c.mode);
  ASSERT_NE(tif, nullptr);
  for (uint32_t p = 0; p < c.pages.size(); ++p) WritePage(tif, c.pages[p], p);
  TIFFClose(tif);
}

PageSpec Bilevel(uint16_t compression) {
  PageSpec s;
  s.width = 200, s.height = 150, s.bits = 1, s.photometric = PHOTOMETRIC_MINISWHITE, s.compression = compression;
  s.rowsPerStrip = 150;
  return s;
}
PageSpec Grey(uint16_t bits, uint16_t compression) {
  PageSpec s;
  s.bits = bits, s.compression = compression;
  return s;
}
PageSpec Rgb(uint16_t bits, uint16_t compression) {
  PageSpec s;
  s.bits = bits, s.samples = 3, s.photometric = PHOTOMETRIC_RGB, s.compression = compression;
  return s;
}
PageSpec With(PageSpec s, void (*change)(PageSpec&)) {
  change(s);
  return s;
}

const std::vector<SplitCase>& Cases() {
  static const std::vector<SplitCase> cases = {
      {"BilevelG4MinIsWhite", "w",
       {Bilevel(COMPRESSION_CCITTFAX4), With(Bilevel(COMPRESSION_CCITTFAX4), [](PageSpec& s) { s.width = 1728; }),
        Bilevel(COMPRESSION_CCITTFAX4)}},
      {"BilevelG3TwoDLsbFirstBigEndian", "wb",
       {With(Bilevel(COMPRESSION_CCITTFAX3), [](PageSpec& s) { s.group3Options = GROUP3OPT_2DENCODING; s.fillOrder = FILLORDER_LSB2MSB; }),
        With(Bilevel(COMPRESSION_CCITTFAX3), [](PageSpec& s) { s.photometric = PHOTOMETRIC_MINISBLACK; })}},
      {"GreyLzwPredictorBigEndian", "wb",
       {With(Grey(8, COMPRESSION_LZW), [](PageSpec& s) { s.predictor = PREDICTOR_HORIZONTAL; }), Grey(8, COMPRESSION_LZW),
        With(Grey(16, COMPRESSION_LZW), [](PageSpec& s) { s.predictor = PREDICTOR_HORIZONTAL; })}},
      {"RgbJpegYCbCr", "w",
       {With(Rgb(8, COMPRESSION_JPEG), [](PageSpec& s) { s.photometric = PHOTOMETRIC_YCBCR; s.smooth = true; s.width = 100; s.height = 70; }),
        With(Rgb(8, COMPRESSION_JPEG), [](PageSpec& s) { s.smooth = true; }),
        With(Grey(8, COMPRESSION_JPEG), [](PageSpec& s) { s.smooth = true; })}},
      {"PaletteTwoDepthsPackBits", "w",
       {With(Grey(4, COMPRESSION_PACKBITS), [](PageSpec& s) { s.photometric = PHOTOMETRIC_PALETTE; }),
        With(Grey(8, COMPRESSION_PACKBITS), [](PageSpec& s) { s.photometric = PHOTOMETRIC_PALETTE; }),
        With(Grey(1, COMPRESSION_NONE), [](PageSpec& s) { s.photometric = PHOTOMETRIC_PALETTE; })}},
      {"TiledRgbDeflatePartialTiles", "w",
       {With(Rgb(8, COMPRESSION_ADOBE_DEFLATE), [](PageSpec& s) { s.tile = 32; s.width = 100; s.height = 70; s.predictor = 2; }),
        With(Grey(1, COMPRESSION_CCITTFAX4), [](PageSpec& s) { s.tile = 16; s.width = 40; s.height = 20; })}},
      {"PlanarSeparateStripsLzw", "w",
       {With(Rgb(8, COMPRESSION_LZW), [](PageSpec& s) { s.planar = PLANARCONFIG_SEPARATE; s.rowsPerStrip = 7; }),
        With(Rgb(16, COMPRESSION_NONE), [](PageSpec& s) { s.planar = PLANARCONFIG_SEPARATE; })}},
      {"TiledPlanarSeparateGreyAlpha16BigEndian", "wb",
       {With(Grey(16, COMPRESSION_ADOBE_DEFLATE), [](PageSpec& s) {
          s.samples = 2; s.extra = EXTRASAMPLE_UNASSALPHA; s.planar = PLANARCONFIG_SEPARATE; s.tile = 16; s.width = 50; s.height = 33; }),
        Grey(8, COMPRESSION_NONE)}},
      {"BigTiffLittleEndian", "w8l",
       {Grey(16, COMPRESSION_ADOBE_DEFLATE),
        With(Rgb(8, COMPRESSION_LZW), [](PageSpec& s) { s.samples = 4; s.extra = EXTRASAMPLE_UNASSALPHA; })}},
      {"BigTiffBigEndianTiled", "w8b",
       {With(Rgb(16, COMPRESSION_LZW), [](PageSpec& s) { s.tile = 16; s.predictor = 2; }),
        With(Rgb(8, COMPRESSION_NONE), [](PageSpec& s) { s.samples = 4; s.extra = EXTRASAMPLE_ASSOCALPHA; })}},
      {"FloatPredictorAndSigned", "w",
       {With(Grey(32, COMPRESSION_LZW), [](PageSpec& s) { s.sampleFormat = SAMPLEFORMAT_IEEEFP; s.predictor = 3; }),
        With(Grey(16, COMPRESSION_NONE), [](PageSpec& s) { s.sampleFormat = SAMPLEFORMAT_INT; })}},
      // libtiff reads one big uncompressed strip as many small ones; the copy must still match.
      {"OneBigUncompressedStrip", "w", {With(Rgb(8, COMPRESSION_NONE), [](PageSpec& s) { s.width = 300; s.height = 200; s.rowsPerStrip = 200; })}},
      // Larger than the splitter's copy buffer, so the strip is copied in several pieces.
      {"StripLargerThanCopyBuffer", "w",
       {With(Grey(8, COMPRESSION_ADOBE_DEFLATE), [](PageSpec& s) { s.width = 2200; s.height = 2000; s.rowsPerStrip = 2000; }),
        Grey(8, COMPRESSION_NONE)}},
      {"ThumbnailsBetweenFullPages", "w",
       {Grey(8, COMPRESSION_LZW), With(Grey(8, COMPRESSION_LZW), [](PageSpec& s) { s.thumbnail = true; s.width = 16; s.height = 12; }),
        With(Rgb(8, COMPRESSION_LZW), [](PageSpec& s) { s.width = 70; }),
        With(Rgb(8, COMPRESSION_NONE), [](PageSpec& s) { s.thumbnail = true; s.width = 8; s.height = 6; s.rowsPerStrip = 6; }),
        With(Grey(16, COMPRESSION_NONE), [](PageSpec& s) { s.width = 33; })}},
  };
  return cases;
}

struct TiffFile {
  explicit TiffFile(const std::string& path) : tif(TIFFOpen(path.c_str(), "r")) {}
  ~TiffFile() {
    if (tif) TIFFClose(tif);
  }
  TIFF* tif;
};

template <typename T>
T Field(TIFF* tif, ttag_t tag) {
  T v{};
  TIFFGetFieldDefaulted(tif, tag, &v);
  return v;
}

std::vector<unsigned char> Icc(TIFF* tif) {
  uint32_t n = 0;
  void* data = nullptr;
  if (!TIFFGetField(tif, TIFFTAG_ICCPROFILE, &n, &data)) return {};
  return {static_cast<unsigned char*>(data), static_cast<unsigned char*>(data) + n};
}

class SplitSyntheticTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitSyntheticTest, EveryPageFileHoldsThePageBytesTagsAndPixels) {
  const SplitCase& c = GetParam();
  TempDir dir;
  const std::string input = dir.file("source.tif");
  ASSERT_NO_FATAL_FAILURE(WriteFile(input, c));
  const std::string out = dir.file("out");
  ASSERT_EQ(::mkdir(out.c_str(), 0700), 0);

  const RunResult run = RunTool(kSplit, {input, "varnholt"}, out, 120);
  ASSERT_FALSE(run.timedOut);
  ASSERT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, 0) << run.stderrText;
  EXPECT_EQ(run.stderrText, "");

  std::vector<tdir_t> fullPages;
  std::vector<std::string> expectedNames;
  for (tdir_t d = 0; d < c.pages.size(); ++d)
    if (!c.pages[d].thumbnail) {
      fullPages.push_back(d);
      expectedNames.push_back("varnholt" + PageSuffix(expectedNames.size()) + ".tif");
    }
  ASSERT_EQ(ListFolder(out), expectedNames);

  TiffFile source(input);
  ASSERT_NE(source.tif, nullptr);
  for (std::size_t k = 0; k < fullPages.size(); ++k) {
    SCOPED_TRACE(expectedNames[k]);
    ASSERT_TRUE(TIFFSetDirectory(source.tif, fullPages[k]));
    TiffFile page(out + "/" + expectedNames[k]);
    ASSERT_NE(page.tif, nullptr);
    EXPECT_EQ(TIFFNumberOfDirectories(page.tif), 1);
    EXPECT_EQ(TIFFIsBigEndian(page.tif), TIFFIsBigEndian(source.tif));
    EXPECT_EQ(TIFFIsBigTIFF(page.tif), TIFFIsBigTIFF(source.tif));
    for (ttag_t tag : {TIFFTAG_COMPRESSION, TIFFTAG_PHOTOMETRIC, TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL,
                       TIFFTAG_PLANARCONFIG, TIFFTAG_SAMPLEFORMAT, TIFFTAG_FILLORDER, TIFFTAG_RESOLUTIONUNIT})
      EXPECT_EQ(Field<uint16_t>(page.tif, tag), Field<uint16_t>(source.tif, tag)) << "tag " << tag;
    EXPECT_EQ(Field<float>(page.tif, TIFFTAG_XRESOLUTION), Field<float>(source.tif, TIFFTAG_XRESOLUTION));
    EXPECT_EQ(Icc(page.tif), Icc(source.tif));
    // The compressed bytes themselves were copied, not decoded and encoded again.
    EXPECT_EQ(test::RawChunks(page.tif), test::RawChunks(source.tif));

    const bool rgba = test::NeedsRgbaComparison(source.tif);
    const test::DecodedPage want = DecodePage(source.tif, rgba);
    const test::DecodedPage got = DecodePage(page.tif, rgba);
    ASSERT_TRUE(want.ok) << want.error;
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_TRUE(got.bytes == want.bytes) << "decoded samples differ";
    // The test's own pixels are the truth for the lossless pages.
    const PageSpec& written = c.pages[fullPages[k]];
    if (written.compression != COMPRESSION_JPEG) {
      uint64_t lineBytes = 0;
      EXPECT_TRUE(got.bytes == PagePlanes(written, fullPages[k], lineBytes)) << "page differs from the pixels written";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SplitSyntheticTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- refused runs: one line on stderr, the documented status, nothing written ----

// More pages than three letters can name.
void WriteTooManyPages(const std::string& path) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  const unsigned char pixel = 0;
  for (std::size_t p = 0; p < kMaxSplitPages + 1; ++p) {
    test::SetPageFields(tif, 1, 1, 8, 1, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1);
    ASSERT_EQ(TIFFWriteEncodedStrip(tif, 0, const_cast<unsigned char*>(&pixel), 1), 1);
    ASSERT_TRUE(TIFFWriteDirectory(tif));
  }
  TIFFClose(tif);
}

// Runs the count mode on inputs in folder cwd; its stdout, and its exit status in status.
std::string CountLines(const std::vector<std::string>& inputs, const std::string& cwd, int& status) {
  std::string command = "cd '" + cwd + "' && '" + kSplit + "' --count";
  for (const std::string& input : inputs) command += " '" + input + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
  const int raw = pipe ? ::pclose(pipe) : -1;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

struct RefusedCase {
  const char* name;
  int exitCode;
  void (*make)(const std::string& path);
  const char* prefix = "varnholt";
  int timeout = 20;
};

TEST(SplitRefused, OneLineTheDocumentedStatusAndNoOutput) {
  const std::vector<RefusedCase> rows = {
      {"missing", CannotOpen, [](const std::string&) {}},
      {"folder", CannotOpen, [](const std::string& p) { ::mkdir(p.c_str(), 0700); }},
      {"fifo without writer", CannotOpen, [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }},
      {"text file", NotTiff, [](const std::string& p) { WriteBytes(p, "hello, this is not an image\n"); }},
      {"empty file", NotTiff, [](const std::string& p) { WriteBytes(p, ""); }},
      {"header only", Damaged, [](const std::string& p) { WriteBytes(p, std::string("II*\0", 4)); }},
      {"first IFD past the end", Damaged, [](const std::string& p) { WriteBytes(p, std::string("II*\0\x00\x10\x00\x00", 8)); }},
      {"more pages than three letters can name", TooManyPages, WriteTooManyPages, "varnholt", 300},
      // The prefix names a folder that does not exist, so not even a temporary file can be made.
      {"unwritable destination", WriteFailed,
       [](const std::string& p) { WriteFile(p, {"", "w", {Grey(8, COMPRESSION_LZW), Grey(8, COMPRESSION_NONE)}}); },
       "missing/varnholt", 60},
  };
  for (const RefusedCase& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string input = dir.file("input.tif");
    ASSERT_NO_FATAL_FAILURE(row.make(input));
    const std::string out = dir.file("out");
    ASSERT_EQ(::mkdir(out.c_str(), 0700), 0);
    const RunResult run = RunTool(kSplit, {input, row.prefix}, out, row.timeout);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.stderrText;
    EXPECT_EQ(test::LineCount(run.stderrText), 1) << run.stderrText;
    EXPECT_EQ(run.stderrText.rfind("tovanel-split: ", 0), 0u) << run.stderrText;
    EXPECT_TRUE(ListFolder(out).empty());
    // Counting refuses the file with the split's status; it writes nothing, so a folder it could not
    // write to is no failure of its.
    int countStatus = -1;
    const std::string answer = CountLines({input}, out, countStatus);
    const int expected = row.exitCode == WriteFailed ? Ok : row.exitCode;
    EXPECT_EQ(countStatus, expected);
    EXPECT_EQ(answer.rfind(expected == Ok ? "2 0\n" : "0 " + std::to_string(expected) + "\t", 0), 0u) << answer;
    EXPECT_TRUE(ListFolder(out).empty());
  }
}

TEST(SplitRefused, WrongArgumentCountIsAUsageError) {
  TempDir dir;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{}, {"a.tif"}, {"a.tif", "p", "x"}}) {
    const RunResult run = RunTool(kSplit, args, dir.path(), 20);
    EXPECT_EQ(run.exitCode, Usage);
    EXPECT_EQ(test::LineCount(run.stderrText), 1);
  }
  EXPECT_TRUE(ListFolder(dir.path()).empty());
}

// Crafted files that claim a lot of memory with few bytes. Each runs under an address-space limit of
// the program's own plus the bound tools/README.md states for it: page tables (4 MiB buffer and 36
// bytes per strip or tile, at most 1,048,576 of them) under 48 MiB; an old-style JPEG page (bands of
// 64 MiB and one strip of at most 128 MiB decoded) under 200 MiB. Run without the limit, its peak
// resident memory stays within the same bound (libtiff gives up on a page, rather than failing the
// run, when the limit denies it memory, so the limit alone would not show the bound broken).
struct MemoryCase {
  const char* name;
  bool (*make)(const std::string& path);
  int exitCode;
  std::vector<std::string> names;
  std::size_t boundMiB;
  bool stated = true;  // false: a system that grants less than the stated bound
};

TEST(SplitLimits, CraftedFilesStayWithinTheStatedMemoryBound) {
  const std::vector<MemoryCase> rows = {
      {"a page of 1,048,576 strips is copied",
       [](const std::string& p) { test::WriteManyStripsTiff(p, {1u << 20}); return true; }, Ok, {"paaa.tif"}, 48},
      {"a page of 4,000,000 strips is refused before its tables are read",
       [](const std::string& p) { test::WriteManyStripsTiff(p, {4000000}); return true; }, TooLarge, {}, 48},
      {"the pages around one of 4,000,000 strips are copied without reading its tables",
       [](const std::string& p) { test::WriteManyStripsTiff(p, {3, 4000000, 5}); return true; }, TooLarge,
       {"paaa.tif", "paac.tif"}, 48},
      {"an old-style JPEG page of 8000 x 8000 is re-encoded band by band",
       [](const std::string& p) { return test::WriteOldJpegTiff(p, 8000, 8000); }, Ok, {"paaa.tif"}, 200},
      {"an old-style JPEG page whose strip decodes to 150 MB is refused",
       [](const std::string& p) { return test::WriteOldJpegTiff(p, 10000, 10000); }, TooLarge, {}, 200},
      {"an old-style JPEG page on a system short of memory is refused, not by a crash",
       [](const std::string& p) { return test::WriteOldJpegTiff(p, 8000, 8000); }, TooLarge, {}, 20, false},
  };
  const std::size_t base = test::ToolBaseAddressSpace(kSplit);
  for (const MemoryCase& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string input = dir.file("crafted.tif");
    ASSERT_TRUE(row.make(input));
    const std::string out = dir.file("out");
    ASSERT_EQ(::mkdir(out.c_str(), 0700), 0);
    if (row.stated) {
      // GNU time runs it from a small process of its own: a child of this test would count the
      // test's memory from before the tool started too.
      TempDir free, report;
      const RunResult unlimited =
          RunTool("/usr/bin/time", {"-f", "%M", "-o", report.file("peak"), kSplit, input, "p"}, free.path(), 300);
      EXPECT_EQ(unlimited.exitCode, row.exitCode) << unlimited.stderrText;
      std::ifstream peakFile(report.file("peak"));
      std::string line, last;
      while (std::getline(peakFile, line)) last = line;
      const std::size_t peakKiB = std::strtoull(last.c_str(), nullptr, 10);
      EXPECT_GT(peakKiB, 0u);
      EXPECT_LE(peakKiB << 10, base + (row.boundMiB << 20)) << "peak resident memory";
    }
    const RunResult run = RunTool(kSplit, {input, "p"}, out, 300, base + (row.boundMiB << 20));
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, 0) << run.stderrText;
    EXPECT_EQ(run.exitCode, row.exitCode) << run.stderrText;
    EXPECT_EQ(test::LineCount(run.stderrText), row.exitCode == Ok ? 0 : 1) << run.stderrText;
    ASSERT_EQ(ListFolder(out), row.names);
    if (row.names.empty()) continue;
    TiffFile source(input), page(out + "/" + row.names[0]);
    ASSERT_NE(page.tif, nullptr);
    EXPECT_EQ(Field<uint32_t>(page.tif, TIFFTAG_IMAGEWIDTH), Field<uint32_t>(source.tif, TIFFTAG_IMAGEWIDTH));
    EXPECT_EQ(Field<uint32_t>(page.tif, TIFFTAG_IMAGELENGTH), Field<uint32_t>(source.tif, TIFFTAG_IMAGELENGTH));
    if (Field<uint16_t>(source.tif, TIFFTAG_COMPRESSION) == COMPRESSION_NONE) {
      EXPECT_EQ(test::RawChunks(page.tif), test::RawChunks(source.tif));
    }
  }
}

// Points the first strip of page `dir` far past the end of the file (classic little-endian TIFF).
void BreakStripOffset(const std::string& path, tdir_t dir) {
  uint64_t ifd = 0;
  {
    TiffFile f(path);
    ASSERT_TRUE(TIFFSetDirectory(f.tif, dir));
    ifd = TIFFCurrentDirOffset(f.tif);
  }
  ASSERT_TRUE(test::PatchEntryValue(path, ifd, TIFFTAG_STRIPOFFSETS, std::string("\0\0\0\x70", 4)))
      << "no StripOffsets entry";
}

void PatchTileWidth(const std::string& path, tdir_t dir) {
  uint64_t ifd = 0;
  {
    TiffFile f(path);
    ASSERT_TRUE(TIFFSetDirectory(f.tif, dir));
    ifd = TIFFCurrentDirOffset(f.tif);
  }
  ASSERT_TRUE(test::PatchEntryValue(path, ifd, TIFFTAG_TILEWIDTH, std::string("\x18\0\0\0", 4))) << "no TileWidth";
}

// Three uncompressed grey pages told apart by their widths: 64, 20 and 30.
SplitCase ThreeWidths(uint32_t rowsPerStrip) {
  SplitCase c{"", "w", {Grey(8, COMPRESSION_NONE), Grey(8, COMPRESSION_NONE), Grey(8, COMPRESSION_NONE)}};
  for (PageSpec& s : c.pages) s.rowsPerStrip = rowsPerStrip;
  c.pages[1].width = 20;
  c.pages[2].width = 30;
  return c;
}

// A damaged page is skipped and leaves its name unused: the other pages keep the names of their page
// index, so the gap tells which page is missing. A tile width libtiff reads but cannot write is the
// page's damage, not a failed write (which would end the split and lose the pages after it).
struct DamagedPageCase {
  const char* name;
  std::vector<tdir_t> broken;             // 0-based pages whose strip lies past the end of the file
  std::vector<std::string> names;         // the page files written
  std::vector<uint32_t> widths;           // and their widths, which tell the pages apart
  std::string skipped;                    // named on stderr
  bool tileWidth = false;                 // tiled pages; the broken ones' tiles 24 wide instead
  int cutAt = -1;                         // the file cut short where this page's directory starts
};

TEST(SplitDamagedPage, OtherPagesKeepTheNamesOfTheirPageIndex) {
  const std::vector<DamagedPageCase> rows = {
      {"first page", {0}, {"paab.tif", "paac.tif"}, {20, 30}, "page 1"},
      {"middle page", {1}, {"paaa.tif", "paac.tif"}, {64, 30}, "page 2"},
      {"last page", {2}, {"paaa.tif", "paab.tif"}, {64, 20}, "page 3"},
      {"first and last page", {0, 2}, {"paab.tif"}, {20}, "page 3"},
      {"tile width of the first page", {0}, {"paab.tif", "paac.tif"}, {20, 30}, "page 1", true},
      // The chain's offset to page 3 lies past the end: that page is damaged, not the file's end.
      {"file cut before the last page's directory", {}, {"paaa.tif", "paab.tif"}, {64, 20}, "page 3", false, 2},
  };
  for (const DamagedPageCase& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string input = dir.file("three.tif");
    SplitCase three = ThreeWidths(48);
    for (PageSpec& page : three.pages) page.tile = row.tileWidth ? 16 : 0;
    ASSERT_NO_FATAL_FAILURE(WriteFile(input, three));
    for (tdir_t page : row.broken)
      ASSERT_NO_FATAL_FAILURE(row.tileWidth ? PatchTileWidth(input, page) : BreakStripOffset(input, page));
    if (row.cutAt >= 0) {  // the file ends where that page's directory starts
      uint64_t at = 0;
      if (TiffFile f(input); TIFFSetDirectory(f.tif, static_cast<tdir_t>(row.cutAt))) at = TIFFCurrentDirOffset(f.tif);
      std::filesystem::resize_file(input, at);
    }
    const std::string out = dir.file("out");
    ASSERT_EQ(::mkdir(out.c_str(), 0700), 0);

    const RunResult run = RunTool(kSplit, {input, "p"}, out, 60);
    EXPECT_EQ(run.exitCode, Damaged) << run.stderrText;
    EXPECT_EQ(test::LineCount(run.stderrText), 1);
    EXPECT_NE(run.stderrText.find(row.skipped), std::string::npos) << run.stderrText;
    ASSERT_EQ(ListFolder(out), row.names);
    // The account a program reads: the page count, pages written, and a record per skipped page.
    std::string account = "pages\t3\t" + std::to_string(row.names.size()) + "\n";
    for (tdir_t page : row.broken)
      account += "skipped\t" + std::to_string(page + 1) + "\t" + std::to_string(Damaged) +
                 (row.tileWidth ? "\tinvalid tile size 24x16\n" : "\tstrip 0 lies past the end of the file\n");
    if (row.cutAt >= 0)
      account += "skipped\t" + std::to_string(row.cutAt + 1) + "\t" + std::to_string(Damaged) +
                 "\tcannot read the page's image directory (";
    std::ifstream file(out + "/p.pages");
    const std::string got(std::istreambuf_iterator<char>(file), {});
    EXPECT_EQ(row.cutAt >= 0 ? got.substr(0, account.size()) : got, account);
    for (std::size_t k = 0; k < row.names.size(); ++k) {
      TiffFile page(out + "/" + row.names[k]);
      EXPECT_EQ(Field<uint32_t>(page.tif, TIFFTAG_IMAGEWIDTH), row.widths[k]) << row.names[k];
    }
  }
}

// An input lying where its pages go under a page file's name is never replaced: that page is left
// out and the pages after it keep their own names.
TEST(SplitInputNamedLikeAPage, IsKeptAndTheOtherPagesKeepTheirNames) {
  TempDir dir;
  const std::string input = dir.file("paab.tif");
  ASSERT_NO_FATAL_FAILURE(WriteFile(input, ThreeWidths(16)));
  const auto before = std::filesystem::file_size(input);

  const RunResult run = RunTool(kSplit, {input, "p"}, dir.path(), 60);
  EXPECT_EQ(run.exitCode, WriteFailed) << run.stderrText;
  EXPECT_EQ(test::LineCount(run.stderrText), 1);
  EXPECT_NE(run.stderrText.find("page 2"), std::string::npos) << run.stderrText;
  ASSERT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"paaa.tif", "paab.tif", "paac.tif"}));
  EXPECT_EQ(std::filesystem::file_size(input), before);
  TiffFile kept(input), first(dir.file("paaa.tif")), third(dir.file("paac.tif"));
  EXPECT_EQ(TIFFNumberOfDirectories(kept.tif), 3);
  EXPECT_EQ(Field<uint32_t>(first.tif, TIFFTAG_IMAGEWIDTH), 64u);
  EXPECT_EQ(Field<uint32_t>(third.tif, TIFFTAG_IMAGEWIDTH), 30u);
}

// ---- the shared corpus ----

struct ManifestRow {
  std::string file;
  int pages = 0;
};

std::vector<ManifestRow> ReadManifest() {
  std::vector<ManifestRow> rows;
  std::ifstream in(kCorpus + "/MANIFEST.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    ManifestRow row;
    std::string source, license, pages;
    std::getline(fields, row.file, '\t');
    std::getline(fields, source, '\t');
    std::getline(fields, license, '\t');
    std::getline(fields, pages, '\t');
    row.pages = std::atoi(pages.c_str());
    rows.push_back(row);
  }
  return rows;
}

// The manifest counts every top-level IFD. These files differ from it, each for a reason:
// reduced-resolution overviews are not pages; the old-style JPEG page lacks the tables it needs and
// no decoder reads it.
const std::map<std::string, std::pair<int, int>> kCorpusExceptions = {
    {"imagetiff_usda_naip_256_webp_z3.tif", {1, Ok}},
    {"pillow_tiff_strip_planar_raw_with_overviews.tif", {1, Ok}},
    {"twelvemonkeys_grayscale-old-style-jpeg.tiff", {0, Damaged}},
};

TEST(SplitCorpus, EveryFileSplitsIntoItsPagesAndEachPageDecodesLikeTheOriginal) {
  const std::vector<ManifestRow> manifest = ReadManifest();
  ASSERT_GT(manifest.size(), 250u);
  InstallTiffHandlers();
  int files = 0, pagesCompared = 0;
  for (const ManifestRow& row : manifest) {
    if (row.file.rfind("damaged/", 0) == 0) continue;
    SCOPED_TRACE(row.file);
    ++files;
    int expectedPages = row.pages, expectedExit = Ok;
    if (auto it = kCorpusExceptions.find(row.file); it != kCorpusExceptions.end())
      std::tie(expectedPages, expectedExit) = it->second;

    TempDir dir;
    const std::string input = kCorpus + "/" + row.file;
    const RunResult run = RunTool(kSplit, {input, "varnholt"}, dir.path(), 60);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, expectedExit) << run.stderrText;
    const std::vector<std::string> names = ListFolder(dir.path());
    ASSERT_EQ(static_cast<int>(names.size()), expectedPages);

    const Result<TiffPtr> opened = OpenTiffForReading(input);
    TIFF* source = opened.value.get();
    ASSERT_NE(source, nullptr) << opened.failure.why;
    const std::vector<tdir_t> pages = ListPages(source);
    for (std::size_t k = 0; k < names.size() && k < pages.size(); ++k) {
      SCOPED_TRACE(names[k]);
      ASSERT_EQ(names[k], "varnholt" + PageSuffix(k) + ".tif");
      ASSERT_TRUE(TIFFSetDirectory(source, pages[k]));
      TiffFile page(dir.path() + "/" + names[k]);
      ASSERT_NE(page.tif, nullptr);
      const bool rgba = test::NeedsRgbaComparison(source);
      const test::DecodedPage want = DecodePage(source, rgba);
      const test::DecodedPage got = DecodePage(page.tif, rgba);
      // A page libtiff cannot decode must fail the same way from the page file.
      EXPECT_EQ(got.ok, want.ok) << want.error << " / " << got.error;
      EXPECT_TRUE(got.bytes == want.bytes) << "decoded samples differ";
      ++pagesCompared;
    }
  }
  EXPECT_GT(files, 250);
  std::printf("corpus: %d files, %d pages compared\n", files, pagesCompared);
}

// One count over the whole corpus, a missing file last: one answer per input in order, the pages a
// split lists (the manifest's count, less overviews), and the first failure's status.
TEST(SplitCount, OneCallAnswersForEveryInputInOrder) {
  std::vector<std::string> inputs;
  std::string expected;
  for (const ManifestRow& row : ReadManifest()) {
    if (row.file.rfind("damaged/", 0) == 0) continue;
    inputs.push_back(kCorpus + "/" + row.file);
    int pages = row.pages;
    if (auto it = kCorpusExceptions.find(row.file); it != kCorpusExceptions.end() && it->second.second == Ok)
      pages = it->second.first;
    expected += std::to_string(pages) + " 0\n";
  }
  inputs.push_back(kCorpus + "/no such file.tif");
  expected += "0 " + std::to_string(CannotOpen) + "\tNo such file or directory\n";
  TempDir dir;
  int status = -1;
  EXPECT_EQ(CountLines(inputs, dir.path(), status), expected);
  EXPECT_EQ(status, CannotOpen);
  EXPECT_TRUE(ListFolder(dir.path()).empty());
}

// Damaged files and fuzz finds: a documented status, no crash, no hang, no temporary file left, and
// only page file names.
// prefix + three lower-case letters + ".tif": a page file, not a temporary or stray one.
bool IsPageFileName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + 7 || name.rfind(prefix, 0) != 0 || !name.ends_with(".tif")) return false;
  return std::all_of(name.begin() + prefix.size(), name.end() - 4, [](char c) { return c >= 'a' && c <= 'z'; });
}

void ExpectSafeOnEveryFile(const std::string& folder) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    SCOPED_TRACE(entry.path().string());
    ++files;
    TempDir dir;
    const RunResult run = RunTool(kSplit, {entry.path().string(), "varnholt"}, dir.path(), 60);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.signal, 0) << run.stderrText;
    EXPECT_TRUE(run.exitCode == Ok || (run.exitCode >= CannotOpen && run.exitCode <= TooManyPages)) << run.exitCode;
    EXPECT_EQ(test::LineCount(run.stderrText), run.exitCode == Ok ? 0 : 1) << run.stderrText;
    const std::vector<std::string> names = ListFolder(dir.path());
    for (const std::string& name : names) EXPECT_TRUE(IsPageFileName(name, "varnholt")) << name;
  }
  std::printf("%s: %d files\n", folder.c_str(), files);
}

TEST(SplitDamaged, DamagedCorpusFilesEndCleanly) { ExpectSafeOnEveryFile(kCorpus + "/damaged"); }

TEST(SplitDamaged, FuzzRegressionFilesEndCleanly) { ExpectSafeOnEveryFile(TOVANEL_FUZZ_REGRESSIONS_DIR); }

}  // namespace
}  // namespace tovanel::tools
