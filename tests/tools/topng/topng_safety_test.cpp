// tovanel-topng as a program: output naming, bad and hostile inputs, the damaged corpus, huge pages.
#include "tiffcommon.h"
#include "engine/engine.h"
#include "tool_test_support.h"
#include "topng.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>
#include <map>
#include <set>
#include <sys/stat.h>
#include <zlib.h>

namespace fs = std::filesystem;
using namespace tovanel::tools;
using namespace tovanel::tools::test;

namespace {

const std::string kTool = std::string(TOVANEL_BIN_DIR) + "/tovanel-topng";
// The converter's memory bound as tools/README.md states it: every run here is limited to it.
const uint64_t kConverterBound = MemoryBound(engine::UsableCores());

class TopngProgram : public ::testing::Test {
 protected:
  std::string path(const std::string& n) const { return (dir_ / n).string(); }
  int filesIn(const fs::path& d) const { return static_cast<int>(ListFolder(d.string()).size()); }
  // A valid 8-bit grey TIFF whose directory follows the image data.
  void writeGrey(const std::string& p, uint32_t w, uint32_t h) {
    TIFF* t = StartTiff(p, "w", w, h, 8, 1, PHOTOMETRIC_MINISBLACK);
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
    std::vector<uint8_t> px(std::size_t{w} * h);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 31);
    TIFFWriteEncodedStrip(t, 0, px.data(), px.size());
    TIFFClose(t);
  }
  TempDir tmp_;
  fs::path dir_{tmp_.path()};
};

