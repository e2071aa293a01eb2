#!/bin/sh
# Where a page's fixed cost goes in a whole run of many small pages: times the run through the window
# against the tools alone, counts CPU time of each (perf stat), and takes one run apart per page from
# process start and end times (strace; the times under strace are larger, the shares are what counts).
# Usage: bench/pagecost/run.sh [build folder] [TIFF file]   (default: the corpus's many-small.tif)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
file=${2:-$here/../../bench-corpus/many-small.tif}
cmake --build "$build" --target tovanel-bench-pagecost -j2 >/dev/null
bench=$build/bench-bin/tovanel-bench-pagecost
log=$(mktemp -d "${TMPDIR:-/tmp}/tovanel-pagecost.XXXXXX")
trap 'rm -rf "$log"' EXIT
"$bench" "$file" 3 both
for mode in window tools; do
  perf stat -x, -e task-clock -o "$log/$mode" "$bench" "$file" 3 "$mode" >/dev/null 2>&1
  echo "$mode: $(grep task-clock "$log/$mode" | cut -d, -f1) ms of CPU for 3 runs (children included)"
done
strace -f --seccomp-bpf -e trace=execve,exit_group,clone3,vfork,clone -ttt -o "$log/trace" "$bench" "$file" 1 window >/dev/null 2>&1
python3 "$here/timeline.py" "$log/trace"
# CPU samples by process and library: the tool's own work against process starts (kernel, ld.so).
perf record -q -F 499 -o "$log/perf.data" "$bench" "$file" 2 window >/dev/null 2>&1
perf report -i "$log/perf.data" --sort comm,dso --stdio 2>/dev/null | grep '%' | head -20
