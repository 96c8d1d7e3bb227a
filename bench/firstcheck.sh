#!/usr/bin/env bash
# The first check of a mailbox of 1,000 and of 9,998 new messages from the
# real dovecot (the servers of scripts/servers.sh start, LARKSPUR_RUN): the
# first list after a login, which makes it, timed as a whole request, its CPU (user and system),
# peak memory, the files it leaves in the work area, and (with perf) where
# the process spends its time.  The second test user's mailbox is replaced
# and emptied again afterwards.
#   bench/firstcheck.sh [BUILD_DIR]        (default build)
#   COUNTS="1000 9998" MAX_DMSGS=10000 bench/firstcheck.sh  (MAX_DMSGS: default_max_dmsgs,
#   the most messages one check fetches; the shipped default is 100)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
ENVF=${LARKSPUR_RUN:-$ROOT/run/servers}/servers.env
[ -x "$B/larkspur" ] || { echo "firstcheck.sh: no larkspur in $B; build first" >&2; exit 1; }
[ -s "$ENVF" ] || { echo "firstcheck.sh: no $ENVF: run scripts/servers.sh start" >&2; exit 1; }
get() { sed -n "s/^$1=//p" "$ENVF"; }
U=$(get LK_USER2) P=$(get LK_PASS2)
MAILDIR="$(get LK_MAILDIRS)/$U/Maildir"
W=$(mktemp -d /tmp/lkfirstcheckXXXXXX)
trap 'rm -rf "$W"; find "$MAILDIR/new" "$MAILDIR/cur" -type f -delete 2>/dev/null || true' EXIT
cp -R "$ROOT/templates" "$W/templates"
cp "$B/larkspur" "$W/larkspur"
printf 'templates %s/templates\nworkarea %s/work\npophost 127.0.0.1\nport %s\ntls_ca_file %s\nfetch_min 0\nuse_page_size true\ndefault_max_dmsgs %s\n' \
    "$W" "$W" "$(get LK_POP3_PORT)" "$(get LK_CERT)" "${MAX_DMSGS:-10000}" >"$W/larkspur.ini"
printf "%b" "${EXTRA_INI:-}" >>"$W/larkspur.ini"   # e.g. EXTRA_INI="stream_max 100\n"
cd "$W"
BODY="cmd=login&user=$U&pass=$P"
login() {
    printf '%s' "$BODY" | env -i REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded \
        CONTENT_LENGTH=${#BODY} SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 \
        REMOTE_ADDR=127.0.0.1 "$@"
}
for n in ${COUNTS:-1000 9998}; do
    find "$MAILDIR/new" "$MAILDIR/cur" -type f -delete 2>/dev/null || true
    python3 "$ROOT/scripts/genmail.py" --to "$U" --count "$n" --seed 7 --small --maildir "$MAILDIR" >/dev/null
    fresh() {   # an empty work area and a login (no check yet): sets LIST, the first list's environment
        rm -rf "$W/work"; mkdir -p "$W/work"
        local out tok tokc
        out=$(login "$W/larkspur")
        tok=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utok=\([^;]*\);.*/\1/Ip' | head -1)
        tokc=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utokc=\([^;]*\);.*/\1/Ip' | head -1)
        [ -n "$tok" ] || { echo "firstcheck.sh: login failed" >&2; printf '%s\n' "$out" | head -30 >&2; exit 1; }
        tok=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$tok")
        LIST=(env -i REQUEST_METHOD=GET SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80
              REMOTE_ADDR=127.0.0.1 "HTTP_COOKIE=utokc=$tokc" "QUERY_STRING=cmd=list&fld=0&utoken=$tok")
    }
    fresh
    "${LIST[@]}" /usr/bin/time -f '%e %U %S %M' -o "$W/time" "$W/larkspur" >"$W/page"
    read -r wall usr sys rss <"$W/time"
    files=$(find "$W/work" -type f | wc -l)
    kb=$(du -sk "$W/work" | cut -f1)
    printf '%5d new messages: %6.2f s whole request, CPU %.2f s user + %.2f s system, peak RSS %s KB, %s files (%s KB) in the work area\n' \
        "$n" "$wall" "$usr" "$sys" "$rss" "$files" "$kb"
    if command -v perf >/dev/null && [ -z "${NO_PERF:-}" ]; then
        # the same check again, under perf, from an empty work area
        fresh
        "${LIST[@]}" perf record -q -F 10000 -g -o "$W/perf.data" "$W/larkspur" >/dev/null 2>&1 || true
        echo "  where the process spends its time (self, top entries):"
        perf report -i "$W/perf.data" --no-children --stdio --sort dso,sym 2>/dev/null |
            grep -E '^ +[0-9.]+%' | head -12 | sed 's/^/  /'
    fi
done
