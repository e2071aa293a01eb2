// Sample mapping: signed integers offset by half their range, wide integers scaled by the type's
// range, floating point mapped from a range to 16 bits, NaN, infinities and no-data values to 0.
#include "samples.h"

#include "row_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tovanel::tools::topng {

namespace {

// GDAL writes the no-data value as text ("-9999", "nan"); libtiff may hand it out with a count.
void ReadNoData(TIFF* tif, Page& p) {
  const TIFFField* field = TIFFFindField(tif, TIFFTAG_GDAL_NODATA, TIFF_ANY);
  if (!field) return;
  char* text = nullptr;
  bool got = false;
  if (!TIFFFieldPassCount(field)) {
    got = TIFFGetField(tif, TIFFTAG_GDAL_NODATA, &text);
  } else if (TIFFFieldReadCount(field) == TIFF_VARIABLE2) {
    uint32_t count = 0;
    got = TIFFGetField(tif, TIFFTAG_GDAL_NODATA, &count, &text) && count > 0;
  } else {
    uint16_t count = 0;
    got = TIFFGetField(tif, TIFFTAG_GDAL_NODATA, &count, &text) && count > 0;
  }
  if (!got || !text) return;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text) return;
  while (*end == ' ') ++end;
  if (*end) return;
  p.hasNoData = true;
  p.noData = v;
}

void ReadTaggedRange(TIFF* tif, Page& p) {
  double lo = 0, hi = 0;
  if (TIFFGetField(tif, TIFFTAG_SMINSAMPLEVALUE, &lo) && TIFFGetField(tif, TIFFTAG_SMAXSAMPLEVALUE, &hi) &&
      std::isfinite(lo) && std::isfinite(hi) && hi > lo) {
    p.rangeTagged = true;
    p.lo = lo;
    p.hi = hi;
  }
}

// IEEE half precision, and the 24-bit format (1 sign, 7 exponent, 16 mantissa bits) libtiff reads.
double SmallFloat(uint64_t b, int expBits, int mantBits) {
  const int bias = (1 << (expBits - 1)) - 1, expMax = (1 << expBits) - 1;
  const bool negative = (b >> (expBits + mantBits)) & 1;
  const int e = static_cast<int>((b >> mantBits) & expMax);
  const double m = static_cast<double>(b & ((uint64_t{1} << mantBits) - 1));
  double v;
  if (e == expMax) v = m == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  else if (e == 0) v = std::ldexp(m, 1 - bias - mantBits);
  else v = std::ldexp(m + std::ldexp(1.0, mantBits), e - bias - mantBits);
  return negative ? -v : v;
}

}  // namespace

Failure ChooseSampleMap(TIFF* tif, Page& p) {
  const bool unsignedSamples = p.sampleFormat == SAMPLEFORMAT_UINT || p.sampleFormat == SAMPLEFORMAT_VOID;
  if ((unsignedSamples && p.bps <= 16) || p.kind == Kind::RgbaImage || p.kind == Kind::Lab) return {};
  if (p.kind == Kind::Palette)
    return {Unsupported, "a colour map indexed by signed, floating-point or wider than 16-bit samples is not supported"};
  ReadNoData(tif, p);
  if (p.sampleFormat == SAMPLEFORMAT_INT && (p.bps == 8 || p.bps == 16) && !p.hasNoData) {
    p.map = SampleMap::FlipSign;
    return {};
  }
  if (p.sampleFormat == SAMPLEFORMAT_IEEEFP) ReadTaggedRange(tif, p);
  p.map = SampleMap::Mapped;
  p.bps = p.sampleFormat == SAMPLEFORMAT_INT && p.storedBps == 8 ? 8 : 16;
  p.noDataAlpha = p.hasNoData && !p.hasAlpha;
  p.hasAlpha = p.hasAlpha || p.hasNoData;
  p.spp = static_cast<uint16_t>(p.colourSamples + (p.hasAlpha ? 1 : 0));
  p.planar = PLANARCONFIG_CONTIG;
  return {};
}

SampleMapper::SampleMapper(const Page& p)
    : p_(p), separate_(p.storedPlanar == PLANARCONFIG_SEPARATE && p.storedSpp > 1),
      float_(p.sampleFormat == SAMPLEFORMAT_IEEEFP), signed_(p.sampleFormat == SAMPLEFORMAT_INT),
      span_(p.hi - p.lo),
      row_(std::size_t{p.width} * p.spp * (p.bps / 8) + kSlack) {}

uint64_t SampleMapper::bits(const uint8_t* const* planes, uint32_t x, int s) const {
  const uint8_t* row = separate_ ? planes[s] : planes[0];
  const uint64_t index = separate_ ? x : uint64_t{x} * p_.storedSpp + s;
  switch (p_.storedBps) {
    case 8: return row[index];
    case 16: { uint16_t v; std::memcpy(&v, row + 2 * index, 2); return v; }
    case 32: { uint32_t v; std::memcpy(&v, row + 4 * index, 4); return v; }
    case 64: { uint64_t v; std::memcpy(&v, row + 8 * index, 8); return v; }
    case 24: {  // libtiff hands out 24-bit samples in this machine's byte order
      const uint8_t* b = row + 3 * index;
      return std::endian::native == std::endian::little ? b[0] | (uint64_t{b[1]} << 8) | (uint64_t{b[2]} << 16)
                                                        : (uint64_t{b[0]} << 16) | (uint64_t{b[1]} << 8) | b[2];
    }
    default: {  // other widths are packed most significant bit first
      const uint64_t bit = index * p_.storedBps;
      const int need = static_cast<int>(bit & 7) + p_.storedBps, bytes = (need + 7) / 8;
      unsigned __int128 acc = 0;
      for (int i = 0; i < bytes; ++i) acc = (acc << 8) | row[(bit >> 3) + i];
      acc >>= bytes * 8 - need;
      return static_cast<uint64_t>(acc) & (~uint64_t{0} >> (64 - p_.storedBps));
    }
  }
}

