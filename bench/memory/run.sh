#!/bin/bash
# Peak resident memory of each page tool, per page: the largest pages of the benchmark corpus, two
# G4 "bombs" of a few kilobytes that claim 100,000 x 100,000 and 46,000 x 46,000 pixels, the crafted
# files that once broke the bounds (30,000,000 strips, one 16384 x 16384 Deflate tile, pages of
# 1,100,000 rows or columns, an old-style JPEG page of 8000 x 8000), and every file and page of the
# repository's TIFF corpus (tests/corpus, damaged files included), summed up as the largest peak.
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
TIFF_CORPUS=$ROOT/tests/corpus
for tool in "$SPLIT" "$TOPNG" "$TIME" "$PY" /usr/bin/tiffinfo; do
  [ -x "$tool" ] || { echo "run.sh: $tool is missing" >&2; exit 1; }
done
if [ ! -f "$CORPUS/SHA256SUMS" ]; then
  echo "run.sh: generating the corpus into $CORPUS (a few minutes)" >&2
  "$ROOT/bench/make_corpus.sh" "$CORPUS" >/dev/null
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tovanel-memory.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

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
  tiffinfo "$1" 2>/dev/null | awk '/Image Width:/ {printf "%.0f\n", $3 * $6; exit}'
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

# The bombs and the crafted files, written as the safety tests write them.
"$PY" - "$WORK/crafted" <<'PYEOF'
import io, os, struct, sys, zlib
from PIL import Image
out = sys.argv[1]
os.makedirs(out, exist_ok=True)

def tiff(path, data, entries):
    """A little-endian one-page TIFF: data at offset 8, then the IFD of (tag, type, count, value)."""
    entries = sorted(entries)
    ifd = struct.pack("<H", len(entries))
    for tag, typ, count, value in entries:
        field = struct.pack("<HH", value, 0) if typ == 3 and count == 1 else struct.pack("<I", value)
        ifd += struct.pack("<HHI", tag, typ, count) + field
    pad = b"\0" * (len(data) % 2)
    with open(path, "wb") as f:
        f.write(b"II*\0" + struct.pack("<I", 8 + len(data) + len(pad)) + data + pad + ifd + b"\0\0\0\0")

# G4 "bombs": all-white rows, one bit per row on a white reference line, claiming 10^10 and just
# under 2^31 pixels.
for size in (100_000, 46_000):
    g4 = b"\xff" * ((size + 7) // 8) + b"\x00\x10\x01"
    tiff(f"{out}/bomb-{size}.tif", g4, [(256, 4, 1, size), (257, 4, 1, size), (258, 3, 1, 1), (259, 3, 1, 4),
         (262, 3, 1, 0), (273, 4, 1, 8), (277, 3, 1, 1), (278, 4, 1, size), (279, 4, 1, len(g4)), (293, 4, 1, 0)])
# One page of 30,000,000 one-row strips in 60 MB: every strip is the same byte.
n = 30_000_000
tiff(f"{out}/strips-30m.tif", b"\x80" * 8 + bytes([8]) * n + bytes([1]) * n,
     [(256, 3, 1, 1), (257, 4, 1, n), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1), (273, 1, n, 16),
      (277, 3, 1, 1), (278, 3, 1, 1), (279, 1, n, 16 + n)])
# One Deflate tile of 16,384 x 16,384 grey pixels (256 MiB decoded) in about 255 KB.
z = zlib.compressobj(9)
packed = b"".join(z.compress(bytes(1 << 20)) for _ in range(256)) + z.flush()
w = 16384
tiff(f"{out}/tile-16384.tif", packed, [(256, 3, 1, w), (257, 3, 1, w), (258, 3, 1, 8), (259, 3, 1, 8),
     (262, 3, 1, 1), (277, 3, 1, 1), (322, 3, 1, w), (323, 3, 1, w), (324, 4, 1, 8), (325, 4, 1, len(packed))])
# Grey pages of 1,100,000 rows or columns, one uncompressed strip each.
for name, w, h in (("rows-1100000", 3, 1_100_000), ("columns-1100000", 1_100_000, 2)):
    tiff(f"{out}/{name}.tif", bytes((i * 7) & 255 for i in range(w * h)),
         [(256, 4, 1, w), (257, 4, 1, h), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1), (273, 4, 1, 8),
          (277, 3, 1, 1), (278, 4, 1, h), (279, 4, 1, w * h)])
# An old-style JPEG page of 8000 x 8000: one strip that is a whole JPEG stream (YCbCr 2x2).
w = h = 8000
im = Image.linear_gradient("L").resize((w, h)).convert("RGB")
jpeg = io.BytesIO()
im.save(jpeg, "JPEG", quality=75, subsampling=2)
data = jpeg.getvalue()
tiff(f"{out}/ojpeg-8000.tif", data, [(256, 4, 1, w), (257, 4, 1, h), (258, 3, 1, 8), (259, 3, 1, 6),
     (262, 3, 1, 6), (273, 4, 1, 8), (277, 3, 1, 3), (278, 4, 1, h), (279, 4, 1, len(data)),
     (513, 4, 1, 8), (514, 4, 1, len(data)), (530, 3, 2, 2 | 2 << 16)])
PYEOF
for f in "$WORK/crafted"/*.tif; do
  label="crafted $(basename "$f" .tif) ($(stat -c %s "$f") bytes)"
  cp "$f" "$WORK/run/page.tif"
  measure tovanel-split "$label" "$(pixels_of "$f")" "$SPLIT" page.tif cp
  measure tovanel-topng "$label" "$(pixels_of "$f")" "$TOPNG" -out png page.tif
  rm -f "$WORK/run/"*
done

# The repository's TIFF corpus: each file split, each page converted; the largest peak of each tool.
if [ -d "$TIFF_CORPUS" ]; then
  : >"$WORK/corpus.txt"
  for f in "$TIFF_CORPUS"/*.tif "$TIFF_CORPUS"/*.tiff "$TIFF_CORPUS"/damaged/*; do
    [ -f "$f" ] || continue
    rm -rf "$WORK/run" && mkdir -p "$WORK/run"
    cp "$f" "$WORK/run/file.tif"
    measure tovanel-split "$(basename "$f"):all" - "$SPLIT" file.tif p >>"$WORK/corpus.txt"
    for page in "$WORK/run"/p*.tif; do
      [ -e "$page" ] || continue
      measure tovanel-topng "$(basename "$f"):$(basename "$page")" - "$TOPNG" -out png "$(basename "$page")" >>"$WORK/corpus.txt"
    done
  done
  for tool in tovanel-split tovanel-topng; do
    awk -v t="$tool" '$1 == t {n++; if ($NF > max) {max = $NF; at = $2}}
      END {printf "%-14s %-34s %14s %6s %8s %10.1f\n", t, "corpus: " n " runs, largest " at, "-", "-", "-", max}' \
      "$WORK/corpus.txt"
  done
fi
