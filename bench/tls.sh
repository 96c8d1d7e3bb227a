#!/usr/bin/env bash
# Whole-process cost of TLS to the POP server, against the real dovecot of
# scripts/servers.sh, measured with hyperfine -N (no shell), medians printed:
#   - process start (the login form, no server contact), for each program
#     given: compares OpenSSL linked statically and as shared libraries
#   - a login that asks dovecot, and a list with a mail check of a mailbox
#     of 20 messages, over plain POP3, STLS and POP3S
#   bench/tls.sh [BUILD_DIR [OTHER_BUILD_DIR]]   (default build; LARKSPUR_RUN
#   as for servers.sh)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
B2=${2:+$(cd "$2" && pwd)}
RUN=${LARKSPUR_RUN:-$ROOT/run/servers}
ENVF=$RUN/servers.env
[ -x "$B/larkspur" ] || { echo "tls.sh: no larkspur in $B; build first" >&2; exit 1; }
[ -s "$ENVF" ] || { echo "tls.sh: no $ENVF: run scripts/servers.sh start" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "tls.sh: needs hyperfine" >&2; exit 1; }
get() { grep "^$1=" "$ENVF" | head -1 | cut -d= -f2-; }
HOST=$(get LK_HOST); U=$(get LK_USER2); P=$(get LK_PASS2); CA=$(get LK_CERT)
RUNS=${LK_BENCH_RUNS:-40}

W=$(mktemp -d /tmp/lkbench_tlsXXXXXX)
trap 'rm -rf "$W"' EXIT
mkdir -p "$W/work"
cp -R "$ROOT/templates" "$W/templates"
cp "$B/larkspur" "$W/larkspur"
cd "$W"

cgi() {   # cgi PROGRAM QUERY [COOKIE] -> an env -i command line for hyperfine -N
    echo "env -i REQUEST_METHOD=GET QUERY_STRING=$2 SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 REMOTE_ADDR=127.0.0.1 ${3:+HTTP_COOKIE=$3} $1"
}
median() {
    hyperfine -N -w 3 -r "$RUNS" --style none --export-json "$W/r.json" "$@" >/dev/null 2>&1
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print("%.2f ms (min %.2f)" % (r["median"]*1000, r["min"]*1000))' "$W/r.json"
}
ini() {   # ini PORT MODE
    printf 'templates %s/templates\nworkarea %s/work\npophost %s\nport %s\npop_tls %s\npop_tls_ports %s\ntls_ca_file %s\nfetch_min 0\n' \
        "$W" "$W" "$HOST" "$1" "$2" "$(get LK_POP3S_PORT)" "$CA" >"$W/larkspur.ini"
}

ini "$(get LK_POP3_PORT)" none
echo "process start, $B/larkspur: $(median "$(cgi "$W/larkspur" "")")"
if [ -n "$B2" ]; then
    cp "$B2/larkspur" "$W/larkspur2"
    echo "process start, $B2/larkspur: $(median "$(cgi "$W/larkspur2" "")")"
fi

# 20 messages in the mailbox, once.
maildir=$(get LK_MAILDIRS)/$U/Maildir
find "$maildir/new" "$maildir/cur" -type f -delete 2>/dev/null || true
python3 "$ROOT/scripts/genmail.py" --to "$U" --count 20 --seed 5 --maildir "$maildir" >/dev/null

# Blanks the stored password so every login asks dovecot.
cat >"$W/forget.sh" <<SH
#!/bin/sh
for f in $W/work/u_*/*/user.dat; do
  sed -i 's/^\(pophost 0 [^\t]*\t[^\t]*\t\)[^\t]*/\1/' "\$f"
done
SH
chmod +x "$W/forget.sh"
L="cmd=login&user=$U&pass=$P&frame=on&tcode=1"
for mode in "plain $(get LK_POP3_PORT) none" "STLS $(get LK_POP3_PORT) required" "POP3S $(get LK_POP3S_PORT) none"; do
    set -- $mode
    ini "$2" "$3"
    rm -rf "$W/work/u_"*
    out=$(env -i REQUEST_METHOD=GET "QUERY_STRING=$L" SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost \
          SERVER_PORT=80 REMOTE_ADDR=127.0.0.1 "$W/larkspur")
    TOK=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utok=\([^;]*\);.*/\1/p' | head -1)
    TOKC=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utokc=\([^;]*\);.*/\1/p' | head -1)
    [ -n "$TOK" ] || { echo "tls.sh: $1 login failed" >&2; printf '%s\n' "$out" | head -30 >&2; exit 1; }
    ETOK=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$TOK")
    printf '%-6s login asking dovecot:   %s\n' "$1" "$(median -p "$W/forget.sh" "$(cgi "$W/larkspur" "$L")")"
    printf '%-6s list with a mail check: %s\n' "$1" \
        "$(median "$(cgi "$W/larkspur" "cmd=list&fld=0&utoken=$ETOK" "utokc=$TOKC")")"
done
find "$maildir/new" "$maildir/cur" -type f -delete 2>/dev/null || true
