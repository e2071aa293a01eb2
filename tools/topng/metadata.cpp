// A page's metadata as PNG chunks: text tags as text chunks, EXIF and GPS as eXIf, XMP as iTXt, IPTC
// as the raw profile text that readers of PNG metadata know.
#include "metadata.h"

#include "tiffcommon.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tovanel::tools::topng {

namespace {

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool IsUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (more < 0 || (more == 1 && c < 0xC2)) return false;
    uint32_t cp = more == 0 ? c : c & (0x3F >> more);
    for (int k = 1; k <= more; ++k) {
      if (i + k >= s.size()) return false;
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

std::string TextTag(TIFF* tif, ttag_t tag) {
  char* s = nullptr;
  return TIFFGetField(tif, tag, &s) == 1 && s ? std::string(s) : std::string();
}

// A counted byte blob of the current directory (XMP, IPTC), in bytes.
std::string BlobTag(TIFF* tif, ttag_t tag) {
  const TIFFField* f = TIFFFieldWithTag(tif, tag);
  uint32_t count = 0;
  void* data = nullptr;
  if (!f || TIFFGetField(tif, tag, &count, &data) != 1 || !data) return {};
  return std::string(static_cast<const char*>(data), std::size_t{count} * static_cast<std::size_t>(TIFFFieldSetGetSize(f)));
}

// Plain text of a TIFF ASCII tag: UTF-8 where it is, otherwise taken for Latin-1.
TextChunk Text(const char* keyword, const std::string& value) {
  return {IsAscii(value) || !IsUtf8(value) ? TextChunk::Latin1 : TextChunk::Utf8, keyword, value};
}

// IPTC as "Raw profile type iptc": a line with the profile's name, its length right-aligned in 8
// characters, then its bytes in hex, 36 to a line.
std::string RawProfile(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\niptc\n";
  const std::string length = std::to_string(bytes.size());
  out += std::string(length.size() < 8 ? 8 - length.size() : 0, ' ') + length + "\n";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    out += kHex[b >> 4];
    out += kHex[b & 15];
    if (i % 36 == 35 || i + 1 == bytes.size()) out += '\n';
  }
  return out;
}

// --- the eXIf block: a little-endian TIFF structure of IFD0, the EXIF and the GPS directory ---

void Put16(std::vector<uint8_t>& o, std::size_t at, uint32_t v) {
  o[at] = static_cast<uint8_t>(v);
  o[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& o, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) o[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

int TypeSize(TIFFDataType type) {
  switch (type) {
    case TIFF_BYTE: case TIFF_SBYTE: case TIFF_ASCII: case TIFF_UNDEFINED: return 1;
    case TIFF_SHORT: case TIFF_SSHORT: return 2;
    case TIFF_LONG: case TIFF_SLONG: case TIFF_FLOAT: return 4;
    case TIFF_RATIONAL: case TIFF_SRATIONAL: case TIFF_DOUBLE: return 8;
    default: return 0;  // 64-bit integers and offsets have no place in a classic TIFF structure
  }
}

double FloatAt(const TagSnapshot& s, uint32_t i) {
  if (s.elemSize == 4) {
    float f;
    std::memcpy(&f, s.data.data() + std::size_t{i} * 4, 4);
    return f;
  }
  double d;
  std::memcpy(&d, s.data.data() + std::size_t{i} * 8, 8);
  return d;
}

int64_t IntAt(const TagSnapshot& s, uint32_t i) {
  const uint8_t* p = s.data.data() + std::size_t{i} * static_cast<std::size_t>(s.elemSize);
  const bool sign = s.type == TIFF_SBYTE || s.type == TIFF_SSHORT || s.type == TIFF_SLONG;
  switch (s.elemSize) {
    case 1: return sign ? int64_t{static_cast<int8_t>(*p)} : int64_t{*p};
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return sign ? int64_t{static_cast<int16_t>(v)} : int64_t{v}; }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return sign ? int64_t{static_cast<int32_t>(v)} : int64_t{v}; }
    default: { int64_t v; std::memcpy(&v, p, 8); return v; }
  }
}

// The simplest fraction within the precision libtiff kept of the value (a continued fraction).
// libtiff keeps most EXIF rationals as float (about 7 significant digits are known), GPS ones as
// double; a page file holds libtiff's own fraction of that double, which may differ from the source's
// in the tenth digit: both give the same simplest fraction within 1e-8.
void Fraction(double v, bool single, bool sign, uint32_t& num, uint32_t& den) {
  const bool negative = v < 0;
  const double a = std::fabs(v), limit = sign ? 2147483647.0 : 4294967295.0, tolerance = single ? 1e-7 : 1e-8;
  num = 0;
  den = 1;
  if (!std::isfinite(v) || (negative && !sign) || a == 0) return;
  if (a >= limit) {
    num = static_cast<uint32_t>(limit);
  } else {
    double h0 = 0, h1 = 1, k0 = 1, k1 = 0, x = a;
    for (int step = 0; step < 64; ++step) {
      const double whole = std::floor(x);
      const double h2 = whole * h1 + h0, k2 = whole * k1 + k0;
      if (h2 > limit || k2 > limit) break;
      h0 = h1; h1 = h2; k0 = k1; k1 = k2;
      if (std::fabs(h1 / k1 - a) <= a * tolerance || x - whole < 1e-12) break;
      x = 1 / (x - whole);
    }
    num = static_cast<uint32_t>(h1);
    den = static_cast<uint32_t>(k1 == 0 ? 1 : k1);
  }
  if (negative) num = static_cast<uint32_t>(-static_cast<int32_t>(num));
}

// A tag's value as the bytes of its TIFF type, little-endian; empty when it has no place here.
std::vector<uint8_t> Encode(const TagSnapshot& s) {
  const int size = TypeSize(s.type);
  if (size == 0 || s.elemSize <= 0 || s.data.size() < std::size_t{s.count} * static_cast<std::size_t>(s.elemSize))
    return {};
  std::vector<uint8_t> out(std::size_t{s.count} * static_cast<std::size_t>(size));
  for (uint32_t i = 0; i < s.count; ++i) {
    const std::size_t at = std::size_t{i} * static_cast<std::size_t>(size);
    if (s.type == TIFF_RATIONAL || s.type == TIFF_SRATIONAL) {
      uint32_t num, den;
      Fraction(FloatAt(s, i), s.elemSize == 4, s.type == TIFF_SRATIONAL, num, den);
      Put32(out, at, num);
      Put32(out, at + 4, den);
    } else if (s.type == TIFF_FLOAT || s.type == TIFF_DOUBLE) {
      if (s.type == TIFF_FLOAT) {
        const float f = static_cast<float>(FloatAt(s, i));
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        Put32(out, at, bits);
      } else {
        const double d = FloatAt(s, i);
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        Put32(out, at, static_cast<uint32_t>(bits));
        Put32(out, at + 4, static_cast<uint32_t>(bits >> 32));
      }
    } else {
      const auto v = static_cast<uint64_t>(IntAt(s, i));
      for (int b = 0; b < size; ++b) out[at + b] = static_cast<uint8_t>(v >> (8 * b));
    }
  }
  return out;
}

struct Entry {
  uint32_t tag;
  TIFFDataType type;
  uint32_t count;
  std::vector<uint8_t> value;
};

std::vector<Entry> Entries(const std::vector<TagSnapshot>& tags) {
  std::vector<Entry> out;
  for (const TagSnapshot& s : tags)
    if (std::vector<uint8_t> v = Encode(s); !v.empty() && s.tag <= 0xFFFF)
      out.push_back({s.tag, s.type, s.count, std::move(v)});
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  return out;
}

// Bytes a directory takes with the values that do not fit in its entries (each at an even offset).
std::size_t DirectorySize(const std::vector<Entry>& entries) {
  std::size_t size = 2 + 12 * entries.size() + 4;
  for (const Entry& e : entries)
    if (e.value.size() > 4) size += (e.value.size() + 1) & ~std::size_t{1};
  return size;
}

void PutDirectory(std::vector<uint8_t>& o, std::size_t at, const std::vector<Entry>& entries) {
  Put16(o, at, static_cast<uint32_t>(entries.size()));
  std::size_t data = at + 2 + 12 * entries.size() + 4;  // the next directory's offset stays 0
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    const std::size_t p = at + 2 + 12 * i;
    Put16(o, p, e.tag);
    Put16(o, p + 2, static_cast<uint32_t>(e.type));
    Put32(o, p + 4, e.count);
    if (e.value.size() <= 4) {
      std::copy(e.value.begin(), e.value.end(), o.begin() + static_cast<std::ptrdiff_t>(p + 8));
    } else {
      Put32(o, p + 8, static_cast<uint32_t>(data));
      std::copy(e.value.begin(), e.value.end(), o.begin() + static_cast<std::ptrdiff_t>(data));
      data += (e.value.size() + 1) & ~std::size_t{1};
    }
  }
}

