// Colour conversion: copies, selections, scaling, inversion, CMYK, un-premultiplied alpha and packing.
#include "row_converter.h"

namespace tovanel::tools::topng {

void RowConverter::convert(const uint8_t* const* planes, const uint32_t* rgba, uint8_t* out) const {
  const uint32_t w = p_.width;
  const uint8_t* in = planes ? planes[0] : nullptr;
  switch (p_.mode) {
    case RowMode::CopyPacked:
      if (p_.minIsWhite) {
        for (std::size_t i = 0; i < p_.pngRowBytes; ++i) out[i] = static_cast<uint8_t>(~in[i]);
      } else {
        std::memcpy(out, in, p_.pngRowBytes);
      }
      return;
    case RowMode::Copy16: {
      const uint16_t flip = p_.minIsWhite ? 0xFFFF : 0;
      for (uint32_t x = 0; x < w; ++x) {
        uint16_t v;
        std::memcpy(&v, in + 2 * x, 2);
        v ^= flip;
        out[2 * x] = static_cast<uint8_t>(v >> 8);
        out[2 * x + 1] = static_cast<uint8_t>(v);
      }
      return;
    }
    case RowMode::Select8: {
      const int c = p_.channels, spp = p_.spp;
      if (c == spp) {
        std::memcpy(out, in, std::size_t{w} * c);
      } else {
        for (uint32_t x = 0; x < w; ++x)
          for (int k = 0; k < c; ++k) out[std::size_t{x} * c + k] = in[std::size_t{x} * spp + k];
      }
      return;
    }
    case RowMode::Select16: {
      const int c = p_.channels, spp = p_.spp;
      for (uint32_t x = 0; x < w; ++x)
        for (int k = 0; k < c; ++k) {
          uint16_t v;
          std::memcpy(&v, in + 2 * (std::size_t{x} * spp + k), 2);
          uint8_t* o = out + 2 * (std::size_t{x} * c + k);
          o[0] = static_cast<uint8_t>(v >> 8);
          o[1] = static_cast<uint8_t>(v);
        }
      return;
    }
    case RowMode::FromRgba:
      for (uint32_t x = 0; x < w; ++x) {
        out[3 * x] = static_cast<uint8_t>(TIFFGetR(rgba[x]));
        out[3 * x + 1] = static_cast<uint8_t>(TIFFGetG(rgba[x]));
        out[3 * x + 2] = static_cast<uint8_t>(TIFFGetB(rgba[x]));
      }
      return;
    case RowMode::FromRgbaGrey:
      for (uint32_t x = 0; x < w; ++x) out[x] = static_cast<uint8_t>(TIFFGetR(rgba[x]));
      return;
    case RowMode::General:
      if (lab_) {
        lab_->convert(planes, out);
        return;
      }
      general(planes, out);
      return;
  }
}

void RowConverter::general(const uint8_t* const* planes, uint8_t* out) const {
  if (p_.depth < 8) {
    packed(planes, out);
    return;
  }
  const int alphaIndex = p_.colourSamples;
  uint8_t* o = out;
  for (uint32_t x = 0; x < p_.width; ++x) {
    const uint32_t a = p_.hasAlpha ? Scale(sample(planes, x, alphaIndex), inMax_, outMax_) : 0;
    switch (p_.kind) {
      case Kind::Grey: {
        uint32_t g = sample(planes, x, 0);
        if (p_.minIsWhite) g = inMax_ - g;
        put(o, unpremultiply(Scale(g, inMax_, outMax_), a));
        break;
      }
      case Kind::Palette: {
        const uint32_t i = sample(planes, x, 0);
        if (p_.colorType == PNG_COLOR_TYPE_PALETTE) {
          *o++ = static_cast<uint8_t>(i);
        } else {
          put(o, MapEntry(p_.cmapR[i], p_.cmap8, outMax_));
          put(o, MapEntry(p_.cmapG[i], p_.cmap8, outMax_));
          put(o, MapEntry(p_.cmapB[i], p_.cmap8, outMax_));
        }
        break;
      }
      case Kind::Rgb:
        for (int s = 0; s < 3; ++s) put(o, unpremultiply(Scale(sample(planes, x, s), inMax_, outMax_), a));
        break;
      case Kind::Cmyk: {
        const uint32_t k = inMax_ - sample(planes, x, 3);
        for (int s = 0; s < 3; ++s) {
          const uint32_t ink = inMax_ - sample(planes, x, s);
          const uint32_t v = static_cast<uint32_t>((uint64_t{ink} * k + inMax_ / 2) / inMax_);
          put(o, unpremultiply(Scale(v, inMax_, outMax_), a));
        }
        break;
      }
      case Kind::Lab:
      case Kind::RgbaImage:
        break;
    }
    if (p_.hasAlpha) put(o, a);
  }
}

void RowConverter::packed(const uint8_t* const* planes, uint8_t* out) const {
  std::memset(out, 0, p_.pngRowBytes);
  const uint32_t d = static_cast<uint32_t>(p_.depth);
  for (uint32_t x = 0; x < p_.width; ++x) {
    uint32_t v = sample(planes, x, 0);
    if (p_.kind == Kind::Grey) {
      if (p_.minIsWhite) v = inMax_ - v;
      v = Scale(v, inMax_, outMax_);
    }
    const uint64_t bit = uint64_t{x} * d;
    out[bit >> 3] |= static_cast<uint8_t>((v & outMax_) << (8 - d - (bit & 7)));
  }
}

}  // namespace tovanel::tools::topng
