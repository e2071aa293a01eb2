// The page splitter's core: copies each page's compressed strips or tiles with the tags that decode them.
#include "split_core.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "page_tags.h"
#include "tag_snapshot.h"
#include "tiffcommon.h"

namespace tovanel::tools {

namespace {

// Raw strips are moved through a buffer of this size, so memory stays bounded for any strip size.
constexpr uint64_t kCopyChunk = uint64_t{4} << 20;
// libtiff holds a page's strip or tile tables whole, in the file read and in the file written (36
// bytes per strip or tile in all), so a page with more of them than this is refused before they are
// read: the tables then stay under 36 MiB.
constexpr uint64_t kMaxPageStriles = uint64_t{1} << 20;
// A page that has to be re-encoded (old-style JPEG) goes through bands whose buffers (the decoded
// RGBA rows and the encoder's copy of the rows written) stay below this together...
constexpr uint64_t kMaxBandBytes = uint64_t{64} << 20;
// ...while libtiff's decoder holds a band's rows from the start of their strip (or a whole tile): a
// page whose strips or tiles decode to more than this is refused.
constexpr uint64_t kMaxDecodedStrile = uint64_t{128} << 20;
// A page whose raw data passes this size goes into a BigTIFF, which has no 4 GiB limit.
constexpr uint64_t kClassicTiffDataLimit = uint64_t{3} << 30;

std::string OneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  return text;
}

Failure Fail(int code, const std::string& what) {
  const std::string lib = LastTiffError();
  return {code, OneLine(lib.empty() ? what : what + " (" + lib + ")")};
}

bool IsTiled(TIFF* in) { return TIFFIsTiled(in) != 0; }

bool WarnedAbout(const char* text) {
  for (const std::string& w : TiffWarnings())
    if (w.find(text) != std::string::npos) return true;
  return false;
}

uint64_t FileSize(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// libtiff reads as many bytes of an uncompressed strip or tile as its rows hold, wherever its byte
// count ends (counts are often wrong, and libtiff replaces some with estimates): a page file carries
// exactly those bytes, so that it gives the source's rows; copied by a count too short, a last strip
// would have its last rows read from whatever follows it in the page file. A strip whose rows would
// run into the next strip's data is cut where that data starts: its page file shows the same overlap,
// which the converter refuses as it refuses the source. Other data goes by its byte counts.
class StrileSizes {
 public:
  explicit StrileSizes(TIFF* in);
  uint32_t count() const { return count_; }
  // The bytes to copy of strip or tile i; asked for in increasing order of i.
  uint64_t operator()(uint32_t i);

 private:
  TIFF* in_;
  bool tiled_, byRows_ = false, ordered_ = true;
  uint32_t count_, length_ = 0, rowsPerStrip_ = 0, perPlane_ = 1, next_ = 0;
  std::vector<uint64_t> sortedStarts_;  // strips out of file order only
};

StrileSizes::StrileSizes(TIFF* in)
    : in_(in), tiled_(IsTiled(in)), count_(tiled_ ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in)) {
  uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG, samples = 1, photometric = 0;
  TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric);
  const uint32_t planes = planar == PLANARCONFIG_SEPARATE ? samples : 1;
  // The planes of subsampled YCbCr differ in size: their byte counts are all there is to go by.
  if (compression != COMPRESSION_NONE || (planes > 1 && photometric == PHOTOMETRIC_YCBCR)) return;
  if (tiled_) {
    byRows_ = true;
    return;
  }
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length_);
  TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip_);
  rowsPerStrip_ = std::clamp<uint32_t>(rowsPerStrip_, 1, std::max<uint32_t>(length_, 1));
  perPlane_ = static_cast<uint32_t>((uint64_t{length_} + rowsPerStrip_ - 1) / rowsPerStrip_);
  // A table of another length does not tell which rows a strip holds (the converter refuses such a page).
  if (length_ == 0 || uint64_t{perPlane_} * planes != count_) return;
  byRows_ = true;
  for (uint32_t k = 1; k < count_ && ordered_; ++k)
    ordered_ = TIFFGetStrileOffset(in, k - 1) <= TIFFGetStrileOffset(in, k);
  if (ordered_) return;
  sortedStarts_.resize(count_);
  for (uint32_t k = 0; k < count_; ++k) sortedStarts_[k] = TIFFGetStrileOffset(in, k);
  std::sort(sortedStarts_.begin(), sortedStarts_.end());
}

