// The tool tests' support library: private folders, running a tool under its memory bound, decoding pages.
#include "tool_test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <sys/resource.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace tovanel::tools::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tovanel-tooltest.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

RunResult RunTool(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                  int timeoutSeconds, uint64_t addressSpace) {
  RunResult result;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::setpgid(0, 0);
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::dup2(pipeFds[1], 2);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    if (addressSpace != 0) {
      const rlimit limit{static_cast<rlim_t>(addressSpace), static_cast<rlim_t>(addressSpace)};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  ::close(pipeFds[1]);

  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  char buf[4096];
  for (;;) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsedMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    const long leftMs = timeoutSeconds * 1000L - elapsedMs;
    if (leftMs <= 0) {
      result.timedOut = true;
      ::kill(-pid, SIGKILL);
      break;
    }
    pollfd pfd{pipeFds[0], POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(std::min(leftMs, 1000L)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    if (n <= 0) break;  // the tool (and anything it started) closed stderr
    result.stderrText.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!result.timedOut) {
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  }
  return result;
}

bool WriteTiledPlanes(TIFF* t, const std::vector<std::vector<uint8_t>>& plane, uint32_t width, uint32_t height,
                      std::size_t rowBytes, int perPixel, int bps) {
  const uint32_t tw = 16, th = 16;
  TIFFSetField(t, TIFFTAG_TILEWIDTH, tw);
  TIFFSetField(t, TIFFTAG_TILELENGTH, th);
  const std::size_t tileRow = std::size_t{tw} * perPixel * bps / 8;
  std::vector<uint8_t> tile(tileRow * th);
  for (std::size_t p = 0; p < plane.size(); ++p)
    for (uint32_t ty = 0; ty < height; ty += th)
      for (uint32_t tx = 0; tx < width; tx += tw) {
        std::fill(tile.begin(), tile.end(), 0);
        const std::size_t xb = std::size_t{tx} * perPixel * bps / 8;
        for (uint32_t r = 0; r < th && ty + r < height; ++r)
          std::memcpy(tile.data() + r * tileRow, plane[p].data() + (ty + r) * rowBytes + xb,
                      std::min(tileRow, rowBytes - xb));
        if (TIFFWriteEncodedTile(t, TIFFComputeTile(t, tx, ty, 0, static_cast<uint16_t>(p)), tile.data(),
                                 static_cast<tmsize_t>(tile.size())) < 0)
          return false;
      }
  return true;
}

void SetPageFields(TIFF* t, uint32_t width, uint32_t height, uint16_t bps, uint16_t spp, uint16_t photometric) {
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bps);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
}

TIFF* StartTiff(const std::string& path, const char* mode, uint32_t width, uint32_t height, uint16_t bps,
                uint16_t spp, uint16_t photometric) {
  TIFF* t = TIFFOpen(path.c_str(), mode);
  if (t) SetPageFields(t, width, height, bps, spp, photometric);
  return t;
}

void PutBits(uint8_t* row, std::size_t i, int bps, uint64_t bits) {
  if (bps % 8 == 0) {
    for (int k = 0; k < bps / 8; ++k) row[i * (bps / 8) + k] = static_cast<uint8_t>(bits >> (8 * k));
    return;
  }
  for (int b = 0; b < bps; ++b)
    if ((bits >> (bps - 1 - b)) & 1) row[(i * bps + b) / 8] |= static_cast<uint8_t>(0x80 >> ((i * bps + b) % 8));
}

uint64_t GetBits(const uint8_t* row, std::size_t i, int bps) {
  uint64_t v = 0;
  if (bps % 8 == 0) {
    for (int k = bps / 8 - 1; k >= 0; --k) v = (v << 8) | row[i * (bps / 8) + k];
    return v;
  }
  for (int b = 0; b < bps; ++b) v = (v << 1) | ((row[(i * bps + b) / 8] >> (7 - (i * bps + b) % 8)) & 1);
  return v;
}

bool PatchEntryValue(const std::string& path, uint64_t ifd, uint16_t tag, const std::string& bytes) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  unsigned char count[2] = {};
  file.seekg(static_cast<std::streamoff>(ifd));
  file.read(reinterpret_cast<char*>(count), 2);
  for (int i = 0; i < count[0] + 256 * count[1]; ++i) {
    unsigned char entry[12];
    file.seekg(static_cast<std::streamoff>(ifd + 2 + 12 * i));
    file.read(reinterpret_cast<char*>(entry), 12);
    if (entry[0] + 256 * entry[1] == tag) {
      file.seekp(static_cast<std::streamoff>(ifd + 2 + 12 * i + 8));
      file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      return static_cast<bool>(file);
    }
  }
  return false;
}

