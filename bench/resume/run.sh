#!/bin/bash
# What reading reports to resume from costs tovanel-batch: peak resident memory and seconds for
#   - a report of many page lines (LINES, default 1,000,000, of sources that are not listed),
#   - a report whose lines are each just under the 1 MiB limit (64 of them),
#   - a report holding one line of 400 MiB, which is refused unread.
# Each run is a dry run over an empty folder, so the figures are the reading alone.
#
# Usage: bench/resume/run.sh [BUILD_DIR] [SCRATCH_DIR]
#   BUILD_DIR    a build with bin/tovanel-batch (default: build/)
#   SCRATCH_DIR  where the reports are written, about 1 GiB at most (default: a new folder in /var/tmp)
# Environment: LINES=n page lines in the first report.
# Prints one line per report: its name, its size in MiB, the exit status, seconds, peak RSS in MiB.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(realpath "${1:-$ROOT/build}")
BATCH=$BUILD/bin/tovanel-batch
TIME=/usr/bin/time
LINES=${LINES:-1000000}
for tool in "$BATCH" "$TIME"; do
  [ -x "$tool" ] || { echo "run.sh: $tool is missing" >&2; exit 1; }
done
SCRATCH=${2:-$(mktemp -d /var/tmp/tovanel-resume-bench.XXXXXX)}
mkdir -p "$SCRATCH/empty" "$SCRATCH/out" "$SCRATCH/temp"
trap 'rm -rf "$SCRATCH"/*.jsonl "$SCRATCH/empty" "$SCRATCH/out" "$SCRATCH/temp"' EXIT

line='{"source":"/data/scans/s%d.tif","page":%d,"output":"/data/png/s%d.png_%d.png","status":"converted","reason":null,"bytes":48211,"pages":12,"source_bytes":96310,"source_mtime":"2026-03-01T09:30:12.123456789Z"}\n'
awk -v n="$LINES" -v f="$line" 'BEGIN { for (i = 0; i < n; ++i) printf f, i / 12, i % 12 + 1, i / 12, i % 12 + 1 }' \
  > "$SCRATCH/many-lines.jsonl"
for i in $(seq 64); do head -c 1048575 /dev/zero | tr '\0' y; echo; done > "$SCRATCH/long-lines.jsonl"
head -c $((400 << 20)) /dev/zero | tr '\0' x > "$SCRATCH/one-400-mib-line.jsonl"

printf '%-24s %8s %5s %8s %9s\n' report MiB exit seconds peak-MiB
for report in many-lines long-lines one-400-mib-line; do
  file=$SCRATCH/$report.jsonl
  status=0
  TEMP=$SCRATCH/temp "$TIME" -f '%e %M' -o "$SCRATCH/time" "$BATCH" -q -n --out "$SCRATCH/out" \
    --resume "$file" "$SCRATCH/empty" >/dev/null 2>&1 || status=$?
  read -r seconds kib < <(tail -n 1 "$SCRATCH/time")   # after GNU time's line on a non-zero status
  printf '%-24s %8d %5d %8s %9d\n' "$report" $(( $(stat -c %s "$file") >> 20 )) "$status" "$seconds" $((kib >> 10))
done
