// The tool tests' support library: private folders, running a tool under its memory bound, decoding pages.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovanel::tools::test {

// A fresh folder under TMPDIR, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  bool timedOut = false;
  int signal = 0;     // the signal that ended the tool, 0 when it exited
  int exitCode = -1;  // valid when signal == 0 and !timedOut
  std::string stderrText;
};

// The address space a tool may take in a test: the tools promise bounded memory (well under 1 GiB),
// so a run that reaches for more fails instead of passing on a machine that happens to have it.
inline constexpr uint64_t kToolAddressSpaceLimit = uint64_t{1536} << 20;

// Runs program with args in folder cwd, its stdin and stdout on /dev/null, in a process group of its
// own that is killed after timeoutSeconds, its address space limited to addressSpace bytes (0: no
// limit, for the reference decoders the tests compare with).
RunResult RunTool(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                  int timeoutSeconds, uint64_t addressSpace = kToolAddressSpaceLimit);

// The address space a tool takes to do nothing but fail on its command line: its code, libraries and
// stack. Memory bounds that a tool states are on top of this.
std::size_t ToolBaseAddressSpace(const std::string& program);

// Crafted files that reach for memory with few bytes (classic little-endian TIFF):
// 8-bit grey pages 1 pixel wide and `strips` rows each, one row per strip, every strip the same byte.
void WriteManyStripsTiff(const std::string& path, const std::vector<uint32_t>& pageStrips);
// one old-style JPEG page (YCbCr 2x2, one strip) of a smooth picture, a few hundred bytes per megapixel.
bool WriteOldJpegTiff(const std::string& path, uint32_t width, uint32_t height);

// Sets the size, samples and photometric of the page t is writing.
void SetPageFields(TIFF* t, uint32_t width, uint32_t height, uint16_t bps, uint16_t spp, uint16_t photometric);
// Opens path for writing (mode as TIFFOpen takes it) with the first page's fields as SetPageFields sets
// them; null when it cannot be made.
TIFF* StartTiff(const std::string& path, const char* mode, uint32_t width, uint32_t height, uint16_t bps,
                uint16_t spp, uint16_t photometric);

// Writes the value's bits at sample index i of a row: widths of whole bytes least significant byte
// first, as libtiff takes samples on this (little-endian) machine and swaps them for a big-endian
// file; other widths packed most significant bit first into a row that starts zeroed.
void PutBits(uint8_t* row, std::size_t i, int bps, uint64_t bits);

// The bits of sample index i of a row, read as PutBits writes them.
uint64_t GetBits(const uint8_t* row, std::size_t i, int bps);

// One entry of a classic little-endian directory: tag, type, count and the value or its offset.
struct RawEntry {
  uint16_t tag, type;
  uint32_t count, value;
};
// The bytes of a classic little-endian directory of these entries (sorted by tag here), closed by the
// offset of the next one.
std::string RawDirectory(std::vector<RawEntry> entries, uint32_t next);

// Overwrites the first bytes of the value of entry tag in the classic little-endian directory at
// offset ifd of the file at path; false when there is no such entry.
bool PatchEntryValue(const std::string& path, uint64_t ifd, uint16_t tag, const std::string& bytes);

// Writes whole planes (rowBytes per row, height rows each) as strips of rowsPerStrip rows, the last one
// short, into the open TIFF t whose other tags are set. False when a strip fails.
bool WriteStrippedPlanes(TIFF* t, const std::vector<std::vector<uint8_t>>& plane, uint32_t height,
                         std::size_t rowBytes, uint32_t rowsPerStrip);

// Writes whole planes (rowBytes per row, height rows each) as 16 x 16 tiles, zero-padded at the
// right and bottom edges, into the open TIFF t whose other tags are set. False when a tile fails.
bool WriteTiledPlanes(TIFF* t, const std::vector<std::vector<uint8_t>>& plane, uint32_t width, uint32_t height,
                      std::size_t rowBytes, int perPixel, int bps);

// The first page of the TIFF at path as libtiff's RGBA interface renders it, top row first; false when
// libtiff cannot (stopOnError: give up at the first damaged piece).
bool ReadRgbaImage(const std::string& path, uint32_t width, uint32_t height, std::vector<uint32_t>& rgba,
                   int stopOnError);

// Every byte of the file at path (none when it cannot be read), and a file made of bytes.
std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

// The names in folder, sorted, hidden ones included.
std::vector<std::string> ListFolder(const std::string& folder);

// The number of lines of text (a last line without a line end counts).
int LineCount(const std::string& text);

// The decoded samples of the current directory of tif. Strips and tiles, contiguous and separate
// planes are laid out the same way (plane after plane, row after row), so two pages compare equal
// exactly when they hold the same samples. New-style JPEG is decoded to RGB. Pages that libtiff can
// only decode through its RGBA interface (old-style JPEG, subsampled YCbCr without JPEG) are
// compared as RGBA. ok is false when libtiff could not decode the page.
struct DecodedPage {
  bool ok = false;
  bool rgba = false;
  uint32_t width = 0, height = 0;
  std::vector<unsigned char> bytes;
  std::string error;
};
bool NeedsRgbaComparison(TIFF* tif);
DecodedPage DecodePage(TIFF* tif, bool rgba);

// The raw bytes of every strip or tile of the current directory, one entry each.
std::vector<std::vector<unsigned char>> RawChunks(TIFF* tif);

}  // namespace tovanel::tools::test
