// The page splitter's core: copies each page's compressed strips or tiles with the tags that decode them.
#include "split_core.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tiffcommon.h"

namespace tovanel::tools {

namespace {

// Raw strips are moved through a buffer of this size, so memory stays bounded for any strip size.
constexpr uint64_t kCopyChunk = uint64_t{4} << 20;
// The decoded band of a page that has to be re-encoded (old-style JPEG) stays below this.
constexpr uint64_t kMaxBandBytes = uint64_t{64} << 20;
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

template <typename T>
void CopyScalar(TIFF* in, TIFF* out, ttag_t tag) {
  T v{};
  if (TIFFGetField(in, tag, &v) == 1) TIFFSetField(out, tag, v);
}

void CopyFloatArray(TIFF* in, TIFF* out, ttag_t tag) {
  float* v = nullptr;
  if (TIFFGetField(in, tag, &v) == 1 && v) TIFFSetField(out, tag, v);
}

void CopyCountedBlob(TIFF* in, TIFF* out, ttag_t tag) {
  uint32_t count = 0;
  void* data = nullptr;
  if (TIFFGetField(in, tag, &count, &data) == 1 && count > 0 && data) TIFFSetField(out, tag, count, data);
}

void CopyText(TIFF* in, TIFF* out, ttag_t tag) {
  char* s = nullptr;
  if (TIFFGetField(in, tag, &s) == 1 && s) TIFFSetField(out, tag, s);
}

// Tags that say where and how the page is shown and where it came from; none of them changes pixels.
void CopyDescriptiveTags(TIFF* in, TIFF* out) {
  CopyScalar<float>(in, out, TIFFTAG_XRESOLUTION);
  CopyScalar<float>(in, out, TIFFTAG_YRESOLUTION);
  CopyScalar<uint16_t>(in, out, TIFFTAG_RESOLUTIONUNIT);
  CopyScalar<float>(in, out, TIFFTAG_XPOSITION);
  CopyScalar<float>(in, out, TIFFTAG_YPOSITION);
  CopyScalar<uint16_t>(in, out, TIFFTAG_ORIENTATION);
  CopyCountedBlob(in, out, TIFFTAG_ICCPROFILE);
  for (ttag_t tag : {TIFFTAG_DOCUMENTNAME, TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE, TIFFTAG_MODEL,
                     TIFFTAG_PAGENAME, TIFFTAG_SOFTWARE, TIFFTAG_DATETIME, TIFFTAG_ARTIST,
                     TIFFTAG_HOSTCOMPUTER, TIFFTAG_COPYRIGHT})
    CopyText(in, out, tag);
}

// Everything a decoder needs to turn the raw strips or tiles back into the page's pixels. The
// compression goes first: its codec registers the tags that belong to it (predictor, fax options,
// JPEG tables).
void CopyLayoutAndCodecTags(TIFF* in, TIFF* out) {
  uint32_t width = 0, length = 0;
  TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
  TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(out, TIFFTAG_IMAGELENGTH, length);

  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
  TIFFSetField(out, TIFFTAG_COMPRESSION, compression);

  uint16_t bits = 1, samples = 1, planar = PLANARCONFIG_CONTIG;
  TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &planar);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, planar);
  CopyScalar<uint16_t>(in, out, TIFFTAG_PHOTOMETRIC);
  CopyScalar<uint16_t>(in, out, TIFFTAG_SAMPLEFORMAT);
  CopyScalar<uint16_t>(in, out, TIFFTAG_FILLORDER);