TEST(PngName, ReplacesTheExtensionOfTheFileNameOnly) {
  const std::pair<const char*, const char*> rows[] = {
      {"/t/varnholtaaa.tif", "/t/varnholtaaa.png"}, {"/t/a.b.tif", "/t/a.b.png"},
      {"/t/scan", "/t/scan.png"},                   {"/t/dir.v2/scan", "/t/dir.v2/scan.png"},
      {"scan.TIFF", "scan.png"},                    {"/t/x.", "/t/x.png"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(PngPathFor(in), out) << in;
}

TEST_F(TopngProgram, WritesThePngNextToTheInput) {
  writeGrey(path("page.tif"), 5, 4);
  const auto r = RunTool(kTool, {"-out", "png", path("page.tif")}, dir_.string(), 30, kConverterBound);
  EXPECT_EQ(r.exitCode, Ok) << r.stderrText;
  EXPECT_TRUE(r.stderrText.empty());
  EXPECT_TRUE(fs::is_regular_file(path("page.png")));
  EXPECT_EQ(filesIn(dir_), 2);
}

TEST_F(TopngProgram, WrongCommandLinesAreUsageErrors) {
  const std::vector<std::vector<std::string>> rows = {
      {}, {"-out", "png"}, {"-out", "jpg", "a.tif"}, {"png", "-out", "a.tif"}, {"-out", "png", "a.tif", "b.tif"},
      {"-out", "png", ""}, {"-threads", "0", "-out", "png", "a.tif"}, {"-threads", "two", "-out", "png", "a.tif"},
      {"-threads", "-out", "png", "a.tif"}, {"-out", "png", "a.tif", "-threads", "2"}};
  for (const auto& argv : rows) {
    const auto r = RunTool(kTool, argv, dir_.string(), 30, kConverterBound);
    EXPECT_EQ(r.exitCode, Usage) << argv.size();
    EXPECT_EQ(LineCount(r.stderrText), 1) << r.stderrText;
  }
}

struct BadInput {
  const char* name;
  int expected;
};

TEST_F(TopngProgram, BadInputsGiveTheirCodeOneLineAndNoOutput) {
  { std::ofstream(path("empty.tif")); }
  { std::ofstream(path("text.tif")) << "This is a letter, not an image.\n"; }
  writeGrey(path("whole.tif"), 64, 64);
  {
    const auto size = fs::file_size(path("whole.tif"));
    fs::copy_file(path("whole.tif"), path("truncated.tif"));
    fs::resize_file(path("truncated.tif"), size / 2);
    fs::remove(path("whole.tif"));
  }
  ASSERT_EQ(::mkfifo(path("fifo.tif").c_str(), 0600), 0);
  fs::create_directory(path("folder.tif"));
  const BadInput rows[] = {
      {"empty.tif", NotTiff},   {"text.tif", NotTiff},      {"truncated.tif", Damaged},
      {"fifo.tif", CannotOpen}, {"folder.tif", CannotOpen}, {"missing.tif", CannotOpen},
  };
  for (const auto& row : rows) {
    const auto r = RunTool(kTool, {"-out", "png", path(row.name)}, dir_.string(), 20, kConverterBound);
    EXPECT_FALSE(r.timedOut) << row.name;
    EXPECT_EQ(r.exitCode, row.expected) << row.name << ": " << r.stderrText;
    EXPECT_EQ(LineCount(r.stderrText), 1) << row.name << ": " << r.stderrText;
    EXPECT_FALSE(fs::exists(PngPathFor(path(row.name)))) << row.name;
  }
  EXPECT_EQ(filesIn(dir_), 5);  // the inputs only: no PNG, no temporary file left
}

TEST_F(TopngProgram, OutputNamedLikeTheInputIsRefused) {
  writeGrey(path("page.png"), 5, 4);
  const auto before = fs::file_size(path("page.png"));
  const auto r = RunTool(kTool, {"-out", "png", path("page.png")}, dir_.string(), 30, kConverterBound);
  EXPECT_EQ(r.exitCode, WriteFailed);
  EXPECT_EQ(fs::file_size(path("page.png")), before);
}

// Root ignores folder permissions, so the output's failures are also made in-process by the output's
// test hook, where every user sees them: no PNG, no temporary file, the system's reason.
TEST_F(TopngProgram, UnwritableFolderGivesWriteFailedAndNoFile) {
  fs::create_directory(path("ro"));
  writeGrey(path("ro/page.tif"), 5, 4);
  const std::pair<Fs::FaultPlan::Step, int> faults[] = {
      {Fs::FaultPlan::Create, EACCES}, {Fs::FaultPlan::Write, ENOSPC}, {Fs::FaultPlan::Commit, EIO}};
  for (const auto& [step, err] : faults) {
    Fs::FaultPlan plan(step, err);
    ConvertSettings settings;
    settings.faults = &plan;
    const Failure f = ConvertFirstPageToPng(path("ro/page.tif"), path("ro/page.png"), settings);
    EXPECT_EQ(f.code, WriteFailed) << f.why;
    EXPECT_NE(f.why.find(std::strerror(err)), std::string::npos) << f.why;
    EXPECT_EQ(filesIn(path("ro")), 1);
  }
  if (::geteuid() == 0) return;  // the program itself, in a folder it may not write to
  fs::permissions(path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
  const auto r = RunTool(kTool, {"-out", "png", path("ro/page.tif")}, dir_.string(), 30, kConverterBound);
  fs::permissions(path("ro"), fs::perms::owner_all);
  EXPECT_EQ(r.exitCode, WriteFailed);
  EXPECT_EQ(filesIn(path("ro")), 1);
}

// A little-endian classic TIFF of one page, its IFD entries given as (tag, type, count, value or
// offset), after `data` (which starts at offset 8).
void WriteRawTiff(const std::string& path, const std::string& data, const std::vector<RawEntry>& entries) {
  const uint32_t ifd = static_cast<uint32_t>(8 + data.size());
  WriteBytes(path, std::string("II*\0", 4) + std::string{char(ifd), char(ifd >> 8), char(ifd >> 16), char(ifd >> 24)}
                       + data + RawDirectory(entries, 0));
}

// One page of 30,000,000 one-row strips in 60 MB: one-byte offsets and byte counts (all strips
// share one byte of data). libtiff alone holds 480 MB of tables for it.
void WriteThirtyMillionStrips(const std::string& path) {
  constexpr uint32_t n = 30'000'000;
  std::string data(8, '\x80');
  data.append(n, char(8));  // offsets, at 16
  data.append(n, char(1));  // byte counts, at 16 + n
  WriteRawTiff(path, data, {{256, 3, 1, 1}, {257, 4, 1, n}, {258, 3, 1, 8}, {259, 3, 1, 1}, {262, 3, 1, 1},
                            {273, 1, n, 16}, {277, 3, 1, 1}, {278, 3, 1, 1}, {279, 1, n, 16 + n}});
}

// One Deflate tile of 16,384 x 16,384 grey pixels (256 MiB decoded) in about 255 KB.
void WriteHugeTile(const std::string& path) {
  constexpr uint32_t w = 16384;
  z_stream zs{};
  ASSERT_EQ(deflateInit(&zs, 9), Z_OK);
  const std::vector<uint8_t> zeros(1 << 20, 0);
  std::string packed;
  std::vector<uint8_t> buf(1 << 16);
  for (uint32_t fed = 0; fed <= 256; ++fed) {
    zs.next_in = const_cast<Bytef*>(zeros.data());
    zs.avail_in = fed < 256 ? static_cast<uInt>(zeros.size()) : 0;
    const int flush = fed < 256 ? Z_NO_FLUSH : Z_FINISH;
    do {
      zs.next_out = buf.data();
      zs.avail_out = static_cast<uInt>(buf.size());
      deflate(&zs, flush);
      packed.append(reinterpret_cast<char*>(buf.data()), buf.size() - zs.avail_out);
    } while (zs.avail_out == 0);
  }
  deflateEnd(&zs);
  const uint32_t size = static_cast<uint32_t>(packed.size());
  WriteRawTiff(path, packed, {{256, 3, 1, w}, {257, 3, 1, w}, {258, 3, 1, 8}, {259, 3, 1, 8}, {262, 3, 1, 1},
                              {277, 3, 1, 1}, {322, 3, 1, w}, {323, 3, 1, w}, {324, 4, 1, 8}, {325, 4, 1, size}});
}

// Grey pages of 1,100,000 rows or columns (PNG allows 2^31 - 1; libpng's default limit is a million).
void WriteLongPage(const std::string& path, uint32_t w, uint32_t h) {
  TIFF* t = StartTiff(path, "w", w, h, 8, 1, PHOTOMETRIC_MINISBLACK);
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4096);
  std::vector<uint8_t> row(w);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) row[x] = static_cast<uint8_t>((x + y) * 7);
    ASSERT_EQ(TIFFWriteScanline(t, row.data(), y, 0), 1);
  }
  TIFFClose(t);
}

