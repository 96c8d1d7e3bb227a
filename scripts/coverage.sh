#!/usr/bin/env bash
# Line coverage of src/ over the unit and process tests and a replay of the
# fuzz targets' stored seeds.  Builds in its own directory with --coverage
# (shared, unoptimised, so every line counts), clears old counters, runs,
# and prints gcovr's summary; the last line is "lines: NN.N% (hit/total)".
#
# Environment:
#   LK_COV_BUILD   build directory (default build-cov)
#   LK_JOBS        parallel build and test jobs (default 2)
#   LK_COV_HTML    when set, also writes an HTML report to this file
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
B=${LK_COV_BUILD:-build-cov}
JOBS=${LK_JOBS:-2}

cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=Debug -DLARKSPUR_STATIC=OFF \
    -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$B" -j"$JOBS"
find "$B" -name '*.gcda' -delete

# Failing tests still leave their counters; report them, but measure anyway.
ctest --test-dir "$B" -j"$JOBS" --timeout 300 | grep -E '% tests passed|\*\*\*|Failed' || true

# Fuzz targets: g++ cannot link libFuzzer, so each target is linked with a
# small driver that feeds it the seeds test.sh gives the fuzzer.
objs=()
for sub in support cgi page user net store view send org admin root; do
    d="$B/CMakeFiles/lk_$sub.dir"
    [ -d "$d" ] && while IFS= read -r o; do objs+=("$o"); done < <(find "$d" -name '*.o' | sort)
done
mkdir -p "$B/replay"
shopt -s nullglob
for f in tests/fuzz/fuzz_*.cpp; do
    name=$(basename "$f" .cpp)
    seeds=()
    for d in "tests/fuzz/corpus/$name" "tests/data/${name#fuzz_}"; do
        [ -d "$d" ] && while IFS= read -r s; do seeds+=("$s"); done < <(find "$d" -type f | sort)
    done
    g++ -std=c++20 --coverage -O0 -g -Isrc -Itests "$f" tests/fuzz/replay_main.cpp "${objs[@]}" \
        /usr/lib/x86_64-linux-gnu/libgumbo.a -lssl -lcrypto -o "$B/replay/$name"
    "$B/replay/$name" "${seeds[@]}" >/dev/null 2>&1 || echo "replay $name: exit $?"
    echo "replay $name: ${#seeds[@]} seeds"
done

html=()
[ -n "${LK_COV_HTML:-}" ] && html=(--html "$LK_COV_HTML")
gcovr -r "$ROOT" --filter "$ROOT/src/" --object-directory "$B" -j "$JOBS" \
    --gcov-ignore-parse-errors "${html[@]}" --print-summary -o "$B/coverage.txt" "$B" | tail -n 3
