#!/usr/bin/env bash
# Whole-process time of the spell check: a 2,000-word message posted as the
# compose form posts it (multipart/form-data, the "Check spelling" button),
# checked against the full word list (scripts/mkwords.sh) and shown with
# its links; and of the word-list load alone (larkspur -spell with one
# word).  The login before the runs goes to the scripted POP server of
# tests/fake on a loopback port, ended by the PID this script started.
# Medians of LK_BENCH_RUNS runs (default 20).
#   bench/spell.sh [BUILD_DIR]   (default build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
[ -x "$B/larkspur" ] || { echo "spell.sh: no larkspur in $B; build first" >&2; exit 1; }
W=$(mktemp -d /tmp/lkbench_spellXXXXXX)
FAKE_PID=
cleanup() { [ -n "$FAKE_PID" ] && kill "$FAKE_PID" 2>/dev/null; rm -rf "$W"; }
trap cleanup EXIT
mkdir -p "$W/work"
cp -R "$ROOT/templates" "$W/templates"
cp "$B/larkspur" "$W/larkspur"
"$ROOT/scripts/mkwords.sh" "$W/templates/words.dat" >/dev/null
printf 'user bench Bench-pw1\n' >"$W/pop.script"
python3 "$ROOT/tests/fake/fakeserver.py" pop3 "$W/pop.script" --idle 120 >"$W/pop.port" &
FAKE_PID=$!
for _ in $(seq 1 100); do [ -s "$W/pop.port" ] && break; sleep 0.05; done
python3 - "$W" "$(head -1 "$W/pop.port")" "${LK_BENCH_RUNS:-20}" <<'PY'
import os, re, statistics, subprocess, sys, time, random
w, port, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
open(os.path.join(w, "larkspur.ini"), "w").write(
    "templates %s/templates\nworkarea %s/work\npophost 127.0.0.1\nport %s\ndomain example.test\n" % (w, w, port))
base = {"SCRIPT_NAME": "/cgi-bin/larkspur", "SERVER_NAME": "localhost", "SERVER_PORT": "80",
        "REMOTE_ADDR": "127.0.0.1", "REQUEST_METHOD": "POST"}
prog = os.path.join(w, "larkspur")

def run(data, ctype, cookie="", args=(), cwd=w):
    e = dict(base, CONTENT_TYPE=ctype, CONTENT_LENGTH=str(len(data)), HTTP_COOKIE=cookie)
    t0 = time.perf_counter()
    p = subprocess.Popen([prog, *args], cwd=cwd, env=e, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    p.stdin.write(data)
    p.stdin.close()
    out = p.stdout.read()
    _, _, ru = os.wait4(p.pid, 0)
    run.cpu = ru.ru_utime + ru.ru_stime
    return out, time.perf_counter() - t0

out, _ = run(b"cmd=login&user=bench&pass=Bench-pw1", "application/x-www-form-urlencoded")
tok = re.search(rb"utok=([^;]*);", out).group(1).decode()
tokc = re.search(rb"utokc=([^;]*);", out).group(1).decode()

# 2,000 words of real text with about one word in forty misspelt.
words = [l for l in open(os.path.join(w, "templates/words.dat"), encoding="utf-8").read().split() if l.isalpha()]
rnd = random.Random(7)
text = []
for i in range(2000):
    word = rnd.choice(words)
    if i % 40 == 0 and len(word) > 4:
        word = word[:2] + word[3] + word[2] + word[4:]
    text.append(word)
msg = "\n".join(" ".join(text[i:i + 12]) for i in range(0, 2000, 12))
b = "----benchB0undary"
data = b""
for n, v in [("utoken", tok), ("cmd", "send"), ("to", "bob@example.test"), ("subject", "bench"),
             ("message", msg), ("spell_check", "1")]:
    data += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n" % (b, n, v)).encode()
data += ("--%s--\r\n" % b).encode()

def median(fn):
    ts, cpu = [], []
    for _ in range(runs + 1):
        ts.append(fn())
        cpu.append(run.cpu)
    median.cpu = statistics.median(cpu[1:]) * 1000
    return statistics.median(ts[1:]) * 1000

def check():
    out, dt = run(data, "multipart/form-data; boundary=" + b, "utokc=" + tokc)
    m = re.search(rb"Words not found: (\d+)", out)
    if not m:
        sys.exit("spell check failed:\n" + out.decode("utf-8", "replace")[-1500:])
    check.wrong = int(m.group(1))
    return dt

def compose():
    e = dict(base, REQUEST_METHOD="GET", QUERY_STRING="cmd=new&utoken=" + tok, HTTP_COOKIE="utokc=" + tokc)
    t0 = time.perf_counter()
    p = subprocess.Popen([prog], cwd=w, env=e, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    out = p.stdout.read()
    _, _, ru = os.wait4(p.pid, 0)
    run.cpu = ru.ru_utime + ru.ru_stime
    if b"Check spelling" not in out:
        sys.exit("compose page failed:\n" + out.decode("utf-8", "replace")[-1500:])
    return time.perf_counter() - t0

def load():
    out, dt = run(b"zebra\n", "", args=("-spell",), cwd=os.path.join(w, "templates"))
    if out != b"Enter word Right\nEnter word \n":
        sys.exit("-spell failed: %r" % out)
    return dt

def version():
    return run(b"", "", args=("-version",))[1]

os.system("uptime")
c = median(check)
print("spell check, 2,000 words (%d unknown), whole process: median %.1f ms wall, %.1f ms CPU, %d runs"
      % (check.wrong, c, median.cpu, runs))
n = median(compose)
print("compose page (same session, for comparison): median %.1f ms wall, %.1f ms CPU" % (n, median.cpu))
l = median(load)
lc = median.cpu
v = median(version)
print("-spell with one word (word list mapped and checked): median %.2f ms wall, %.2f ms CPU" % (l, lc))
print("-version (process start alone): median %.2f ms wall, %.2f ms CPU" % (v, median.cpu))
PY
