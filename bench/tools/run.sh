#!/bin/bash
# Times tovanel-split + tovanel-topng against ImageMagick, GraphicsMagick and Pillow, every page of every
# file of the benchmark corpus to PNG, all in one run; prints seconds, pages per second, PNG bytes and
# the ratios ours/ImageMagick and ours/fastest peer, per kind of file and in total.
#
# Usage: bench/tools/run.sh [--cores] [CORPUS_DIR] [BUILD_DIR]
#   --cores     ours only, pinned to one core (taskset -c 0) and on all cores, in the same run; prints
#               per kind one-core and all-core seconds, the speed-up and PNG bytes. BASELINE_BUILD=dir
#               adds an earlier build's tools on one core and on all cores, each run right after ours on
#               the same file (so a loaded machine weighs on both alike), for "no slower, no larger".
#   CORPUS_DIR  the corpus of bench/make_corpus.sh (default: bench-corpus/ of the source
#               tree, generated there when it is missing; that takes a few minutes)
#   BUILD_DIR   a build with bin/tovanel-split and bin/tovanel-topng (default: build/)
# Environment: REPEAT=n runs every tool n times per file, the tools taking turns, and keeps the
#              fastest run of each (default 1);
#              SCRATCH_DIR=folder writes the PNGs there (default: a new folder under TMPDIR or /tmp).
# Every tool writes its PNGs to disk; ours also writes each file under a temporary name and renames it
# into place, as the product does, which the peers do not. (The product flushes its output folders
# once at the end of a run; bench/run times that whole run.)
set -euo pipefail
MODE=peers
if [ "${1:-}" = "--cores" ]; then
  MODE=cores
  shift
fi
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
CORPUS=${1:-$ROOT/bench-corpus}
BUILD=${2:-$ROOT/build}
BUILD=$(cd "$BUILD" && pwd)   # the tools run from scratch folders
REPEAT=${REPEAT:-1}
SPLIT=$BUILD/bin/tovanel-split
TOPNG=$BUILD/bin/tovanel-topng
IM=/usr/bin/convert   # named in full: a plain "convert" on PATH may be another program
GM=/usr/bin/gm
PY=/usr/bin/python3

TOOLS="ours imagemagick graphicsmagick pillow"
NEEDED="$SPLIT $TOPNG $IM $GM $PY"
if [ "$MODE" = cores ]; then
  TOOLS="one-core all-cores"
  NEEDED="$SPLIT $TOPNG $PY /usr/bin/taskset"
  if [ -n "${BASELINE_BUILD:-}" ]; then
    BASELINE_BUILD=$(cd "$BASELINE_BUILD" && pwd)
    TOOLS="one-core baseline-one all-cores baseline"
    NEEDED="$NEEDED $BASELINE_BUILD/bin/tovanel-split $BASELINE_BUILD/bin/tovanel-topng"
  fi
fi
for tool in $NEEDED; do
  [ -x "$tool" ] || { echo "run.sh: $tool is missing (build the tools, install the peers)" >&2; exit 1; }
done
if [ ! -f "$CORPUS/SHA256SUMS" ]; then
  echo "run.sh: generating the corpus into $CORPUS (a few minutes)" >&2
  "$ROOT/bench/make_corpus.sh" "$CORPUS" >/dev/null
fi
CORPUS=$(cd "$CORPUS" && pwd)

SCRATCH=${SCRATCH_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/tovanel-bench.XXXXXX")}
mkdir -p "$SCRATCH"
cleanup() { [ -n "${SCRATCH_DIR:-}" ] || rm -rf "$SCRATCH"; }
trap cleanup EXIT
RESULTS=$SCRATCH/results.tsv
: >"$RESULTS"

now() { date +%s.%N; }

# One conversion of every page of $1 into PNGs in the current (empty) folder, by tool $2.
convert_with() {
  local input=$1 tool=$2
  case "$tool" in
    ours | all-cores)
      "$SPLIT" "$input" varnholt
      for page in varnholt*.tif; do "$TOPNG" -out png "$page"; done ;;
    one-core | baseline-one)
      # The subshell pins itself; the tools it starts inherit that.
      taskset -cp 0 "$BASHPID" >/dev/null
      if [ "$tool" = one-core ]; then convert_with "$input" ours; else convert_with "$input" baseline; fi ;;
    baseline)
      "$BASELINE_BUILD/bin/tovanel-split" "$input" varnholt
      for page in varnholt*.tif; do "$BASELINE_BUILD/bin/tovanel-topng" -out png "$page"; done ;;
    imagemagick) "$IM" "$input" out-%d.png ;;
    graphicsmagick) "$GM" convert "$input" +adjoin out-%d.png ;;
    pillow)
      "$PY" -c '
import sys
from PIL import Image, ImageSequence
with Image.open(sys.argv[1]) as im:
    for i, frame in enumerate(ImageSequence.Iterator(im)):
        frame.save(f"out-{i}.png")
' "$input" ;;
  esac
}

