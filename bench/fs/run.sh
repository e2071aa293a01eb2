#!/bin/sh
# Builds (once) a tree of 10,000 folders and 100,000 files and times the folder scan plus every
# folder's listing against `find <tree> -type f` in the same run.
# Usage: bench/fs/run.sh [build folder] [tree folder] [runs]
#   build folder: a configured build tree (default: ./build); the tree defaults to <build>/bench-fs-tree.
set -eu
build=${1:-build}
tree=${2:-$build/bench-fs-tree}
runs=${3:-5}
cmake --build "$build" --target tovanel-bench-fs -j2 >/dev/null
exec "$build/bench-bin/tovanel-bench-fs" "$tree" "$runs"
