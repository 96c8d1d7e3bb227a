#!/usr/bin/env bash
# Whole-process times of searching, measured with hyperfine -N (no shell):
#   - the list page of a folder of 9,998 messages (the yardstick)
#   - a header search (subject, sender, recipients) over those 9,998
#   - a text search over 1,000 and over 9,998 cached messages of 2-20 KB,
#     a mix of plain, quoted-printable UTF-8, base64 Latin-1 and
#     multipart/alternative messages with an HTML part
# Each is timed once on its own ("first", right after the files were
# written, so they are in the system's file cache) and then repeated
# (median).  "first" runs without the folder's search cache (search.dat,
# removed before it), so it decodes every message and writes the cache;
# the repeats read the cache.  The message files are in the system's file
# cache throughout: a cold-disk figure would need the machine's caches
# dropped, which this script does not do.  CPU time (user + system) is
# printed beside wall time because the machine may be shared.
# A session is made once by logging in against the scripted POP3 server
# (tests/fake/fakeserver.py, stopped again by its PID); folders and
# messages are then written straight into the work area.
#   bench/search.sh [BUILD_DIR]   (default build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
[ -x "$B/larkspur" ] || { echo "search.sh: no larkspur in $B; build first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "search.sh: needs hyperfine" >&2; exit 1; }
RUNS=${LK_BENCH_RUNS:-10}
W=$(mktemp -d /tmp/lkbench_searchXXXXXX)
FPID=
# LK_BENCH_KEEP=1 keeps the directory (printed) for a profiler.
cleanup() { [ -n "$FPID" ] && kill "$FPID" 2>/dev/null; if [ -n "${LK_BENCH_KEEP:-}" ]; then echo "kept $W"; else rm -rf "$W"; fi; }
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
[ -n "$TOK" ] || { echo "search.sh: login failed" >&2; printf '%s\n' "$out" | head -20 >&2; exit 1; }
ETOK=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$TOK")
env -i $ENVC HTTP_COOKIE="utokc=$TOKC" QUERY_STRING="cmd=list&fld=0&utoken=$ETOK" "$W/larkspur" >/dev/null
kill "$FPID" 2>/dev/null || true
wait "$FPID" 2>/dev/null || true
FPID=
UD=$(dirname "$(ls "$W"/work/u_*/*/user.dat | head -1)")

# Folder 0 holds 9,998 messages, folder 1 ("Trash Can") the first 1,000 of
# them.  One message in 500 mentions "aubergine" (as "AUBERGINE" in the
# encoded ones), never in a header.
python3 - "$UD" <<'PY'
import base64, os, quopri, random, sys
ud = sys.argv[1]
rnd = random.Random(25)
words = ("report lunch meeting plans invoice photos offsite budget draft notes review travel garden "
         "kitchen station window market river summer winter letter answer number").split()
def para(n):
    return "\n".join(" ".join(rnd.choice(words) for _ in range(12)) for _ in range(n)) + "\n"
def message(i):
    size = rnd.randint(2000, 20000)
    text = para(max(1, size // 90))
    if i % 500 == 7:
        text += "The aubergine caf\u00e9 recipe is attached below.\n"
    kind = i % 10
    head = ('From: "Sender %d" <sender%d@example.test>\nTo: bench@example.test\nSubject: %s %d\n'
            "Date: Mon, %d Jan 2024 %02d:%02d:00 +0000\nMessage-ID: <m%d@example.test>\nMIME-Version: 1.0\n"
            % (i % 97, i % 97, " ".join(rnd.choice(words) for _ in range(4)).capitalize(), i,
               1 + i % 28, i % 24, i % 60, i))
    if kind < 6:
        body = "Content-Type: text/plain; charset=us-ascii\n\n" + text.replace("caf\u00e9", "cafe")
    elif kind < 8:
        q = quopri.encodestring(text.upper().encode()).decode()
        body = "Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: quoted-printable\n\n" + q
    elif kind < 9:
        b = base64.encodebytes(text.encode("latin-1")).decode()
        body = "Content-Type: text/plain; charset=ISO-8859-1\nContent-Transfer-Encoding: base64\n\n" + b
    else:
        html = "<html><body>" + "".join("<p>%s</p>" % l for l in text.splitlines()) + "</body></html>\n"
        body = ('Content-Type: multipart/alternative; boundary="ALT"\n\n--ALT\nContent-Type: text/plain; charset=UTF-8\n\n'
                + text + "--ALT\nContent-Type: text/html; charset=UTF-8\n\n" + html + "--ALT--\n")
    return head, head + body
def rec(i, head, size):
    subj = head.split("Subject: ")[1].split("\n")[0]
    date = head.split("Date: ")[1].split("\n")[0]
    f = [str(i), "uid%d" % i, "read," if i % 3 else "", "<m%d@example.test>" % i, subj,
         '"Sender %d" <sender%d@example.test>' % (i % 97, i % 97), "20", "bench@example.test", date, "", "",
         "127.0.0.1", "0", "bench", str(size), "text/plain", "", "", "", "0", "", "", "110", ""]
    return "\t".join(f) + "\n"
for fld, n in ((0, 9998), (1, 1000)):
    d = os.path.join(ud, str(fld))
    os.makedirs(d, exist_ok=True)
    rnd.seed(25)
    with open(os.path.join(d, "index.dat"), "w") as idx:
        for i in range(1, n + 1):
            head, m = message(i)
            data = m.encode("utf-8")
            with open(os.path.join(d, "m_%d.dat" % i), "wb") as fh:
                fh.write(data)
            idx.write(rec(i, head, len(data)))
PY
du -sh "$UD/0" "$UD/1" | sed 's/^/data: /'

cgi() { echo "env -i $ENVC HTTP_COOKIE=utokc=$TOKC QUERY_STRING=$1&utoken=$ETOK $W/larkspur"; }
result() {   # first run alone (no search cache yet), then the repeats; wall and CPU (user+system) times
    rm -f "$UD"/*/search.dat
    hyperfine -N -r 1 --style none --export-json "$W/f.json" "$1" >/dev/null 2>&1
    hyperfine -N -w 1 -r "$RUNS" --style none --export-json "$W/r.json" "$1" >/dev/null 2>&1
    rss=$( { /usr/bin/time -f '%M' $1 >/dev/null; } 2>&1 | tail -1)
    python3 -c 'import json,sys
f=json.load(open(sys.argv[1]))["results"][0]; r=json.load(open(sys.argv[2]))["results"][0]
cpu=lambda x: (x["user"]+x["system"])*1000
print("first %7.0f ms (cpu %6.0f)   repeated %6.0f ms median, min %6.0f (cpu %5.0f)   RSS %s KB" % (f["mean"]*1000, cpu(f), r["median"]*1000, r["min"]*1000, cpu(r), sys.argv[3]))' \
        "$W/f.json" "$W/r.json" "$rss"
}
[ -n "${LK_BENCH_KEEP:-}" ] && cgi "cmd=search&fld=1&q=aubergine" >"$W/cmd" && exit 0
row() { printf '%-48s ' "$1"; result "$(cgi "$2")"; }
found() { $(cgi "$1") | sed -n 's/.*<p class="muted" role="status">\([0-9]*\) found among \([0-9]*\) messages.*/\1 of \2/p'; }

row "list page, 9,998 messages" "cmd=list&fld=0"
row "header search, 9,998 messages" "cmd=search&fld=0&in=headers&q=sender42"
row "text search, 1,000 cached messages" "cmd=search&fld=1&q=aubergine"
row "text search, 9,998 cached messages" "cmd=search&fld=0&q=aubergine"
row "text search, all folders (10,998 messages)" "cmd=search&fld=0&sfld=all&q=aubergine"
echo "found: header search $(found 'cmd=search&fld=0&in=headers&q=sender42'), text 1,000: $(found 'cmd=search&fld=1&q=aubergine'), text 9,998: $(found 'cmd=search&fld=0&q=aubergine')"
du -sh "$UD"/0/search.dat "$UD"/1/search.dat | sed 's/^/search cache: /'
echo "the peer's own search: not measured (no peer is set up on this machine)"
