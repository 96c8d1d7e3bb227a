#!/usr/bin/env bash
# What one request costs the machine, apart from waiting for a CPU: the
# process's CPU time and page faults (perf stat, means of RUNS runs, env
# included) and the instructions it runs in user space (callgrind, one run:
# stable however loaded the machine is), for the login page, a list page of
# 9,998 messages and the small message page of folders of 1,000 and 9,998,
# with the folder's line table current and without it (the whole index is
# read).  The work area is the one bench/read.sh makes.
#   bench/cpu.sh [BUILD_DIR]     (default build; LK_BENCH_RUNS, default 200)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
command -v perf >/dev/null || { echo "cpu.sh: needs perf (linux-perf)" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "cpu.sh: needs valgrind" >&2; exit 1; }
LK_READ_SETUP_ONLY=1 LK_BENCH_RUNS=${LK_BENCH_RUNS:-200}
# shellcheck source=read.sh
. "$ROOT/bench/read.sh"
TABLE="$UD/0/listpos.dat"

printf '#!/bin/sh\nrm -f "%s"\n' "$TABLE" >"$W/rmtable"
chmod +x "$W/rmtable"

cost() {   # cost LABEL QUERY [no-table]
    local cmd pre=()
    cmd=$(cgi "$2")
    if [ "${3:-}" = no-table ]; then pre=(--pre "$W/rmtable"); "$W/rmtable"; fi
    local pf ir rss
    pf=$(perf stat -r "$RUNS" -x, -e task-clock,page-faults "${pre[@]}" $cmd 2>&1 >/dev/null |
        awk -F, '/task-clock/ {t = $1} /page-faults/ {p = $1} END {printf "%6.2f ms CPU  %4d page faults", t, p}')
    [ "${3:-}" = no-table ] && "$W/rmtable"
    ir=$(${cmd/ $W\/larkspur/ /usr/bin/valgrind --tool=callgrind --callgrind-out-file=/dev/null $W/larkspur} 2>&1 >/dev/null |
        sed -n 's/.*Collected : //p')
    [ "${3:-}" = no-table ] && "$W/rmtable"
    rss=$( { /usr/bin/time -f '%M' $cmd >/dev/null; } 2>&1 | tail -1)
    printf '%-44s %s  %10s instructions  peak RSS %s KB\n' "$1" "$pf" "$ir" "$rss"
}

echo "larkspur: $("$W/larkspur" -version 2>/dev/null | head -1); load $(cut -d' ' -f1-3 /proc/loadavg)"
cost "login page" ""
for n in 1000 9998; do
    cp "$UD/index_$n.dat" "$UD/0/index.dat"
    $(cgi "cmd=list&fld=0&sort_on=-datetime") >/dev/null   # sorts once and saves the table
    cost "list $n, first page" "cmd=list&fld=0"
    $(cgi "cmd=item&fld=0&item=1") >/dev/null
    cost "small message, folder of $n" "cmd=item&fld=0&item=1"
    cost "small message, folder of $n, no line table" "cmd=item&fld=0&item=1" no-table
done
