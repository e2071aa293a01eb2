// Where a GeoTIFF page lies on the map, as the files a GIS reads beside a PNG: a world file and GDAL's
// auxiliary XML with the coordinate system.
#pragma once

#include <tiffio.h>

#include <array>
#include <optional>
#include <string>

namespace tovanel::tools::topng {

// The affine transform from pixel (column, row) to map coordinates, corner-based, in GDAL's order:
// x = t[0] + col * t[1] + row * t[2], y = t[3] + col * t[4] + row * t[5].
using GeoTransform = std::array<double, 6>;

struct Georeference {
  GeoTransform transform{};
  // The coordinate system as WKT (or, where PROJ cannot build it, as its EPSG code or PROJ string);
  // empty when the page has no GeoKeys.
  std::string crs;
  bool pixelIsPoint = false;
};

// The current directory's georeference, from ModelPixelScale and ModelTiepoint or from
// ModelTransformation, with a PixelIsPoint raster's half-pixel shift applied as GDAL applies it; none
// when the page has no such tags (or only ground control points).
std::optional<Georeference> ReadGeoreference(TIFF* tif);

// The six lines of a world file: the pixel size and rotation terms, then the centre of the top-left
// pixel, each written so that it reads back to the same double.
std::string WorldFileText(const GeoTransform& t);

// GDAL's auxiliary file (NAME.png.aux.xml) holding the coordinate system and, for PixelIsPoint
// rasters, AREA_OR_POINT; empty when there is nothing to say.
std::string AuxXmlText(const Georeference& g);

// The sidecars of the PNG at png (NAME.png): NAME.pgw and NAME.png.aux.xml.
std::string WorldFilePathFor(const std::string& png);
std::string AuxXmlPathFor(const std::string& png);

}  // namespace tovanel::tools::topng
