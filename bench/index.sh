#!/usr/bin/env bash
# Loading and sorting a folder index of 9,998 records: in-process medians
# for each sort key, then whole-process runs (hyperfine -N) of one load and
# sort by date and by subject.
#   bench/index.sh [BUILD_DIR]   (default build-net, else build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=${1:-}
if [ -z "$B" ]; then
    for d in "$ROOT/build-net" "$ROOT/build"; do [ -x "$d/test_store" ] && { B=$d; break; }; done
fi
[ -x "$B/test_store" ] || { echo "index.sh: no test_store in ${B:-build}; build first" >&2; exit 1; }
cd "$B"
LK_BENCH=1 ./test_store --gtest_filter=IndexBench.Keys | grep '^index'
WORK=$(mktemp -d /tmp/lkbench_idxXXXXXX)
trap 'rm -rf "$WORK"' EXIT
LK_BENCH_MAKE=$WORK ./test_store --gtest_filter=IndexBench.MakeWorkArea >/dev/null
if command -v hyperfine >/dev/null; then
    for key in "" datetime subject:; do
        LK_BENCH_DIR=$WORK LK_BENCH_KEY=$key hyperfine -N -w 3 -r 30 --style basic \
            "./test_store --gtest_filter=IndexBench.LoadSortOnce" 2>/dev/null |
            sed -n "s/^ *Time (mean ± σ): */whole process key=${key:-(arrival)}: /p"
    done
    hyperfine -N -w 3 -r 30 --style basic "./test_store --gtest_filter=IndexBench.None" 2>/dev/null |
        sed -n 's/^ *Time (mean ± σ): */whole process, test runner alone: /p'
fi
