#!/bin/bash
# One shard of a plan of many sources: what tovanel-batch --from PLAN --shard N/N costs before and
# while it converts its own sources, against the same shard taken from the list itself.
#   - a plan of SOURCES lines (default 1,000,000) is written by awk in the plan's format, every source
#     /SCRATCH/src/other/sI.tif except the last shard's, in src/mine/, the first REAL (default 100) of
#     them real one-page files, the rest gone (reported as not converted);
#   - the shard runs --from the plan (--shard N/N, N = SHARDS, default 1000): seconds and peak RSS
#     (/usr/bin/time -v), seconds to its first source (the first call naming one, strace -f -ttt
#     -e trace=%file), the stat calls it makes (strace -c -f -e trace=newfstatat,statx,stat,lstat) and how many calls name a
#     source of another shard;
#   - with LIST=1, the same shard from the list on standard input (--shard N/N --out o - <list),
#     which stats every path of the list.
#
# Usage: bench/plan/run.sh [BUILD_DIR] [SCRATCH_DIR]
#   BUILD_DIR    a build with bin/tovanel-batch (default: build/)
#   SCRATCH_DIR  where the plan, the sources and the outputs go, about 200 MiB (default: a new folder in /var/tmp)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(realpath "${1:-$ROOT/build}")
BATCH=$BUILD/bin/tovanel-batch
SOURCES=${SOURCES:-1000000}
SHARDS=${SHARDS:-1000}
for tool in "$BATCH" /usr/bin/time strace awk; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing" >&2; exit 1; }
done
SCRATCH=${2:-$(mktemp -d /var/tmp/tovanel-plan-bench.XXXXXX)}
mkdir -p "$SCRATCH/src/mine" "$SCRATCH/out" "$SCRATCH/temp"
trap 'rm -rf "$SCRATCH/src" "$SCRATCH/out" "$SCRATCH/temp" "$SCRATCH"/plan.jsonl "$SCRATCH"/list "$SCRATCH"/*.log
      [ -n "${2:-}" ] || rmdir "$SCRATCH"' EXIT
export TEMP=$SCRATCH/temp

# The last shard's first position, as --shard cuts the list.
first=$(awk -v n="$SOURCES" -v k="$SHARDS" 'BEGIN { for (p = n; p >= 1 && int((p - 1) * k / n) + 1 == k; --p) f = p; print f }')
awk -v n="$SOURCES" -v f="$first" -v s="$SCRATCH" 'BEGIN {
  printf "{\"plan\":\"tovanel-batch\",\"version\":1,\"sources\":%d,\"out\":\"%s/out\",\"beside\":false,\"keep_tree\":false}\n", n, s
  for (p = 1; p <= n; ++p) {
    d = p >= f ? "mine" : "other"
    printf "{\"position\":%d,\"source\":\"%s/src/%s/s%d.tif\",\"outputs\":\"%s/out/s%d.png_N.png\",\"base\":\"%s/out/s%d.png\"}\n", p, s, d, p, s, p, s, p
  }
}' > "$SCRATCH/plan.jsonl"
for ((p = first; p <= SOURCES && p < first + ${REAL:-100}; ++p)); do
  cp "$ROOT/tests/corpus/golang_bw-packbits.tiff" "$SCRATCH/src/mine/s$p.tif"
done
echo "plan: $SOURCES sources, $(( $(stat -c %s "$SCRATCH/plan.jsonl") >> 20 )) MiB; shard $SHARDS/$SHARDS: $((SOURCES - first + 1)) sources"

measure() {   # label, then the command; its standard input is $INPUT
  local label=$1; shift
  rm -rf "$SCRATCH/out" && mkdir "$SCRATCH/out"
  /usr/bin/time -v -o "$SCRATCH/time.log" "$@" <"$INPUT" >/dev/null 2>"$SCRATCH/run.log" || true
  local seconds kib
  seconds=$(awk -F': ' '/Elapsed/ { n = split($2, t, ":"); print (n == 3 ? t[1] * 3600 + t[2] * 60 + t[3] : t[1] * 60 + t[2]) }' "$SCRATCH/time.log")
  kib=$(awk -F': ' '/Maximum resident/ { print $2 }' "$SCRATCH/time.log")
  rm -rf "$SCRATCH/out" && mkdir "$SCRATCH/out"
  strace -c -f -e trace=newfstatat,statx,stat,lstat -o "$SCRATCH/stat.log" "$@" <"$INPUT" >/dev/null 2>&1 || true
  local stats
  stats=$(awk '$NF == "total" { print $4 }' "$SCRATCH/stat.log")
  rm -rf "$SCRATCH/out" && mkdir "$SCRATCH/out"
  strace -f -ttt -e trace=%file -o "$SCRATCH/file.log" "$@" <"$INPUT" >/dev/null 2>&1 || true
  local others firstSource
  others=$(grep -c '/src/other/' "$SCRATCH/file.log" || true)
  firstSource=$(awk 'NR == 1 { t0 = $2 } /\/src\/mine\// { printf "%.2f", $2 - t0; exit }' "$SCRATCH/file.log")
  printf '%-34s %9s %9d %8s %11s %14s %5s\n' "$label" "$seconds" $((kib >> 10)) "$firstSource" "${stats:-0}" "$others" \
    "$(ls "$SCRATCH/out" | wc -l)"
}

printf '%-34s %9s %9s %8s %11s %14s %5s\n' run seconds peak-MiB first-s stat-calls other-sources' 'PNGs
INPUT=/dev/null measure "--from plan --shard $SHARDS/$SHARDS" "$BATCH" -q -j2 --from "$SCRATCH/plan.jsonl" --shard "$SHARDS/$SHARDS"
if [ "${LIST:-0}" = 1 ]; then
  awk -F'"' 'NR > 1 { print $6 }' "$SCRATCH/plan.jsonl" > "$SCRATCH/list"
  INPUT=$SCRATCH/list measure "--shard $SHARDS/$SHARDS - <list" "$BATCH" -q -j2 --shard "$SHARDS/$SHARDS" --out "$SCRATCH/out" -
fi
