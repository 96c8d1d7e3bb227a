#!/usr/bin/env python3
"""Bounded load through the web server: several clients per user for a fixed
time, then a check that no user lock outlived its process.

    scripts/loadtest.py [--seconds N] [--clients-per-user K] [--grace S]

Reads $LARKSPUR_RUN/servers.env (written by scripts/servers.sh start) and
talks only to the loopback web server named there.  Each test user logs in
once; its K clients share that session, as browser tabs do, and alternate
between the list page and message pages until the time is up.  The run
stops by itself after N seconds (at most 300).

It fails (exit status 1) when any request failed (no answer, an HTTP status
other than 200, or a page that says the server was busy or the session was
lost), or when a user_lock file is still there after the grace period
(default 10 s) once every request has ended.  The last line is
"load: N passed, N failed".
"""
import argparse
import http.cookiejar
import ipaddress
import os
import re
import sys
import threading
import time
import urllib.parse
import urllib.request

BAD_PAGE = ("Server busy", "Not currently logged in", "Sorry you are not currently logged in",
            "Login timed out", "Invalid token")


def read_env(path):
    env = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                k, v = line.split("=", 1)
                env[k] = v
    return env


def loopback_only(url):
    host = urllib.parse.urlsplit(url).hostname or ""
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class User:
    def __init__(self, base, name, password):
        self.base, self.name, self.password = base, name, password
        self.jar = http.cookiejar.CookieJar()
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(self.jar),
                                                  urllib.request.ProxyHandler({}))
        self.token = ""
        self.items = []

    def fetch(self, query=None, body=None):
        url = self.base + ("?" + query if query else "")
        data = urllib.parse.urlencode(body).encode() if body is not None else None
        with self.opener.open(url, data=data, timeout=30) as r:
            return r.status, r.read().decode("utf-8", "replace")

    def login(self):
        status, page = self.fetch(body={"cmd": "login", "user": self.name, "pass": self.password,
                                        "nflogin": "on"})
        for c in self.jar:
            if c.name == "utok":
                self.token = urllib.parse.unquote(c.value)
        if status != 200 or not self.token:
            raise RuntimeError("login of %s failed (HTTP %d)" % (self.name, status))
        self.items = sorted(set(re.findall(r"cmd=item&amp;item=([^&\"]+)", page)))[:20]


def client(user, deadline, stats, lock):
    n = 0
    while time.monotonic() < deadline:
        tok = urllib.parse.quote(user.token, safe="")
        if n % 2 == 0 or not user.items:
            query = "cmd=list&fld=0&utoken=" + tok
        else:
            query = "cmd=item&fld=0&item=%s&utoken=%s" % (user.items[n % len(user.items)], tok)
        n += 1
        why = ""
        t0 = time.monotonic()
        try:
            status, page = user.fetch(query)
            if status != 200:
                why = "HTTP %d" % status
            else:
                why = next((b for b in BAD_PAGE if b in page), "")
        except Exception as e:  # a refused or cut connection is a failed request
            why = type(e).__name__ + ": " + str(e)
        spent = time.monotonic() - t0
        with lock:
            stats["times"].append(spent)
            if why:
                stats["failed"] += 1
                if len(stats["why"]) < 10:
                    stats["why"].append("%s %s: %s" % (user.name, query.split("&utoken")[0], why))
            else:
                stats["passed"] += 1


def lock_files(workarea):
    found = []
    for root, _dirs, files in os.walk(workarea):
        for f in files:
            if f.endswith("user_lock"):
                found.append(os.path.join(root, f))
    return found


def lock_pid(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            m = re.match(r"PID=(\d+)", f.read())
        return int(m.group(1)) if m else 0
    except OSError:
        return 0


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--clients-per-user", type=int, default=2)
    ap.add_argument("--grace", type=float, default=10)
    a = ap.parse_args()
    seconds = max(1.0, min(a.seconds, 300.0))
    run = os.environ.get("LARKSPUR_RUN", os.path.join(os.path.dirname(__file__), "..", "run", "servers"))
    env = read_env(os.path.join(run, "servers.env"))
    base = env["LK_WEB_URL"]
    if not loopback_only(base):
        sys.exit("load: %s is not a loopback address" % base)
    users = [User(base, env[u], env[p]) for u, p in
             (("LK_USER1", "LK_PASS1"), ("LK_USER2", "LK_PASS2"), ("LK_DEMO_USER", "LK_DEMO_PASS"),
              ("LK_APOP_USER", "LK_APOP_PASS")) if env.get(u) and env.get(p)]
    for u in users:
        u.login()
    stats = {"passed": 0, "failed": 0, "why": [], "times": []}
    lock = threading.Lock()
    deadline = time.monotonic() + seconds
    threads = [threading.Thread(target=client, args=(u, deadline, stats, lock), daemon=True)
               for u in users for _ in range(max(1, a.clients_per_user))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 60)
    # Every request has been answered; a process may still be giving its
    # lock up.  A lock still there after the grace period was left behind.
    left = []
    end = time.monotonic() + a.grace
    while True:
        left = [(p, lock_pid(p)) for p in lock_files(env["LK_WORKAREA"])]
        if not left or time.monotonic() > end:
            break
        time.sleep(0.2)
    print("load: %d users, %d clients, %.0f s, %d requests" %
          (len(users), len(threads), seconds, stats["passed"] + stats["failed"]))
    t = sorted(stats["times"])
    if t:
        pick = lambda q: t[min(len(t) - 1, int(q * len(t)))] * 1000
        print("load: %.0f requests/s; response times p50 %.1f ms, p95 %.1f ms, p99 %.1f ms" %
              (len(t) / seconds, pick(0.50), pick(0.95), pick(0.99)))
    for w in stats["why"]:
        print("load: failed: " + w)
    failed = stats["failed"]
    for p, pid in left:
        print("load: lock left behind: %s (PID=%d, %s)" % (p, pid, "alive" if pid and alive(pid) else "gone"))
        failed += 1
    print("load: %d passed, %d failed" % (stats["passed"], failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
