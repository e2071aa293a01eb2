// A page's EXIF and GPS directories as plain values: read from one file, written into another (the
// splitter's page files) or into a PNG's eXIf chunk (the converter).
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tovanel::tools {

// One tag as libtiff hands it out: count elements of elemSize bytes each, in libtiff's in-memory form
// (rationals as float or double, as the tag's definition says); text ends with its NUL.
struct TagSnapshot {
  uint32_t tag = 0;
  TIFFDataType type = TIFF_NOTYPE;
  uint32_t count = 0;
  int elemSize = 0;
  std::vector<uint8_t> data;
};

struct SubDirectories {
  std::vector<TagSnapshot> exif, gps;
  // Set when the page points at a directory that cannot be read: its tags are then left out.
  bool exifDamaged = false, gpsDamaged = false;
};

// The EXIF and GPS directories the current page points at (TIFFTAG_EXIFIFD, TIFFTAG_GPSIFD), read
// with libtiff's own definitions of their tags. tif is back on page dir afterwards; false when it
// cannot return there. Tags that point at further directories (Interoperability) are left out.
bool ReadSubDirectories(TIFF* tif, tdir_t dir, SubDirectories& out);

// Sets tags on tif's current directory (one made by TIFFCreateEXIFDirectory or TIFFCreateGPSDirectory).
void SetTags(TIFF* tif, const std::vector<TagSnapshot>& tags);

}  // namespace tovanel::tools