// The width and height in a PNG's header.
std::pair<uint32_t, uint32_t> PngSize(const std::string& path) {
  unsigned char h[24] = {};
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(h), sizeof h);
  auto be = [&](int i) { return uint32_t{h[i]} << 24 | uint32_t{h[i + 1]} << 16 | uint32_t{h[i + 2]} << 8 | h[i + 3]; };
  return {be(16), be(20)};
}

// Files that once broke the memory bound or were refused for their length: each converts within it.
TEST_F(TopngProgram, CraftedFilesConvertWithinTheMemoryBound) {
  const struct {
    const char* name;
    std::function<void(const std::string&)> write;
    uint32_t width, height;
  } rows[] = {
      {"strips-30m.tif", WriteThirtyMillionStrips, 1, 30'000'000},
      {"tile-16384.tif", WriteHugeTile, 16384, 16384},
      {"rows-1100000.tif", [](const std::string& p) { WriteLongPage(p, 3, 1'100'000); }, 3, 1'100'000},
      {"columns-1100000.tif", [](const std::string& p) { WriteLongPage(p, 1'100'000, 2); }, 1'100'000, 2},
  };
  for (const auto& row : rows) {
    ASSERT_NO_FATAL_FAILURE(row.write(path(row.name)));
    const auto r = RunTool(kTool, {"-out", "png", path(row.name)}, dir_.string(), 300, kConverterBound);
    EXPECT_FALSE(r.timedOut) << row.name;
    EXPECT_EQ(r.signal, 0) << row.name;
    EXPECT_EQ(r.exitCode, Ok) << row.name << ": " << r.stderrText;
    EXPECT_EQ(PngSize(PngPathFor(path(row.name))), std::make_pair(row.width, row.height)) << row.name;
    fs::remove(path(row.name));
    fs::remove(PngPathFor(path(row.name)));
  }
}

