#!/bin/sh
# Profile read/write and lock costs.  Usage: bench/user.sh [build-dir]
# Links the benchmark against the subsystem objects of an existing build.
set -e
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$SRC/build}
cmake --build "$BUILD" --target larkspur -j2 >/dev/null
OBJS=$(find "$BUILD/CMakeFiles" -path '*lk_*.dir/*' -name '*.o')
OUT=$(mktemp /tmp/lk_user_bench.XXXXXX)
# the outside libraries the program links with (as its link line names them)
LIBS=$(tr ' ' '\n' < "$BUILD/CMakeFiles/larkspur.dir/link.txt" | grep -E '^-l|\.so|\.a$' | grep -v CMakeFiles | tr '\n' ' ')
g++ -std=c++20 -O2 -I"$SRC/src" "$SRC/bench/user_bench.cpp" $OBJS $LIBS -o "$OUT"
"$OUT"
rm -f "$OUT"
