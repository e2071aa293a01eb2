#!/bin/sh
# The whole run through the real window (offscreen), file by file of the benchmark corpus.
# Usage: bench/run/run.sh [--cores] [build folder] [corpus folder] [repeats]
#   without --cores: Tovanel against ImageMagick, GraphicsMagick and Pillow, and the share of the
#                    protocol (copies, scripts, shell starts, waits) in Tovanel's time
#   --cores:         Tovanel alone, pinned to one core and on all cores in the same run, with bytes
# Every figure is the best of repeats runs (default 3). The corpus is made by bench/make_corpus.sh.
set -eu
mode=""
if [ "${1:-}" = "--cores" ]; then mode=--cores; shift; fi
build=${1:-build}
root=$(cd "$(dirname "$0")/../.." && pwd)
corpus=${2:-$root/bench-corpus}
[ -f "$corpus/SHA256SUMS" ] || "$root/bench/make_corpus.sh" "$corpus" >/dev/null
cmake --build "$build" --target tovanel_bench_run -j2 >/dev/null
# The benchmark keeps its settings and the run's TEMP inside a folder of its own.
exec "$build/bench-bin/tovanel_bench_run" $mode "$corpus" "${3:-3}"