uint64_t StrileSizes::operator()(uint32_t i) {
  const uint64_t start = TIFFGetStrileOffset(in_, i), counted = TIFFGetStrileByteCount(in_, i);
  if (!byRows_ || (start == 0 && counted == 0)) return counted;  // an absent strip stays absent
  const uint32_t first = (i % perPlane_) * rowsPerStrip_;
  const uint64_t need = tiled_ ? TIFFTileSize64(in_) : TIFFVStripSize64(in_, std::min(rowsPerStrip_, length_ - first));
  if (need == 0) return counted;
  if (tiled_) return need;
  // The first start after this strip's own (strips may share their data).
  uint64_t next = UINT64_MAX;
  if (ordered_) {
    next_ = std::max(next_, i + 1);
    while (next_ < count_ && TIFFGetStrileOffset(in_, next_) <= start) ++next_;
    if (next_ < count_) next = TIFFGetStrileOffset(in_, next_);
  } else if (const auto it = std::upper_bound(sortedStarts_.begin(), sortedStarts_.end(), start);
             it != sortedStarts_.end()) {
    next = *it;
  }
  return std::min(need, next - start);
}

uint64_t RawDataSize(TIFF* in) {
  StrileSizes sizes(in);
  uint64_t total = 0;
  for (uint32_t i = 0; i < sizes.count(); ++i) total += sizes(i);
  return total;
}

// Copies every strip or tile byte for byte, read from the file at the offsets libtiff resolved (so its
// repairs of missing or wrong byte counts apply) and appended in chunks.
Failure CopyRawData(TIFF* in, TIFF* out) {
  const bool tiled = IsTiled(in);
  StrileSizes sizes(in);
  const uint32_t count = sizes.count();
  if (count == 0) return Fail(Damaged, "page has no strips or tiles");
  // libtiff reads tiles of any size but writes only multiples of 16: such a page would otherwise
  // fail as a write, and a write failure ends the split, losing the pages after it.
  if (tiled) {
    uint32_t w = 0, h = 0, outW = 0, outH = 0;
    TIFFGetField(in, TIFFTAG_TILEWIDTH, &w);
    TIFFGetField(in, TIFFTAG_TILELENGTH, &h);
    TIFFGetField(out, TIFFTAG_TILEWIDTH, &outW);
    TIFFGetField(out, TIFFTAG_TILELENGTH, &outH);
    if (!TIFFIsTiled(out) || outW != w || outH != h)
      return {Damaged, "invalid tile size " + std::to_string(w) + "x" + std::to_string(h)};
  }
  const int fd = TIFFFileno(in);
  const uint64_t fileSize = FileSize(fd);
  std::vector<unsigned char> buffer;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t offset = TIFFGetStrileOffset(in, i);
    const uint64_t size = sizes(i);
    if (size == 0) continue;  // an absent strip stays absent: a reader treats it as the original
    if (offset > fileSize || size > fileSize - offset)
      return Fail(Damaged, (tiled ? "tile " : "strip ") + std::to_string(i) + " lies past the end of the file");
    buffer.resize(static_cast<std::size_t>(std::min(size, kCopyChunk)));
    for (uint64_t done = 0; done < size;) {
      const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(size - done, buffer.size()));
      const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset + done));
      if (got <= 0) return Fail(Damaged, "cannot read strip or tile " + std::to_string(i));
      const tmsize_t wrote = tiled ? TIFFWriteRawTile(out, i, buffer.data(), got)
                                   : TIFFWriteRawStrip(out, i, buffer.data(), got);
      if (wrote != got) return Fail(WriteFailed, "cannot write the page file");
      done += static_cast<uint64_t>(got);
    }
  }
  return {};
}