  if (IsTiled(in)) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(in, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(in, TIFFTAG_TILELENGTH, &th);
    TIFFSetField(out, TIFFTAG_TILEWIDTH, tw);
    TIFFSetField(out, TIFFTAG_TILELENGTH, th);
  } else {
    // The value libtiff reads with (after it cut one big uncompressed strip into several) is the
    // one that matches the strips we copy.
    uint32_t rows = length;
    TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &rows);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, std::clamp<uint32_t>(rows, 1, length));
  }

  CopyScalar<uint16_t>(in, out, TIFFTAG_PREDICTOR);
  CopyScalar<uint32_t>(in, out, TIFFTAG_GROUP3OPTIONS);
  CopyScalar<uint32_t>(in, out, TIFFTAG_GROUP4OPTIONS);
  CopyScalar<uint16_t>(in, out, TIFFTAG_CLEANFAXDATA);
  CopyCountedBlob(in, out, TIFFTAG_JPEGTABLES);

  uint16_t extraCount = 0;
  uint16_t* extra = nullptr;
  if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1 && extraCount > 0)
    TIFFSetField(out, TIFFTAG_EXTRASAMPLES, extraCount, extra);

  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue) == 1 && red && green && blue)
    TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);

  uint16_t subH = 0, subV = 0;
  if (TIFFGetField(in, TIFFTAG_YCBCRSUBSAMPLING, &subH, &subV) == 1)
    TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, subH, subV);
  CopyScalar<uint16_t>(in, out, TIFFTAG_YCBCRPOSITIONING);
  CopyFloatArray(in, out, TIFFTAG_YCBCRCOEFFICIENTS);
  CopyFloatArray(in, out, TIFFTAG_REFERENCEBLACKWHITE);
  CopyFloatArray(in, out, TIFFTAG_WHITEPOINT);
  CopyFloatArray(in, out, TIFFTAG_PRIMARYCHROMATICITIES);
  CopyScalar<uint16_t>(in, out, TIFFTAG_INKSET);
  CopyScalar<uint16_t>(in, out, TIFFTAG_NUMBEROFINKS);
  CopyScalar<uint16_t>(in, out, TIFFTAG_THRESHHOLDING);
  CopyScalar<uint16_t>(in, out, TIFFTAG_MINSAMPLEVALUE);
  CopyScalar<uint16_t>(in, out, TIFFTAG_MAXSAMPLEVALUE);
}

uint64_t FileSize(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint64_t RawDataSize(TIFF* in) {
  const uint32_t count = IsTiled(in) ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) total += TIFFGetStrileByteCount(in, i);
  return total;
}

// Copies every strip or tile byte for byte. The bytes are read from the file at the offsets libtiff
// resolved (so its repairs of missing or wrong byte counts apply) and appended in chunks.
Failure CopyRawData(TIFF* in, TIFF* out) {
  const bool tiled = IsTiled(in);
  const uint32_t count = tiled ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
  if (count == 0) return Fail(Damaged, "page has no strips or tiles");
  const int fd = TIFFFileno(in);
  const uint64_t fileSize = FileSize(fd);
  std::vector<unsigned char> buffer;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t offset = TIFFGetStrileOffset(in, i);
    const uint64_t size = TIFFGetStrileByteCount(in, i);
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
  if (uint64_t{width} * 4 > kMaxBandBytes) return {TooLarge, "page too wide"};
  uint16_t photometric = PHOTOMETRIC_RGB;
  TIFFGetFieldDefaulted(in, TIFFTAG_PHOTOMETRIC, &photometric);
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
  const bool alpha = img.alpha != 0;
  const uint16_t channels = static_cast<uint16_t>((grey ? 1 : 3) + (alpha ? 1 : 0));

  uint32_t band = length;
  if (IsTiled(in)) {
    TIFFGetField(in, TIFFTAG_TILELENGTH, &band);
  } else {
    TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &band);
  }
  band = static_cast<uint32_t>(std::clamp<uint64_t>(band, 1, std::min<uint64_t>(length, kMaxBandBytes / (uint64_t{width} * 4))));

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
  std::vector<unsigned char> strip(static_cast<std::size_t>(width) * band * channels);
  uint32_t stripIndex = 0;
  for (uint32_t row = 0; row < length; row += band, ++stripIndex) {
    const uint32_t rows = std::min(band, length - row);
    img.row_offset = static_cast<int>(row);
    img.col_offset = 0;
    if (!TIFFRGBAImageGet(&img, raster.data(), width, rows)) return Fail(Damaged, "cannot decode rows " + std::to_string(row));
    unsigned char* p = strip.data();
    for (std::size_t i = 0, n = std::size_t{width} * rows; i < n; ++i) {
      const uint32_t px = raster[i];
      *p++ = static_cast<unsigned char>(TIFFGetR(px));
      if (!grey) {
        *p++ = static_cast<unsigned char>(TIFFGetG(px));
        *p++ = static_cast<unsigned char>(TIFFGetB(px));
      }
      if (alpha) *p++ = static_cast<unsigned char>(TIFFGetA(px));
    }
    const tmsize_t bytes = static_cast<tmsize_t>(p - strip.data());
    if (TIFFWriteEncodedStrip(out, stripIndex, strip.data(), bytes) != bytes)
      return Fail(WriteFailed, "cannot write the page file");
  }
  return {};
}

