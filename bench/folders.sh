#!/usr/bin/env bash
# Whole-process times of folder operations, measured with hyperfine (the
# posted body is fed through the shell, whose start hyperfine subtracts):
#   - moving 990 selected messages of a 9,998-message folder to another
#     (the most one posted form can select: the form store keeps 999 fields)
#   - deleting one message (through the trash) from folders of 1,000 and of
#     9,998 messages: a delete costs one rewrite of the folder's index, so
#     the difference between the two is that rewrite
# Every timed run starts from the same folders (restored with hard links
# before each run, outside the timing).  A session is made once by logging
# in against the scripted POP3 server (stopped again by its PID); the mail
# check is kept out of the figures (fetch_min far in the future).
#   bench/folders.sh [BUILD_DIR]   (default build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
[ -x "$B/larkspur" ] || { echo "folders.sh: no larkspur in $B; build first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "folders.sh: needs hyperfine" >&2; exit 1; }
RUNS=${LK_BENCH_RUNS:-10}
W=$(mktemp -d /tmp/lkbench_fldXXXXXX)
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
printf 'templates %s/templates\nworkarea %s/work\npophost 127.0.0.1\nport %s\nfetch_min 999999999\n' \
    "$W" "$W" "$PORT" >"$W/larkspur.ini"
cd "$W"
ENVC="SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80 REMOTE_ADDR=127.0.0.1"
BODY='cmd=login&user=bench&pass=Bench-pw1'
out=$(printf '%s' "$BODY" | env -i REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded \
    CONTENT_LENGTH=${#BODY} $ENVC "$W/larkspur")
TOK=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utok=\([^;]*\);.*/\1/p' | head -1)
TOKC=$(printf '%s' "$out" | sed -n 's/^Set-cookie: utokc=\([^;]*\);.*/\1/p' | head -1)
[ -n "$TOK" ] || { echo "folders.sh: login failed" >&2; printf '%s\n' "$out" | head -20 >&2; exit 1; }
ETOK=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$TOK")
get() { env -i REQUEST_METHOD=GET $ENVC HTTP_COOKIE="utokc=$TOKC" QUERY_STRING="$1&utoken=$ETOK" "$W/larkspur"; }
get "cmd=list&fld=0" >/dev/null
get "cmd=fld_create&newname=Archive" >/dev/null
kill "$FPID" 2>/dev/null || true
wait "$FPID" 2>/dev/null || true
FPID=
UD=$(dirname "$(ls "$W"/work/u_*/*/user.dat | head -1)")
grep -q '^folder 3 Archive' "$UD/user.dat" || { echo "folders.sh: no folder 3" >&2; exit 1; }

# Pristine folders of 1,000 and 9,998 messages (index and files).
python3 - "$W" <<'PY'
import os, random, sys
w = sys.argv[1]
rnd = random.Random(7)
words = "report lunch meeting plans invoice photos offsite budget draft notes review travel".split()
for n in (1000, 9998):
    d = os.path.join(w, "fld%d" % n)
    os.makedirs(d)
    with open(os.path.join(d, "index.dat"), "w") as idx:
        for i in range(1, n + 1):
            subj = " ".join(rnd.choice(words) for _ in range(4)).capitalize() + " %d" % i
            frm = '"Sender %d" <sender%d@example.test>' % (i % 97, i % 97)
            text = ("From: %s\nTo: bench@example.test\nSubject: %s\nMessage-ID: <m%d@example.test>\n\n" % (frm, subj, i)
                    + "A line of the message body to give it some size.\n" * 25)
            with open(os.path.join(d, "m_%d.dat" % i), "w") as fh:
                fh.write(text)
            f = [str(i), "uid%d" % i, "read,", "<m%d@example.test>" % i, subj, frm, "30", "bench@example.test",
                 "Mon, 1 Jan 2024 10:00:00 +0000", "", "", "127.0.0.1", "0", "bench", str(len(text)),
                 "text/plain", "", "", "", "0", "", "", "110"]
            idx.write("\t".join(f) + "\t\n")
PY
# Ids of the new copies start above every pristine one.
sed -i 's/^nextid .*/nextid 20000/' "$UD/user.dat"
grep -q '^nextid' "$UD/user.dat" || echo "nextid 20000" >>"$UD/user.dat"
cp "$UD/user.dat" "$W/user.dat.pristine"

# 990 selected messages, spread over the folder.
python3 - "$ETOK" >"$W/move.body" <<'PY'
import sys
sel = "".join("&sel_%d=on" % i for i in range(5, 10000, 10)[:990])
sys.stdout.write("utoken=" + sys.argv[1] + "&must_lock=1&fld=0&dstfld=3&movesel=1" + sel)
PY
restore() {   # the command hyperfine runs before each timed run
    echo "rm -rf $UD/0 $UD/1 $UD/3 && cp -al $W/fld$1 $UD/0 && cp $W/user.dat.pristine $UD/user.dat"
}
post() {
    echo "env -i REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=$(stat -c %s "$1") $ENVC HTTP_COOKIE=utokc=$TOKC $W/larkspur <$1 >/dev/null"
}
result() {   # name, folder size, command
    hyperfine -r "$RUNS" --style none --prepare "$(restore "$2")" --export-json "$W/r.json" "$3" >/dev/null 2>&1
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print("%-50s %8.2f ms median (min %.2f, max %.2f)" % (sys.argv[2], r["median"]*1000, r["min"]*1000, r["max"]*1000))' "$W/r.json" "$1"
}

result "move 990 of 9,998 messages to another folder" 9998 "$(post "$W/move.body")"
# The move really moved them (checked once, outside the timing).
eval "$(restore 9998)"
eval "$(post "$W/move.body")"
n0=$(wc -l <"$UD/0/index.dat"); n3=$(wc -l <"$UD/3/index.dat"); f3=$(ls "$UD/3" | grep -c '^m_')
echo "after the move: folder 0 has $n0 records, folder 3 has $n3 records and $f3 files"
[ "$n0" = 9008 ] && [ "$n3" = 990 ] && [ "$f3" = 990 ] || { echo "folders.sh: the move did not move" >&2; exit 1; }

for n in 1000 9998; do
    # For comparison: the list page the delete ends with, on its own.
    result "list page of $n (what a delete shows after)" "$n" "env -i REQUEST_METHOD=GET $ENVC HTTP_COOKIE=utokc=$TOKC QUERY_STRING=cmd=list\&fld=0\&utoken=$ETOK $W/larkspur >/dev/null"
    printf 'utoken=%s&must_lock=1&fld=0&item=500&delitem=1' "$ETOK" >"$W/del.body"
    result "delete one message of $n (through the trash)" "$n" "$(post "$W/del.body")"
done
