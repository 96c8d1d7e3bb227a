#!/usr/bin/env bash
# Whole-process times of the manager over many users: a bulk profile edit
# over "*" and a purge of abandoned sessions, each one CGI run.  One user
# logs in against the scripted POP3 server of tests/fake (loopback, started
# and stopped here by its PID); its directory, cached mail included, is
# copied to make the others.
#   bench/manager.sh [BUILD_DIR] [USERS]   (defaults: build, 1000)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
N=${2:-1000}
[ -x "$B/larkspur" ] || { echo "manager.sh: no larkspur in $B; build first" >&2; exit 1; }

W=$(mktemp -d /tmp/lkbench_managerXXXXXX)
POP_PID=
cleanup() { [ -n "$POP_PID" ] && kill "$POP_PID" 2>/dev/null; rm -rf "$W"; }
trap cleanup EXIT
printf 'user ann Bn5-pass\nmessages 3 2000\n' >"$W/pop.script"
python3 "$ROOT/tests/fake/fakeserver.py" pop3 "$W/pop.script" --idle 600 --parent $$ >"$W/pop.port" &
POP_PID=$!
for _ in $(seq 50); do [ -s "$W/pop.port" ] && break; sleep 0.1; done
PORT=$(head -1 "$W/pop.port")
mkdir -p "$W/work"
cp -R "$ROOT/templates" "$W/templates"
printf 'templates %s/templates\nworkarea %s/work\npophost 127.0.0.1\nport %s\npop_delete_default false\nauto_logout_mins 10\nmanager_password Bn5-manager\n' \
    "$W" "$W" "$PORT" >"$W/larkspur.ini"
cp "$B/larkspur" "$W/larkspur"
cd "$W"

cgi() {   # cgi METHOD QUERY [BODY]
    local body=${3:-}
    env -i REQUEST_METHOD="$1" QUERY_STRING="$2" CONTENT_TYPE=application/x-www-form-urlencoded \
        CONTENT_LENGTH="${#body}" SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 \
        REMOTE_ADDR=127.0.0.1 HTTP_COOKIE="${COOKIE:-}" "$W/larkspur" <<<"$body"
}
out=$(cgi POST "" "cmd=login&user=ann&pass=Bn5-pass")
tok=$(printf '%s' "$out" | sed -n 's/^Set-[Cc]ookie: utok=\([^;]*\).*/\1/p' | head -1)
tokc=$(printf '%s' "$out" | sed -n 's/^Set-[Cc]ookie: utokc=\([^;]*\).*/\1/p' | head -1)
COOKIE="utokc=$tokc" cgi GET "cmd=list&fld=0&utoken=$tok" >/dev/null
ANN=$W/work/u_an/ann@127_0_0_1
[ -f "$ANN/user.dat" ] || { echo "manager.sh: the login made no profile" >&2; exit 1; }
rm -f "$ANN/user_lock"
old=$(( $(date +%s) - 7200 ))
sed -i "s/^log_time .*/log_time $old/" "$ANN/user.dat"
for i in $(seq 1 "$N"); do
    name=$(printf 'b%05d' "$i")
    d=$W/work/u_${name:0:2}/$name@127_0_0_1
    mkdir -p "$(dirname "$d")"
    cp -R "$ANN" "$d"
    echo "$name@127.0.0.1" >"$d/owner"
done
cached=$(find "$W/work" -path '*/0/m_*.dat' | wc -l)

act() {   # act FIELDS -> the run's wall time in ms; the page in $W/page.html
    local code t0 t1
    code=$(cgi GET "cmd=manager" | sed -n 's/.*name="tcode" value="\([0-9]*\)".*/\1/p')
    t0=$(date +%s%N)
    cgi POST "" "cmd=domanager&pass=Bn5-manager&tcode=$code&$1" >"$W/page.html"
    t1=$(date +%s%N)
    echo $(( (t1 - t0) / 1000000 ))
}
ms=$(act "uwild=*&uset=refresh&uval=9&uadd=on")
edited=$(grep -l '^refresh 9$' "$W"/work/u_*/*/user.dat | wc -l)
echo "bulk edit over $((N + 1)) users: $ms ms, $edited profiles carry the new line"
grep -o 'I1: [^<]*' "$W/page.html" || true
ms=$(act "uwild=*&upurge=on")
left=$(find "$W/work" -path '*/0/m_*.dat' | wc -l)
echo "purge over $((N + 1)) users: $ms ms, cached message files $cached -> $left"
grep -o 'I4: [^<]*' "$W/page.html" || true
