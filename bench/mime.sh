#!/bin/sh
# Message decoding and rendering figures: whole-process time (hyperfine -N,
# median of many runs) and peak RSS for the body of a small, a 100 KB and a
# 5 MB multipart message, and for writing out a 3.7 MB attachment.
# Usage: bench/mime.sh [build-dir]   (the build dir holds the object files)
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-view}
work=$(mktemp -d /tmp/lkbench.XXXXXX)
trap 'rm -rf "$work"' EXIT

objs=$(find "$build/CMakeFiles" -path '*lk_*.dir*' -name '*.o' | sort)
[ -n "$objs" ] || { echo "no object files under $build; build it first" >&2; exit 1; }
g++ -std=c++20 -O2 -I"$src/src" -o "$work/mime_bench" "$src/bench/mime_bench.cpp" $objs \
    /usr/lib/x86_64-linux-gnu/libgumbo.a -static-libstdc++ -static-libgcc

python3 - "$work" <<'PY'
import base64, os, random, sys
w = sys.argv[1]
random.seed(7)
words = "the report numbers week meeting lunch friday budget please review attached draft final".split()
def text(n):
    out, line = [], []
    while sum(len(x) + 1 for x in out) < n:
        line.append(random.choice(words))
        if len(" ".join(line)) > 70:
            out.append(" ".join(line)); line = []
    return "\n".join(out) + "\n"
def html(n):
    rows = []
    while sum(len(r) for r in rows) < n:
        rows.append('<tr><td style="color: #333; padding: 4px"><b>%s</b> <a href="https://example.com/%d">%s</a></td></tr>\n'
                    % (random.choice(words), len(rows), " ".join(random.choice(words) for _ in range(8))))
    return "<html><head><style>td{}</style></head><body><table>\n" + "".join(rows) + "</table></body></html>\n"
def b64(data):
    e = base64.b64encode(data).decode()
    return "\n".join(e[i:i + 76] for i in range(0, len(e), 76)) + "\n"
head = "From: Alice <alice@example.com>\nTo: bob@example.com\nSubject: bench\nDate: Mon, 5 Jan 2026 10:00:00 +0100\nMIME-Version: 1.0\n"
def multipart(t, h, att):
    m = head + 'Content-Type: multipart/mixed; boundary="m"\n\n--m\nContent-Type: multipart/alternative; boundary="a"\n\n'
    m += "--a\nContent-Type: text/plain; charset=utf-8\n\n" + t + "--a\nContent-Type: text/html; charset=utf-8\n\n" + h + "--a--\n"
    for name, data in att:
        m += '--m\nContent-Type: application/pdf; name="%s"\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; filename="%s"\n\n' % (name, name)
        m += b64(data)
    return m + "--m--\n"
open(os.path.join(w, "small.eml"), "w").write(head + "Content-Type: text/plain\n\n" + text(1500))
open(os.path.join(w, "100k.eml"), "w").write(multipart(text(20000), html(40000), [("a.pdf", os.urandom(28000))]))
open(os.path.join(w, "5m.eml"), "w").write(multipart(text(30000), html(60000), [("big.pdf", os.urandom(3700000)), ("b.pdf", os.urandom(100000))]))
PY

ls -l "$work"/*.eml | awk '{print $5, $9}'
b=$work/mime_bench
# The machine is shared: wall times vary with its load, so the CPU time
# (user + system) and the fastest run are given beside the median.
hyperfine -N --warmup 5 --runs 60 --export-json "$work/t.json" \
    -n small "$b render $work/small.eml" \
    -n 100KB "$b render $work/100k.eml" \
    -n 5MB "$b render $work/5m.eml" \
    -n attachment-3.7MB "$b part $work/5m.eml 4" >/dev/null
python3 - "$work/t.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print("%-18s %9s %9s %9s %9s" % ("case", "median ms", "min ms", "user ms", "sys ms"))
for x in r:
    print("%-18s %9.1f %9.1f %9.1f %9.1f" % (x["command"], x["median"] * 1e3, x["min"] * 1e3, x["user"] * 1e3, x["system"] * 1e3))
PY
for c in "render $work/small.eml" "render $work/100k.eml" "render $work/5m.eml" "part $work/5m.eml 4"; do
    /usr/bin/time -f "%M KB peak RSS: $c" $b $c >/dev/null
done 2>&1 | sed "s|$work/||"
# The extracted attachment has the size it was given.
"$b" part "$work/5m.eml" 4 | python3 -c 'import sys; d = sys.stdin.buffer.read(); print("attachment bytes:", len(d) - d.index(b"\n\n") - 2)'
