// The converter on several threads: pages coded in pieces give the very pixels of one thread, in
// streams within 1 % of its size, and pages under the threshold give the very bytes.
#include "png_writer.h"
#include "sample_values.h"
#include "topng_checks.h"

#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace tovanel::tools;
using namespace tovanel::tools::test;

namespace {

// The content decides the coding: noisy photographs take run-only coding, drawn pages matching.
enum class Content { Photo, Drawn };

struct ThreadCase {
  const char* name;
  uint16_t photometric, bps, spp;
  uint32_t width, height;
  Content content;
  int pngType, pngDepth;
};

// A sample of a smooth picture with grain, or of a page of repeated strokes.
uint32_t Sample(const ThreadCase& c, uint32_t x, uint32_t y, int s) {
  const uint32_t max = (uint32_t{1} << c.bps) - 1;
  if (c.content == Content::Drawn) return ((x / 7 + y / 5 + s) % 3 == 0 || (x * y) % 97 == 1) ? max : 0;
  const uint32_t h = static_cast<uint32_t>(Tovanel::SampleValues::Noise(x, y, uint64_t(s)));
  const double wave = 0.5 + 0.4 * std::sin(x / 37.0 + s) * std::cos(y / 53.0);
  return std::min<uint32_t>(max, static_cast<uint32_t>(wave * max) + (h & (max >> 4)));
}

void WriteTiff(const ThreadCase& c, const std::string& path) {
  TIFF* tif = StartTiff(path, "w", c.width, c.height, c.bps, c.spp, c.photometric);
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 64u);
  if (c.spp == 4) {
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  std::vector<uint16_t> map(std::size_t{1} << c.bps);
  if (c.photometric == PHOTOMETRIC_PALETTE) {
    for (std::size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint16_t>(i * 257);
    TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
  }
  std::vector<uint8_t> row(TIFFScanlineSize(tif));
  for (uint32_t y = 0; y < c.height; ++y) {
    std::fill(row.begin(), row.end(), 0);
    for (uint32_t x = 0; x < c.width; ++x)
      for (int s = 0; s < c.spp; ++s) {
        const uint32_t v = Sample(c, x, y, s), i = x * c.spp + s;
        if (c.bps == 16) reinterpret_cast<uint16_t*>(row.data())[i] = static_cast<uint16_t>(v);
        else if (c.bps == 8) row[i] = static_cast<uint8_t>(v);
        else if (v) row[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));  // 1 bit
      }
    ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
  }
  TIFFClose(tif);
}

// Filtered rows of 2 to 3 MiB: four threads cut them into pieces; and the same kinds under 1 MiB.
const ThreadCase kLarge[] = {
    {"rgb8_photo", PHOTOMETRIC_RGB, 8, 3, 1024, 1024, Content::Photo, PNG_COLOR_TYPE_RGB, 8},
    {"rgb8_drawn", PHOTOMETRIC_RGB, 8, 3, 1024, 1024, Content::Drawn, PNG_COLOR_TYPE_RGB, 8},
    {"rgba8_photo", PHOTOMETRIC_RGB, 8, 4, 1024, 640, Content::Photo, PNG_COLOR_TYPE_RGB_ALPHA, 8},
    {"grey16_photo", PHOTOMETRIC_MINISBLACK, 16, 1, 1024, 1024, Content::Photo, PNG_COLOR_TYPE_GRAY, 16},
    {"grey8_drawn", PHOTOMETRIC_MINISBLACK, 8, 1, 2048, 1024, Content::Drawn, PNG_COLOR_TYPE_GRAY, 8},
    {"bilevel_drawn", PHOTOMETRIC_MINISBLACK, 1, 1, 8192, 2048, Content::Drawn, PNG_COLOR_TYPE_GRAY, 1},
    {"palette8_drawn", PHOTOMETRIC_PALETTE, 8, 1, 2048, 1024, Content::Drawn, PNG_COLOR_TYPE_PALETTE, 8},
};
const ThreadCase kSmall[] = {
    {"rgb8_photo", PHOTOMETRIC_RGB, 8, 3, 400, 300, Content::Photo, PNG_COLOR_TYPE_RGB, 8},
    {"rgb8_drawn", PHOTOMETRIC_RGB, 8, 3, 400, 300, Content::Drawn, PNG_COLOR_TYPE_RGB, 8},
    {"grey16_photo", PHOTOMETRIC_MINISBLACK, 16, 1, 500, 400, Content::Photo, PNG_COLOR_TYPE_GRAY, 16},
    {"bilevel_drawn", PHOTOMETRIC_MINISBLACK, 1, 1, 2000, 1000, Content::Drawn, PNG_COLOR_TYPE_GRAY, 1},
    {"rgba8_photo", PHOTOMETRIC_RGB, 8, 4, 300, 200, Content::Photo, PNG_COLOR_TYPE_RGB_ALPHA, 8},
    // Just over the size coded both ways whole (32 KiB), and just under the one for pieces (1 MiB).
    {"grey8_photo_over_32k", PHOTOMETRIC_MINISBLACK, 8, 1, 200, 170, Content::Photo, PNG_COLOR_TYPE_GRAY, 8},
    {"rgb8_photo_under_1m", PHOTOMETRIC_RGB, 8, 3, 600, 582, Content::Photo, PNG_COLOR_TYPE_RGB, 8},
};

class Threads : public ::testing::TestWithParam<std::tuple<ThreadCase, bool>> {
 protected:
  // The settings of a case on these threads: held or streamed as the case says.
  ConvertSettings on(unsigned threads) const { return Settings(threads, std::get<1>(GetParam())); }
  // Converts the page with the given threads and returns the PNG's bytes; its pixels must be the page's.
  std::vector<uint8_t> convert(const ThreadCase& c, unsigned threads) {
    const std::string out = tmp_.file("page-" + std::to_string(threads) + ".png");
    const Failure f = ConvertFirstPageToPng(in_, out, on(threads));
    EXPECT_EQ(f.code, Ok) << f.why;
    std::string why;
    PngImage png;
    EXPECT_TRUE(ReadPng(out, png, why)) << why;
    EXPECT_EQ(png.colorType, c.pngType);
    EXPECT_EQ(png.depth, c.pngDepth);
    if (png.width != c.width || png.height != c.height) {
      ADD_FAILURE() << "size " << png.width << "x" << png.height;
      return {};
    }
    EXPECT_EQ(Mismatches(png, c.width, c.height, [&](uint32_t x, uint32_t y) {
      std::vector<uint32_t> want;
      for (int s = 0; s < png.channels; ++s) want.push_back(Sample(c, x, y, s));
      return want;
    }, std::to_string(threads) + " threads: "), 0);
    return ReadBytes(out);
  }
  tovanel::tools::test::TempDir tmp_;
  std::string in_ = tmp_.file("page.tif");
};

constexpr auto Name = StreamingName<ThreadCase>;

// The two bytes that open the image's zlib stream: their level hint tells run-only coding from matching.
std::string ZlibHeader(const std::vector<uint8_t>& png) {
  const std::string bytes(png.begin(), png.end());
  const std::size_t idat = bytes.find("IDAT");
  return idat == std::string::npos ? std::string() : bytes.substr(idat + 4, 2);
}

// Held and streamed pages are cut into pieces by their size alone, so their bytes never depend on the
// threads; held photographs are cut into pieces (within 1 % of one call), drawn pages compress so well
// that pieces would cost more, and stay whole.
using LargePages = Threads;
TEST_P(LargePages, SameBytesOnOneAndFourThreads) {
  const ThreadCase& c = std::get<0>(GetParam());
  ASSERT_NO_FATAL_FAILURE(WriteTiff(c, in_));
  const std::vector<uint8_t> one = convert(c, 1), four = convert(c, 4);
  ASSERT_FALSE(one.empty());
  // The trial's slices are coded as jobs on the pool: the choice must be one thread's.
  EXPECT_EQ(ZlibHeader(four), ZlibHeader(one));
  // The order in which bands and pieces finish depends on timing; the bytes must not.
  EXPECT_EQ(convert(c, 4), four) << "a second run on four threads";
  EXPECT_EQ(four, one);
}
INSTANTIATE_TEST_SUITE_P(Kinds, LargePages, ::testing::Combine(::testing::ValuesIn(kLarge), ::testing::Bool()), Name);

// A page cut short fails in the middle of its rows, while the pool filters and codes the bands before:
// with the reason one thread gives.
using CutShort = Threads;
TEST_P(CutShort, DamagedAndNoPngWhateverTheThreads) {
  const ThreadCase& c = std::get<0>(GetParam());
  ASSERT_NO_FATAL_FAILURE(WriteTiff(c, in_));
  const std::vector<uint8_t> whole = ReadBytes(in_);
  std::string oneThread;
  for (const unsigned threads : {1u, 4u}) {
    // The strips come first and the directory last: keep the directory, lose the middle strips' data.
    std::vector<uint8_t> cut = whole;
    std::fill(cut.begin() + cut.size() / 3, cut.begin() + cut.size() / 2, uint8_t{0xff});
    const std::string in = tmp_.file("cut.tif"), out = tmp_.file("cut.png");
    WriteBytes(in, std::string(cut.begin(), cut.end()));
    const auto [code, why] = ConvertFirstPageToPng(in, out, on(threads));
    EXPECT_EQ(code, Damaged) << threads << " threads: " << why;
    EXPECT_FALSE(std::filesystem::exists(out)) << threads << " threads";
    if (threads == 1) oneThread = why;
    else EXPECT_EQ(why, oneThread);
  }
}
INSTANTIATE_TEST_SUITE_P(Kinds, CutShort, ::testing::Combine(::testing::ValuesIn(kLarge), ::testing::Bool()), Name);
// A small page is coded run-only on another thread while it is decoded: the cut stops that coder too.
INSTANTIATE_TEST_SUITE_P(Small, CutShort, ::testing::Combine(::testing::ValuesIn(kSmall), ::testing::Values(false)),
                         Name);

// The disk fills up while the page's last pieces are still being coded, and the first ones written:
// the system's reason, and no file left, whichever write fails.
using WriteFails = Threads;
TEST_P(WriteFails, WhileCodingGivesWriteFailedAndNoFile) {
  const ThreadCase& c = std::get<0>(GetParam());
  ASSERT_NO_FATAL_FAILURE(WriteTiff(c, in_));
  // The head, then the first chunk's length, its data and its checksum: every page here writes more.
  for (const int writesFirst : {1, 3, 5}) {
    Fs::FaultPlan full(Fs::FaultPlan::Write, ENOSPC, writesFirst);
    ConvertSettings settings = on(4);
    settings.faults = &full;
    const Failure f = ConvertFirstPageToPng(in_, tmp_.file("full.png"), settings);
    EXPECT_EQ(f.code, WriteFailed) << writesFirst << " writes first: " << f.why;
    EXPECT_NE(f.why.find(std::strerror(ENOSPC)), std::string::npos) << f.why;
    const auto files = std::distance(std::filesystem::directory_iterator(tmp_.path()), {});
    EXPECT_EQ(files, 1) << "the page only, no PNG and no temporary file";
  }
}
INSTANTIATE_TEST_SUITE_P(Kinds, WriteFails, ::testing::Combine(::testing::ValuesIn(kLarge), ::testing::Bool()), Name);

// The program takes its thread count from -threads N, else from TOVANEL_TOPNG_THREADS (an invalid
// value passed over), else the usable cores (0).
struct AskedRow {
  const char* name;
  const char* option;  // -threads, or null for none
  const char* env;     // TOVANEL_TOPNG_THREADS, or null for none
  unsigned threads;
};
class ProgramThreads : public ::testing::TestWithParam<AskedRow> {};

TEST_P(ProgramThreads, OptionOverEnvironmentOverCores) {
  const AskedRow& row = GetParam();
  EXPECT_EQ(ThreadsAsked(row.option, row.env), row.threads);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProgramThreads,
                         ::testing::Values(AskedRow{"OptionOne", "1", nullptr, 1}, AskedRow{"OptionFour", "4", nullptr, 4},
                                           AskedRow{"EnvironmentOne", nullptr, "1", 1},
                                           AskedRow{"EnvironmentFour", nullptr, "4", 4},
                                           AskedRow{"OptionOverEnvironment", "1", "4", 1},
                                           AskedRow{"InvalidEnvironmentPassedOver", nullptr, "all", 0},
                                           AskedRow{"InvalidOption", "2x", "4", 0},
                                           AskedRow{"TooLarge", "10000", nullptr, 0},
                                           AskedRow{"Neither", nullptr, nullptr, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A stream handed over in parts, as the coding threads hand over their pieces, gives the IDAT chunks
// of the whole stream: 1 MiB each but the last, each with its CRC, then IEND.
struct PartsRow {
  const char* name;
  std::vector<std::size_t> parts;  // the sizes of the parts, in order
};
class IdatFromParts : public ::testing::TestWithParam<PartsRow> {};

TEST_P(IdatFromParts, TheChunksOfTheWholeStream) {
  std::vector<uint8_t> stream;
  for (const std::size_t size : GetParam().parts)
    for (std::size_t i = 0; i < size; ++i) stream.push_back(static_cast<uint8_t>(stream.size() * 131 >> 3));
  tovanel::tools::test::TempDir tmp;
  const std::string path = tmp.file("parts.idat");
  Fs::AtomicFile out(path);
  ASSERT_EQ(out.open(), 0);
  topng::IdatParts idat(out);
  std::size_t at = 0;
  for (const std::size_t size : GetParam().parts) {
    ASSERT_TRUE(idat.add({stream.data() + at, size})) << std::strerror(idat.error());
    at += size;
  }
  ASSERT_TRUE(idat.finish()) << std::strerror(idat.error());
  ASSERT_EQ(out.commit(false), 0);
  const std::vector<uint8_t> file = ReadBytes(path);
  std::vector<uint8_t> data;
  std::vector<std::size_t> sizes;
  std::string types;
  const auto be32 = [&](std::size_t i) {
    return uint32_t{file[i]} << 24 | uint32_t{file[i + 1]} << 16 | uint32_t{file[i + 2]} << 8 | file[i + 3];
  };
  for (std::size_t i = 0; i + 12 <= file.size();) {
    const std::size_t size = be32(i);
    ASSERT_LE(i + 12 + size, file.size());
    EXPECT_EQ(crc32(0, file.data() + i + 4, static_cast<uInt>(size + 4)), be32(i + 8 + size)) << "chunk at " << i;
    types += std::string(file.begin() + i + 4, file.begin() + i + 8) + " ";
    if (types.substr(types.size() - 5) == "IDAT ") {
      sizes.push_back(size);
      data.insert(data.end(), file.begin() + i + 8, file.begin() + i + 8 + size);
    }
    i += 12 + size;
  }
  EXPECT_EQ(data, stream);
  std::vector<std::size_t> want;
  for (std::size_t left = stream.size(); left > 0; left -= std::min(left, std::size_t{1} << 20))
    want.push_back(std::min(left, std::size_t{1} << 20));
  EXPECT_EQ(sizes, want);
  EXPECT_EQ(types.substr(types.size() - 5), "IEND ");
}

constexpr std::size_t kMiB = std::size_t{1} << 20;
INSTANTIATE_TEST_SUITE_P(
    Splits, IdatFromParts,
    ::testing::Values(PartsRow{"OnePart", {3 * kMiB + 5}}, PartsRow{"PiecesAcrossChunks", {2, 700000, 700000, 700000, 4}},
                      PartsRow{"OnTheChunkEdges", {2, kMiB - 2, kMiB, 4}},
                      PartsRow{"EmptyPartsBetween", {2, 0, 300000, 0, 0, 4}}, PartsRow{"TheSmallestStream", {2, 1, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

// Small pages stay one stream: a filtered one is coded run-only on another thread while it is still
// decoded, and that stream is kept when run-only coding wins (the 16-bit photograph), dropped when
// matching wins (the 8-bit pages).
using SmallPages = Threads;
TEST_P(SmallPages, ByteIdenticalWhateverTheThreads) {
  const ThreadCase& c = std::get<0>(GetParam());
  ASSERT_NO_FATAL_FAILURE(WriteTiff(c, in_));
  const std::vector<uint8_t> one = convert(c, 1);
  ASSERT_FALSE(one.empty());
  cpu_set_t before, after;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  EXPECT_EQ(convert(c, 4), one);
  EXPECT_EQ(convert(c, 0), one);
  // The converting thread keeps to its core only while the pool has other threads.
  ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
  EXPECT_TRUE(CPU_EQUAL(&before, &after)) << "the thread's cores were left narrowed";
}
INSTANTIATE_TEST_SUITE_P(Kinds, SmallPages, ::testing::Combine(::testing::ValuesIn(kSmall), ::testing::Values(false)),
                         Name);

}  // namespace