// Old-style JPEG keeps its tables and stream at file offsets that a copy would not carry along, so
// such a page is decoded by libtiff and written again without loss (Deflate) in its stored
// orientation, with the Orientation tag kept: the result shows exactly what the original shows.
Failure ReencodePage(TIFF* in, TIFF* out) {
  // A tile with no bytes (a tile table libtiff set aside for a wrong count comes back as zeros) has
  // nothing to decode, and libtiff's old-style JPEG reader would read past its buffers looking for it.
  if (TIFFIsTiled(in)) {
    for (uint32_t tile = 0, n = TIFFNumberOfTiles(in); tile < n; ++tile)
      if (TIFFGetStrileByteCount(in, tile) == 0) return {Damaged, "tile " + std::to_string(tile) + " has no data"};
  }
  char message[1024] = {};
  if (!TIFFRGBAImageOK(in, message)) return {Unsupported, OneLine(message)};
  TIFFRGBAImage img{};
  if (!TIFFRGBAImageBegin(&img, in, 0, message)) return {Damaged, OneLine(message)};
  struct Ender {
    TIFFRGBAImage* img;
    ~Ender() { TIFFRGBAImageEnd(img); }
  } ender{&img};
  img.req_orientation = img.orientation;  // no flips: rows come out in stored order

  const uint32_t width = img.width, length = img.height;
  if (width == 0 || length == 0) return {Damaged, "page has no pixels"};
  uint16_t photometric = PHOTOMETRIC_RGB;
  TIFFGetFieldDefaulted(in, TIFFTAG_PHOTOMETRIC, &photometric);
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
  const bool alpha = img.alpha != 0;
  const uint16_t channels = static_cast<uint16_t>((grey ? 1 : 3) + (alpha ? 1 : 0));
  // Per pixel of a band: its RGBA value, and the encoder's copy of the written row (libtiff sizes
  // that buffer a tenth above the strip).
  const uint64_t bandPixelBytes = 4 + (uint64_t{channels} * 11 + 9) / 10;
  if (uint64_t{width} * bandPixelBytes > kMaxBandBytes) return {TooLarge, "page too wide"};
  const uint64_t decoded = IsTiled(in) ? TIFFTileSize64(in) : TIFFStripSize64(in);
  if (decoded > kMaxDecodedStrile)
    return {TooLarge, std::string(IsTiled(in) ? "tiles" : "strips") + " of " + std::to_string(decoded >> 20) +
                          " MiB decoded, more than " + std::to_string(kMaxDecodedStrile >> 20) + " MiB"};

  uint32_t band = length;
  if (IsTiled(in)) {
    TIFFGetField(in, TIFFTAG_TILELENGTH, &band);
  } else {
    TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &band);
  }
  band = static_cast<uint32_t>(
      std::clamp<uint64_t>(band, 1, std::min<uint64_t>(length, kMaxBandBytes / (uint64_t{width} * bandPixelBytes))));

  TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(out, TIFFTAG_IMAGELENGTH, length);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, channels);
  TIFFSetField(out, TIFFTAG_PHOTOMETRIC, grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, band);
  if (alpha) {
    // libtiff hands out premultiplied colour whatever the file stores.
    const uint16_t kind = EXTRASAMPLE_ASSOCALPHA;
    TIFFSetField(out, TIFFTAG_EXTRASAMPLES, 1, &kind);
  }

  CopyDescriptiveTags(in, out);

  std::vector<uint32_t> raster(static_cast<std::size_t>(width) * band);
  // The written samples are packed into the raster itself: each pixel's bytes land at or before the
  // place the pixel was read from.
  unsigned char* const strip = reinterpret_cast<unsigned char*>(raster.data());
  uint32_t stripIndex = 0;
  for (uint32_t row = 0; row < length; row += band, ++stripIndex) {
    const uint32_t rows = std::min(band, length - row);
    img.row_offset = static_cast<int>(row);
    img.col_offset = 0;
    if (!TIFFRGBAImageGet(&img, raster.data(), width, rows)) return Fail(Damaged, "cannot decode rows " + std::to_string(row));
    unsigned char* p = strip;
    for (std::size_t i = 0, n = std::size_t{width} * rows; i < n; ++i) {
      const uint32_t px = raster[i];
      *p++ = static_cast<unsigned char>(TIFFGetR(px));
      if (!grey) {
        *p++ = static_cast<unsigned char>(TIFFGetG(px));
        *p++ = static_cast<unsigned char>(TIFFGetB(px));
      }
      if (alpha) *p++ = static_cast<unsigned char>(TIFFGetA(px));
    }
    const tmsize_t bytes = static_cast<tmsize_t>(p - strip);
    if (TIFFWriteEncodedStrip(out, stripIndex, strip, bytes) != bytes)
      return Fail(WriteFailed, "cannot write the page file");
  }
  return {};
}

