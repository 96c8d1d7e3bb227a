#!/usr/bin/env bash
# Whole-process times of reading mail, measured with hyperfine -N (no
# shell), medians and peak RSS printed:
#   - the list page of a folder of 1,000 and of 9,998 messages, first and
#     last page, sorted by date and by subject
#   - the message page of a small, a 100 KB and a 5 MB multipart message
#   - the download of a 3.7 MB attachment
# A session is made once by logging in against the scripted POP3 server
# (tests/fake/fakeserver.py, stopped again by its PID); the folder and the
# messages are then written straight into the work area, and the mail check
# is kept out of the figures (fetch_min far in the future).
#   bench/read.sh [BUILD_DIR]   (default build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
[ -x "$B/larkspur" ] || { echo "read.sh: no larkspur in $B; build first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "read.sh: needs hyperfine" >&2; exit 1; }
RUNS=${LK_BENCH_RUNS:-30}
W=$(mktemp -d /tmp/lkbench_readXXXXXX)
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
printf 'templates %s/templates\nworkarea %s/work\npophost 127.0.0.1\nport %s\nfetch_min 999999999\nuse_page_size true\n' \
    "$W" "$W" "$PORT" >"$W/larkspur.ini"
cd "$W"
ENVC="REQUEST_METHOD=GET SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 REMOTE_ADDR=127.0.0.1"
BODY='cmd=login&user=bench&pass=Bench-pw1'
out=$(printf '%s' "$BODY" | env -i REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded \
    CONTENT_LENGTH=${#BODY} SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 REMOTE_ADDR=127.0.0.1 "$W/larkspur")
TOK=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utok=\([^;]*\);.*/\1/p' | head -1)
TOKC=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utokc=\([^;]*\);.*/\1/p' | head -1)
[ -n "$TOK" ] || { echo "read.sh: login failed" >&2; printf '%s\n' "$out" | head -20 >&2; exit 1; }
ETOK=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$TOK")
# The first list makes the mail check once (an empty mailbox); then the
# server is no longer needed.
env -i $ENVC HTTP_COOKIE="utokc=$TOKC" QUERY_STRING="cmd=list&fld=0&utoken=$ETOK" "$W/larkspur" >/dev/null
kill "$FPID" 2>/dev/null || true
wait "$FPID" 2>/dev/null || true
FPID=
UD=$(dirname "$(ls "$W"/work/u_*/*/user.dat | head -1)")
mkdir -p "$UD/0"

# Folders of N records (ids 1..N, the first three are the big messages)
# and the three messages of the message pages.
python3 - "$UD" <<'PY'
import base64, os, random, sys
ud = sys.argv[1]
rnd = random.Random(7)
words = "report lunch meeting plans invoice photos offsite budget draft notes review travel".split()
def rec(i, size):
    subj = " ".join(rnd.choice(words) for _ in range(4)).capitalize() + " %d" % i
    frm = '"Sender %d" <sender%d@example.test>' % (i % 97, i % 97)
    date = "Mon, %d Jan 2024 %02d:%02d:00 +0000" % (1 + i % 28, i % 24, i % 60)
    f = [str(i), "uid%d" % i, "read," if i % 3 else "", "<m%d@example.test>" % i, subj, frm, "20",
         "bench@example.test", date, "", "", "127.0.0.1", "0", "bench", str(size), "text/plain", "",
         "", "", "0", "", "", "110", ""]
    return "\t".join(f) + "\n"
sizes = {1: 600, 2: 100 * 1024, 3: 5 * 1024 * 1024}
for n in (1000, 9998):
    with open(os.path.join(ud, "index_%d.dat" % n), "w") as fh:
        for i in range(1, n + 1):
            fh.write(rec(i, sizes.get(i, 1500)))
head = "From: Sender <sender@example.test>\nTo: bench@example.test\nDate: Mon, 1 Jan 2024 10:00:00 +0000\n"
para = "The quick brown fox jumps over the lazy dog near the river bank today.\n"
with open(os.path.join(ud, "0", "m_1.dat"), "w") as fh:
    fh.write(head + "Subject: small\n\n" + para * 6)
with open(os.path.join(ud, "0", "m_2.dat"), "w") as fh:
    fh.write(head + "Subject: hundred k\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=B\n\n"
             "--B\nContent-Type: text/plain\n\n" + para * 700 + "--B\nContent-Type: application/octet-stream; name=a.bin\n"
             "Content-Transfer-Encoding: base64\n\n" + base64.encodebytes(os.urandom(20000)).decode() + "--B--\n")
att = os.urandom(int(3.7 * 1024 * 1024))
with open(os.path.join(ud, "att.bin"), "wb") as fh:
    fh.write(att)
with open(os.path.join(ud, "0", "m_3.dat"), "w") as fh:
    fh.write(head + "Subject: five meg\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=B\n\n"
             "--B\nContent-Type: text/plain\n\n" + para * 300 + "--B\nContent-Type: application/pdf; name=report.pdf\n"
             "Content-Disposition: attachment; filename=report.pdf\nContent-Transfer-Encoding: base64\n\n" +
             base64.encodebytes(att).decode() + "--B--\n")
PY

cgi() { echo "env -i $ENVC HTTP_COOKIE=utokc=$TOKC QUERY_STRING=$1&utoken=$ETOK $W/larkspur"; }
# bench/cpu.sh sources this script for the work area alone.
if [ -n "${LK_READ_SETUP_ONLY:-}" ]; then return 0; fi
result() {   # median and peak RSS of one command line
    hyperfine -N -w 3 -r "$RUNS" --style none --export-json "$W/r.json" "$1" >/dev/null 2>&1
    rss=$( { /usr/bin/time -f '%M' $1 >/dev/null; } 2>&1 | tail -1)
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print("%7.2f ms median (min %.2f)  peak RSS %s KB" % (r["median"]*1000, r["min"]*1000, sys.argv[2]))' "$W/r.json" "$rss"
}
row() { printf '%-46s ' "$1"; result "$(cgi "$2")"; }

for n in 1000 9998; do
    cp "$UD/index_$n.dat" "$UD/0/index.dat"
    for key in datetime subject:; do
        # The first request sorts and rewrites the index; the timed ones find it in order.
        $(cgi "cmd=list&fld=0&sort_on=$key") >/dev/null
        row "list $n, first page, sort $key" "cmd=list&fld=0"
        row "list $n, last page, sort $key" "cmd=list&fld=0&upto=5"
    done
done
cp "$UD/index_1000.dat" "$UD/0/index.dat"
row "message page, small" "cmd=item&fld=0&item=1"
row "message page, 100 KB multipart" "cmd=item&fld=0&item=2"
row "message page, 5 MB multipart" "cmd=item&fld=0&item=3"
row "download of a 3.7 MB attachment" "cmd=item&fld=0&item=3&part=2"
# The download is the attachment, byte for byte.
$(cgi "cmd=item&fld=0&item=3&part=2") | python3 -c '
import sys
d = sys.stdin.buffer.read(); i = d.find(b"\n\n")
ok = d[i + 2:] == open(sys.argv[1], "rb").read()
print("download matches the attachment:", ok); sys.exit(0 if ok else 1)' "$UD/att.bin"
