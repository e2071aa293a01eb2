// Row decoding: strips, tiles, single scanlines of huge strips, and libtiff's RGBA interface.
#include "row_reader.h"

#include "topng.h"

#include <algorithm>
#include <cstring>

namespace tovanel::tools::topng {

RowReader::~RowReader() {
  if (rgbaOpen_) TIFFRGBAImageEnd(&rgba_);
}

Failure RowReader::init() {
  separate_ = p_.storedPlanar == PLANARCONFIG_SEPARATE && p_.storedSpp > 1;
  planes_ = separate_ ? p_.storedSpp : 1;
  const uint64_t samplesPerPlanePixel = separate_ ? 1 : p_.storedSpp;
  planeRowBytes_ = (uint64_t{p_.width} * samplesPerPlanePixel * p_.storedBps + 7) / 8;
  if (p_.mode == RowMode::FromRgba || p_.mode == RowMode::FromRgbaGrey) return initRgba();
  if (planeRowBytes_ > kMaxRowBytes) return {TooLarge, "the page's rows are wider than the limit of 64 MiB"};
  if (Failure f = p_.tiled ? initTiles(samplesPerPlanePixel) : initStrips(); !f.ok()) return f;
  rowStride_ = direct_ ? rowStride_ : planeRowBytes_;
  planeStride_ = direct_ ? planeStride_ : uint64_t{band_} * planeRowBytes_;
  if (direct_) return {};
  const uint64_t bandBytes = uint64_t{band_} * planeRowBytes_ * planes_;
  if (bandBytes > kMaxBandBytes) return {TooLarge, "the page's strips or tiles are larger than the limit of 256 MiB"};
  bandBuf_.assign(static_cast<std::size_t>(uint64_t{band_} * planeRowBytes_) * planes_ + kSlack, 0);
  return {};
}

Failure RowReader::initRgba() {
  char emsg[1024] = "";
  if (!TIFFRGBAImageBegin(&rgba_, tif_, 0, emsg)) return {Unsupported, std::string("cannot decode this page: ") + emsg};
  rgbaOpen_ = true;
  // No flipping: rows come in stored order, as with every other kind.
  rgba_.req_orientation = rgba_.orientation;
  band_ = p_.tiled ? p_.tileH : p_.rowsPerStrip;
  band_ = std::clamp<uint32_t>(band_, 1, p_.height);
  if (uint64_t{band_} * p_.width * 4 > kMaxBandBytes) band_ = std::max<uint32_t>(1, kMaxBandBytes / (uint64_t{p_.width} * 4));
  raster_.assign(std::size_t{band_} * p_.width, 0);
  return {};
}

Failure RowReader::initTiles(uint64_t samplesPerPlanePixel) {
  if ((uint64_t{p_.tileW} * samplesPerPlanePixel * p_.storedBps) % 8 != 0)
    return {Unsupported, "tiles whose rows do not end on a byte boundary are not supported"};
  band_ = p_.tileH;
  const uint64_t tileBytes = TIFFTileSize64(tif_);
  if (tileBytes == 0) return {Damaged, TiffWhy("invalid tile size")};
  // A few bytes can claim a tile of gigabytes: the bound holds before anything is allocated.
  if (tileBytes > kMaxBandBytes) return {TooLarge, "the page's tiles are larger than the limit of 256 MiB"};
  // A page one tile wide is decoded straight into the band, rows at the tile's own stride: a copy
  // would hold the largest tiles twice.
  if (p_.tileW >= p_.width && tileBytes * planes_ <= kMaxBandBytes) {
    direct_ = true;
    rowStride_ = TIFFTileRowSize64(tif_);
    planeStride_ = tileBytes;
    bandBuf_.resize(static_cast<std::size_t>(tileBytes * planes_) + kSlack);
    return {};
  }
  tileBuf_.resize(static_cast<std::size_t>(tileBytes) + kSlack);
  return {};
}

Failure RowReader::initStrips() {
  band_ = p_.rowsPerStrip;
  const uint64_t stripBytes = TIFFVStripSize64(tif_, band_);
  if (stripBytes == 0) return {Damaged, TiffWhy("invalid strip size")};
  // A huge single strip of a contiguous page is read line by line instead.
  if (stripBytes * planes_ > kMaxBandBytes) {
    if (separate_) return {TooLarge, "the page's strips are larger than the limit of 256 MiB"};
    scanline_ = true;
    band_ = 1;
  }
  return {};
}

Failure RowReader::row(uint32_t y, const uint8_t** planes, const uint32_t** rgba) {
  if (y >= bandStart_ + bandRows_ || bandRows_ == 0)
    if (Failure f = load(y); !f.ok()) return f;
  const uint32_t r = y - bandStart_;
  if (p_.mode == RowMode::FromRgba || p_.mode == RowMode::FromRgbaGrey) {
    *rgba = raster_.data() + std::size_t{r} * p_.width;
    return {};
  }
  for (int s = 0; s < planes_; ++s)
    planes[s] = bandBuf_.data() + static_cast<std::size_t>(s * planeStride_ + r * rowStride_);
  return {};
}

Failure RowReader::load(uint32_t y) {
  bandStart_ = y;
  bandRows_ = std::min<uint32_t>(band_, p_.height - y);
  if (p_.mode == RowMode::FromRgba || p_.mode == RowMode::FromRgbaGrey) {
    rgba_.row_offset = static_cast<int>(y);
    rgba_.col_offset = 0;
    if (!TIFFRGBAImageGet(&rgba_, raster_.data(), p_.width, bandRows_)) return fail();
    return {};
  }
  if (scanline_) return TIFFReadScanline(tif_, bandBuf_.data(), y, 0) < 0 ? fail() : Failure{};
  if (p_.tiled) return loadTiles(y);
  const uint32_t strip = y / p_.rowsPerStrip;
  const uint32_t stripsPerPlane = TIFFNumberOfStrips(tif_) / planes_;
  if (strip >= stripsPerPlane) return fail();
  const tmsize_t want = static_cast<tmsize_t>(uint64_t{bandRows_} * planeRowBytes_);
  for (int s = 0; s < planes_; ++s) {
    uint8_t* dst = bandBuf_.data() + static_cast<std::size_t>(s) * band_ * planeRowBytes_;
    const tmsize_t got = TIFFReadEncodedStrip(tif_, s * stripsPerPlane + strip, dst, want);
    if (got < want) return fail();
  }
  return {};
}

Failure RowReader::loadTiles(uint32_t y) {
  if (direct_) {
    for (int s = 0; s < planes_; ++s) {
      const uint32_t tile = TIFFComputeTile(tif_, 0, y, 0, static_cast<uint16_t>(s));
      uint8_t* dst = bandBuf_.data() + static_cast<std::size_t>(s * planeStride_);
      if (TIFFReadEncodedTile(tif_, tile, dst, static_cast<tmsize_t>(planeStride_)) < 0) return fail();
    }
    return {};
  }
  const uint64_t tileRowBytes = TIFFTileRowSize64(tif_);
  for (int s = 0; s < planes_; ++s) {
    uint8_t* planeBase = bandBuf_.data() + static_cast<std::size_t>(s) * band_ * planeRowBytes_;
    uint64_t xBytes = 0;
    for (uint32_t x = 0; x < p_.width; x += p_.tileW, xBytes += tileRowBytes) {
      const uint32_t tile = TIFFComputeTile(tif_, x, y, 0, static_cast<uint16_t>(s));
      if (TIFFReadEncodedTile(tif_, tile, tileBuf_.data(), static_cast<tmsize_t>(tileBuf_.size() - kSlack)) < 0)
        return fail();
      const std::size_t n = static_cast<std::size_t>(std::min(tileRowBytes, planeRowBytes_ - xBytes));
      for (uint32_t r = 0; r < bandRows_; ++r)
        std::memcpy(planeBase + r * planeRowBytes_ + xBytes, tileBuf_.data() + r * tileRowBytes, n);
    }
  }
  return {};
}

Failure RowReader::fail() { return {Damaged, TiffWhy("cannot decode the page's image data")}; }

}  // namespace tovanel::tools::topng
