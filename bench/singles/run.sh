#!/bin/bash
# A folder of 200 single-page scans (bench/singles/make_folder.sh) to PNG: `tovanel-batch --out` against
# Pillow (a pool of 2 worker processes in one script), GraphicsMagick, vips `copy` and ImageMagick (each
# one process per file under `parallel -j2`), all in one run with hyperfine, best of repeats (default 3);
# prints seconds and peer/ours for each, and the PNG bytes of each kind of page against ImageMagick's.
# Then on one core (taskset -c 0): 50 of the Group 4 pages, the converter alone one process per file,
# against `tovanel-batch -j1` and Pillow in one process.
# Usage: bench/singles/run.sh [build folder] [folder] [repeats]
#   folder  default: bench-singles/ of the source tree, made there when it is missing (a minute or two)
# Environment: SCRATCH_DIR=folder writes the PNGs there (default: a new folder under TMPDIR or /tmp).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
DIR=${2:-$ROOT/bench-singles}
RUNS=${3:-3}
for tool in "$BUILD/bin/tovanel-batch" "$BUILD/bin/tovanel-topng" /usr/bin/python3 /usr/bin/convert /usr/bin/gm \
            /usr/bin/vips /usr/bin/parallel /usr/bin/hyperfine /usr/bin/taskset; do
  [ -x "$tool" ] || { echo "run.sh: $tool is missing (build, or install the peers)" >&2; exit 1; }
done
[ -f "$DIR/SHA256SUMS" ] || "$ROOT/bench/singles/make_folder.sh" "$DIR" >/dev/null
DIR=$(cd "$DIR" && pwd)
S=${SCRATCH_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/tovanel-singles.XXXXXX")}
mkdir -p "$S"
S=$(cd "$S" && pwd)
trap '[ -n "${SCRATCH_DIR:-}" ] || rm -rf "$S"' EXIT

cat >"$S/pool.py" <<'PY'
import os, sys
from multiprocessing import Pool
from PIL import Image

def convert(path):
    out = os.path.join(sys.argv[2], os.path.basename(path)[:-4] + ".png")
    Image.open(path).save(out)

if __name__ == "__main__":
    files = sorted(os.path.join(sys.argv[1], f) for f in os.listdir(sys.argv[1]) if f.endswith(".tif"))
    with Pool(int(sys.argv[3])) as pool:
        pool.map(convert, files, chunksize=4)
PY
EACH="ls $DIR/*.tif | parallel -j2"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
hyperfine --runs "$RUNS" --style basic --export-json "$S/all.json" \
  -n tovanel-batch --prepare "rm -rf $S/ours; mkdir $S/ours" "$BUILD/bin/tovanel-batch --quiet --out $S/ours $DIR" \
  -n "Pillow, a pool of 2" --prepare "rm -rf $S/pil; mkdir $S/pil" "/usr/bin/python3 $S/pool.py $DIR $S/pil 2" \
  -n "GraphicsMagick" --prepare "rm -rf $S/gm; mkdir $S/gm" "$EACH /usr/bin/gm convert {} $S/gm/{/.}.png" \
  -n "vips copy" --prepare "rm -rf $S/vips; mkdir $S/vips" "$EACH /usr/bin/vips copy {} $S/vips/{/.}.png" \
  -n "ImageMagick" --prepare "rm -rf $S/im; mkdir $S/im" "$EACH /usr/bin/convert {} $S/im/{/.}.png" >/dev/null

PAGES=("$DIR"/g4-*.tif)
G4="${PAGES[*]:0:50}"   # (not `ls | head`: under pipefail, ls may die of SIGPIPE)
mkdir -p "$S/one"
taskset -c 0 hyperfine --runs "$RUNS" --style basic --export-json "$S/one.json" \
  -n "converter alone" --prepare "rm -rf $S/one; mkdir $S/one; cp $(echo $G4) $S/one/" \
  "sh -c 'for f in $S/one/*.tif; do $BUILD/bin/tovanel-topng -out png \$f || exit 1; done'" \
  -n "tovanel-batch -j1" --prepare "rm -rf $S/one-b; mkdir $S/one-b" \
  "$BUILD/bin/tovanel-batch --quiet -j1 --out $S/one-b $(echo $G4)" \
  -n "Pillow, one process" --prepare "rm -rf $S/one-p; mkdir $S/one-p; mkdir -p $S/g4; cp $(echo $G4) $S/g4/" \
  "/usr/bin/python3 $S/pool.py $S/g4 $S/one-p 1" >/dev/null
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$S" <<'PY'
import glob, json, os, sys
S = sys.argv[1]
rows = {r["command"]: min(r["times"]) for r in json.load(open(f"{S}/all.json"))["results"]}
ours = rows["tovanel-batch"]
print(f"\n200 single-page files, best of {len(json.load(open(f'{S}/all.json'))['results'][0]['times'])}")
print(f"{'':24} {'seconds':>8} {'peer/ours':>10}")
for name, t in rows.items():
    print(f"{name:24} {t:8.3f} {t / ours:10.2f}")
print(f"\nPNG bytes per kind{'':6} {'ours':>11} {'ImageMagick':>12} {'ours/IM':>8}")
for kind in ("g4", "grey", "jpeg"):
    size = lambda d: sum(os.path.getsize(f) for f in glob.glob(f"{S}/{d}/{kind}-*.png"))
    print(f"{kind:24} {size('ours'):11d} {size('im'):12d} {size('ours') / max(size('im'), 1):8.4f}")
one = {r["command"]: min(r["times"]) for r in json.load(open(f"{S}/one.json"))["results"]}
print(f"\none core, 50 Group 4 pages{'':4} {'seconds':>8} {'ms/page':>8}")
for name, t in one.items():
    print(f"{name:30} {t:8.3f} {t * 1000 / 50:8.1f}")
PY
