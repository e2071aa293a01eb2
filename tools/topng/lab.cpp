// CIE L*a*b* to sRGB: the stored encodings read as L* 0..100 and a*, b* around 0, then lcms2 from
// its D50 Lab to its sRGB profile (relative colorimetric), at the page's own depth.
#include "lab.h"

#include "loaded_library.h"

#include <lcms2.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace tovanel::tools::topng {

namespace {

// lcms2 is loaded when the first Lab page needs it, so that the converter's every other page starts
// without loading it (about 0.13 ms a start).
struct Lcms {
  decltype(&cmsCreateLab4Profile) createLab = nullptr;
  decltype(&cmsCreate_sRGBProfile) createSrgb = nullptr;
  decltype(&cmsCreateTransform) createTransform = nullptr;
  decltype(&cmsDoTransform) doTransform = nullptr;
  decltype(&cmsDeleteTransform) deleteTransform = nullptr;
  decltype(&cmsCloseProfile) closeProfile = nullptr;

  bool ok() const {
    return createLab && createSrgb && createTransform && doTransform && deleteTransform && closeProfile;
  }
};

const Lcms& LoadLcms() {
  static const Lcms lcms = [] {
    Lcms l;
    void* lib = LoadLibrary("liblcms2.so.2");
    if (!lib) return l;
    FindSymbol(lib, "cmsCreateLab4Profile", l.createLab);
    FindSymbol(lib, "cmsCreate_sRGBProfile", l.createSrgb);
    FindSymbol(lib, "cmsCreateTransform", l.createTransform);
    FindSymbol(lib, "cmsDoTransform", l.doTransform);
    FindSymbol(lib, "cmsDeleteTransform", l.deleteTransform);
    FindSymbol(lib, "cmsCloseProfile", l.closeProfile);
    return l;
  }();
  return lcms;
}

}  // namespace

LabRows::LabRows(const Page& p)
    : p_(p), separate_(p.storedPlanar == PLANARCONFIG_SEPARATE && p.storedSpp > 1),
      lab_(std::size_t{p.width} * 3), rgb_(std::size_t{p.width} * 3) {
  const Lcms& cms = LoadLcms();
  if (!cms.ok()) return;
  cmsHPROFILE lab = cms.createLab(nullptr);
  cmsHPROFILE srgb = cms.createSrgb();
  if (lab && srgb)
    transform_ = cms.createTransform(lab, TYPE_Lab_DBL, srgb, TYPE_RGB_16, INTENT_RELATIVE_COLORIMETRIC,
                                     cmsFLAGS_NOOPTIMIZE);
  if (lab) cms.closeProfile(lab);
  if (srgb) cms.closeProfile(srgb);
}

LabRows::~LabRows() {
  if (transform_) LoadLcms().deleteTransform(static_cast<cmsHTRANSFORM>(transform_));
}

uint32_t LabRows::sample(const uint8_t* const* planes, uint32_t x, int s) const {
  const uint8_t* row = separate_ ? planes[s] : planes[0];
  const std::size_t index = separate_ ? x : std::size_t{x} * p_.storedSpp + s;
  if (p_.storedBps == 8) return row[index];
  uint16_t v;
  std::memcpy(&v, row + 2 * index, 2);
  return v;
}

void LabRows::convert(const uint8_t* const* planes, uint8_t* out) {
  const bool wide = p_.storedBps == 16;
  const double max = wide ? 65535.0 : 255.0;
  for (uint32_t x = 0; x < p_.width; ++x) {
    const uint32_t l = sample(planes, x, 0), a = sample(planes, x, 1), b = sample(planes, x, 2);
    double* o = lab_.data() + 3 * std::size_t{x};
    o[0] = l * 100.0 / max;
    switch (p_.photometric) {
      case PHOTOMETRIC_CIELAB:  // a*, b* as signed integers, 16-bit ones in 1/256 units
        o[1] = wide ? static_cast<int16_t>(a) / 256.0 : static_cast<int8_t>(a);
        o[2] = wide ? static_cast<int16_t>(b) / 256.0 : static_cast<int8_t>(b);
        break;
      case PHOTOMETRIC_ICCLAB:  // a*, b* offset by 128 (8 bits) or 32768 and in 1/257 units (16 bits)
        o[1] = wide ? a / 257.0 - 128.0 : a - 128.0;
        o[2] = wide ? b / 257.0 - 128.0 : b - 128.0;
        break;
      default:  // ITU Lab with its default ranges: a* -85..85, b* -75..125
        o[1] = -85.0 + a * 170.0 / max;
        o[2] = -75.0 + b * 200.0 / max;
        break;
    }
  }
  LoadLcms().doTransform(static_cast<cmsHTRANSFORM>(transform_), lab_.data(), rgb_.data(), p_.width);
  uint8_t* o = out;
  const bool alpha = p_.hasAlpha;
  for (uint32_t x = 0; x < p_.width; ++x) {
    for (int c = 0; c < 3 + alpha; ++c) {
      const uint32_t v = c < 3 ? rgb_[3 * std::size_t{x} + c] : sample(planes, x, 3);
      if (wide) {
        *o++ = static_cast<uint8_t>(v >> 8);
        *o++ = static_cast<uint8_t>(v);
      } else {
        *o++ = static_cast<uint8_t>(c < 3 ? (v * 255 + 32767) / 65535 : v);
      }
    }
  }
}

}  // namespace tovanel::tools::topng
