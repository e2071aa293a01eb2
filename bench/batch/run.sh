#!/bin/sh
# The batch command on the whole benchmark corpus as one list, against the window's whole run of the
# same list (through the real window, offscreen), against the batch command cut into one shard per core
# under GNU parallel, and against ImageMagick, GraphicsMagick and Pillow, one file per job under
# `parallel -j<cores>`. Every figure is the best of repeats runs (default 3), all in one run; the load
# average before and after says whether the machine was busy.
# Usage: bench/batch/run.sh [build folder] [corpus folder] [repeats]
set -eu
build=${1:-build}
root=$(cd "$(dirname "$0")/../.." && pwd)
corpus=${2:-$root/bench-corpus}
[ -f "$corpus/SHA256SUMS" ] || "$root/bench/make_corpus.sh" "$corpus" >/dev/null
cmake --build "$build" --target tovanel_bench_batch -j2 >/dev/null
exec "$build/bench-bin/tovanel_bench_batch" "$corpus" "${3:-3}"
