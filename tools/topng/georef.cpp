// A GeoTIFF page's place on the map. The transform is read from the tags as GDAL reads it; the
// coordinate system from the GeoKeys, through libgeotiff and PROJ, which are loaded only when a page
// has GeoKeys, so that every other page starts without them.
#include "georef.h"

#include "loaded_library.h"

#include <geotiff/geo_normalize.h>
#include <geotiff/geo_tiffp.h>
#include <geotiff/geotiffio.h>
#include <proj.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace tovanel::tools::topng {

namespace {

constexpr ttag_t kPixelScale = 33550;
constexpr ttag_t kTiepoint = 33922;
constexpr ttag_t kTransformation = 34264;
constexpr ttag_t kKeyDirectory = 34735;
constexpr ttag_t kDoubleParams = 34736;
constexpr ttag_t kAsciiParams = 34737;

constexpr uint16_t kModelTypeKey = 1024;
constexpr uint16_t kRasterTypeKey = 1025;
constexpr uint16_t kGeographicTypeKey = 2048;
constexpr uint16_t kProjectedTypeKey = 3072;
constexpr uint16_t kRasterPixelIsPoint = 2;
constexpr uint16_t kModelProjected = 1;
constexpr uint16_t kModelGeographic = 2;
constexpr uint16_t kUserDefined = 32767;

// A tag's values as the file gives them; libtiff knows these tags only as anonymous ones, whose count
// is 32 bits wide, unless something taught it their definition.
template <typename T>
std::vector<T> TagValues(TIFF* tif, ttag_t tag, TIFFDataType type) {
  const TIFFField* field = TIFFFindField(tif, tag, TIFF_ANY);
  if (!field || TIFFFieldDataType(field) != type || !TIFFFieldPassCount(field)) return {};
  uint32_t count = 0;
  void* data = nullptr;
  if (TIFFFieldReadCount(field) == TIFF_VARIABLE2) {
    if (TIFFGetField(tif, tag, &count, &data) != 1) return {};
  } else {
    uint16_t shortCount = 0;
    if (TIFFGetField(tif, tag, &shortCount, &data) != 1) return {};
    count = shortCount;
  }
  if (!data) return {};
  const T* values = static_cast<const T*>(data);
  return std::vector<T>(values, values + count);
}

std::string AsciiParams(TIFF* tif) {
  const TIFFField* field = TIFFFindField(tif, kAsciiParams, TIFF_ANY);
  if (!field || TIFFFieldDataType(field) != TIFF_ASCII) return {};
  if (!TIFFFieldPassCount(field)) {
    char* text = nullptr;
    return TIFFGetField(tif, kAsciiParams, &text) == 1 && text ? std::string(text) : std::string();
  }
  const std::vector<char> chars = TagValues<char>(tif, kAsciiParams, TIFF_ASCII);
  std::string text(chars.begin(), chars.end());
  if (const auto nul = text.find('\0'); nul != std::string::npos && nul + 1 == text.size()) text.pop_back();
  return text;
}

// The GeoKeys of a page, read once; libgeotiff reads them from here rather than from the TIFF handle.
struct GeoTags {
  std::vector<uint16_t> keys;
  std::vector<double> doubles;
  std::string ascii;

