#!/usr/bin/env bash
# Runs the program for real: installs what is missing, builds it, starts the
# mail servers and the web server on loopback, installs the program as a CGI,
# loads a sample mailbox for a demo user and prints where to log in.
#
# usage: scripts/demo.sh [start|stop|status]
#   start (default)  as above, then waits; Ctrl-C stops what it started
#   stop             stops the servers (also from another terminal)
#   status           what runs
# Environment: LK_DEMO_DETACH=1 returns after start, leaving the servers up
# until 'scripts/demo.sh stop'; LK_BUILD (build directory, default build);
# and everything scripts/servers.sh reads (LARKSPUR_RUN, LK_*_PORT ...).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
B=${LK_BUILD:-build}
SERVERS=(bash "$ROOT/scripts/servers.sh")
RUN=${LARKSPUR_RUN:-$ROOT/run/servers}

die() { echo "demo.sh: $*" >&2; exit 1; }
say() { echo "demo.sh: $*"; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

install_build_packages() {
    local want=(build-essential cmake libgtest-dev googletest libbenchmark-dev libgumbo-dev libxml2-dev libssl-dev
                python3 wamerican openssl curl iproute2 psmisc)
    local missing=() p
    for p in "${want[@]}"; do have_pkg "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y "${missing[@]}" \
        || { DEBIAN_FRONTEND=noninteractive apt-get update -qq \
             && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y "${missing[@]}"; } \
        || die "apt-get install failed"
}

env_get() { grep "^$1=" "$RUN/servers.env" | cut -d= -f2-; }

# Messages in the demo user's mailbox (POP3 STAT), or -1 when it cannot log in.
mailbox_count() {
    /usr/bin/python3 - "$(env_get LK_POP3_PORT)" "$(env_get LK_DEMO_USER)" "$(env_get LK_DEMO_PASS)" <<'EOF'
import poplib, sys
try:
    p = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=10)
    p.user(sys.argv[2]); p.pass_(sys.argv[3])
    print(p.stat()[0]); p.quit()
except Exception:
    print(-1)
EOF
}

OWNED=0
cleanup() {
    if [ "$OWNED" = 1 ]; then
        echo
        say "stopping what it started"
        "${SERVERS[@]}" stop || true
        OWNED=0
    fi
}

cmd_start() {
    [ "$(id -u)" = 0 ] || die "run as root: it installs packages, makes test users and starts servers"
    install_build_packages
    "${SERVERS[@]}" install

    say "building the program ($B)"
    cmake -S . -B "$B" >/dev/null || die "cmake configure failed"
    cmake --build "$B" --target larkspur -j2 >/dev/null || die "build failed: cmake --build $B --target larkspur"

    if "${SERVERS[@]}" status >/dev/null 2>&1; then
        say "the servers are already running; reinstalling the program only"
        LK_BINARY="$ROOT/$B/larkspur" "${SERVERS[@]}" web
    else
        trap cleanup EXIT
        trap 'exit 130' INT TERM
        OWNED=1
        LK_BINARY="$ROOT/$B/larkspur" "${SERVERS[@]}" start
    fi

    local n want
    n=$(mailbox_count)
    want=$(/usr/bin/python3 scripts/genmail.py --no-smtp --small --list --to x 2>/dev/null | wc -l)
    if [ "$n" = 0 ]; then
        say "loading the sample mailbox ($want messages)"
        /usr/bin/python3 scripts/genmail.py --small
        local i
        for i in $(seq 1 100); do
            n=$(mailbox_count)
            [ "$n" -ge "$want" ] && break
            sleep 0.2
        done
    fi
    [ "$n" -ge 1 ] || say "warning: the demo mailbox is empty (POP3 says $n)"

    local base; base=$(env_get LK_WEB_BASE)
    cat <<EOF

  Larkspur is running on this machine (loopback only).

    login page     $base/cgi-bin/larkspur
    test page      $base/cgi-bin/larkspur?cmd=test
    settings page  $base/cgi-bin/larkspur?cmd=showini

    user name      $(env_get LK_DEMO_USER)
    password       $(env_get LK_DEMO_PASS)
    POP3 server    127.0.0.1 port $(env_get LK_POP3_PORT) ($n messages)

  Logs: $RUN/log/ (the program's own: larkspur.log)
  After a rebuild: scripts/servers.sh web
EOF
    if [ "${LK_DEMO_DETACH:-}" = 1 ] || [ "$OWNED" = 0 ]; then
        OWNED=0
        echo "  Stop with: scripts/demo.sh stop"
        return 0
    fi
    echo "  Ctrl-C (or scripts/demo.sh stop) ends it."
    # Wait until interrupted or until the servers are stopped from elsewhere.
    while "${SERVERS[@]}" status >/dev/null 2>&1; do
        sleep 2
    done
    OWNED=0
    say "the servers were stopped"
}

case "${1:-start}" in
    start) cmd_start ;;
    stop) "${SERVERS[@]}" stop ;;
    status) "${SERVERS[@]}" status ;;
    *) echo "usage: $0 [start|stop|status]" >&2; exit 2 ;;
esac
