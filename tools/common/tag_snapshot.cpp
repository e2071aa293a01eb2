// EXIF and GPS directories as plain values, through libtiff's definitions of their tags.
#include "tag_snapshot.h"

#include "tiffcommon.h"

#include <cstring>

namespace tovanel::tools {

namespace {

bool IsFloating(TIFFDataType type) {
  return type == TIFF_RATIONAL || type == TIFF_SRATIONAL || type == TIFF_FLOAT || type == TIFF_DOUBLE;
}

template <typename T>
bool GetScalar(TIFF* tif, uint32_t tag, TagSnapshot& s) {
  T v{};
  if (TIFFGetField(tif, tag, &v) != 1) return false;
  s.data.resize(sizeof v);
  std::memcpy(s.data.data(), &v, sizeof v);
  s.count = 1;
  return true;
}

// One tag of the current directory; false when libtiff does not hand it out in a form kept here.
bool Snapshot(TIFF* tif, uint32_t tag, TagSnapshot& s) {
  const TIFFField* f = TIFFFieldWithTag(tif, tag);
  if (!f) return false;
  s.tag = tag;
  s.type = TIFFFieldDataType(f);
  s.elemSize = TIFFFieldSetGetSize(f);
  if (s.type == TIFF_IFD || s.type == TIFF_IFD8 || s.elemSize <= 0) return false;
  const int readCount = TIFFFieldReadCount(f);
  void* data = nullptr;
  if (TIFFFieldPassCount(f)) {
    if (TIFFFieldSetGetCountSize(f) == 2) {
      uint16_t n = 0;
      if (TIFFGetField(tif, tag, &n, &data) != 1) return false;
      s.count = n;
    } else {
      if (TIFFGetField(tif, tag, &s.count, &data) != 1) return false;
    }
  } else if (s.type == TIFF_ASCII) {
    if (TIFFGetField(tif, tag, &data) != 1 || !data) return false;
    s.elemSize = 1;
    s.count = static_cast<uint32_t>(std::strlen(static_cast<const char*>(data)) + 1);
  } else if (readCount > 1) {
    if (TIFFGetField(tif, tag, &data) != 1) return false;
    s.count = static_cast<uint32_t>(readCount);
  } else if (readCount == 1) {
    const bool floating = IsFloating(s.type);
    switch (s.elemSize) {
      case 1: return GetScalar<uint8_t>(tif, tag, s);
      case 2: return GetScalar<uint16_t>(tif, tag, s);
      case 4: return floating ? GetScalar<float>(tif, tag, s) : GetScalar<uint32_t>(tif, tag, s);
      case 8: return floating ? GetScalar<double>(tif, tag, s) : GetScalar<uint64_t>(tif, tag, s);
      default: return false;
    }
  } else {
    return false;
  }
  if (!data || s.count == 0) return false;
  const std::size_t bytes = std::size_t{s.count} * static_cast<std::size_t>(s.elemSize);
  s.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + bytes);
  return true;
}

// The tags of the custom directory at offset; false when it cannot be read.
bool ReadCustom(TIFF* tif, uint64_t offset, bool gps, std::vector<TagSnapshot>& out) {
  if (!(gps ? TIFFReadGPSDirectory(tif, offset) : TIFFReadEXIFDirectory(tif, offset))) return false;
  const int n = TIFFGetTagListCount(tif);
  for (int i = 0; i < n; ++i) {
    TagSnapshot s;
    if (Snapshot(tif, TIFFGetTagListEntry(tif, i), s)) out.push_back(std::move(s));
  }
  return true;
}

}  // namespace

bool ReadSubDirectories(TIFF* tif, tdir_t dir, SubDirectories& out) {
  uint64_t exifAt = 0, gpsAt = 0;
  TIFFGetField(tif, TIFFTAG_EXIFIFD, &exifAt);
  TIFFGetField(tif, TIFFTAG_GPSIFD, &gpsAt);
  if (!exifAt && !gpsAt) return true;
  if (exifAt) out.exifDamaged = !ReadCustom(tif, exifAt, false, out.exif);
  if (gpsAt) out.gpsDamaged = !ReadCustom(tif, gpsAt, true, out.gps);
  // What libtiff said about the sub-directories is no part of the page's own data.
  ClearLastTiffError();
  ClearTiffWarnings();
  return TIFFSetDirectory(tif, dir) != 0;
}

void SetTags(TIFF* tif, const std::vector<TagSnapshot>& tags) {
  for (const TagSnapshot& s : tags) {
    const TIFFField* f = TIFFFieldWithTag(tif, s.tag);
    if (!f || TIFFFieldSetGetSize(f) != s.elemSize) continue;
    void* data = const_cast<uint8_t*>(s.data.data());
    if (TIFFFieldPassCount(f)) {
      TIFFSetField(tif, s.tag, s.count, data);
    } else if (s.type == TIFF_ASCII || s.count > 1) {
      TIFFSetField(tif, s.tag, data);
    } else if (IsFloating(s.type)) {
      double v = 0;
      if (s.elemSize == 4) {
        float x;
        std::memcpy(&x, data, 4);
        v = x;
      } else {
        std::memcpy(&v, data, 8);
      }
      TIFFSetField(tif, s.tag, v);
    } else if (s.elemSize <= 4) {
      uint32_t v = 0;
      if (s.elemSize == 1) v = s.data[0];
      else if (s.elemSize == 2) { uint16_t x; std::memcpy(&x, data, 2); v = x; }
      else std::memcpy(&v, data, 4);
      TIFFSetField(tif, s.tag, v);
    } else {
      uint64_t v = 0;
      std::memcpy(&v, data, 8);
      TIFFSetField(tif, s.tag, v);
    }
  }
}

}  // namespace tovanel::tools
