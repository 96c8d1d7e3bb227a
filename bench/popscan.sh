#!/usr/bin/env bash
# The header scan and body fetch of 1,000 new messages from the real dovecot
# over loopback, with stream_max 1, 10, 50 and 100: wall time and the number
# of socket writes and reads (round trips).  The servers must be running
# (scripts/servers.sh start); the mailbox of the second test user is replaced
# and emptied again afterwards.
#   bench/popscan.sh [BUILD_DIR]   (the build dir holds the object files;
#                                   default build-net, else build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=${1:-}
if [ -z "$B" ]; then
    for d in "$ROOT/build-net" "$ROOT/build"; do [ -d "$d/CMakeFiles" ] && { B=$d; break; }; done
fi
objs=$(find "${B:-build}/CMakeFiles" -path '*lk_*.dir*' -name '*.o' 2>/dev/null | sort)
[ -n "$objs" ] || { echo "popscan.sh: no object files under ${B:-build}; build first" >&2; exit 1; }
ENVF=${LARKSPUR_RUN:-$ROOT/run/servers}/servers.env
[ -s "$ENVF" ] || { echo "popscan.sh: no $ENVF: run scripts/servers.sh start" >&2; exit 1; }
get() { sed -n "s/^$1=//p" "$ENVF"; }
MAILDIR="$(get LK_MAILDIRS)/$(get LK_USER2)/Maildir"
T=$(mktemp -d /tmp/lkpopscanXXXXXX)
trap 'rm -rf "$T"; find "$MAILDIR/new" "$MAILDIR/cur" -type f -delete 2>/dev/null || true' EXIT
g++ -std=c++20 -O2 -I"$ROOT/src" -o "$T/popscan_bench" "$ROOT/bench/popscan_bench.cpp" $objs \
    /usr/lib/x86_64-linux-gnu/libgumbo.a -static-libstdc++ -static-libgcc
find "$MAILDIR/new" "$MAILDIR/cur" -type f -delete 2>/dev/null || true
python3 "$ROOT/scripts/genmail.py" --to "$(get LK_USER2)" --count 1000 --seed 7 --maildir "$MAILDIR" >/dev/null
"$T/popscan_bench" "$ENVF"
