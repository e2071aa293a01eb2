#!/bin/sh
# Presses "Add All" with "*" over the 10,000-folder / 100,000-file tree of bench/fs and times it against
# `find <tree> -type f` in the same run, with the longest stretch in which no event was processed.
# Usage: bench/intake/run.sh [build folder] [tree folder] [runs]
#   build folder: a configured build tree (default: ./build); the tree defaults to <build>/bench-fs-tree,
#   the same one bench/fs/run.sh builds (it is built here the same way when missing).
set -eu
build=${1:-build}
tree=${2:-$build/bench-fs-tree}
runs=${3:-3}
if [ ! -e "$tree/.complete" ]; then
    cmake --build "$build" --target tovanel-bench-fs -j2 >/dev/null
    "$build/bench-bin/tovanel-bench-fs" "$tree" 1 >/dev/null
fi
cmake --build "$build" --target tovanel-bench-intake -j2 >/dev/null
exec env QT_QPA_PLATFORM=offscreen "$build/bench-bin/tovanel-bench-intake" "$tree" "$runs"
