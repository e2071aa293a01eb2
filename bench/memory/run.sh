#!/bin/bash
# Peak resident memory of each page tool, per page: the largest pages of the benchmark corpus and two
# G4 "bombs" of a few kilobytes that claim 100,000 x 100,000 and 46,000 x 46,000 pixels.
#
# Usage: bench/memory/run.sh [CORPUS_DIR] [BUILD_DIR]
#   CORPUS_DIR  the corpus of bench/make_corpus.sh (default: bench-corpus/ of the source tree,
#               generated there when missing)
#   BUILD_DIR   a build with bin/tovanel-split and bin/tovanel-topng (default: build/)
# Environment: PAGES=n measures the n largest page files (default 6).
# Prints one line per tool run: tool, page, pixels, exit status, seconds, peak RSS in MiB (GNU time %M).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
CORPUS=${1:-$ROOT/bench-corpus}
BUILD=${2:-$ROOT/build}
PAGES=${PAGES:-6}
CORPUS=$(realpath "$CORPUS")
BUILD=$(realpath "$BUILD")
SPLIT=$BUILD/bin/tovanel-split
TOPNG=$BUILD/bin/tovanel-topng
TIME=/usr/bin/time
PY=/usr/bin/python3
for tool in "$SPLIT" "$TOPNG" "$TIME" "$PY" /usr/bin/tiffinfo; do
  [ -x "$tool" ] || { echo "run.sh: $tool is missing" >&2; exit 1; }
done
if [ ! -f "$CORPUS/SHA256SUMS" ]; then
  echo "run.sh: generating the corpus into $CORPUS (a few minutes)" >&2
  "$ROOT/bench/make_corpus.sh" "$CORPUS" >/dev/null
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tovanel-memory.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# A little-endian one-page TIFF of all-white G4 rows: one bit per row on a white reference line.
bomb() {
  "$PY" - "$1" "$2" "$3" <<'PYEOF'
import struct, sys
path, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = b"\xff" * ((h + 7) // 8) + b"\x00\x10\x01"
fields = [(256, 4, w), (257, 4, h), (258, 3, 1), (259, 3, 4), (262, 3, 0), (273, 4, 8),
          (277, 3, 1), (278, 4, h), (279, 4, len(data)), (293, 4, 0)]
ifd = struct.pack("<H", len(fields))
for tag, typ, val in fields:
    ifd += struct.pack("<HHI", tag, typ, 1) + (struct.pack("<HH", val, 0) if typ == 3 else struct.pack("<I", val))
ifd += struct.pack("<I", 0)
pad = b"\0" * (len(data) % 2)
with open(path, "wb") as f:
    f.write(b"II*\0" + struct.pack("<I", 8 + len(data) + len(pad)) + data + pad + ifd)
PYEOF
}

# tool page-label pixels command...: runs command in $WORK/run under GNU time and prints one line.
measure() {
  local tool=$1 label=$2 pixels=$3
  shift 3
  local status=0
  (cd "$WORK/run" && "$TIME" -f '%M %e' -o "$WORK/time" "$@" >/dev/null 2>"$WORK/err") || status=$?
  # GNU time puts "Command exited with non-zero status" first when the tool fails.
  read -r kib secs < <(tail -n 1 "$WORK/time")
  printf '%-14s %-34s %14s %6s %8s %10.1f\n' "$tool" "$label" "$pixels" "$status" "$secs" "$(echo "$kib / 1024" | bc -l)"
}

pixels_of() {
  tiffinfo "$1" 2>/dev/null | awk '/Image Width:/ {print $3 * $6; exit}'
}

mkdir -p "$WORK/split" "$WORK/run"
printf '%-14s %-34s %14s %6s %8s %10s\n' tool page pixels status seconds peak-MiB

# Split every corpus file (the splitter's own figure per file), then convert its largest pages.
for f in "$CORPUS"/*.tif; do
  name=$(basename "$f" .tif)
  mkdir -p "$WORK/split/$name"
  measure tovanel-split "$name (whole file)" "-" "$SPLIT" "$f" "$WORK/split/$name/p"
done
find "$WORK/split" -name '*.tif' -printf '%s %p\n' | sort -rn | sed -n "1,${PAGES}p" | while read -r _ page; do
  label="$(basename "$(dirname "$page")")/$(basename "$page")"
  cp "$page" "$WORK/run/page.tif"
  measure tovanel-topng "$label" "$(pixels_of "$page")" "$TOPNG" -out png page.tif
  rm -f "$WORK/run/page.tif" "$WORK/run/page.png"
done

for size in 100000 46000; do
  bomb "$WORK/run/bomb.tif" "$size" "$size"
  label="bomb ${size}x${size} ($(stat -c %s "$WORK/run/bomb.tif") bytes)"
  measure tovanel-split "$label" "$((size * size))" "$SPLIT" bomb.tif bp
  measure tovanel-topng "$label" "$((size * size))" "$TOPNG" -out png bomb.tif
  rm -f "$WORK/run/"*
done
