// The tags a page file takes over from its source page: those that decode its data, and those that describe it.
#include "page_tags.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tovanel::tools {

namespace {

template <typename T>
void CopyScalar(TIFF* in, TIFF* out, ttag_t tag) {
  T v{};
  if (TIFFGetField(in, tag, &v) == 1) TIFFSetField(out, tag, v);
}

void CopyFloatArray(TIFF* in, TIFF* out, ttag_t tag) {
  float* v = nullptr;
  if (TIFFGetField(in, tag, &v) == 1 && v) TIFFSetField(out, tag, v);
}

void CopyCountedBlob(TIFF* in, TIFF* out, ttag_t tag) {
  uint32_t count = 0;
  void* data = nullptr;
  if (TIFFGetField(in, tag, &count, &data) == 1 && count > 0 && data) TIFFSetField(out, tag, count, data);
}

void CopyText(TIFF* in, TIFF* out, ttag_t tag) {
  char* s = nullptr;
  if (TIFFGetField(in, tag, &s) == 1 && s) TIFFSetField(out, tag, s);
}

// SMinSampleValue and SMaxSampleValue hold a value per sample; libtiff hands out one (the least or
// greatest) unless asked for all of them.
void CopyPerSampleRange(TIFF* in, TIFF* out, ttag_t tag) {
  double* values = nullptr;
  TIFFSetField(in, TIFFTAG_PERSAMPLE, PERSAMPLE_MULTI);
  const bool got = TIFFGetField(in, tag, &values) == 1 && values;
  TIFFSetField(in, TIFFTAG_PERSAMPLE, PERSAMPLE_MERGED);
  if (!got) return;
  TIFFSetField(out, TIFFTAG_PERSAMPLE, PERSAMPLE_MULTI);
  TIFFSetField(out, tag, values);
  TIFFSetField(out, TIFFTAG_PERSAMPLE, PERSAMPLE_MERGED);
}

// A tag libtiff has no definition of (GDAL's metadata and no-data value): the reading handle keeps it
// with the type and count the file gives, and the page file is taught the same definition, so that
// the value arrives byte for byte.
void CopyUndefinedTag(TIFF* in, TIFF* out, ttag_t tag, const char* name) {
  const TIFFField* field = TIFFFindField(in, tag, TIFF_ANY);
  if (!field) return;
  const TIFFDataType type = TIFFFieldDataType(field);
  uint32_t count = 0;
  void* data = nullptr;
  if (TIFFFieldPassCount(field)) {
    if (TIFFFieldReadCount(field) == TIFF_VARIABLE2) {
      if (TIFFGetField(in, tag, &count, &data) != 1) return;
    } else {
      uint16_t shortCount = 0;
      if (TIFFGetField(in, tag, &shortCount, &data) != 1) return;
      count = shortCount;
    }
  } else if (type == TIFF_ASCII) {  // a libtiff that defines the tag as text
    char* text = nullptr;
    if (TIFFGetField(in, tag, &text) != 1 || !text) return;
    data = text;
    count = static_cast<uint32_t>(std::strlen(text) + 1);
  }
  if (!data || count == 0) return;

  const TIFFField* known = TIFFFindField(out, tag, TIFF_ANY);
  if (!known) {
    // libtiff keeps the name's pointer: it must outlive the page file's handle.
    const TIFFFieldInfo info = {tag, TIFF_VARIABLE2, TIFF_VARIABLE2, type, FIELD_CUSTOM, 1, 1, const_cast<char*>(name)};
    if (TIFFMergeFieldInfo(out, &info, 1) != 0) return;
    known = TIFFFindField(out, tag, TIFF_ANY);
  }
  if (!known || TIFFFieldDataType(known) != type) return;
  if (!TIFFFieldPassCount(known)) {
    if (type == TIFF_ASCII) TIFFSetField(out, tag, static_cast<const char*>(data));  // libtiff ends text with a NUL
  } else if (TIFFFieldWriteCount(known) == TIFF_VARIABLE2) {
    TIFFSetField(out, tag, count, data);
  } else if (count <= UINT16_MAX) {
    TIFFSetField(out, tag, static_cast<int>(count), data);
  }
}

}  // namespace

