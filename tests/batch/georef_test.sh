#!/bin/sh
# A GeoTIFF page's PNG lies where the page lies: GDAL reads from the PNG (its world file and
# auxiliary XML) the same transform, to 1e-9 of a pixel, and the same coordinate system as from the
# TIFF. The GeoTIFFs are made here with GDAL, one per way of placing a raster, beside the corpus's own.
# Usage: georef_test.sh SOURCE_DIR BIN_DIR WORK_DIR
set -eu
src=$1 bin=$2 work=$3
rm -rf "$work"
mkdir -p "$work/home/tmp" "$work/in" "$work/out" "$work/plain"
export HOME="$work/home" TMPDIR="$work/home/tmp" TEMP="$work/home/tmp" XDG_CACHE_HOME="$work/home/cache"
cd "$work/in"

make() {  # make NAME SRS ULX ULY LRX LRY [gdal_create options...]
  name=$1 srs=$2 ulx=$3 uly=$4 lrx=$5 lry=$6
  shift 6
  gdal_create -q -of GTiff -outsize 7 5 -bands 1 -ot Int16 -burn 3 -a_srs "$srs" -a_ullr "$ulx" "$uly" "$lrx" "$lry" \
    "$@" "$name.tif"
}
make epsg-area EPSG:32633 500000 5000300 500700 5000000
make epsg-point EPSG:32633 500000 5000300 500700 5000000 -mo AREA_OR_POINT=Point
make geographic EPSG:4326 -10.5 52.25 -10.43 52.2
make by-parameters '+proj=lcc +lat_1=33 +lat_2=45 +lat_0=39 +lon_0=-96 +x_0=0 +y_0=0 +datum=NAD83 +units=m +no_defs' \
  -1000 2000 -300 1500
# Rotated: the transform has terms off its diagonal, so the file holds a ModelTransformation.
cat > rotated.vrt <<EOF
<VRTDataset rasterXSize="7" rasterYSize="5">
  <SRS>EPSG:32633</SRS>
  <GeoTransform>500000, 86.6025403784, 50, 5000300, 50, -86.6025403784</GeoTransform>
  <VRTRasterBand dataType="Int16" band="1">
    <SimpleSource><SourceFilename relativeToVRT="1">epsg-area.tif</SourceFilename><SourceBand>1</SourceBand></SimpleSource>
  </VRTRasterBand>
</VRTDataset>
EOF
gdal_translate -q rotated.vrt rotated.tif
gdal_translate -q -mo AREA_OR_POINT=Point rotated.vrt rotated-point.tif
rm rotated.vrt
# Every GeoTIFF of the corpus: those whose first page has a pixel scale or a transformation.
for f in "$src"/tests/corpus/*.tif "$src"/tests/corpus/*.tiff; do
  if tiffinfo -0 "$f" 2>/dev/null | grep -q -e '^  Tag 33550:' -e '^  Tag 34264:'; then
    cp "$f" .
  fi
done
# A page with no GeoTIFF tags gets nothing beside its PNG.
cp "$src/tests/corpus/libtiff_minisblack-1c-8b.tiff" "$work/plain/plain.tif"

"$bin/tovanel-batch" --quiet --ext '*' --report "$work/report.jsonl" --out "$work/out" "$work/in" "$work/plain"

failed=0
for tif in *.tif *.tiff; do
  [ -e "$tif" ] || continue
  png="$work/out/${tif%.*}.png_1.png"
  if ! python3 - "$tif" "$png" <<'EOF'
import json, subprocess, sys
def info(path):
    return json.loads(subprocess.run(["gdalinfo", "-json", path], check=True, capture_output=True, text=True).stdout)
def srs(path):
    return subprocess.run(["gdalsrsinfo", "--single-line", "-o", "proj4", path], check=True, capture_output=True,
                          text=True).stdout.strip()
tif, png = sys.argv[1:]
a, b = info(tif), info(png)
ta, tb = a.get("geoTransform"), b.get("geoTransform")
if not ta or not tb:
    sys.exit(f"{tif}: no transform read from the {'TIFF' if not ta else 'PNG'}")
pixel = max(abs(v) for v in ta[1:3] + ta[4:6])
if any(abs(x - y) > 1e-9 * pixel for x, y in zip(ta, tb)):
    sys.exit(f"{tif}: transform {tb} from the PNG, {ta} from the TIFF")
if srs(tif) != srs(png):
    sys.exit(f"{tif}: coordinate system '{srs(png)}' from the PNG, '{srs(tif)}' from the TIFF")
EOF
  then
    failed=1
  fi
done
# The report names the files beside a map page's PNG, and none beside another page's.
if ! grep -q "\"sidecars\":\[\"$work/out/epsg-area.png_1.pgw\",\"$work/out/epsg-area.png_1.png.aux.xml\"\]" \
    "$work/report.jsonl" || grep "plain.tif" "$work/report.jsonl" | grep -q sidecars; then
  echo "the report does not name the world file and coordinate system of each map page alone"
  failed=1
fi
for extra in plain.png_1.pgw plain.png_1.png.aux.xml; do
  if [ -e "$work/out/$extra" ]; then
    echo "$extra written for a page with no GeoTIFF tags"
    failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "each of $(ls *.tif *.tiff 2>/dev/null | wc -l) pages lies where its TIFF page lies"
exit "$failed"
