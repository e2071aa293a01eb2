#!/bin/sh
# Times the multi-threaded zlib coder on one thread and on all usable cores, per sample page: a made-up
# photograph and document, and the first page of each TIFF given (or of the benchmark corpus).
# Usage: bench/deflate/run.sh [build folder] [TIFF files...]   Environment: REPEAT=n (best of n, default 3)
set -eu
build=${1:-build}
[ $# -gt 0 ] && shift
cmake --build "$build" --target tovanel-bench-deflate -j2 >/dev/null
if [ $# -eq 0 ] && [ -d "$(dirname "$0")/../../bench-corpus" ]; then
  set -- "$(dirname "$0")"/../../bench-corpus/*.tif
fi
exec "$build/bench-bin/tovanel-bench-deflate" "$@"
