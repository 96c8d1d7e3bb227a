#!/usr/bin/env bash
# Whole-process times with an address book of 5,000 entries (hyperfine):
#   - the address-book page (every entry offered: pick_abook_max 5000)
#   - the compose page, which carries the same pick list
#   - saving the whole book again from the page's form
# A session is made once by logging in against the scripted POP3 server
# (stopped again by its PID); the mail check is kept out of the figures.
#   bench/abook.sh [BUILD_DIR]   (default build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
[ -x "$B/larkspur" ] || { echo "abook.sh: no larkspur in $B; build first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "abook.sh: needs hyperfine" >&2; exit 1; }
RUNS=${LK_BENCH_RUNS:-10}
W=$(mktemp -d /tmp/lkbench_abkXXXXXX)
FPID=
cleanup() { [ -n "$FPID" ] && kill "$FPID" 2>/dev/null; rm -rf "$W"; }
trap cleanup EXIT
mkdir -p "$W/work"
cp -R "$ROOT/templates" "$W/templates"
cp "$B/larkspur" "$W/larkspur"
printf 'user bench Bench-pw1\n' >"$W/pop.txt"
python3 "$ROOT/tests/fake/fakeserver.py" pop3 "$W/pop.txt" --idle 60 --parent $$ >"$W/port" &
FPID=$!
for _ in $(seq 50); do [ -s "$W/port" ] && break; sleep 0.1; done
PORT=$(head -1 "$W/port")
printf 'templates %s/templates\nworkarea %s/work\npophost 127.0.0.1\nport %s\nfetch_min 999999999\npick_abook_max 5000\n' \
    "$W" "$W" "$PORT" >"$W/larkspur.ini"
cd "$W"
ENVC="SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 REMOTE_ADDR=127.0.0.1"
BODY='cmd=login&user=bench&pass=Bench-pw1'
out=$(printf '%s' "$BODY" | env -i REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded \
    CONTENT_LENGTH=${#BODY} $ENVC "$W/larkspur")
TOK=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utok=\([^;]*\);.*/\1/p' | head -1)
TOKC=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utokc=\([^;]*\);.*/\1/p' | head -1)
[ -n "$TOK" ] || { echo "abook.sh: login failed" >&2; exit 1; }
ETOK=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$TOK")
kill "$FPID" 2>/dev/null || true
wait "$FPID" 2>/dev/null || true
FPID=
# The book: 4,500 addresses and 500 named entries (every tenth a group).
python3 - "$TOK" >"$W/save.body" <<'PY'
import sys, urllib.parse
lines = []
for i in range(5000):
    if i % 10 == 0:
        lines.append("name%d = n%d@example.test, m%d@example.test" % (i, i, i) if i % 100 == 0
                     else "name%d = n%d@example.test" % (i, i))
    else:
        lines.append('"Person %d" <p%d@example.test>' % (i, i))
body = {"cmd": "pick_set", "page": "pick", "abook_edit": "big", "abook": "\n".join(lines), "utoken": sys.argv[1]}
sys.stdout.write(urllib.parse.urlencode(body))
PY
post() { env -i REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=$(stat -c %s "$1") \
    $ENVC HTTP_COOKIE="utokc=$TOKC" "$W/larkspur" <"$1"; }
post "$W/save.body" >"$W/first.out"
UD=$(dirname "$(ls "$W"/work/u_*/*/user.dat | head -1)")
[ "$(wc -l <"$UD/big.abk")" = 5000 ] || { echo "abook.sh: the book was not saved" >&2; grep -o "<p[^>]*>[^<]*" "$W/first.out" | tail -5 >&2; exit 1; }
q() { printf 'env -i REQUEST_METHOD=GET %s HTTP_COOKIE=utokc=%s QUERY_STRING="%s&utoken=%s" %s/larkspur' \
    "$ENVC" "$TOKC" "$1" "$ETOK" "$W"; }
n=$(eval "$(q cmd=pick_edit)" | grep -o '<option value=' | wc -l)
echo "options on the address-book page: $n"
hyperfine -N -w 2 -r "$RUNS" -n "message list (for comparison)" "$(q "cmd=list&fld=0")" -n "pick page (5,000 entries)" "$(q cmd=pick_edit)" \
    -n "compose page (5,000 entries)" "$(q cmd=new)"
hyperfine -w 1 -r "$RUNS" -n "save the 5,000-entry book" \
    "env -i REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=$(stat -c %s "$W/save.body") $ENVC HTTP_COOKIE=utokc=$TOKC $W/larkspur <$W/save.body"
