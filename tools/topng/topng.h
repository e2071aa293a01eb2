// The converter's core: the first page of a TIFF file as a PNG file, faithful, bounded in memory.
#pragma once

#include "tiffcommon.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tovanel::tools {

// Images are refused with TooLarge beyond these bounds, before any pixel is decoded.
inline constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 31;
inline constexpr std::uint64_t kMaxRowBytes = std::uint64_t{64} << 20;
// Filtered image data up to this size is held and then compressed; larger images are
// filtered and compressed as their rows arrive, so memory stays bounded.
inline constexpr std::uint64_t kMaxInMemoryImage = std::uint64_t{128} << 20;
// Pages whose strip or tile tables (held whole by libtiff) are larger than this are streamed.
inline constexpr std::uint64_t kMaxTableBytes = std::uint64_t{64} << 20;
// The largest strip, tile row or decode band held in memory at once.
inline constexpr std::uint64_t kMaxBandBytes = std::uint64_t{256} << 20;

// INPUT with the text after the last "." of its file name replaced by "png" ("scan" gives "scan.png").
std::string PngPathFor(const std::string& input);

// What a written PNG carries besides pixels, ICC profile and resolution ("text", "exif", "xmp",
// "iptc"), and each kind left out with the reason.
struct MetadataAccount {
  std::vector<std::string> carried;
  std::vector<std::pair<std::string, std::string>> omitted;
  std::string sha256;  // of the PNG's bytes as they were written, in lowercase hex
};

// The account as the records of the file the converter writes for the program that runs it (see
// kMetadataAccountVariable in status.h).
std::string AccountRecords(const MetadataAccount& account);

// How a page is converted.
struct ConvertSettings {
  // The threads the conversion may take, the caller's own included: 0 for as many as the cores this
  // process may use (engine::UsableCores); with 1 it starts no thread at all.
  unsigned threads = 0;
  // Filtered images up to this size (at most kMaxInMemoryImage) are held and then compressed; larger
  // ones are filtered and compressed as their rows arrive.
  std::uint64_t maxHeldImage = kMaxInMemoryImage;
  // A page with GeoTIFF tags also gets NAME.pgw and NAME.png.aux.xml beside its NAME.png.
  bool georeference = true;
  // Whether the PNG carries the page's text tags, EXIF, XMP and IPTC; without them it holds pixels,
  // ICC profile and resolution only.
  bool keepMetadata = true;
  // When given, told which kinds of metadata the PNG carries and which were left out, and why.
  MetadataAccount* account = nullptr;
  // Tests only: makes the output file fail at a step of its own (see Fs::FaultPlan).
  Fs::FaultPlan* faults = nullptr;
};

// The threads a run of the converter program is asked for: the -threads option's value when given,
// else the environment's (TOVANEL_TOPNG_THREADS); 1 to 9999, or 0 (the cores it may use) for none
// or anything else. An invalid option is the caller's usage error.
unsigned ThreadsAsked(const char* option, const char* environment);

// Writes the first page of input (the first entry of ListPages) as a PNG file at output, which appears
// whole or not at all. The failure's exit code and one line of explanation, or Ok.
Failure ConvertFirstPageToPng(const std::string& input, const std::string& output,
                              const ConvertSettings& settings = {});

// The same for any page: pageIndex counts the entries of ListPages from 0. The converter program
// writes only the first page; the others are reachable for tests that check every page of a file.
Failure ConvertPageToPng(const std::string& input, std::size_t pageIndex, const std::string& output,
                         const ConvertSettings& settings = {});

// The memory (address space) the converter program stays within: 600 MiB on two threads, and per
// further thread its stack, coder and the streamed pieces in flight.
inline constexpr std::uint64_t kMemoryBound = std::uint64_t{600} << 20;
inline constexpr std::uint64_t kMemoryPerThread = std::uint64_t{11} << 20;
inline std::uint64_t MemoryBound(unsigned threads) {
  return kMemoryBound + (threads > 2 ? threads - 2 : 0) * kMemoryPerThread;
}

}  // namespace tovanel::tools