bool NeedsReencoding(TIFF* in) {
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
  return compression == COMPRESSION_OJPEG;
}

// The page's EXIF and GPS directories go into the page file before its own directory, which then
// points at them (exifAt, gpsAt; 0 for none). The page's directory is begun afresh after them.
bool WriteSubDirectories(TIFF* out, const SubDirectories& subdirs, uint64_t& exifAt, uint64_t& gpsAt) {
  if (subdirs.exif.empty() && subdirs.gps.empty()) return true;
  // One custom directory; libtiff keeps its values once written until it is told to free them.
  const auto write = [out](int (*create)(TIFF*), const std::vector<TagSnapshot>& tags, uint64_t& at) {
    if (tags.empty()) return true;
    if (create(out) != 0) return false;
    SetTags(out, tags);
    const bool written = TIFFWriteCustomDirectory(out, &at);
    TIFFFreeDirectory(out);
    return written;
  };
  return write(TIFFCreateEXIFDirectory, subdirs.exif, exifAt) && write(TIFFCreateGPSDirectory, subdirs.gps, gpsAt) &&
         TIFFCreateDirectory(out) == 0;
}

// Writes the current directory of in as the single page of target.
Failure WritePage(TIFF* in, const std::string& target) {
  uint32_t width = 0, length = 0;
  if (!TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length) ||
      width == 0 || length == 0)
    return Fail(Damaged, "page has no image size");

  const bool reencode = NeedsReencoding(in);
  std::string mode = "w";
  mode += TIFFIsBigEndian(in) ? "b" : "l";
  if (TIFFIsBigTIFF(in) || (!reencode && RawDataSize(in) > kClassicTiffDataLimit)) mode += "8";

  // The EXIF and GPS directories are read first (libtiff leaves the page for them and comes back).
  SubDirectories subdirs;
  if (!ReadSubDirectories(in, TIFFCurrentDirectory(in), subdirs)) return Fail(Damaged, "cannot read the page");

  Fs::AtomicFile file(target);
  if (const Failure f = OutputFailure(file, file.open()); !f.ok()) return {f.code, OneLine(f.why)};
  Fs::File fd(::fcntl(file.fd(), F_DUPFD_CLOEXEC, 0));  // libtiff closes its own descriptor
  if (!fd.valid()) return {WriteFailed, "cannot write the page file"};
  TiffPtr out(TIFFFdOpen(fd.get(), file.tempPath().c_str(), mode.c_str()));
  if (!out) return Fail(WriteFailed, "cannot write the page file");
  fd.release();  // libtiff's now

  uint64_t exifAt = 0, gpsAt = 0;
  if (!WriteSubDirectories(out.get(), subdirs, exifAt, gpsAt)) return Fail(WriteFailed, "cannot write the page file");
  // Every tag goes in before the first byte of data: libtiff freezes most of them once writing begins.
  Failure failure;
  if (reencode) {
    failure = ReencodePage(in, out.get());
  } else {
    CopyLayoutAndCodecTags(in, out.get());
    CopyDescriptiveTags(in, out.get());
    failure = CopyRawData(in, out.get());
  }
  if (!failure.ok()) return failure;
  if (exifAt) TIFFSetField(out.get(), TIFFTAG_EXIFIFD, exifAt);
  if (gpsAt) TIFFSetField(out.get(), TIFFTAG_GPSIFD, gpsAt);
  if (!TIFFWriteDirectory(out.get())) return Fail(WriteFailed, "cannot write the page file");
  out.reset();
  if (const Failure f = OutputFailure(file, file.commit(false)); !f.ok()) return {f.code, OneLine(f.why)};
  return {};
}