bool WriteStrippedPlanes(TIFF* t, const std::vector<std::vector<uint8_t>>& plane, uint32_t height,
                         std::size_t rowBytes, uint32_t rowsPerStrip) {
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
  const uint32_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
  for (std::size_t p = 0; p < plane.size(); ++p)
    for (uint32_t s = 0; s < strips; ++s) {
      const uint32_t rows = std::min(rowsPerStrip, height - s * rowsPerStrip);
      if (TIFFWriteEncodedStrip(t, static_cast<uint32_t>(p * strips + s),
                                const_cast<uint8_t*>(plane[p].data() + s * rowsPerStrip * rowBytes),
                                static_cast<tmsize_t>(rows * rowBytes)) < 0)
        return false;
    }
  return true;
}

bool ReadRgbaImage(const std::string& path, uint32_t width, uint32_t height, std::vector<uint32_t>& rgba,
                   int stopOnError) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return false;
  rgba.assign(std::size_t{width} * height, 0);
  const bool ok = TIFFReadRGBAImageOriented(t, width, height, rgba.data(), ORIENTATION_TOPLEFT, stopOnError);
  TIFFClose(t);
  return ok;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

int LineCount(const std::string& text) {
  if (text.empty()) return 0;
  int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  return text.back() == '\n' ? lines : lines + 1;
}

bool NeedsRgbaComparison(TIFF* tif) {
  uint16_t compression = COMPRESSION_NONE, photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  if (compression == COMPRESSION_OJPEG) return true;
  return photometric == PHOTOMETRIC_YCBCR && compression != COMPRESSION_JPEG;
}

namespace {

DecodedPage DecodeRgba(TIFF* tif) {
  DecodedPage page;
  page.rgba = true;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height);
  const uint64_t pixels = uint64_t{page.width} * page.height;
  if (pixels == 0 || pixels > (uint64_t{64} << 20)) {
    page.error = "no size or too large for the test";
    return page;
  }
  std::vector<uint32_t> raster(pixels);
  if (!TIFFReadRGBAImage(tif, page.width, page.height, raster.data(), 0)) {
    page.error = "TIFFReadRGBAImage failed";
    return page;
  }
  page.bytes.resize(pixels * 4);
  std::memcpy(page.bytes.data(), raster.data(), page.bytes.size());
  page.ok = true;
  return page;
}

}  // namespace

