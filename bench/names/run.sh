#!/bin/sh
# Times the output naming of n sources `dN/scan.tif` into one folder (each later one takes the next
# " (k)"), as the batch command plans it and the run takes it, for growing n, with and without a
# look at what the folder held before the run.
# Usage: bench/names/run.sh [build folder] [repeats] [largest n, default 100000]
set -eu
build=${1:-build}
cmake --build "$build" --target tovanel-bench-names -j2 >/dev/null
exec "$build/bench-bin/tovanel-bench-names" "${2:-3}" "${3:-100000}"
