// Colour conversion: turns rows of TIFF samples into rows of PNG samples.
#pragma once

#include "lab.h"
#include "page.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace tovanel::tools::topng {

inline uint32_t Scale(uint32_t v, uint32_t fromMax, uint32_t toMax) {
  return fromMax == toMax ? v : static_cast<uint32_t>((uint64_t{v} * toMax + fromMax / 2) / fromMax);
}

// Colour maps nearly always hold 8-bit colours widened as v * 257 or as v * 256; the high byte gives
// v back from both (rounding would turn the second kind's 255 into 254), and it is what libtiff's own
// RGBA decoder and the reference decoders use. An 8-bit map (cmap8) holds v itself.
inline uint32_t MapEntry(uint16_t c, bool cmap8, uint32_t toMax) {
  if (cmap8) return toMax == 65535 ? c * 257u : c;
  return toMax == 65535 ? c : c >> 8;
}


// Turns rows of TIFF samples into rows of PNG samples (big-endian, packed as PNG packs them).
class RowConverter {
 public:
  explicit RowConverter(const Page& p)
      : p_(p), inMax_((1u << p.bps) - 1), outMax_((1u << p.depth) - 1),
        separate_(p.planar == PLANARCONFIG_SEPARATE && p.spp > 1),
        lab_(p.kind == Kind::Lab ? std::make_unique<LabRows>(p) : nullptr) {}

  // False when the conversion could not be set up (a colour transform lcms2 could not make).
  bool ok() const { return !lab_ || lab_->ok(); }

  // planes as RowReader::row gives them; rgba for a page read through libtiff's RGBA interface.
  void convert(const uint8_t* const* planes, const uint32_t* rgba, uint8_t* out) const;

 private:
  uint32_t sample(const uint8_t* const* planes, uint32_t x, int s) const {
    const uint8_t* row = separate_ ? planes[s] : planes[0];
    const uint64_t index = separate_ ? x : uint64_t{x} * p_.spp + s;
    if (p_.bps == 8) return row[index];
    if (p_.bps == 16) {
      uint16_t v;
      std::memcpy(&v, row + 2 * index, 2);
      return v;
    }
    const uint64_t bit = index * p_.bps;
    const uint8_t* b = row + (bit >> 3);
    const uint32_t word = (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
    return (word >> (24 - (bit & 7) - p_.bps)) & inMax_;
  }

  void put(uint8_t*& o, uint32_t v) const {
    if (p_.depth == 16) {
      *o++ = static_cast<uint8_t>(v >> 8);
      *o++ = static_cast<uint8_t>(v);
    } else {
      *o++ = static_cast<uint8_t>(v);
    }
  }

  uint32_t unpremultiply(uint32_t c, uint32_t a) const {
    if (!p_.associated) return c;
    if (a == 0) return 0;
    return std::min<uint32_t>(outMax_, static_cast<uint32_t>((uint64_t{c} * outMax_ + a / 2) / a));
  }

  void general(const uint8_t* const* planes, uint8_t* out) const;

  // Sub-byte output (grey without alpha, palette indices) of a page whose samples are not laid out
  // as the PNG's: the values are packed most significant bit first, as PNG rows hold them. Extra
  // samples that are not alpha are dropped.
  void packed(const uint8_t* const* planes, uint8_t* out) const;

  const Page& p_;
  uint32_t inMax_, outMax_;
  bool separate_;
  std::unique_ptr<LabRows> lab_;
};

}  // namespace tovanel::tools::topng
