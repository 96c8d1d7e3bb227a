#!/usr/bin/env bash
# Loading and sorting a folder index of 9,998 records: in-process medians
# for each sort key, then whole-process runs (hyperfine -N) of one load and
# sort by date and by subject.
#   bench/index.sh [BUILD_DIR]   (the build dir holds the object files;
#                                 default build-net, else build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=${1:-}
if [ -z "$B" ]; then
    for d in "$ROOT/build-net" "$ROOT/build"; do [ -d "$d/CMakeFiles" ] && { B=$d; break; }; done
fi
objs=$(find "${B:-build}/CMakeFiles" -path '*lk_*.dir*' -name '*.o' 2>/dev/null | sort)
[ -n "$objs" ] || { echo "index.sh: no object files under ${B:-build}; build first" >&2; exit 1; }
WORK=$(mktemp -d /tmp/lkbench_idxXXXXXX)
trap 'rm -rf "$WORK"' EXIT
g++ -std=c++20 -O2 -I"$ROOT/src" -o "$WORK/index_bench" "$ROOT/bench/index_bench.cpp" $objs \
    /usr/lib/x86_64-linux-gnu/libgumbo.a -static-libstdc++ -static-libgcc
"$WORK/index_bench" keys
mkdir -p "$WORK/work"
"$WORK/index_bench" make "$WORK/work"
if command -v hyperfine >/dev/null; then
    for key in "" datetime subject:; do
        hyperfine -N -w 3 -r 30 --style basic "$WORK/index_bench once $WORK/work $key" 2>/dev/null |
            sed -n "s/^ *Time (mean ± σ): */whole process key=${key:-(arrival)}: /p"
    done
    hyperfine -N -w 3 -r 30 --style basic "$WORK/index_bench none" 2>/dev/null |
        sed -n 's/^ *Time (mean ± σ): */whole process, start and exit alone: /p'
fi
