// Reads a PNG with libpng into samples at its own depth, with its metadata.
#include "png_reader.h"

#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace tovanel::test {

std::vector<uint8_t> ReadIccChunk(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t i = 8; i + 12 <= d.size();) {
    const uint32_t n = (uint32_t{d[i]} << 24) | (d[i + 1] << 16) | (d[i + 2] << 8) | d[i + 3];
    if (i + 12 + std::size_t{n} > d.size()) break;
    if (std::equal(d.begin() + i + 4, d.begin() + i + 8, "iCCP")) {
      std::size_t k = i + 8;
      while (k < i + 8 + n && d[k]) ++k;
      const std::size_t start = k + 2, len = i + 8 + n - start;
      std::vector<uint8_t> out(1 << 20);
      uLongf outLen = out.size();
      if (uncompress(out.data(), &outLen, d.data() + start, len) != Z_OK) return {};
      out.resize(outLen);
      return out;
    }
    i += 12 + std::size_t{n};
  }
  return {};
}

bool ReadPng(const std::string& path, PngImage& img, std::string& why) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    why = "cannot open " + path;
    return false;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  // Locals touched after setjmp are kept outside this frame's registers.
  static thread_local std::vector<uint8_t> rows;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    why = "libpng cannot read " + path;
    return false;
  }
  png_init_io(png, f);
  png_set_benign_errors(png, 1);
  png_read_info(png, info);
  img.width = png_get_image_width(png, info);
  img.height = png_get_image_height(png, info);
  img.depth = png_get_bit_depth(png, info);
  img.colorType = png_get_color_type(png, info);
  img.channels = png_get_channels(png, info);
  png_colorp pal = nullptr;
  int npal = 0;
  if (png_get_PLTE(png, info, &pal, &npal)) img.palette.assign(pal, pal + npal);
  png_bytep trans = nullptr;
  int ntrans = 0;
  if (png_get_tRNS(png, info, &trans, &ntrans, nullptr) && trans) img.trns.assign(trans, trans + ntrans);
  png_uint_32 px, py;
  int unit;
  if (png_get_pHYs(png, info, &px, &py, &unit)) {
    img.hasPhys = true;
    img.physX = px;
    img.physY = py;
    img.physUnit = unit;
  }
  const std::size_t rowBytes = png_get_rowbytes(png, info);
  rows.assign(rowBytes * img.height, 0);
  std::vector<png_bytep> ptrs(img.height);
  for (uint32_t y = 0; y < img.height; ++y) ptrs[y] = rows.data() + y * rowBytes;
  png_read_image(png, ptrs.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  img.icc = ReadIccChunk(path);
  img.samples.resize(std::size_t{img.width} * img.height * img.channels);
  for (uint32_t y = 0; y < img.height; ++y) {
    const uint8_t* r = rows.data() + y * rowBytes;
    for (std::size_t i = 0; i < std::size_t{img.width} * img.channels; ++i) {
      uint32_t v;
      if (img.depth == 16) {
        v = (uint32_t{r[2 * i]} << 8) | r[2 * i + 1];
      } else if (img.depth == 8) {
        v = r[i];
      } else {
        const std::size_t bit = i * img.depth;
        v = (r[bit / 8] >> (8 - img.depth - bit % 8)) & ((1u << img.depth) - 1);
      }
      img.samples[y * std::size_t{img.width} * img.channels + i] = v;
    }
  }
  return true;
}

}  // namespace tovanel::test
