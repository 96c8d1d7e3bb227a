#!/usr/bin/env bash
# The issue table: Larkspur beside the nearest peer in kind (Debian's
# sqwebmail) and a static C CGI (the floor), timed in one run on one
# machine, each page as "time until the response is complete".
#
# The peer and the timing driver come from the shared peer benchmark
# (../shared/bench/peer, or PEER_DIR): start the peer once, as root, with
#   SQW_KEEP=1 SQW_RUNS=20 SQW_WARMUP=3 SQW_COLD_RUNS=3 SQW_QUIET_BUDGET=20 \
#       SQW_QUIET_MAX=5 bash ../shared/bench/peer/sqwebmail.sh
# then run this script after a build, and stop the peer afterwards with
#   bash ../shared/bench/peer/sqwebmail.sh stop
#
#   bench/side-by-side.sh [BUILD_DIR]     (default build)
#   TIMES=2 RUNS=30 bench/side-by-side.sh # the table TIMES times (default 2)
# Only ratios inside one run mean anything: machines of one kind differ
# three to four times in absolute times.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
PEER=${PEER_DIR:-$ROOT/../shared/bench/peer}
[ -d "$PEER" ] || PEER=/work/shared/bench/peer
[ -x "$B/larkspur" ] || { echo "side-by-side: no larkspur in $B; build first" >&2; exit 1; }
[ -f "$PEER/side-by-side.sh" ] || { echo "side-by-side: no peer benchmark in $PEER" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "side-by-side: needs hyperfine" >&2; exit 1; }
TIMES=${TIMES:-2}
export RUNS=${RUNS:-30}
echo "machine: $(nproc) CPU, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
for t in $(seq "$TIMES"); do
    echo
    echo "run $t of $TIMES"
    (cd "$ROOT" && LK_SRC="$ROOT" LK_BIN="$B/larkspur" bash "$PEER/side-by-side.sh")
done