// Tags that say where and how the page is shown and where it came from; none of them changes pixels.
void CopyDescriptiveTags(TIFF* in, TIFF* out) {
  CopyScalar<float>(in, out, TIFFTAG_XRESOLUTION);
  CopyScalar<float>(in, out, TIFFTAG_YRESOLUTION);
  CopyScalar<uint16_t>(in, out, TIFFTAG_RESOLUTIONUNIT);
  CopyScalar<float>(in, out, TIFFTAG_XPOSITION);
  CopyScalar<float>(in, out, TIFFTAG_YPOSITION);
  CopyScalar<uint16_t>(in, out, TIFFTAG_ORIENTATION);
  CopyCountedBlob(in, out, TIFFTAG_ICCPROFILE);
  for (ttag_t tag : {TIFFTAG_DOCUMENTNAME, TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE, TIFFTAG_MODEL,
                     TIFFTAG_PAGENAME, TIFFTAG_SOFTWARE, TIFFTAG_DATETIME, TIFFTAG_ARTIST,
                     TIFFTAG_HOSTCOMPUTER, TIFFTAG_COPYRIGHT})
    CopyText(in, out, tag);
  CopyUndefinedTag(in, out, TIFFTAG_GDAL_METADATA, "GDALMetadata");
  // Where the page lies on the map (GeoTIFF).
  CopyUndefinedTag(in, out, 33550, "ModelPixelScaleTag");
  CopyUndefinedTag(in, out, 33922, "ModelTiepointTag");
  CopyUndefinedTag(in, out, 34264, "ModelTransformationTag");
  CopyUndefinedTag(in, out, 34735, "GeoKeyDirectoryTag");
  CopyUndefinedTag(in, out, 34736, "GeoDoubleParamsTag");
  CopyUndefinedTag(in, out, 34737, "GeoAsciiParamsTag");
  CopyCountedBlob(in, out, TIFFTAG_XMLPACKET);
  CopyCountedBlob(in, out, TIFFTAG_RICHTIFFIPTC);
}

// Everything a decoder needs to turn the raw strips or tiles back into the page's pixels. The
// compression goes first: its codec registers the tags that belong to it (predictor, fax options,
// JPEG tables).
void CopyLayoutAndCodecTags(TIFF* in, TIFF* out) {
  uint32_t width = 0, length = 0;
  TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
  TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(out, TIFFTAG_IMAGELENGTH, length);

  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
  TIFFSetField(out, TIFFTAG_COMPRESSION, compression);

  uint16_t bits = 1, samples = 1, planar = PLANARCONFIG_CONTIG;
  TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &planar);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, planar);
  CopyScalar<uint16_t>(in, out, TIFFTAG_PHOTOMETRIC);
  CopyScalar<uint16_t>(in, out, TIFFTAG_SAMPLEFORMAT);
  CopyScalar<uint16_t>(in, out, TIFFTAG_FILLORDER);

  if (TIFFIsTiled(in)) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(in, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(in, TIFFTAG_TILELENGTH, &th);
    TIFFSetField(out, TIFFTAG_TILEWIDTH, tw);
    TIFFSetField(out, TIFFTAG_TILELENGTH, th);
  } else {
    // The value libtiff reads with (after it cut one big uncompressed strip into several) is the
    // one that matches the strips we copy.
    uint32_t rows = length;
    TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &rows);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, std::clamp<uint32_t>(rows, 1, length));
  }

  CopyScalar<uint16_t>(in, out, TIFFTAG_PREDICTOR);
  CopyScalar<uint32_t>(in, out, TIFFTAG_GROUP3OPTIONS);
  CopyScalar<uint32_t>(in, out, TIFFTAG_GROUP4OPTIONS);
  CopyScalar<uint16_t>(in, out, TIFFTAG_CLEANFAXDATA);
  CopyCountedBlob(in, out, TIFFTAG_JPEGTABLES);

  uint16_t extraCount = 0;
  uint16_t* extra = nullptr;
  if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1 && extraCount > 0)
    TIFFSetField(out, TIFFTAG_EXTRASAMPLES, extraCount, extra);

  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue) == 1 && red && green && blue)
    TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);

  uint16_t subH = 0, subV = 0;
  if (TIFFGetField(in, TIFFTAG_YCBCRSUBSAMPLING, &subH, &subV) == 1)
    TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, subH, subV);
  CopyScalar<uint16_t>(in, out, TIFFTAG_YCBCRPOSITIONING);
  CopyFloatArray(in, out, TIFFTAG_YCBCRCOEFFICIENTS);
  CopyFloatArray(in, out, TIFFTAG_REFERENCEBLACKWHITE);
  CopyFloatArray(in, out, TIFFTAG_WHITEPOINT);
  CopyFloatArray(in, out, TIFFTAG_PRIMARYCHROMATICITIES);
  CopyScalar<uint16_t>(in, out, TIFFTAG_INKSET);
  CopyScalar<uint16_t>(in, out, TIFFTAG_NUMBEROFINKS);
  CopyScalar<uint16_t>(in, out, TIFFTAG_THRESHHOLDING);
  CopyScalar<uint16_t>(in, out, TIFFTAG_MINSAMPLEVALUE);
  CopyScalar<uint16_t>(in, out, TIFFTAG_MAXSAMPLEVALUE);

  // What the stored values mean: their range (floating point is stretched from it) and the value
  // that marks pixels holding no data (they become transparent). Set once the samples per pixel are.
  CopyPerSampleRange(in, out, TIFFTAG_SMINSAMPLEVALUE);
  CopyPerSampleRange(in, out, TIFFTAG_SMAXSAMPLEVALUE);
  CopyUndefinedTag(in, out, TIFFTAG_GDAL_NODATA, "GDALNoDataValue");
}

}  // namespace tovanel::tools
