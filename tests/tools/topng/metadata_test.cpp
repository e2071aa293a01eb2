// Each page's metadata through the real splitter and converter, read back by exiftool and pngcheck.
#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;
using namespace tovanel::tools::test;

namespace {

const std::string kSplit = std::string(TOVANEL_BIN_DIR) + "/tovanel-split";
const std::string kTopng = std::string(TOVANEL_BIN_DIR) + "/tovanel-topng";

// The metadata of one page of the fixture.
struct PageMeta {
  const char *description, *artist, *make, *dateTime, *exifTaken;
  double exposure, fNumber, latitude[3];
  std::string xmp, iptc;
};

std::string Xmp(const std::string& title) {
  return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
         "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title><rdf:Alt>"
         "<rdf:li xml:lang=\"x-default\">" + title + "</rdf:li></rdf:Alt></dc:title></rdf:Description></rdf:RDF></x:xmpmeta>";
}

// An IPTC record of one keyword (record 2, dataset 25).
std::string Iptc(const std::string& keyword) {
  return std::string("\x1c\x02\x19", 3) + char(0) + char(keyword.size()) + keyword;
}

// A page of 4x3 grey pixels; its EXIF and GPS directories are written ahead of it.
void WritePage(TIFF* t, const PageMeta& m) {
  uint64_t exifAt = 0, gpsAt = 0;
  if (m.exifTaken) {
    ASSERT_EQ(TIFFCreateEXIFDirectory(t), 0);
    TIFFSetField(t, EXIFTAG_DATETIMEORIGINAL, m.exifTaken);
    TIFFSetField(t, EXIFTAG_EXPOSURETIME, m.exposure);
    TIFFSetField(t, EXIFTAG_FNUMBER, m.fNumber);
    ASSERT_TRUE(TIFFWriteCustomDirectory(t, &exifAt));
    ASSERT_EQ(TIFFCreateGPSDirectory(t), 0);
    TIFFSetField(t, GPSTAG_LATITUDEREF, "N");
    TIFFSetField(t, GPSTAG_LATITUDE, m.latitude);
    ASSERT_TRUE(TIFFWriteCustomDirectory(t, &gpsAt));
    ASSERT_EQ(TIFFCreateDirectory(t), 0);
  }
  SetPageFields(t, 4, 3, 8, 1, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 3u);
  for (auto [tag, text] : {std::pair{TIFFTAG_IMAGEDESCRIPTION, m.description}, {TIFFTAG_ARTIST, m.artist},
                           {TIFFTAG_MAKE, m.make}, {TIFFTAG_DATETIME, m.dateTime}})
    if (text) TIFFSetField(t, tag, text);
  if (!m.xmp.empty()) TIFFSetField(t, TIFFTAG_XMLPACKET, uint32_t(m.xmp.size()), m.xmp.data());
  if (!m.iptc.empty()) TIFFSetField(t, TIFFTAG_RICHTIFFIPTC, uint32_t(m.iptc.size()), m.iptc.data());
  if (exifAt) TIFFSetField(t, TIFFTAG_EXIFIFD, exifAt);
  if (gpsAt) TIFFSetField(t, TIFFTAG_GPSIFD, gpsAt);
  const uint8_t pixels[12] = {0, 40, 80, 120, 160, 200, 240, 255, 7, 9, 11, 13};
  ASSERT_EQ(TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(pixels), 12), 12);
  ASSERT_TRUE(TIFFWriteDirectory(t));
}

void WriteTiff(const std::string& path, const std::vector<PageMeta>& pages) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr);
  for (const PageMeta& m : pages) WritePage(t, m);
  TIFFClose(t);
}

const PageMeta kFirst{"first page", "M\xfcller", "Scanner Co", "2024:01:02 03:04:05", "2023:12:31 23:59:58",
                      1.0 / 60, 2.8, {52, 31, 12.5}, Xmp("Erste Seite"), Iptc("alpha")};
