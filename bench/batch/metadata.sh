#!/bin/sh
# The whole batch run with the pages' metadata kept against --strip (pixels, ICC and resolution only),
# on a copy of the benchmark corpus whose every page carries text tags, EXIF, GPS, XMP and IPTC (added
# by exiftool), and on the corpus as it is. Runs alternate (hyperfine), best and mean of repeats.
# Usage: bench/batch/metadata.sh [build folder] [corpus folder] [repeats]
set -eu
build=${1:-build}
root=$(cd "$(dirname "$0")/../.." && pwd)
corpus=${2:-$root/bench-corpus}
repeats=${3:-10}
[ -f "$corpus/SHA256SUMS" ] || "$root/bench/make_corpus.sh" "$corpus" >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/tovanel-meta-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/tagged" "$work/out"
cp "$corpus"/*.tif "$work/tagged/"
# exiftool writes a file's first directory; the IPTC and XMP go there, EXIF and GPS in sub-directories.
exiftool -q -overwrite_original -Artist='Bench Scanner' -ImageDescription='A page of the bench corpus' \
  -Make=Tovanel -Model=Bench -DateTimeOriginal='2026:01:02 03:04:05' -ExposureTime=1/60 -FNumber=5.6 \
  -GPSLatitude=52.5 -GPSLatitudeRef=N -XMP-dc:Title='Bench page' -IPTC:Keywords=bench "$work/tagged"/*.tif
for set in tagged corpus; do
  src=$work/tagged
  [ "$set" = corpus ] && src=$corpus
  echo "== $set"
  hyperfine -w 1 -r "$repeats" --prepare "rm -rf $work/out && mkdir $work/out" \
    "$build/bin/tovanel-batch -q --out $work/out $src" \
    "$build/bin/tovanel-batch -q --strip --out $work/out $src"
done