  // A key's inline value (location 0), or def.
  uint16_t shortKey(uint16_t id, uint16_t def) const {
    if (keys.size() < 4) return def;
    const std::size_t count = keys[3];
    for (std::size_t k = 0; k < count && 4 + 4 * k + 3 < keys.size(); ++k) {
      const uint16_t* e = &keys[4 + 4 * k];
      if (e[0] == id && e[1] == 0 && e[2] == 1) return e[3];
    }
    return def;
  }
};

// The room libgeotiff's own reader leaves after a tag's values.
constexpr std::size_t kSpareValues = 1000;

// libgeotiff's tag reader over GeoTags: each value array comes as a zeroed copy with room to spare,
// which libgeotiff frees with libtiff's free.
int GetTag(tiff_t* tif, pinfo_t tag, int* count, void* value) {
  const GeoTags& tags = *reinterpret_cast<const GeoTags*>(tif);
  const void* data = nullptr;
  std::size_t n = 0, size = 0;
  if (tag == kKeyDirectory) {
    data = tags.keys.data(), n = tags.keys.size(), size = sizeof(uint16_t);
  } else if (tag == kDoubleParams) {
    data = tags.doubles.data(), n = tags.doubles.size(), size = sizeof(double);
  } else if (tag == kAsciiParams) {
    data = tags.ascii.c_str(), n = tags.ascii.size() + 1, size = 1;
  }
  if (!data || n == 0 || n > INT32_MAX / 16) return 0;
  void* copy = std::calloc(n + kSpareValues, size);
  if (!copy) return 0;
  std::memcpy(copy, data, n * size);
  *count = static_cast<int>(n);
  *static_cast<void**>(value) = copy;
  return 1;
}

int SetTag(tiff_t*, pinfo_t, int, void*) { return 0; }

tagtype_t TagType(tiff_t*, pinfo_t tag) {
  if (tag == kAsciiParams) return TYPE_ASCII;
  if (tag == kKeyDirectory) return TYPE_SHORT;
  return tag == kDoubleParams || tag == kPixelScale || tag == kTiepoint || tag == kTransformation ? TYPE_DOUBLE
                                                                                                  : TYPE_UNKNOWN;
}

// Loaded when the first page with GeoKeys needs them.
struct Proj {
  decltype(&proj_context_create) contextCreate = nullptr;
  decltype(&proj_context_destroy) contextDestroy = nullptr;
  decltype(&proj_create) create = nullptr;
  decltype(&proj_as_wkt) asWkt = nullptr;
  decltype(&proj_as_proj_string) asProjString = nullptr;
  decltype(&proj_destroy) destroy = nullptr;
  bool ok() const { return contextCreate && contextDestroy && create && asWkt && asProjString && destroy; }
};

struct GeoTiffLib {
  decltype(&GTIFNewWithMethods) newWithMethods = nullptr;
  decltype(&GTIFFree) free = nullptr;
  decltype(&GTIFAllocDefn) allocDefn = nullptr;
  decltype(&GTIFFreeDefn) freeDefn = nullptr;
  decltype(&GTIFGetDefn) getDefn = nullptr;
  decltype(&GTIFGetProj4Defn) proj4 = nullptr;
  decltype(&GTIFFreeMemory) freeMemory = nullptr;
  bool ok() const { return newWithMethods && free && allocDefn && freeDefn && getDefn && proj4 && freeMemory; }
};

const Proj& LoadProj() {
  static const Proj proj = [] {
    Proj p;
    void* lib = LoadLibrary("libproj.so.25");
    FindSymbol(lib, "proj_context_create", p.contextCreate);
    FindSymbol(lib, "proj_context_destroy", p.contextDestroy);
    FindSymbol(lib, "proj_create", p.create);
    FindSymbol(lib, "proj_as_wkt", p.asWkt);
    FindSymbol(lib, "proj_as_proj_string", p.asProjString);
    FindSymbol(lib, "proj_destroy", p.destroy);
    return p;
  }();
  return proj;
}

const GeoTiffLib& LoadGeoTiff() {
  static const GeoTiffLib geotiff = [] {
    GeoTiffLib g;
    void* lib = LoadLibrary("libgeotiff.so.5");
    FindSymbol(lib, "GTIFNewWithMethods", g.newWithMethods);
    FindSymbol(lib, "GTIFFree", g.free);
    FindSymbol(lib, "GTIFAllocDefn", g.allocDefn);
    FindSymbol(lib, "GTIFFreeDefn", g.freeDefn);
    FindSymbol(lib, "GTIFGetDefn", g.getDefn);
    FindSymbol(lib, "GTIFGetProj4Defn", g.proj4);
    FindSymbol(lib, "GTIFFreeMemory", g.freeMemory);
    return g;
  }();
  return geotiff;
}

// A coordinate system the GeoKeys define by their parameters, as a PROJ string; empty when
// libgeotiff cannot tell it.
std::string Proj4FromKeys(const GeoTags& tags, short& gcs) {
  const GeoTiffLib& g = LoadGeoTiff();
  if (!g.ok()) return {};
  TIFFMethod methods{GetTag, SetTag, TagType};
  GTIF* gtif = g.newWithMethods(const_cast<GeoTags*>(&tags), &methods);
  if (!gtif) return {};
  std::string text;
  if (GTIFDefn* defn = g.allocDefn()) {
    if (g.getDefn(gtif, defn)) {
      gcs = defn->GCS;
      if (char* proj4 = g.proj4(defn)) {
        if (*proj4) text = std::string(proj4) + " +type=crs";
        g.freeMemory(proj4);
      }
    }
    g.freeDefn(defn);
  }
  g.free(gtif);
  return text;
}

// definition ("EPSG:n" or a PROJ string) as WKT, or as it is when PROJ cannot read it.
std::string AsWkt(const std::string& definition) {
  const Proj& p = LoadProj();
  if (!p.ok()) return definition;
  PJ_CONTEXT* ctx = p.contextCreate();
  std::string wkt = definition;
  if (PJ* crs = ctx ? p.create(ctx, definition.c_str()) : nullptr) {
    const char* const options[] = {"MULTILINE=NO", nullptr};
    const char* text = p.asWkt(ctx, crs, PJ_WKT1_GDAL, options);
    if (!text) text = p.asWkt(ctx, crs, PJ_WKT2_2019, options);
    if (text) wkt = text;
    p.destroy(crs);
  }
  if (ctx) p.contextDestroy(ctx);
  return wkt;
}

// The words of a PROJ string that say which datum (or ellipsoid and shift) its coordinates are on.
bool IsDatumWord(const std::string& word) {
  for (const char* key : {"+datum=", "+ellps=", "+a=", "+b=", "+rf=", "+R=", "+towgs84=", "+nadgrids=", "+pm="})
    if (word.rfind(key, 0) == 0) return true;
  return false;
}

// libgeotiff writes a projection on a datum it does not spell out (NAD83, ETRS89, ...) with its
// ellipsoid alone; the datum of the geographic system the GeoKeys name by its EPSG code goes in
// instead, as PROJ gives it.
std::string WithDatumOf(short gcs, const std::string& proj4) {
  if (gcs <= 0 || gcs == kUserDefined) return proj4;
  const Proj& p = LoadProj();
  if (!p.ok()) return proj4;
  PJ_CONTEXT* ctx = p.contextCreate();
  std::string datum;
  if (PJ* base = ctx ? p.create(ctx, ("EPSG:" + std::to_string(gcs)).c_str()) : nullptr) {
    if (const char* text = p.asProjString(ctx, base, PJ_PROJ_5, nullptr)) datum = text;
    p.destroy(base);
  }
  if (ctx) p.contextDestroy(ctx);
  std::string kept, words;
  std::istringstream in(proj4), from(datum);
  for (std::string word; in >> word;)
    if (!IsDatumWord(word)) kept += word + " ";
  for (std::string word; from >> word;)
    if (IsDatumWord(word)) words += word + " ";
  if (words.empty()) return proj4;
  kept += words;
  kept.pop_back();
  return kept;
}

std::string CrsOf(const GeoTags& tags) {
  if (tags.keys.size() < 4) return {};
  const uint16_t model = tags.shortKey(kModelTypeKey, 0);
  const uint16_t pcs = tags.shortKey(kProjectedTypeKey, 0);
  const uint16_t gcs = tags.shortKey(kGeographicTypeKey, 0);
  if (model == kModelProjected && pcs != 0 && pcs != kUserDefined) return AsWkt("EPSG:" + std::to_string(pcs));
  if (model == kModelGeographic && gcs != 0 && gcs != kUserDefined) return AsWkt("EPSG:" + std::to_string(gcs));
  short base = 0;
  const std::string proj4 = Proj4FromKeys(tags, base);
  return proj4.empty() ? std::string() : AsWkt(WithDatumOf(base, proj4));
}

std::string XmlEscaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

bool AllFinite(const GeoTransform& t) {
  for (const double v : t)
    if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace

std::optional<Georeference> ReadGeoreference(TIFF* tif) {
  GeoTags tags;
  tags.keys = TagValues<uint16_t>(tif, kKeyDirectory, TIFF_SHORT);
  const bool pixelIsPoint = tags.shortKey(kRasterTypeKey, 1) == kRasterPixelIsPoint;

  Georeference g;
  GeoTransform& t = g.transform;
  const std::vector<double> scale = TagValues<double>(tif, kPixelScale, TIFF_DOUBLE);
  const std::vector<double> tie = TagValues<double>(tif, kTiepoint, TIFF_DOUBLE);
  const std::vector<double> matrix = TagValues<double>(tif, kTransformation, TIFF_DOUBLE);
  if (scale.size() >= 2 && scale[0] != 0.0 && scale[1] != 0.0 && tie.size() >= 6) {
    t = {0.0, scale[0], 0.0, 0.0, 0.0, -scale[1]};
    t[0] = tie[3] - tie[0] * t[1];
    t[3] = tie[4] - tie[1] * t[5];
  } else if (matrix.size() == 16) {
    t = {matrix[3], matrix[0], matrix[1], matrix[7], matrix[4], matrix[5]};
  } else {
    return std::nullopt;
  }
  if (pixelIsPoint) {
    t[0] -= t[1] * 0.5 + t[2] * 0.5;
    t[3] -= t[4] * 0.5 + t[5] * 0.5;
  }
  if (!AllFinite(t)) return std::nullopt;
  g.pixelIsPoint = pixelIsPoint;
  tags.doubles = TagValues<double>(tif, kDoubleParams, TIFF_DOUBLE);
  tags.ascii = AsciiParams(tif);
  g.crs = CrsOf(tags);
  return g;
}

std::string WorldFileText(const GeoTransform& t) {
  const double centre[2] = {t[0] + 0.5 * t[1] + 0.5 * t[2], t[3] + 0.5 * t[4] + 0.5 * t[5]};
  std::string text;
  char line[64];
  for (const double v : {t[1], t[4], t[2], t[5], centre[0], centre[1]}) {
    std::snprintf(line, sizeof line, "%.17g\n", v == 0.0 ? 0.0 : v);
    text += line;
  }
  return text;
}

std::string AuxXmlText(const Georeference& g) {
  if (g.crs.empty() && !g.pixelIsPoint) return {};
  std::string xml = "<PAMDataset>\n";
  if (!g.crs.empty()) xml += "  <SRS>" + XmlEscaped(g.crs) + "</SRS>\n";
  if (g.pixelIsPoint) xml += "  <Metadata>\n    <MDI key=\"AREA_OR_POINT\">Point</MDI>\n  </Metadata>\n";
  return xml + "</PAMDataset>\n";
}

std::string WorldFilePathFor(const std::string& png) {
  const std::string stem = png.size() > 4 && png.compare(png.size() - 4, 4, ".png") == 0 ? png.substr(0, png.size() - 4)
                                                                                        : png;
  return stem + ".pgw";
}

std::string AuxXmlPathFor(const std::string& png) { return png + ".aux.xml"; }

}  // namespace tovanel::tools::topng