const PageMeta kSecond{"zweite Seite \xc3\xbc", "Ann", "Other Make", "2025:06:07 08:09:10", "2025:06:07 08:00:00",
                       1.0 / 250, 5.6, {48, 8, 30}, Xmp("Second page \xe2\x80\x93 two"), Iptc("beta")};
const PageMeta kPlain{};

// Every tag exiftool reads, as "Group:Tag" -> value.
std::map<std::string, std::string> Exiftool(const std::string& path) {
  std::map<std::string, std::string> tags;
  FILE* p = popen(("exiftool -args -G1 -a -charset exif=latin1 '" + path + "' 2>&1").c_str(), "r");
  if (!p) return tags;
  char line[4096];
  while (std::fgets(line, sizeof line, p)) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    if (const auto eq = s.find('='); s.size() > 1 && s[0] == '-' && eq != std::string::npos)
      tags[s.substr(1, eq - 1)] = s.substr(eq + 1);
  }
  pclose(p);
  return tags;
}

class Metadata : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(std::getenv("TMPDIR")) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    account_ = (dir_ / "account").string();
    setenv("TOVANEL_TOPNG_ACCOUNT", account_.c_str(), 1);
    unsetenv("TOVANEL_TOPNG_METADATA");
  }
  // The converter on path: its PNG's bytes, or empty when it failed.
  std::string Convert(const std::string& path) {
    const RunResult r = RunTool(kTopng, {"-out", "png", path}, dir_.string(), 60);
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    const auto bytes = ReadBytes(fs::path(path).replace_extension(".png").string());
    return {bytes.begin(), bytes.end()};
  }
  // The account's metadata records (its checksum record is checked by the batch command's tests).
  std::string Account() {
    const auto bytes = ReadBytes(account_);
    const std::string records(bytes.begin(), bytes.end());
    return records.substr(0, records.find("sha256\t"));
  }
  fs::path dir_;
  std::string account_;
};

struct Row {
  int page;
  const char *tiffTag, *pngTag, *value;
};

const Row kRows[] = {
    {1, "IFD0:ImageDescription", "PNG:Description", "first page"},
    {1, "IFD0:Artist", "PNG:Author", "M\xc3\xbcller"},  // Latin-1 in the TIFF, tEXt in the PNG
    {1, "IFD0:Make", "PNG:Source", "Scanner Co"},
    {1, "IFD0:Make", "IFD0:Make", "Scanner Co"},
    {1, "IFD0:ModifyDate", "PNG:CreationTime", "2024:01:02 03:04:05"},
    {1, "ExifIFD:DateTimeOriginal", "ExifIFD:DateTimeOriginal", "2023:12:31 23:59:58"},
    {1, "ExifIFD:ExposureTime", "ExifIFD:ExposureTime", "1/60"},
    {1, "ExifIFD:FNumber", "ExifIFD:FNumber", "2.8"},
    {1, "GPS:GPSLatitude", "GPS:GPSLatitude", "52 deg 31' 12.50\""},
    {1, "XMP-dc:Title", "XMP-dc:Title", "Erste Seite"},
    {1, "IPTC:Keywords", "IPTC:Keywords", "alpha"},
    // UTF-8 in the TIFF, iTXt in the PNG (exiftool reads the TIFF's text as Latin-1 here).
    {2, nullptr, "PNG:Description", "zweite Seite \xc3\xbc"},
    {2, "ExifIFD:ExposureTime", "ExifIFD:ExposureTime", "1/250"},
    {2, "ExifIFD:FNumber", "ExifIFD:FNumber", "5.6"},
    {2, "GPS:GPSLatitude", "GPS:GPSLatitude", "48 deg 8' 30.00\""},
    {2, "XMP-dc:Title", "XMP-dc:Title", "Second page \xe2\x80\x93 two"},
    {2, "IPTC:Keywords", "IPTC:Keywords", "beta"},
};