Entry Pointer(uint32_t tag) { return {tag, TIFF_LONG, 1, std::vector<uint8_t>(4)}; }

}  // namespace

std::vector<uint8_t> BuildExifBlock(const std::vector<TagSnapshot>& ifd0Tags, const SubDirectories& subdirs) {
  const std::vector<Entry> exif = Entries(subdirs.exif), gps = Entries(subdirs.gps);
  if (exif.empty() && gps.empty()) return {};
  std::vector<Entry> ifd0 = Entries(ifd0Tags);
  if (!exif.empty()) ifd0.push_back(Pointer(TIFFTAG_EXIFIFD));
  if (!gps.empty()) ifd0.push_back(Pointer(TIFFTAG_GPSIFD));
  std::sort(ifd0.begin(), ifd0.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  const std::size_t exifAt = 8 + DirectorySize(ifd0), gpsAt = exifAt + (exif.empty() ? 0 : DirectorySize(exif));
  for (Entry& e : ifd0) {
    if (e.tag == TIFFTAG_EXIFIFD) Put32(e.value, 0, static_cast<uint32_t>(exifAt));
    if (e.tag == TIFFTAG_GPSIFD) Put32(e.value, 0, static_cast<uint32_t>(gpsAt));
  }
  std::vector<uint8_t> out(gpsAt + (gps.empty() ? 0 : DirectorySize(gps)));
  out[0] = out[1] = 'I';
  Put16(out, 2, 42);
  Put32(out, 4, 8);
  PutDirectory(out, 8, ifd0);
  if (!exif.empty()) PutDirectory(out, exifAt, exif);
  if (!gps.empty()) PutDirectory(out, gpsAt, gps);
  return out;
}

bool ReadPageMetadata(TIFF* tif, tdir_t dir, PageMetadata& out) {
  std::size_t budget = kMaxMetadataBytes;
  // A kind goes in whole while the page's total stays within the budget; otherwise it is left out.
  const auto fits = [&](const char* kind, std::size_t bytes) {
    if (bytes > budget) {
      out.omitted.push_back({kind, "more than " + std::to_string(kMaxMetadataBytes >> 20) + " MiB of metadata"});
      return false;
    }
    budget -= bytes;
    out.carried.push_back(kind);
    return true;
  };

  // Text tags: PNG keywords, and the same tags in the eXIf block's IFD0, where EXIF readers look.
  std::string title = TextTag(tif, TIFFTAG_DOCUMENTNAME);
  if (title.empty()) title = TextTag(tif, TIFFTAG_PAGENAME);
  const std::string make = TextTag(tif, TIFFTAG_MAKE), model = TextTag(tif, TIFFTAG_MODEL);
  const std::string source = make.empty() ? model : model.empty() ? make : make + " " + model;
  std::vector<TextChunk> texts;
  const std::pair<const char*, std::string> keyed[] = {
      {"Title", title},
      {"Description", TextTag(tif, TIFFTAG_IMAGEDESCRIPTION)},
      {"Author", TextTag(tif, TIFFTAG_ARTIST)},
      {"Copyright", TextTag(tif, TIFFTAG_COPYRIGHT)},
      {"Creation Time", TextTag(tif, TIFFTAG_DATETIME)},
      {"Source", source},
      {"Software", TextTag(tif, TIFFTAG_SOFTWARE)}};
  std::size_t textBytes = 0;
  for (const auto& [keyword, value] : keyed)
    if (!value.empty()) {
      texts.push_back(Text(keyword, value));
      textBytes += value.size();
    }
  std::vector<TagSnapshot> ifd0;
  for (ttag_t tag : {TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE, TIFFTAG_MODEL, TIFFTAG_SOFTWARE, TIFFTAG_DATETIME,
                     TIFFTAG_ARTIST, TIFFTAG_COPYRIGHT})
    if (const std::string value = TextTag(tif, tag); !value.empty())
      ifd0.push_back({tag, TIFF_ASCII, static_cast<uint32_t>(value.size() + 1), 1,
                      std::vector<uint8_t>(value.c_str(), value.c_str() + value.size() + 1)});

  std::string xmp = BlobTag(tif, TIFFTAG_XMLPACKET);
  while (!xmp.empty() && xmp.back() == '\0') xmp.pop_back();  // padding
  const std::string iptc = BlobTag(tif, TIFFTAG_RICHTIFFIPTC);

  SubDirectories subdirs;
  if (!ReadSubDirectories(tif, dir, subdirs)) return false;

  if (!texts.empty() && fits("text", textBytes)) out.texts = std::move(texts);
  if (subdirs.exifDamaged || subdirs.gpsDamaged) {
    out.omitted.push_back({"exif", std::string("the ") + (subdirs.exifDamaged ? "EXIF" : "GPS") +
                                       " directory cannot be read"});
  } else if (std::vector<uint8_t> block = BuildExifBlock(ifd0, subdirs); !block.empty() && fits("exif", block.size())) {
    out.exif = std::move(block);
  }
  if (!xmp.empty()) {
    if (xmp.find('\0') != std::string::npos || !IsUtf8(xmp))
      out.omitted.push_back({"xmp", "the XMP packet is not UTF-8 text"});
    else if (fits("xmp", xmp.size()))
      out.texts.push_back({TextChunk::Utf8, "XML:com.adobe.xmp", std::move(xmp)});
  }
  if (!iptc.empty() && fits("iptc", iptc.size()))
    out.texts.push_back({TextChunk::Compressed, "Raw profile type iptc", RawProfile(iptc)});
  return true;
}

}  // namespace tovanel::tools::topng
