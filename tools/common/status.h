// The page tools' exit statuses and their words: one list for the tools, which exit with them and
// print the words, and for the program that runs them, which reads the number back.
#pragma once

namespace tovanel::tools {

// The documented exit statuses of tovanel-split and tovanel-topng (tools/README.md).
enum Exit : int {
  Ok = 0,
  Usage = 2,
  CannotOpen = 3,  // missing, unreadable, not a regular file (FIFO, device, folder)
  NotTiff = 4,
  Damaged = 5,
  Unsupported = 6,
  TooLarge = 7,
  WriteFailed = 8,
  TooManyPages = 9,
};

// One short English phrase per exit status ("unknown error" for statuses not listed above).
constexpr const char* ExitText(int code) {
  switch (code) {
    case Ok: return "success";
    case Usage: return "wrong command line";
    case CannotOpen: return "cannot open the input file";
    case NotTiff: return "not a TIFF file";
    case Damaged: return "damaged or truncated TIFF file";
    case Unsupported: return "unsupported TIFF image format";
    case TooLarge: return "image too large";
    case WriteFailed: return "cannot write the output file";
    case TooManyPages: return "too many pages";
    default: return "unknown error";
  }
}

// The splitter's account of a file, beside its pages as PREFIX + kPagesFileSuffix, one record a line,
// fields separated by tabs, no tab or line break inside a field:
//   pages <tab> TOTAL <tab> WRITTEN
//   skipped <tab> PAGE <tab> EXIT-STATUS <tab> WHY
// PAGE counts from 1. Written whenever the file's pages could be counted.
inline constexpr const char* kPagesFileSuffix = ".pages";

// The converter's metadata, as the program that runs it asks for it in the environment:
// kMetadataVariable "none" writes pixels, ICC profile and resolution only; kMetadataAccountVariable
// names a file the converter writes, whole or not at all, once the PNG is in place, one record a
// line, fields separated by tabs:
//   metadata <tab> KIND,KIND...          what the PNG carries: text, exif, xmp, iptc (none: empty)
//   omitted <tab> KIND <tab> WHY         metadata of the page left out (damaged, too large)
//   sha256 <tab> HEX                     the PNG's checksum, made as its bytes were written
inline constexpr const char* kMetadataVariable = "TOVANEL_TOPNG_METADATA";
inline constexpr const char* kMetadataAccountVariable = "TOVANEL_TOPNG_ACCOUNT";

}  // namespace tovanel::tools
