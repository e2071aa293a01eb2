// What a page's PNG carries besides its pixels, ICC profile and resolution: the page's text tags,
// EXIF and GPS directories, XMP packet and IPTC record, each from the page's own directory.
#pragma once

#include "tag_snapshot.h"

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovanel::tools::topng {

// More than this (all kinds of a page together) is left out, a kind at a time.
inline constexpr std::size_t kMaxMetadataBytes = std::size_t{1} << 20;

// A PNG text chunk: tEXt (Latin-1), iTXt (UTF-8, uncompressed) or zTXt.
struct TextChunk {
  enum Kind { Latin1, Utf8, Compressed } kind = Latin1;
  std::string keyword, text;
};

struct PageMetadata {
  std::vector<TextChunk> texts;
  std::vector<uint8_t> exif;  // the eXIf chunk's data (a little-endian TIFF structure); empty for none
  // What the PNG carries ("text", "exif", "xmp", "iptc", in that order), and what was left out and why.
  std::vector<std::string> carried;
  std::vector<std::pair<std::string, std::string>> omitted;
};

// Reads the metadata of page dir, tif's current directory; tif is on dir again afterwards (false
// when it cannot get back there). Damaged or oversized metadata is left out, never a failure.
bool ReadPageMetadata(TIFF* tif, tdir_t dir, PageMetadata& out);

// The eXIf chunk's data for these directories: IFD0 holds the given text tags (ImageDescription,
// Make, ...) and the pointers to the EXIF and GPS directories that follow it. Rationals are written
// as the nearest fraction libtiff's float or double gives back; tags that cannot stand in a classic
// TIFF structure (64-bit values) are left out.
std::vector<uint8_t> BuildExifBlock(const std::vector<TagSnapshot>& ifd0, const SubDirectories& subdirs);

}  // namespace tovanel::tools::topng