DecodedPage DecodePage(TIFF* tif, bool rgba) {
  if (rgba) return DecodeRgba(tif);
  DecodedPage page;
  uint16_t compression = COMPRESSION_NONE, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG;
  uint16_t spp = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  if (compression == COMPRESSION_JPEG && photometric == PHOTOMETRIC_YCBCR)
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height)) {
    page.error = "no size";
    return page;
  }
  const uint32_t planes = planar == PLANARCONFIG_SEPARATE ? spp : 1;
  const uint64_t lineBytes = static_cast<uint64_t>(TIFFScanlineSize64(tif));
  const uint64_t planeBytes = lineBytes * page.height;
  if (lineBytes == 0 || planeBytes * planes > (uint64_t{256} << 20)) {
    page.error = "no scanline size or too large for the test";
    return page;
  }
  page.bytes.assign(planeBytes * planes, 0);

  if (TIFFIsTiled(tif)) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    const uint64_t tileRow = static_cast<uint64_t>(TIFFTileRowSize64(tif));
    std::vector<unsigned char> tile(static_cast<std::size_t>(TIFFTileSize64(tif)));
    if (tw == 0 || th == 0 || tile.empty()) {
      page.error = "bad tile size";
      return page;
    }
    const uint64_t pixelBits = tileRow * 8 / tw;  // bits of one pixel of this plane
    for (uint32_t plane = 0; plane < planes; ++plane)
      for (uint32_t y = 0; y < page.height; y += th)
        for (uint32_t x = 0; x < page.width; x += tw) {
          const uint32_t t = TIFFComputeTile(tif, x, y, 0, static_cast<uint16_t>(plane));
          if (TIFFReadEncodedTile(tif, t, tile.data(), static_cast<tmsize_t>(tile.size())) < 0) {
            page.error = "tile " + std::to_string(t);
            return page;
          }
          const uint64_t xOff = uint64_t{x} * pixelBits / 8;
          const uint64_t copy = std::min(tileRow, lineBytes - xOff);
          for (uint32_t r = 0; r < th && y + r < page.height; ++r)
            std::memcpy(&page.bytes[plane * planeBytes + (y + r) * lineBytes + xOff], &tile[r * tileRow], copy);
        }
  } else {
    uint32_t rps = page.height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rps);
    rps = std::clamp<uint32_t>(rps, 1, page.height);
    const uint32_t stripsPerPlane = (page.height + rps - 1) / rps;
    std::vector<unsigned char> strip(static_cast<std::size_t>(TIFFStripSize64(tif)));
    for (uint32_t plane = 0; plane < planes; ++plane)
      for (uint32_t s = 0; s < stripsPerPlane; ++s) {
        const uint32_t strip_index = plane * stripsPerPlane + s;
        const tmsize_t got = TIFFReadEncodedStrip(tif, strip_index, strip.data(), static_cast<tmsize_t>(strip.size()));
        if (got < 0) {
          page.error = "strip " + std::to_string(strip_index);
          return page;
        }
        const uint64_t rows = std::min<uint64_t>(rps, page.height - uint64_t{s} * rps);
        const uint64_t copy = std::min<uint64_t>(static_cast<uint64_t>(got), rows * lineBytes);
        std::memcpy(&page.bytes[plane * planeBytes + uint64_t{s} * rps * lineBytes], strip.data(), copy);
      }
  }
  page.ok = true;
  return page;
}

std::vector<std::vector<unsigned char>> RawChunks(TIFF* tif) {
  std::vector<std::vector<unsigned char>> chunks;
  const bool tiled = TIFFIsTiled(tif);
  const uint32_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  for (uint32_t i = 0; i < count; ++i) {
    std::vector<unsigned char> data(static_cast<std::size_t>(TIFFGetStrileByteCount(tif, i)));
    if (!data.empty()) {
      const tmsize_t got = tiled ? TIFFReadRawTile(tif, i, data.data(), static_cast<tmsize_t>(data.size()))
                                 : TIFFReadRawStrip(tif, i, data.data(), static_cast<tmsize_t>(data.size()));
      data.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    }
    chunks.push_back(std::move(data));
  }
  return chunks;
}

std::size_t ToolBaseAddressSpace(const std::string& program) {
  // The smallest limit under which the tool still starts and reports its usage error.
  std::size_t low = 0, high = kToolAddressSpaceLimit;
  TempDir dir;
  while (high - low > (std::size_t{1} << 20)) {
    const std::size_t mid = low + (high - low) / 2;
    const RunResult run = RunTool(program, {}, dir.path(), 20, mid);
    (run.signal == 0 && run.exitCode == 2 ? high : low) = mid;
  }
  return high;
}

