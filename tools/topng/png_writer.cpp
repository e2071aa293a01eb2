// PNG writing through libpng: chunks, metadata, IDAT from a zlib stream whole or as it is made.
#include "png_writer.h"

#include "row_converter.h"

#include <libdeflate.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace tovanel::tools::topng {

namespace {

constexpr std::size_t kIdatChunk = std::size_t{1} << 20;

void SinkFlush(PngJob* job) {
  if (job->used && !job->writeErr) job->writeErr = job->out->write(job->buf, job->used);
  job->used = 0;
}

void PngWrite(png_structp png, png_bytep data, size_t len) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (job->writeErr) return;
  if (job->used + len > job->cap) SinkFlush(job);
  if (len > job->cap) {
    job->writeErr = job->out->write(data, len);
    return;
  }
  std::memcpy(job->buf + job->used, data, len);
  job->used += len;
}

void PngFlushFn(png_structp) {}

void PngErrorFn(png_structp png, png_const_charp msg) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  std::snprintf(job->pngError, sizeof job->pngError, "%s", msg);
  png_longjmp(png, 1);
}

void PngWarningFn(png_structp, png_const_charp) {}

// One chunk whose data is the parts one after another: 0 or the errno of a failed write.
int WriteChunk(Fs::AtomicFile& out, const char* type, const StreamParts& data) {
  uint8_t head[8], tail[4];
  const auto put32 = [](uint32_t v, uint8_t* o) {
    for (int i = 0; i < 4; ++i) o[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  };
  put32(static_cast<uint32_t>(PartsSize(data)), head);
  std::memcpy(head + 4, type, 4);
  // libdeflate's CRC-32 (carry-less multiplication) is three times faster than zlib's, which libpng uses.
  uint32_t crc = libdeflate_crc32(0, head + 4, 4);
  // (libdeflate takes a null buffer as a request for the initial value: empty parts are skipped.)
  for (const StreamPart& part : data)
    if (part.size) crc = libdeflate_crc32(crc, part.data, part.size);
  put32(crc, tail);
  if (const int err = out.write(head, sizeof head)) return err;
  for (const StreamPart& part : data)
    if (part.size)
      if (const int err = out.write(part.data, part.size)) return err;
  return out.write(tail, sizeof tail);
}

}  // namespace

bool RunPngWriter(PngJob* job) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, job, PngErrorFn, PngWarningFn);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  const Page& p = *job->page;
  png_set_benign_errors(png, 1);  // an ICC profile libpng finds unfit is dropped, not fatal
  // libpng refuses rows or columns past a million by default; PNG allows 2^31 - 1, and the pixel
  // limit has been checked.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_write_fn(png, job, PngWrite, PngFlushFn);
  png_set_IHDR(png, info, p.width, p.height, p.depth, p.colorType, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!job->palette.empty())
    png_set_PLTE(png, info, job->palette.data(), static_cast<int>(job->palette.size()));
  if (job->hasPhys) png_set_pHYs(png, info, job->physX, job->physY, job->physUnit);
  if (job->icc) png_set_iCCP(png, info, "ICC Profile", PNG_COMPRESSION_TYPE_BASE, job->icc, job->iccSize);
  if (!job->exif.empty()) png_set_eXIf_1(png, info, static_cast<png_uint_32>(job->exif.size()), job->exif.data());
  if (!job->texts.empty()) png_set_text(png, info, job->texts.data(), static_cast<int>(job->texts.size()));
  png_write_info(png, info);
  png_destroy_write_struct(&png, &info);
  SinkFlush(job);
  return !job->writeErr;
}

IdatParts::IdatParts(Fs::AtomicFile& out) : out_(out) {
  // More spans than a chunk can take: every piece of a page (at most 16 for each of 16 threads), its
  // header and its checksum.
  chunk_.reserve(512);
}

bool IdatParts::add(StreamPart part) {
  while (part.size > 0 && !err_) {
    const std::size_t take = std::min(part.size, kIdatChunk - inChunk_);
    if (!chunk_.empty() && chunk_.back().data + chunk_.back().size == part.data)
      chunk_.back().size += take;  // goes on where the last span ends (an IdatWriter's buffer)
    else
      chunk_.push_back({part.data, take});
    inChunk_ += take;
    part.data += take;
    part.size -= take;
    if (inChunk_ == kIdatChunk) {
      err_ = WriteChunk(out_, "IDAT", chunk_);
      chunk_.clear();
      inChunk_ = 0;
    }
  }
  return !err_;
}

bool IdatParts::finish() {
  if (!err_ && inChunk_ > 0) err_ = WriteChunk(out_, "IDAT", chunk_);
  if (!err_) err_ = WriteChunk(out_, "IEND", {});
  return !err_;
}

bool IdatWriter::add(const uint8_t* data, std::size_t size) {
  if (!buf_) buf_.reset(new uint8_t[kIdatChunk]);
  while (size > 0 && !parts_.failed()) {
    const std::size_t take = std::min(size, kIdatChunk - used_);
    std::memcpy(buf_.get() + used_, data, take);
    parts_.add({buf_.get() + used_, take});
    used_ = (used_ + take) % kIdatChunk;  // parts_ writes a chunk just as the buffer fills
    data += take;
    size -= take;
  }
  return !parts_.failed();
}

void SetPageMetadata(const PageMetadata& meta, PngJob& job) {
  for (const TextChunk& t : meta.texts) {
    png_text text{};
    text.compression = t.kind == TextChunk::Utf8         ? PNG_ITXT_COMPRESSION_NONE
                       : t.kind == TextChunk::Compressed ? PNG_TEXT_COMPRESSION_zTXt
                                                         : PNG_TEXT_COMPRESSION_NONE;
    text.key = const_cast<char*>(t.keyword.c_str());
    text.text = const_cast<char*>(t.text.c_str());
    text.text_length = t.text.size();
    job.texts.push_back(text);
  }
  job.exif = meta.exif;
}

void ReadMetadata(TIFF* tif, PngJob& job) {
  float xr = 0, yr = 0;
  uint16_t unit = RESUNIT_INCH;
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xr) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yr) &&
      std::isfinite(xr) && std::isfinite(yr) && xr > 0 && yr > 0) {
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    const double factor = unit == RESUNIT_INCH ? 1 / 0.0254 : unit == RESUNIT_CENTIMETER ? 100.0 : 1.0;
    const double px = std::round(xr * factor), py = std::round(yr * factor);
    if (px >= 1 && py >= 1 && px < 2147483647.0 && py < 2147483647.0) {
      job.hasPhys = true;
      job.physX = static_cast<png_uint_32>(px);
      job.physY = static_cast<png_uint_32>(py);
      job.physUnit = unit == RESUNIT_NONE ? PNG_RESOLUTION_UNKNOWN : PNG_RESOLUTION_METER;
    }
  }
  uint32_t iccSize = 0;
  void* icc = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc && iccSize >= 132) {
    job.icc = static_cast<const uint8_t*>(icc);
    job.iccSize = iccSize;
  }
  const Page& page = *job.page;
  if (page.colorType == PNG_COLOR_TYPE_PALETTE) {
    const std::size_t entries = std::size_t{1} << page.bps;
    for (std::size_t i = 0; i < entries; ++i)
      job.palette.push_back({static_cast<png_byte>(MapEntry(page.cmapR[i], page.cmap8, 255)),
                             static_cast<png_byte>(MapEntry(page.cmapG[i], page.cmap8, 255)),
                             static_cast<png_byte>(MapEntry(page.cmapB[i], page.cmap8, 255))});
  }
}

}  // namespace tovanel::tools::topng