double SampleMapper::value(const uint8_t* const* planes, uint32_t x, int s) const {
  const uint64_t b = bits(planes, x, s);
  const int n = p_.storedBps;
  if (float_) {
    if (n == 16) return SmallFloat(b, 5, 10);
    if (n == 24) return SmallFloat(b, 7, 16);
    if (n == 32) return std::bit_cast<float>(static_cast<uint32_t>(b));
    return std::bit_cast<double>(b);
  }
  if (signed_ && n < 64 && (b >> (n - 1)) & 1)
    return static_cast<double>(static_cast<int64_t>(b | (~uint64_t{0} << n)));  // sign-extended
  if (signed_) return static_cast<double>(static_cast<int64_t>(b));
  return static_cast<double>(b);
}

bool SampleMapper::noData(const uint8_t* const* planes, uint32_t x) const {
  for (int c = 0; c < p_.colourSamples; ++c) {
    const double v = value(planes, x, c);
    if (!(v == p_.noData || (std::isnan(v) && std::isnan(p_.noData)))) return false;
  }
  return true;
}

uint32_t SampleMapper::mapped(const uint8_t* const* planes, uint32_t x, int s) const {
  if (float_) {
    const double v = value(planes, x, s);
    if (!std::isfinite(v) || (p_.hasNoData && v == p_.noData)) return 0;
    // Alpha is a fraction of full opacity whatever the colour's range. Multiplying first keeps the
    // exact cases exact (a value halfway between two steps rounds up) where that cannot overflow; a
    // range wider than a double holds (from -1e308 to 1e308) is taken at half scale.
    double t = v * 65535.0;
    if (s != p_.colourSamples) {
      const bool half = !std::isfinite(span_);
      const double d = half ? v / 2 - p_.lo / 2 : v - p_.lo, span = half ? p_.hi / 2 - p_.lo / 2 : span_;
      t = std::fabs(d) < 1e300 ? d * 65535.0 / span : d / span * 65535.0;
    }
    if (std::isnan(t)) return 0;  // a flat page (lo = hi): every sample at the bottom
    return static_cast<uint32_t>(std::floor(std::clamp(t, 0.0, 65535.0) + 0.5));
  }
  if (p_.hasNoData && value(planes, x, s) == p_.noData) return 0;
  const int n = p_.storedBps;
  uint64_t u = bits(planes, x, s);
  if (signed_) u ^= uint64_t{1} << (n - 1);
  if (p_.bps == 8 || n == 16) return static_cast<uint32_t>(u);
  const uint64_t max = ~uint64_t{0} >> (64 - n);
  return static_cast<uint32_t>((static_cast<unsigned __int128>(u) * 65535 + max / 2) / max);
}

void SampleMapper::map(const uint8_t** planes) {
  if (p_.map == SampleMap::FlipSign) {
    const int rows = separate_ ? p_.storedSpp : 1;
    const std::size_t n = std::size_t{p_.width} * (separate_ ? 1 : p_.storedSpp);
    for (int s = 0; s < rows; ++s) {
      // The band is the reader's own buffer; each row is flipped once, just before it is converted.
      uint8_t* row = const_cast<uint8_t*>(planes[s]);
      if (p_.storedBps == 8) {
        for (std::size_t i = 0; i < n; ++i) row[i] ^= 0x80;
      } else {
        for (std::size_t i = 0; i < n; ++i) row[2 * i + (std::endian::native == std::endian::little)] ^= 0x80;
      }
    }
    return;
  }
  const int c = p_.colourSamples;
  const bool storedAlpha = p_.hasAlpha && !p_.noDataAlpha;
  uint8_t* o = row_.data();
  auto put = [&](uint32_t v) {
    if (p_.bps == 8) {
      *o++ = static_cast<uint8_t>(v);
    } else {
      const uint16_t w = static_cast<uint16_t>(v);
      std::memcpy(o, &w, 2);
      o += 2;
    }
  };
  const uint32_t opaque = p_.bps == 8 ? 255 : 65535;
  for (uint32_t x = 0; x < p_.width; ++x) {
    const bool hole = p_.hasNoData && noData(planes, x);
    for (int s = 0; s < c; ++s) put(hole ? 0 : mapped(planes, x, s));
    if (p_.hasAlpha) put(hole ? 0 : storedAlpha ? mapped(planes, x, c) : opaque);
  }
  planes[0] = row_.data();
}

Failure FindFloatRange(TIFF* tif, Page& p) {
  RowReader reader(tif, p);
  if (Failure f = reader.init(); !f.ok()) return f;
  const SampleMapper mapper(p);
  std::vector<const uint8_t*> planes(p.storedSpp, nullptr);
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (uint32_t y = 0; y < p.height; ++y) {
    const uint32_t* rgba = nullptr;
    if (Failure f = reader.row(y, planes.data(), &rgba); !f.ok()) return f;
    for (uint32_t x = 0; x < p.width; ++x)
      for (int s = 0; s < p.colourSamples; ++s) {
        const double v = mapper.value(planes.data(), x, s);
        if (!std::isfinite(v) || (p.hasNoData && v == p.noData)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
  }
  const bool unit = lo > hi || (lo >= 0 && hi <= 1);  // no finite sample at all, or all in [0, 1]
  p.lo = unit ? 0.0 : lo;
  p.hi = unit ? 1.0 : hi;
  return {};
}

}  // namespace tovanel::tools::topng