// Refuses the current page of a handle opened with deferred strip tables when its tables would be
// too large to hold; the count comes from the page's size, so the tables are not read for it.
Failure CheckStripTables(TIFF* in) {
  const uint64_t striles = IsTiled(in) ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
  if (striles <= kMaxPageStriles) return {};
  return {TooLarge, std::to_string(striles) + (IsTiled(in) ? " tiles" : " strips") + ", more than " +
                        std::to_string(kMaxPageStriles)};
}

// Moves to page dir; forward steps read on from the current directory rather than walking the
// whole chain again, which keeps many-page files linear. libtiff's warnings are then those it gave
// while reading the last directory read.
bool GoToDirectory(TIFF* in, tdir_t dir) {
  while (TIFFCurrentDirectory(in) < dir) {
    ClearTiffWarnings();
    if (!TIFFReadDirectory(in)) {
      ClearTiffWarnings();
      return TIFFSetDirectory(in, dir) != 0;
    }
  }
  if (TIFFCurrentDirectory(in) == dir) return true;
  ClearTiffWarnings();
  return TIFFSetDirectory(in, dir) != 0;
}

// Moves the copying handle to page dir as GoToDirectory does, reading on through the directories in
// between, unless one of them (looked at on probe, whose tables are deferred) has tables too large to
// hold: then it goes there by the chain's offsets alone, which reads no directory on the way.
bool MoveCopyTo(TIFF* copy, TIFF* probe, tdir_t dir) {
  const tdir_t at = TIFFCurrentDirectory(copy);
  bool readOn = at < dir;
  for (tdir_t d = at + 1; readOn && d < dir; ++d)
    readOn = GoToDirectory(probe, d) && CheckStripTables(probe).code == Ok;
  if (!GoToDirectory(probe, dir)) return false;
  if (readOn) return GoToDirectory(copy, dir);
  ClearTiffWarnings();
  return TIFFSetDirectory(copy, dir) != 0;
}

// Brings both handles to page dir; the copying one only once the page's tables are known to fit.
Failure ReachPage(TIFF* probe, TIFF* copy, tdir_t dir) {
  if (!GoToDirectory(probe, dir)) return Fail(Damaged, "cannot read the page");
  if (Failure tooLarge = CheckStripTables(probe); tooLarge.code != Ok) return tooLarge;
  if (!MoveCopyTo(copy, probe, dir)) return Fail(Damaged, "cannot read the page");
  // libtiff drops a colour map of the wrong length with a warning and then reads the page as grey or
  // RGB: its colours are lost, and the converter refuses such a page rather than invent a picture.
  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (!TIFFGetField(copy, TIFFTAG_COLORMAP, &red, &green, &blue) && WarnedAbout("\"ColorMap\""))
    return {Damaged, "the page's colour map is damaged (libtiff ignored it)"};
  // What libtiff said while reading the directory (again) is no part of what may go wrong with the
  // page's data, which the failure texts name.
  ClearLastTiffError();
  return {};
}

}  // namespace

std::string PageSuffix(std::size_t index) {
  std::string s(3, 'a');
  s[2] = static_cast<char>('a' + index % 26);
  s[1] = static_cast<char>('a' + index / 26 % 26);
  s[0] = static_cast<char>('a' + index / 676 % 26);
  return s;
}

namespace {

// text as one field of the pages file: no tab, no line break.
std::string AsField(std::string text) {
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return text;
}

// The pages file beside the pages, whole or not at all; a program reading it finds a page count and
// why each missing page is missing without reading the message meant for people.
void WritePagesFile(const std::string& prefix, const std::string& records) {
  Fs::WriteAtomically(prefix + kPagesFileSuffix, 0666,
                      [&](int fd) { return Fs::WriteAll(fd, records.data(), records.size()); }, false);
}

}  // namespace