// A tiny G4 file that claims 100,000 x 100,000 pixels must be refused at once, not decoded.
TEST_F(TopngProgram, HugePageIsRefusedFastWithoutOutput) {
  TIFF* t = StartTiff(path("huge.tif"), "w", 100000, 100000, 1, 1, PHOTOMETRIC_MINISWHITE);
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 100000);
  std::vector<uint8_t> row(100000 / 8, 0);
  TIFFWriteScanline(t, row.data(), 0, 0);
  TIFFClose(t);
  ASSERT_LT(fs::file_size(path("huge.tif")), 100000u);
  const auto start = std::chrono::steady_clock::now();
  const auto r = RunTool(kTool, {"-out", "png", path("huge.tif")}, dir_.string(), 20, kConverterBound);
  EXPECT_EQ(r.exitCode, TooLarge) << r.stderrText;
  EXPECT_EQ(LineCount(r.stderrText), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(fs::exists(path("huge.png")));
}

// Files of the damaged corpus whose damage libtiff repairs or only warns about. Each was decided on
// its own: a PNG only where every pixel comes from the file as the TIFF definition reads it.
struct DamagedDecision {
  const char* file;
  int status;
  const char* twin;  // an intact corpus file with the same picture, or nullptr
  const char* reason;
};
const DamagedDecision kDecisions[] = {
    {"golang_invalid-palette-ref.tiff", Damaged, nullptr,
     "colour map of the wrong length: libtiff drops it and would show the indices as grey"},
    {"imagetiff_fuzz_oor_panic_000019.tif", Ok, nullptr,
     "byte counts are garbage, but uncompressed strips need none: each strip's rows end where the next begins"},
    {"imagetiff_fuzz_oor_panic_000026.tif", Ok, nullptr, "one byte count larger than its uncompressed strip needs"},
    {"pillow_tiff_overflow_rows_per_strip.tif", Damaged, nullptr,
     "RowsPerStrip of 2^31 + 1 makes one strip per plane, whose rows would be read from the other strips"},
    {"pillow_tiff_wrong_bits_per_sample.tiff", Ok, nullptr,
     "one BitsPerSample value for four samples (allowed) and a bogus byte count; the data fills the file exactly"},
    {"pillow_tiff_wrong_bits_per_sample_3.tiff", Ok, nullptr,
     "a fourth sample without ExtraSamples: an unspecified fourth sample of RGB is alpha"},
    {"twelvemonkeys_CCITT-G4-300dpi-StripByteCounts0.tif", Ok, nullptr,
     "byte count 0, estimated from the file size; G4 codes end themselves and every row decodes"},
    {"twelvemonkeys_ccitt_tolessrows.tif", Damaged, nullptr, "G4 data ends 2 rows early; libtiff would fill them white"},
    {"twelvemonkeys_emptyexiftag.tif", Ok, "twelvemonkeys_multipage.tif", "only an EXIF tag is empty; the pixels are whole"},
    {"twelvemonkeys_missing-photometric_flower-rgb-contig-08.tif", Ok, "libtiffpic_depth_flower-rgb-contig-08.tif",
     "no Photometric: three samples are RGB"},
    {"twelvemonkeys_missing-photometric_group4.tif", Ok, "twelvemonkeys_group4.tif",
     "no Photometric: a CCITT page is MinIsWhite"},
    {"twelvemonkeys_noeof.tif", Ok, "twelvemonkeys_group4.tif", "the file ends right after the strip, which is whole"},
};

