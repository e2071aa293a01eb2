// Test helper shared by the tool, GUI and fault tests: reads a PNG with libpng, samples at its own depth.
#pragma once

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tovanel::test {

struct PngImage {
  uint32_t width = 0, height = 0;
  int depth = 0, colorType = -1, channels = 0;
  std::vector<uint32_t> samples;  // width*height*channels, unpacked, at the PNG's depth
  std::vector<png_color> palette;
  std::vector<uint8_t> trns;
  bool hasPhys = false;
  uint32_t physX = 0, physY = 0;
  int physUnit = -1;
  std::vector<uint8_t> icc;
  uint32_t at(uint32_t x, uint32_t y, int c) const { return samples[(std::size_t{y} * width + x) * channels + c]; }
};

// The iCCP profile straight from the chunk: libpng's reader second-guesses small profiles.
std::vector<uint8_t> ReadIccChunk(const std::string& path);

// Reads the PNG at path; false with why when libpng cannot.
bool ReadPng(const std::string& path, PngImage& img, std::string& why);

}  // namespace tovanel::test