Failure SplitPages(const std::string& input, const std::string& prefix) {
  InstallTiffHandlers();
  // Pages are listed and measured on a handle that reads no strip tables; each page is then read for
  // copying on a second one (with libtiff's usual repairs of the tables) that only reads directories
  // whose tables fit, so the tables of a page too large to hold are never read.
  const Result<TiffPtr> in = OpenTiffForReading(input, "D");
  if (!in.value) return {in.failure.code, OneLine(in.failure.why)};
  // Counted before anything is written, so a file with too many pages leaves no partial result.
  // A chain of directories that breaks off (an offset past the end of a file cut short, a directory
  // that cannot be read, a loop) is no end of the file: the page after the last one listed is damaged.
  bool chainBroken = false;
  const std::vector<tdir_t> pages = ListPages(in.value.get(), kMaxSplitPages + 1, &chainBroken);
  const std::string chainError = LastTiffError();
  if (pages.size() > kMaxSplitPages) return {TooManyPages, "more than " + std::to_string(kMaxSplitPages) + " pages"};
  if (pages.empty()) return {Damaged, OneLine(LastTiffError().empty() ? "no readable page" : LastTiffError())};
  const Result<TiffPtr> copy = OpenTiffForReading(input, "h");
  if (!copy.value) return {copy.failure.code, OneLine(copy.failure.why)};

  // The input itself may carry a page file's name; it is never replaced by a page.
  struct stat inputStat {};
  const bool inputKnown = ::stat(input.c_str(), &inputStat) == 0;
  auto isInput = [&](const std::string& path) {
    struct stat st {};
    return inputKnown && ::stat(path.c_str(), &st) == 0 && st.st_dev == inputStat.st_dev && st.st_ino == inputStat.st_ino;
  };

  std::size_t written = 0;
  int firstFailure = Ok;
  std::string skipped;
  std::string account;   // the skipped pages as records of the pages file
  for (std::size_t i = 0; i < pages.size(); ++i) {
    ClearLastTiffError();
    // Named by its page index: a page that is not written leaves its name unused, so the names still
    // sort into page order and a gap tells which page is missing.
    const std::string target = prefix + PageSuffix(i) + ".tif";
    bool isInputFile = false;
    Failure failure = ReachPage(in.value.get(), copy.value.get(), pages[i]);
    if (failure.code == Ok && isInput(target)) {
      isInputFile = true;
      failure = Fail(WriteFailed, "its page file " + target + " is the input file");
    } else if (failure.code == Ok) {
      try {
        failure = WritePage(copy.value.get(), target);
      } catch (const std::bad_alloc&) {
        // The system grants less than the page needs; its temporary file is gone with the unwinding,
        // and a smaller page after it may still fit.
        failure = {TooLarge, "out of memory"};
      }
    }
    if (failure.code == Ok) {
      ++written;
      continue;
    }
    if (firstFailure == Ok) firstFailure = failure.code;
    if (!skipped.empty()) skipped += "; ";
    skipped += "page " + std::to_string(i + 1) + " skipped: " + failure.why;
    account += "skipped\t" + std::to_string(i + 1) + "\t" + std::to_string(failure.code) + "\t" +
               AsField(failure.why) + "\n";
    // A full disk or a folder we cannot write to will not get better with the next page.
    if (failure.code == WriteFailed && !isInputFile) break;
  }
  std::size_t total = pages.size();
  if (chainBroken) {
    ++total;
    const std::string why = OneLine("cannot read the page's image directory" +
                                    (chainError.empty() ? std::string() : " (" + chainError + ")"));
    if (firstFailure == Ok) firstFailure = Damaged;
    if (!skipped.empty()) skipped += "; ";
    skipped += "page " + std::to_string(total) + " skipped: " + why;
    account += "skipped\t" + std::to_string(total) + "\t" + std::to_string(Damaged) + "\t" + AsField(why) + "\n";
  }
  WritePagesFile(prefix, "pages\t" + std::to_string(total) + "\t" + std::to_string(written) + "\n" + account);
  if (firstFailure == Ok) return {};
  return {firstFailure, std::to_string(written) + " of " + std::to_string(total) + " pages written; " + skipped};
}

}  // namespace tovanel::tools
