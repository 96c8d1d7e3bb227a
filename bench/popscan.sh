#!/usr/bin/env bash
# The header scan and body fetch of 1,000 new messages from the real dovecot
# over loopback, with stream_max 1, 10, 50 and 100: wall time and the number
# of socket writes and reads (round trips).  The servers must be running
# (scripts/servers.sh start); the mailbox of the second test user is replaced.
#   bench/popscan.sh [BUILD_DIR]   (default build-net, else build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=${1:-}
if [ -z "$B" ]; then
    for d in "$ROOT/build-net" "$ROOT/build"; do [ -x "$d/test_net" ] && { B=$d; break; }; done
fi
[ -x "$B/test_net" ] || { echo "popscan.sh: no test_net in ${B:-build}; build first" >&2; exit 1; }
cd "$B"
LK_BENCH=1 ./test_net --gtest_filter=PopDovecot.ScanTimes 2>&1 | grep -E '^popscan|SKIPPED|FAILED'