// The colour library is opened only when a Lab page needs it: the program, which is not linked to it,
// converts such a page to the very PNG the converter's core makes.
TEST_F(TopngProgram, LabPagesLoadTheColourLibraryWhenNeeded) {
  for (const char* name : {"program.tif", "core.tif"})
    fs::copy_file(fs::path(TOVANEL_CORPUS_DIR) / "pillow_hopper.Lab.tif", dir_ / name);
  const auto r = RunTool(kTool, {"-out", "png", path("program.tif")}, dir_.string(), 30, kConverterBound);
  ASSERT_EQ(r.exitCode, Ok) << r.stderrText;
  const Failure f = ConvertPageToPng(path("core.tif"), 0, path("core.png"));
  ASSERT_EQ(f.code, Ok) << f.why;
  EXPECT_EQ(ReadBytes(path("program.png")), ReadBytes(path("core.png")));
}

// Every file of the damaged corpus: no crash, no hang; the decided outcome where there is one,
// otherwise an error status, one line and no output.
TEST_F(TopngProgram, DamagedCorpusFilesGiveTheirDecidedOutcome) {
  const fs::path corpus(TOVANEL_CORPUS_DIR);
  const fs::path damaged = corpus / "damaged";
  if (!fs::is_directory(damaged)) GTEST_SKIP() << "no damaged corpus at " << damaged;
  std::map<std::string, const DamagedDecision*> decided;
  for (const auto& d : kDecisions) decided[d.file] = &d;
  int files = 0, seen = 0;
  for (const auto& e : fs::directory_iterator(damaged)) {
    if (!e.is_regular_file()) continue;
    const std::string name = e.path().filename().string();
    if (name.find('.') == std::string::npos || name.ends_with(".md") || name.ends_with(".tsv") || name.ends_with(".txt"))
      continue;
    ++files;
    const fs::path copy = dir_ / name;
    fs::copy_file(e.path(), copy, fs::copy_options::overwrite_existing);
    const auto r = RunTool(kTool, {"-out", "png", copy.string()}, dir_.string(), 30, kConverterBound);
    const std::string png = PngPathFor(copy.string());
    EXPECT_FALSE(r.timedOut) << name;
    EXPECT_EQ(r.signal, 0) << name << " crashed";
    const auto it = decided.find(name);
    if (it != decided.end()) {
      ++seen;
      const DamagedDecision& d = *it->second;
      EXPECT_EQ(r.exitCode, d.status) << name << " (" << d.reason << "): " << r.stderrText;
      EXPECT_EQ(fs::exists(png), d.status == Ok) << name;
      if (d.twin && fs::exists(png)) {
        // The same picture from the intact file must give the same PNG pixels.
        const fs::path twin = dir_ / (std::string("twin-") + d.twin);
        fs::copy_file(corpus / d.twin, twin, fs::copy_options::overwrite_existing);
        const auto t = RunTool(kTool, {"-out", "png", twin.string()}, dir_.string(), 30, kConverterBound);
        ASSERT_EQ(t.exitCode, Ok) << d.twin;
        const std::string twinPng = PngPathFor(twin.string());
        for (const std::string& p : {png, twinPng})
          ASSERT_EQ(RunTool("/usr/bin/convert", {p, "-depth", "16", "rgba:" + p + ".rgba"}, dir_.string(), 60, 0)
                        .exitCode, 0) << p;
        EXPECT_EQ(ReadBytes(png + ".rgba"), ReadBytes(twinPng + ".rgba")) << name << " differs from " << d.twin;
        for (const auto& f : {twin.string(), twinPng, png + ".rgba", twinPng + ".rgba"}) fs::remove(f);
      }
    } else {
      EXPECT_GT(r.exitCode, 0) << name << " gave " << r.exitCode;
      EXPECT_EQ(LineCount(r.stderrText), 1) << name << ": " << r.stderrText;
      EXPECT_FALSE(fs::exists(png)) << name;
    }
    if (r.exitCode != Ok) {
      EXPECT_EQ(LineCount(r.stderrText), 1) << name << ": " << r.stderrText;
    }
    fs::remove(copy);
    fs::remove(png);
  }
  EXPECT_GT(files, 0);
  EXPECT_EQ(seen, static_cast<int>(std::size(kDecisions)));
  EXPECT_EQ(filesIn(dir_), 0);
}

}  // namespace
