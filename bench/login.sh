#!/usr/bin/env bash
# Whole-process login times against the real dovecot started by
# scripts/servers.sh, measured with hyperfine -N (no shell), medians printed:
#   - first login of a user (no profile yet: created, POP USER/PASS checked)
#   - the same for a user whose mailbox holds 100 messages
#   - warm login (profile exists, password equals the stored one)
#   - warm login that contacts dovecot (stored password cleared before each run)
#   - an authenticated request doing nothing else ("check": token, address
#     and idle checks and the profile load under the lock)
# The program runs in a private directory with its own work area and ini,
# talking to the servers of servers.env.
#   bench/login.sh [BUILD_DIR]   (default build; LARKSPUR_RUN as for servers.sh)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
RUN=${LARKSPUR_RUN:-$ROOT/run/servers}
ENVF=$RUN/servers.env
[ -x "$B/larkspur" ] || { echo "login.sh: no larkspur in $B; build first" >&2; exit 1; }
[ -s "$ENVF" ] || { echo "login.sh: no $ENVF: run scripts/servers.sh start" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "login.sh: needs hyperfine" >&2; exit 1; }
get() { grep "^$1=" "$ENVF" | head -1 | cut -d= -f2-; }
HOST=$(get LK_HOST); PORT=$(get LK_POP3_PORT)
U1=$(get LK_USER1); P1=$(get LK_PASS1); U2=$(get LK_USER2); P2=$(get LK_PASS2)
RUNS=${LK_BENCH_RUNS:-40}

W=$(mktemp -d /tmp/lkbench_loginXXXXXX)
trap 'rm -rf "$W"' EXIT
mkdir -p "$W/work"
cp -R "$ROOT/templates" "$W/templates"
printf 'templates %s/templates\nworkarea %s/work\npophost %s\nport %s\ntls_ca_file %s\n' "$W" "$W" "$HOST" "$PORT" "$(get LK_CERT)" >"$W/larkspur.ini"
cp "$B/larkspur" "$W/larkspur"
cd "$W"

# The second user's mailbox gets 100 messages when it has fewer.
count=$(python3 - "$HOST" "$PORT" "$U2" "$P2" <<'PY'
import poplib, sys
p = poplib.POP3(sys.argv[1], int(sys.argv[2])); p.user(sys.argv[3]); p.pass_(sys.argv[4])
print(p.stat()[0]); p.quit()
PY
)
if [ "$count" -lt 100 ]; then
    python3 "$ROOT/scripts/genmail.py" --env "$ENVF" --to "$U2" --count $((100 - count)) --small >/dev/null
    sleep 2
fi

cgi() {   # cgi QUERY -> an env -i command line for hyperfine -N
    echo "env -i REQUEST_METHOD=GET QUERY_STRING=$1 SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 REMOTE_ADDR=127.0.0.1 $W/larkspur"
}
median() {
    hyperfine -N -w 3 -r "$RUNS" --style none --export-json "$W/r.json" "$@" >/dev/null 2>&1
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print("%.2f ms (min %.2f)" % (r["median"]*1000, r["min"]*1000))' "$W/r.json"
}
printf '#!/bin/sh\nrm -rf %s/work/u_*\n' "$W" >"$W/clean.sh"
# Blanks the stored password (slot 0, third field) so the login asks dovecot.
cat >"$W/forget.sh" <<SH
#!/bin/sh
for f in $W/work/u_*/*/user.dat; do
  sed -i 's/^\(pophost 0 [^\t]*\t[^\t]*\t\)[^\t]*/\1/' "\$f"
done
SH
chmod +x "$W/clean.sh" "$W/forget.sh"

L1="cmd=login&user=$U1&pass=$P1&frame=on&tcode=1"
L2="cmd=login&user=$U2&pass=$P2&frame=on&tcode=1"
echo "first login (new profile):           $(median -p "$W/clean.sh" "$(cgi "$L1")")"
echo "first login, 100 messages on server: $(median -p "$W/clean.sh" "$(cgi "$L2")")"
"$W/larkspur" >/dev/null 2>&1 </dev/null || true
env -i REQUEST_METHOD=GET "QUERY_STRING=$L1" SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 \
    REMOTE_ADDR=127.0.0.1 "$W/larkspur" >/dev/null
echo "warm login (stored password):        $(median "$(cgi "$L1")")"
echo "warm login asking dovecot:           $(median -p "$W/forget.sh" "$(cgi "$L1")")"
TOK=$(env -i REMOTE_ADDR=127.0.0.1 "$W/larkspur" -query "$L1" | sed -n 's/^+OK //p')
[ -n "$TOK" ] || { echo "login.sh: command-line login failed" >&2; exit 1; }
ENC=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$TOK")
out=$(env -i REQUEST_METHOD=GET "QUERY_STRING=cmd=check&utoken=$ENC" SCRIPT_NAME=/cgi-bin/larkspur \
      SERVER_NAME=localhost SERVER_PORT=80 REMOTE_ADDR=127.0.0.1 "$W/larkspur")
case "$out" in *+OK*) ;; *) echo "login.sh: the token was not accepted" >&2; exit 1 ;; esac
echo "authenticated request (check):       $(median "$(cgi "cmd=check&utoken=$ENC")")"
