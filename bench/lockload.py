#!/usr/bin/env python3
"""Several requests of one user at once, without a web server: what the user
lock costs the next request of the same user.

    bench/lockload.py [--build DIR] [--mode std|nfs] [--seconds N]
                      [--users U] [--clients-per-user K] [--back-to-back]

Makes a work area the way bench/read.sh does (a login per user against the
scripted POP3 server, which is stopped by its PID at once; then a folder of
1,000 records and a small message written into it).  K clients per user
(browser tabs) alternate between the list page and the message page for N
seconds; each request runs the CGI with the CGI environment and is timed
until its response is complete (end of its output), as a browser waits for
it; the next request of that client starts at once, as a web server lets it,
while the previous process may still be ending.

--mode nfs runs two installations (lock_id web1 and web2, "nfs true") on
the one work area, the clients of a user taking turns between them, as a
site with two web servers sharing the work area does.
--back-to-back: one client per user, list then message page, each request
starting when the previous response is complete.

Prints requests/s and the p50, p95 and p99 response times, and how many
pages were not the expected page.  A benchmark, not a test.
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cgi_env(query, cookie="", method="GET", body=""):
    env = {"REQUEST_METHOD": method, "SCRIPT_NAME": "/cgi-bin/larkspur", "SERVER_NAME": "localhost",
           "SERVER_PORT": "80", "REMOTE_ADDR": "127.0.0.1", "QUERY_STRING": query}
    if cookie:
        env["HTTP_COOKIE"] = cookie
    if method == "POST":
        env["CONTENT_TYPE"] = "application/x-www-form-urlencoded"
        env["CONTENT_LENGTH"] = str(len(body))
    return env


def run_cgi(prog, env, body=""):
    p = subprocess.run([prog], env=env, input=body.encode(), stdout=subprocess.PIPE, cwd=os.path.dirname(prog))
    return p.stdout.decode(errors="replace")


def make_area(work, users, ini_extra):
    os.makedirs(os.path.join(work, "work"))
    shutil.copytree(os.path.join(ROOT, "templates"), os.path.join(work, "templates"))
    with open(os.path.join(work, "pop.txt"), "w") as f:
        for u in users:
            f.write("user %s Bench-pw1\n" % u)
    fake = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests/fake/fakeserver.py"), "pop3",
                             os.path.join(work, "pop.txt"), "--idle", "60"], stdout=subprocess.PIPE, text=True)
    try:
        port = fake.stdout.readline().strip()
        sessions = {}
        for name, extra in ini_extra.items():
            d = os.path.join(work, name)
            os.makedirs(d)
            shutil.copy(args.build + "/larkspur", os.path.join(d, "larkspur"))
            with open(os.path.join(d, "larkspur.ini"), "w") as f:
                f.write("templates %s/templates\nworkarea %s/work\npophost 127.0.0.1\nport %s\n"
                        "fetch_min 0\nuse_page_size true\n%s" % (work, work, port, extra))
        first = os.path.join(work, sorted(ini_extra)[0], "larkspur")
        for u in users:
            body = "cmd=login&user=%s&pass=Bench-pw1" % u
            out = run_cgi(first, cgi_env("", method="POST", body=body), body)
            tok = tokc = ""
            for line in out.split("\n"):
                low = line.lower()
                if low.startswith("set-cookie: utok="):
                    tok = line.split("=", 1)[1].split(";")[0]
                elif low.startswith("set-cookie: utokc="):
                    tokc = line.split("=", 1)[1].split(";")[0]
            if not tok:
                sys.exit("lockload: login of %s failed" % u)
            etok = urllib.parse.quote(tok, safe="")
            # the first list makes the mail check of the session
            run_cgi(first, cgi_env("cmd=list&fld=0&utoken=" + etok, "utokc=" + tokc))
            sessions[u] = (etok, tokc)
    finally:
        fake.send_signal(signal.SIGTERM)
        fake.wait()
    for name in ini_extra:
        ini = os.path.join(work, name, "larkspur.ini")
        with open(ini) as f:
            text = f.read().replace("fetch_min 0\n", "fetch_min 999999999\n")
        with open(ini, "w") as f:
            f.write(text)
    # a folder of 1,000 records and one small message per user
    for u in users:
        ud = [os.path.join(dp) for dp, dn, fn in os.walk(os.path.join(work, "work")) if "user.dat" in fn
              and os.path.basename(dp).startswith(u + "@")][0]
        os.makedirs(os.path.join(ud, "0"), exist_ok=True)
        with open(os.path.join(ud, "0", "index.dat"), "w") as f:
            for i in range(1, 1001):
                f.write("\t".join([str(i), "uid%d" % i, "read," if i % 3 else "", "<m%d@example.test>" % i,
                                   "Subject %d" % i, '"Sender %d" <s%d@example.test>' % (i % 97, i % 97), "20",
                                   u + "@example.test", "Mon, 1 Jan 2024 10:%02d:00 +0000" % (i % 60), "", "",
                                   "127.0.0.1", "0", u, "1500", "text/plain", "", "", "", "0", "", "", "110", ""])
                        + "\n")
        with open(os.path.join(ud, "0", "m_1.dat"), "w") as f:
            f.write("From: Sender <s@example.test>\nTo: %s@example.test\nSubject: small\n\n%s" %
                    (u, "The quick brown fox jumps over the lazy dog.\n" * 6))
    return sessions


def main():
    global args
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--mode", choices=("std", "nfs"), default="std")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--users", type=int, default=4)
    ap.add_argument("--clients-per-user", type=int, default=2)
    ap.add_argument("--back-to-back", action="store_true")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    users = ["bench%d" % i for i in range(args.users)]
    inis = {"web1": "nfs true\nlock_id web1\n", "web2": "nfs true\nlock_id web2\n"} if args.mode == "nfs" else {"web1": ""}
    work = tempfile.mkdtemp(prefix="lklockload")
    try:
        sessions = make_area(work, users, inis)
        progs = [os.path.join(work, n, "larkspur") for n in sorted(inis)]
        times, bad, lock = [], [0], threading.Lock()
        ending = []
        stop = time.monotonic() + args.seconds

        def client(u, k):
            etok, tokc = sessions[u]
            n = k
            while time.monotonic() < stop:
                q = ("cmd=list&fld=0" if n % 2 == 0 else "cmd=item&fld=0&item=1") + "&utoken=" + etok
                prog = progs[n % len(progs)] if len(progs) > 1 else progs[0]
                t0 = time.monotonic()
                p = subprocess.Popen([prog], env=cgi_env(q, "utokc=" + tokc), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, cwd=os.path.dirname(prog))
                out = p.stdout.read()
                t1 = time.monotonic()
                p.stdout.close()
                want = b"Sender" if n % 2 == 0 else b"quick brown fox"
                with lock:
                    times.append(t1 - t0)
                    if want not in out:
                        bad[0] += 1
                    ending.append(p)
                n += 1

        per = 1 if args.back_to_back else args.clients_per_user
        threads = [threading.Thread(target=client, args=(u, k)) for u in users for k in range(per)]
        t0 = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        span = time.monotonic() - t0
        for p in ending:
            p.wait()
        times.sort()
        q = statistics.quantiles(times, n=100) if len(times) > 1 else [times[0]] * 99
        print("lockload %s mode, %d users x %d clients, %.0f s: %d requests, %.0f requests/s, "
              "p50 %.1f ms, p95 %.1f ms, p99 %.1f ms, %d over 90 ms, %d unexpected pages" %
              (args.mode, args.users, per, span, len(times), len(times) / span, q[49] * 1000, q[94] * 1000,
               q[98] * 1000, sum(1 for t in times if t > 0.09), bad[0]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