namespace {

void PutLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

}  // namespace

std::string RawDirectory(std::vector<RawEntry> entries, uint32_t next) {
  std::sort(entries.begin(), entries.end(), [](const RawEntry& a, const RawEntry& b) { return a.tag < b.tag; });
  std::string dir;
  PutLe(dir, entries.size(), 2);
  for (const RawEntry& e : entries) {
    PutLe(dir, e.tag, 2);
    PutLe(dir, e.type, 2);
    PutLe(dir, e.count, 4);
    PutLe(dir, e.type == 3 && e.count == 1 ? e.value & 0xFFFF : e.value, 4);  // a lone SHORT is left-aligned
  }
  PutLe(dir, next, 4);
  return dir;
}

void WriteManyStripsTiff(const std::string& path, const std::vector<uint32_t>& pageStrips) {
  // Header and the one pixel byte (padded); then per page its two strip tables of SHORTs and its IFD.
  std::ofstream out(path, std::ios::binary);
  std::string head = "II*";
  head += '\0';
  PutLe(head, 10 + uint64_t{4} * (pageStrips.empty() ? 0 : pageStrips[0]), 4);
  head += std::string("\x80\0", 2);
  out << head;
  uint64_t at = head.size();
  for (std::size_t page = 0; page < pageStrips.size(); ++page) {
    const uint32_t strips = pageStrips[page];
    const uint64_t offsets = at, counts = offsets + uint64_t{2} * strips, ifd = counts + uint64_t{2} * strips;
    std::string table;
    for (uint64_t i = 0; i < strips; ++i) table += std::string("\x08\0", 2);
    for (uint64_t i = 0; i < strips; ++i) table += std::string("\x01\0", 2);
    const std::vector<RawEntry> entries = {
        {256, 4, 1, 1}, {257, 4, 1, strips}, {258, 3, 1, 8}, {259, 3, 1, 1}, {262, 3, 1, 1},
        {273, 3, strips, static_cast<uint32_t>(offsets)}, {277, 3, 1, 1}, {278, 4, 1, 1},
        {279, 3, strips, static_cast<uint32_t>(counts)}};
    at = ifd + 2 + 12 * entries.size() + 4;
    out << table << RawDirectory(entries, page + 1 < pageStrips.size() ? at + uint64_t{4} * pageStrips[page + 1] : 0);
  }
}

bool WriteOldJpegTiff(const std::string& path, uint32_t width, uint32_t height) {
  // Written as a JPEG page whose one strip is a complete JPEG stream (tables included), which an
  // old-style JPEG reader takes as it is; then its Compression value is changed to old-style JPEG.
  uint64_t ifd = 0;
  {
    TIFF* tif = StartTiff(path, "w", width, height, 8, 3, PHOTOMETRIC_YCBCR);
    if (!tif) return false;
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
    TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    TIFFSetField(tif, TIFFTAG_JPEGTABLESMODE, 0);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    std::vector<unsigned char> row(std::size_t{width} * 3);
    bool ok = true;
    for (uint32_t y = 0; y < height && ok; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        row[x * 3] = static_cast<unsigned char>(x * 255 / width);
        row[x * 3 + 1] = static_cast<unsigned char>(y * 255 / height);
        row[x * 3 + 2] = 128;
      }
      ok = TIFFWriteScanline(tif, row.data(), y, 0) == 1;
    }
    ok = ok && TIFFWriteDirectory(tif);
    TIFFClose(tif);
    if (!ok) return false;
    tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return false;
    ifd = TIFFCurrentDirOffset(tif);
    TIFFClose(tif);
  }
  return PatchEntryValue(path, ifd, TIFFTAG_COMPRESSION, std::string{char(COMPRESSION_OJPEG), 0});
}

}  // namespace tovanel::tools::test