// Each page of a two-page file keeps its own metadata through the splitter's page file into its PNG,
// where exiftool reads what it reads from the page; pngcheck accepts the PNG; a second run gives the
// same bytes.
TEST_F(Metadata, EveryPageCarriesItsOwnMetadata) {
  const std::string tiff = (dir_ / "two.tif").string();
  WriteTiff(tiff, {kFirst, kSecond});
  const RunResult split = RunTool(kSplit, {tiff, "pg"}, dir_.string(), 60);
  ASSERT_EQ(split.exitCode, 0) << split.stderrText;
  std::map<std::string, std::string> page[3], png[3];
  for (int i : {1, 2}) {
    const std::string pageFile = (dir_ / (i == 1 ? "pgaaa.tif" : "pgaab.tif")).string();
    const std::string bytes = Convert(pageFile);
    EXPECT_EQ(Account(), "metadata\ttext,exif,xmp,iptc\n");
    EXPECT_EQ(Convert(pageFile), bytes) << "page " << i << " differs from one run to the next";
    const std::string pngPath = fs::path(pageFile).replace_extension(".png").string();
    EXPECT_EQ(std::system(("pngcheck -q '" + pngPath + "' >/dev/null").c_str()), 0) << pngPath;
    page[i] = Exiftool(pageFile);
    png[i] = Exiftool(pngPath);
    EXPECT_EQ(png[i].count("ExifTool:Warning"), 0u) << png[i]["ExifTool:Warning"];
  }
  for (const Row& r : kRows) {
    if (r.tiffTag) {
      EXPECT_EQ(page[r.page][r.tiffTag], r.value) << "page " << r.page << " " << r.tiffTag;
    }
    EXPECT_EQ(png[r.page][r.pngTag], r.value) << "page " << r.page << " " << r.pngTag;
  }
}

// Without metadata the PNG is the very PNG of a page that has none.
TEST_F(Metadata, StrippedIsThePngOfAPageWithoutMetadata) {
  const std::string with = (dir_ / "with.tif").string(), without = (dir_ / "without.tif").string();
  WriteTiff(with, {kFirst});
  WriteTiff(without, {kPlain});
  const std::string plain = Convert(without);
  EXPECT_EQ(Account(), "metadata\t\n");
  EXPECT_NE(Convert(with), plain);
  setenv("TOVANEL_TOPNG_METADATA", "none", 1);
  EXPECT_EQ(Convert(with), plain);
}

struct BadRow {
  const char* name;
  void (*spoil)(const std::string& path);
  const char* account;
};

const BadRow kBadRows[] = {
    {"OversizedXmp",
     [](const std::string& path) {
       PageMeta big = kFirst;
       big.xmp = Xmp(std::string(std::size_t{3} << 19, 'x'));
       WriteTiff(path, {big});
     },
     "metadata\ttext,exif,iptc\nomitted\txmp\tmore than 1 MiB of metadata\n"},
    {"ExifPointsPastTheEnd",
     [](const std::string& path) {
       WriteTiff(path, {kFirst});
       TIFF* t = TIFFOpen(path.c_str(), "r");
       const uint64_t ifd = TIFFCurrentDirOffset(t);
       TIFFClose(t);
       ASSERT_TRUE(PatchEntryValue(path, ifd, TIFFTAG_EXIFIFD, std::string("\x00\x00\x00\x10", 4)));
     },
     "metadata\ttext,xmp,iptc\nomitted\texif\tthe EXIF directory cannot be read\n"},
};

// Damaged or oversized metadata is left out and named; the page is converted all the same.
TEST_F(Metadata, DamagedOrOversizedMetadataIsLeftOutNotThePage) {
  for (const BadRow& row : kBadRows) {
    const std::string path = (dir_ / (std::string(row.name) + ".tif")).string();
    row.spoil(path);
    EXPECT_FALSE(Convert(path).empty()) << row.name;
    EXPECT_EQ(Account(), row.account) << row.name;
  }
}

}  // namespace
