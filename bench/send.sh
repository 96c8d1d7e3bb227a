#!/usr/bin/env bash
# Whole-process time and peak RSS of the send command through the real
# postfix (plain port) started by scripts/servers.sh: a 10 KB message and a
# message with a 5 MB attachment, each posted as the browser posts it
# (multipart/form-data on standard input).  Every run includes the POP
# check of the user against dovecot and the whole SMTP dialogue up to the
# server's 250 for the data.  Medians of LK_BENCH_RUNS runs (default 10).
#   bench/send.sh [BUILD_DIR]   (default build; needs $LARKSPUR_RUN/servers.env)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
RUN=${LARKSPUR_RUN:-$ROOT/run/servers}
[ -x "$B/larkspur" ] || { echo "send.sh: no larkspur in $B; build first" >&2; exit 1; }
[ -s "$RUN/servers.env" ] || { echo "send.sh: no $RUN/servers.env; run scripts/servers.sh start" >&2; exit 1; }
W=$(mktemp -d /tmp/lkbench_sendXXXXXX)
trap 'rm -rf "$W"' EXIT
mkdir -p "$W/work"
cp -R "$ROOT/templates" "$W/templates"
cp "$B/larkspur" "$W/larkspur"
python3 - "$W" "$RUN/servers.env" "${LK_BENCH_RUNS:-10}" <<'PY'
import os, poplib, re, resource, statistics, subprocess, sys, time, urllib.parse
w, envfile, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
env = dict(l.split("=", 1) for l in open(envfile).read().splitlines() if "=" in l and not l.startswith("#"))
user, pw, to = env["LK_USER1"], env["LK_PASS1"], env["LK_USER2"]
open(os.path.join(w, "larkspur.ini"), "w").write(
    "templates %s/templates\nworkarea %s/work\npophost %s\nport %s\nsmtphost %s\nsmtp_port %s\ndomain %s\n"
    % (w, w, env["LK_HOST"], env["LK_POP3_PORT"], env["LK_HOST"], env["LK_SMTP_PORT"], env["LK_DOMAIN"]))
base = {"SCRIPT_NAME": "/cgi-bin/larkspur", "SERVER_NAME": "localhost", "SERVER_PORT": "80",
        "REMOTE_ADDR": "127.0.0.1", "REQUEST_METHOD": "POST"}
prog = os.path.join(w, "larkspur")
wrap = os.environ.get("LK_BENCH_WRAP", "").split()   # e.g. a memory profiler

def run(body, ctype, cookie=""):
    e = dict(base, CONTENT_TYPE=ctype, CONTENT_LENGTH=str(len(body)), HTTP_COOKIE=cookie)
    return subprocess.run([prog], cwd=w, env=e, input=body, stdout=subprocess.PIPE).stdout

out = run(("cmd=login&user=%s&pass=%s" % (user, urllib.parse.quote(pw))).encode(),
             "application/x-www-form-urlencoded")
tok = re.search(rb"utok=([^;]*);", out).group(1).decode()
tokc = re.search(rb"utokc=([^;]*);", out).group(1).decode()

def body(size):
    b = "----benchB0undary"
    fields = [("utoken", urllib.parse.unquote(tok)), ("cmd", "send"), ("to", "%s@%s" % (to, env["LK_DOMAIN"])),
              ("subject", "bench %d" % size)]
    msg = "The quick brown fox jumps over the lazy dog near the river bank.\n"
    parts = b""
    for n, v in fields:
        parts += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n" % (b, n, v)).encode()
    if size <= 64 * 1024:
        parts += ("--%s\r\nContent-Disposition: form-data; name=\"message\"\r\n\r\n" % b).encode()
        parts += (msg * (size // len(msg))).encode() + b"\r\n"
    else:
        parts += ("--%s\r\nContent-Disposition: form-data; name=\"message\"\r\n\r\nSee the file.\r\n" % b).encode()
        parts += ("--%s\r\nContent-Disposition: form-data; name=\"attach\"; filename=\"big.bin\"\r\n"
                  "Content-Type: application/octet-stream\r\n\r\n" % b).encode()
        parts += os.urandom(size) + b"\r\n"
    parts += ("--%s--\r\n" % b).encode()
    return parts, "multipart/form-data; boundary=" + b

def measure(size):
    data, ctype = body(size)
    times, rss = [], 0
    # Peak RSS comes from GNU time around the program alone: the rusage of
    # a child forked from this interpreter would count the interpreter too.
    rssfile = os.path.join(w, "rss")
    for i in range(runs + 2):
        timing = i <= runs
        cmd = wrap + [prog] if timing else ["/usr/bin/time", "-f", "%M", "-o", rssfile, prog]
        e = dict(base, CONTENT_TYPE=ctype, CONTENT_LENGTH=str(len(data)), HTTP_COOKIE="utokc=" + tokc)
        t0 = time.perf_counter()
        p = subprocess.Popen(cmd, cwd=w, env=e, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        p.stdin.write(data)
        p.stdin.close()
        out = p.stdout.read()
        _, status, ru = os.wait4(p.pid, 0)
        dt = time.perf_counter() - t0
        if b"Your message was sent." not in out:
            sys.exit("send failed:\n" + out.decode("utf-8", "replace")[-1500:])
        if not timing:
            rss = int(open(rssfile).read().split()[-1])
        elif i:   # the first run warms the caches
            times.append(dt)
    return statistics.median(times), min(times), rss

for label, size in (("10 KB message", 10 * 1024), ("5 MB attachment", 5 * 1024 * 1024)):
    med, lo, rss = measure(size)
    print("%-22s %8.1f ms median (min %.1f)  peak RSS %d KB  (%d runs)" % (label, med * 1000, lo * 1000, rss, runs))

# The recipient's mailbox is emptied again.
time.sleep(1)
p = poplib.POP3(env["LK_HOST"], int(env["LK_POP3_PORT"]))
p.user(to)
p.pass_(env["LK_PASS2"])
for i in range(1, p.stat()[0] + 1):
    p.dele(i)
p.quit()
PY