for input in "$CORPUS"/*.tif; do
  kind=$(basename "$input" .tif)
  pages=$(tiffinfo "$input" 2>/dev/null | grep -c '^TIFF Directory')
  # The tools take turns within each repeat, so that a machine whose load changes weighs on all alike.
  declare -A best=() status=()
  for ((r = 0; r < REPEAT; r++)); do
    for tool in $TOOLS; do
      work=$SCRATCH/$tool-$kind
      rm -rf "$work" && mkdir -p "$work"
      cat "$input" >/dev/null   # every tool starts with the file in the page cache
      start=$(now)
      status[$tool]=0
      (cd "$work" && convert_with "$input" "$tool") >"$work.log" 2>&1 || status[$tool]=$?
      end=$(now)
      seconds=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}')
      if [ -z "${best[$tool]:-}" ] || awk -v s="$seconds" -v b="${best[$tool]}" 'BEGIN {exit !(s < b)}'; then
        best[$tool]=$seconds
      fi
    done
  done
  for tool in $TOOLS; do
    work=$SCRATCH/$tool-$kind
    pngs=$(find "$work" -name '*.png' | wc -l)
    bytes=$(find "$work" -name '*.png' -printf '%s\n' | awk '{s += $1} END {print s + 0}')
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$kind" "$tool" "$pages" "$pngs" "${best[$tool]}" "$bytes" "${status[$tool]}" >>"$RESULTS"
    rm -rf "$work"
  done
done

if [ "$MODE" = cores ]; then
  echo "load: $(uptime)"
  "$PY" - "$RESULTS" <<'PYEOF'
import sys
from collections import defaultdict

rows, kinds = defaultdict(dict), []
for line in open(sys.argv[1]):
    kind, tool, pages, pngs, seconds, size, status = line.rstrip("\n").split("\t")
    if kind not in kinds:
        kinds.append(kind)
    rows[kind][tool] = dict(pages=int(pages), pngs=int(pngs), s=float(seconds), b=int(size), ok=status == "0")
tools = list(rows[kinds[0]])
rows["TOTAL"] = {t: dict(pages=sum(rows[k][t]["pages"] for k in kinds), pngs=sum(rows[k][t]["pngs"] for k in kinds),
                         s=sum(rows[k][t]["s"] for k in kinds), b=sum(rows[k][t]["b"] for k in kinds),
                         ok=all(rows[k][t]["ok"] for k in kinds)) for t in tools}
base = "baseline" in tools
head = f"{'kind':<20}{'pages':>6}{'1 core s':>10}{'all s':>8}{'speed-up':>9}{'all/1':>7}{'1-core bytes':>14}"
head += f"{'all-core bytes':>16}{'bytes':>7}"
if base:
    head += f"{'base 1 s':>9}{'1/base':>7}{'base s':>8}{'all/base':>9}{'bytes/base':>11}"
print(head + "  notes")
for kind in kinds + ["TOTAL"]:
    one, alls = rows[kind]["one-core"], rows[kind]["all-cores"]
    r = rows[kind]
    note = "; ".join([f"{t}: exit status not 0" for t in tools if not r[t]["ok"]] +
                     [f"{t}: {r[t]['pngs']} PNGs" for t in tools if r[t]["pngs"] != r[t]["pages"]])
    line = (f"{kind:<20}{one['pages']:>6}{one['s']:>10.2f}{alls['s']:>8.2f}{one['s'] / alls['s']:>9.2f}"
            f"{alls['s'] / one['s']:>7.2f}{one['b']:>14,}{alls['b']:>16,}{alls['b'] / max(one['b'], 1):>7.3f}")
    if base:
        b, b1 = rows[kind]["baseline"], rows[kind]["baseline-one"]
        line += f"{b1['s']:>9.2f}{one['s'] / b1['s']:>7.2f}{b['s']:>8.2f}{alls['s'] / b['s']:>9.2f}{alls['b'] / max(b['b'], 1):>11.4f}"
    print(line + "  " + note)
PYEOF
  exit 0
fi

"$PY" - "$RESULTS" <<'PYEOF'
import sys
from collections import defaultdict

tools = ["ours", "imagemagick", "graphicsmagick", "pillow"]
peers = tools[1:]
rows = defaultdict(dict)
kinds = []
for line in open(sys.argv[1]):
    kind, tool, pages, pngs, seconds, size, status = line.rstrip("\n").split("\t")
    if kind not in kinds:
        kinds.append(kind)
    rows[kind][tool] = dict(pages=int(pages), pngs=int(pngs), s=float(seconds), b=int(size), ok=status == "0")

total = {t: dict(pages=0, pngs=0, s=0.0, b=0, ok=True) for t in tools}
for kind in kinds:
    for t in tools:
        r = rows[kind][t]
        for k in ("pages", "pngs", "s", "b"):
            total[t][k] += r[k]
        total[t]["ok"] &= r["ok"]

def report(name, by_tool):
    print(f"\n{name}: {by_tool['ours']['pages']} pages")
    print(f"  {'tool':<15}{'seconds':>9}{'pages/s':>9}{'PNG bytes':>13}{'PNGs':>6}  notes")
    for t in tools:
        r = by_tool[t]
        note = "" if r["ok"] and r["pngs"] == r["pages"] else \
            f"exit status not 0; " * (not r["ok"]) + (f"{r['pngs']} PNGs for {r['pages']} pages" if r["pngs"] != r["pages"] else "")
        pps = r["pages"] / r["s"] if r["s"] > 0 else 0
        print(f"  {t:<15}{r['s']:>9.2f}{pps:>9.1f}{r['b']:>13,}{r['pngs']:>6}  {note}")
    ours, im = by_tool["ours"], by_tool["imagemagick"]
    fastest = min(peers, key=lambda t: by_tool[t]["s"])
    f = by_tool[fastest]
    print(f"  ours/imagemagick: time {ours['s'] / im['s']:.3f}, bytes {ours['b'] / max(im['b'], 1):.3f}")
    print(f"  ours/fastest peer ({fastest}): time {ours['s'] / f['s']:.3f}, bytes {ours['b'] / max(f['b'], 1):.3f}")

for kind in kinds:
    report(kind, rows[kind])
report("TOTAL", total)
PYEOF
