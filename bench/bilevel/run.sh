#!/bin/sh
# Where the converter's time goes on bilevel pages: decoding, the rows' copy with their filter bytes,
# and each deflate coding the converter may choose (libdeflate's levels, zlib's run-only), in ms per
# page and bytes over all pages; then the whole converter per page, one process per file, on one core.
# Usage: bench/bilevel/run.sh [build folder] [TIFF files...]   (default: the Group 4 pages of
#        bench-singles/, made by bench/singles/make_folder.sh when missing; REPEAT=n, default 3)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
[ $# -gt 0 ] && shift
if [ $# -eq 0 ]; then
  [ -f "$root/bench-singles/SHA256SUMS" ] || "$root/bench/singles/make_folder.sh" "$root/bench-singles" >/dev/null
  set -- "$root"/bench-singles/g4-*.tif
fi
cmake --build "$build" --target tovanel-bench-bilevel tovanel-topng -j2 >/dev/null
taskset -c 0 "$build/bench-bin/tovanel-bench-bilevel" "$@"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tovanel-bilevel.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cp "$@" "$scratch/"
start=$(date +%s%N)
for f in "$scratch"/*.tif; do taskset -c 0 "$build/bin/tovanel-topng" -out png "$f"; done
end=$(date +%s%N)
echo "tovanel-topng, one process per page on one core: $(( (end - start) / 1000 / $# )) us per page," \
  "$(cat "$scratch"/*.png | wc -c) PNG bytes"
