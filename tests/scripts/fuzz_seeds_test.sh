#!/bin/bash
# scripts/fuzz refuses a missing or empty seed folder with a plain error, before building or fuzzing,
# and never counts it as a crash or keeps a regression file for it.
# Usage: fuzz_seeds_test.sh SOURCE_DIR WORK_DIR
set -u
ROOT=$1
WORK=$2
rm -rf "$WORK"
mkdir -p "$WORK"
failures=0
regressions() { ls "$ROOT/tests/tools/fuzz-regressions"; }

# row NAME SEEDS_SETUP: SEEDS_SETUP runs in a fresh folder and leaves the seed folder at ./seeds.
row() {
  local name=$1 setup=$2
  local dir=$WORK/$name
  mkdir -p "$dir"
  (cd "$dir" && eval "$setup")
  local before after status=0
  before=$(regressions)
  TOVANEL_FUZZ_SEEDS=$dir/seeds TOVANEL_FUZZ_BUILD=$dir/build \
    "$ROOT/scripts/fuzz" --short >"$dir/out" 2>"$dir/err" || status=$?
  after=$(regressions)
  local why=""
  [ "$status" = 2 ] || why="$why exit status $status, not 2;"
  grep -q "scripts/fuzz: seed folder $dir/seeds.* \(is missing\|holds no files\)" "$dir/err" \
    || why="$why no seed-folder message on stderr;"
  grep -qi "crash" "$dir/out" "$dir/err" && why="$why a crash was reported;"
  [ "$before" = "$after" ] || why="$why a regression file was kept;"
  [ ! -e "$dir/build" ] || why="$why the fuzz build was started;"
  if [ -n "$why" ]; then
    echo "FAIL $name:$why"
    sed 's/^/  /' "$dir/err"
    failures=$((failures + 1))
  else
    echo "PASS $name"
  fi
}

row "missing folder" ":"
row "empty folder" "mkdir seeds"
row "files but no damaged folder" "mkdir seeds && printf 'II*\0' >seeds/a.tif"
row "empty damaged folder" "mkdir -p seeds/damaged && printf 'II*\0' >seeds/a.tif"
row "only subfolders" "mkdir -p seeds/sub seeds/damaged/sub"

[ "$failures" = 0 ]