bool NeedsReencoding(TIFF* in) {
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
  return compression == COMPRESSION_OJPEG;
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

  AtomicOutput file(target);
  std::string why;
  if (!file.open(why)) return {WriteFailed, OneLine(why)};
  const int fd = ::fcntl(file.fd(), F_DUPFD_CLOEXEC, 0);  // libtiff closes its own descriptor
  if (fd < 0) return {WriteFailed, "cannot write the page file"};
  TiffPtr out(TIFFFdOpen(fd, file.tempPath().c_str(), mode.c_str()));
  if (!out) {
    ::close(fd);
    return Fail(WriteFailed, "cannot write the page file");
  }

  // Every tag goes in before the first byte of data: libtiff freezes most of them once writing begins.
  Failure failure;
  if (reencode) {
    failure = ReencodePage(in, out.get());
  } else {
    CopyLayoutAndCodecTags(in, out.get());
    CopyDescriptiveTags(in, out.get());
    failure = CopyRawData(in, out.get());
  }
  if (failure.code != Ok) return failure;
  if (!TIFFWriteDirectory(out.get())) return Fail(WriteFailed, "cannot write the page file");
  out.reset();
  if (!file.commit(why)) return {WriteFailed, OneLine(why)};
  return {};
}

// Moves to page dir; forward steps read on from the current directory rather than walking the
// whole chain again, which keeps many-page files linear.
bool GoToDirectory(TIFF* in, tdir_t dir) {
  while (TIFFCurrentDirectory(in) < dir)
    if (!TIFFReadDirectory(in)) return TIFFSetDirectory(in, dir) != 0;
  return TIFFCurrentDirectory(in) == dir || TIFFSetDirectory(in, dir) != 0;
}

}  // namespace

std::string PageSuffix(std::size_t index) {
  std::string s(3, 'a');
  s[2] = static_cast<char>('a' + index % 26);
  s[1] = static_cast<char>('a' + index / 26 % 26);
  s[0] = static_cast<char>('a' + index / 676 % 26);
  return s;
}

int SplitPages(const std::string& input, const std::string& prefix, std::string& why) {
  InstallTiffHandlers();
  int code = Ok;
  TiffPtr in(OpenTiffForReading(input, code, why));
  if (!in) {
    why = OneLine(why);
    return code;
  }
  // Counted before anything is written, so a file with too many pages leaves no partial result.
  const std::vector<tdir_t> pages = ListPages(in.get(), kMaxSplitPages + 1);
  if (pages.size() > kMaxSplitPages) {
    why = "more than " + std::to_string(kMaxSplitPages) + " pages";
    return TooManyPages;
  }
  if (pages.empty()) {
    why = OneLine(LastTiffError().empty() ? "no readable page" : LastTiffError());
    return Damaged;
  }

  // The input itself may carry a page file's name; it is never replaced by a page.
  struct stat inputStat {};
  const bool inputKnown = ::stat(input.c_str(), &inputStat) == 0;
  auto isInput = [&](const std::string& path) {
    struct stat st {};
    return inputKnown && ::stat(path.c_str(), &st) == 0 && st.st_dev == inputStat.st_dev && st.st_ino == inputStat.st_ino;
  };

  std::size_t written = 0, named = 0;  // page files written; page names handed out
  int firstFailure = Ok;
  std::string skipped;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    ClearLastTiffError();
    Failure failure;
    const std::string target = prefix + PageSuffix(named) + ".tif";
    bool nameUsed = false;
    if (!GoToDirectory(in.get(), pages[i])) {
      failure = Fail(Damaged, "cannot read the page");
    } else if (isInput(target)) {
      // The page keeps its name unwritten, so the pages after it still get theirs.
      failure = Fail(WriteFailed, "its page file " + target + " is the input file");
      nameUsed = true;
    } else {
      failure = WritePage(in.get(), target);
    }
    if (failure.code == Ok) {
      ++written;
      ++named;
      continue;
    }
    if (nameUsed) ++named;
    if (firstFailure == Ok) firstFailure = failure.code;
    if (!skipped.empty()) skipped += "; ";
    skipped += "page " + std::to_string(i + 1) + " skipped: " + failure.why;
    // A full disk or a folder we cannot write to will not get better with the next page.
    if (failure.code == WriteFailed && !nameUsed) break;
  }
  if (firstFailure == Ok) return Ok;
  why = std::to_string(written) + " of " + std::to_string(pages.size()) + " pages written; " + skipped;
  return firstFailure;
}

}  // namespace tovanel::tools
