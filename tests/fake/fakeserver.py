#!/usr/bin/env python3
"""A scriptable POP3 / SMTP / poppassd server for fault tests.

    fakeserver.py PROTO [SCRIPT] [--log FILE] [--transcript FILE]
                  [--idle SECONDS] [--parent PID] [--port N]

PROTO is pop3, smtp or poppassd.  The server listens on 127.0.0.1 (port 0
unless --port is given: the kernel picks a free one) and prints the chosen
port alone on the first line of standard output.  It serves one connection
at a time, any number of connections, and exits by itself when nothing has
happened for --idle seconds (default 30), when the --parent process (default:
the process that started it) is gone, or on SIGTERM/SIGINT.

--log FILE receives every line the server reads, exactly as received without
its line end, one per line, flushed at once: tests check the exact commands a
client sent (and that no password went where it should not).  SMTP message
data lines are logged too, dot-stuffing and the final "." included.
--transcript FILE gets both directions ("C: ", "S: ") and connection events,
for a person reading a failed test.

Script file (UTF-8 text; "#" starts a comment line; blank lines ignored):

  user NAME PASSWORD      accepted credentials (POP3 USER/PASS and APOP, SMTP
                          AUTH, poppassd).  Without any "user" line every
                          name and password is accepted.
  message FILE            a message for the POP3 mailbox, read from FILE
                          (relative to the script's directory)
  message <<TAG           an inline message: the lines up to a line "TAG"
  messages N [SIZE]       N generated messages of about SIZE bytes (default 600)
  uidl N VALUE            the UIDL of message N (1-based) is VALUE (lets a
                          test repeat a UIDL); default "fake-uid-N"
  nouidl                  UIDL answers "-ERR unknown command"
  greeting TEXT           the first line sent on connect (escapes as below)
  tls MODE CERT KEY       TLS with the certificate and key files (relative to
                          the script's directory): MODE "implicit" speaks TLS
                          from the first byte; "starttls" offers STLS (POP3
                          CAPA) / STARTTLS (SMTP EHLO) and starts TLS on it
  [once|times K] on PATTERN -> ACTION [;; ACTION ...]
                          a rule.  PATTERN is a shell glob matched against
                          the whole received line, case-insensitively
                          ("PASS *", "RETR 2", "UIDL*", "*").  Pseudo-lines:
                          "@connect" (before the greeting), "@data" (SMTP:
                          after the "." that ends message data).  The first
                          rule that matches decides; "once" / "times K" rules
                          are used up after 1 / K matches, across connections.
                          Lines no rule matches get the built-in behaviour.

ACTIONs (TEXT takes the escapes \\r \\n \\t \\\\ \\xNN):
  reply TEXT      send TEXT and CR LF
  raw TEXT        send TEXT exactly (no line end added): bare LF, half lines
  serve           the built-in answer
  cut N           the built-in answer's first N bytes, then close
  long N [TEXT]   TEXT then "x" characters up to N bytes, then CR LF
  garbage N       N bytes of (seeded) binary garbage
  sleep SECONDS   wait, then go on with the next action
  stall           answer nothing more; read (and log) until the client
                  closes or the idle time-out
  drop            close the connection at once
  close TEXT      send TEXT and CR LF, then close
  starttls        start TLS now (after a "raw" go-ahead, for example)

Examples:
  once on PASS * -> reply -ERR [IN-USE] Mailbox busy, try again
  on UIDL* -> reply -ERR unknown command
  on RETR 2 -> cut 120
  on TOP 3 * -> stall
  on @connect -> close -ERR go away
  on LIST -> raw +OK 1 message\\n1 120\\n.\\n
"""

import base64
import fnmatch
import hashlib
import os
import random
import select
import signal
import socket
import ssl
import sys
import time

CRLF = b"\r\n"


def unescape(text):
    out = bytearray()
    i = 0
    raw = text.encode("utf-8")
    while i < len(raw):
        c = raw[i]
        if c == 0x5C and i + 1 < len(raw):  # backslash
            n = chr(raw[i + 1])
            if n == "r":
                out += b"\r"; i += 2; continue
            if n == "n":
                out += b"\n"; i += 2; continue
            if n == "t":
                out += b"\t"; i += 2; continue
            if n == "\\":
                out += b"\\"; i += 2; continue
            if n == "x" and i + 3 < len(raw) + 0:
                try:
                    out.append(int(raw[i + 2:i + 4].decode(), 16))
                    i += 4
                    continue
                except ValueError:
                    pass
        out.append(c)
        i += 1
    return bytes(out)


class Rule:
    def __init__(self, pattern, actions, uses):
        self.pattern = pattern.lower()
        self.actions = actions
        self.uses = uses  # None: unlimited

    def matches(self, line):
        if self.uses is not None and self.uses <= 0:
            return False
        return fnmatch.fnmatchcase(line.lower(), self.pattern)


class Script:
    def __init__(self):
        self.users = {}
        self.messages = []
        self.uidls = {}
        self.nouidl = False
        self.greeting = None
        self.rules = []
        self.tls = None  # (mode, cert, key)

    @staticmethod
    def parse_actions(text, where):
        actions = []
        for part in text.split(";;"):
            part = part.strip()
            if not part:
                continue
            word, _, arg = part.partition(" ")
            word = word.lower()
            if word not in ("reply", "raw", "serve", "cut", "long", "garbage",
                            "sleep", "stall", "drop", "close", "starttls"):
                raise ValueError("%s: unknown action %r" % (where, word))
            if word in ("cut", "garbage", "long"):
                num, _, rest = arg.strip().partition(" ")
                actions.append((word, int(num), rest))
            elif word == "sleep":
                actions.append((word, float(arg), ""))
            else:
                actions.append((word, 0, arg))
        if not actions:
            raise ValueError("%s: rule without action" % where)
        return actions

    @classmethod
    def load(cls, path):
        s = cls()
        if not path:
            return s
        base = os.path.dirname(os.path.abspath(path))
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        i = 0
        while i < len(lines):
            line = lines[i].rstrip("\r")
            where = "%s:%d" % (path, i + 1)
            i += 1
            stripped = line.strip()
            if not stripped or stripped.startswith("#"):
                continue
            word, _, rest = stripped.partition(" ")
            word = word.lower()
            if word == "user":
                name, _, pw = rest.strip().partition(" ")
                s.users[name] = pw
            elif word == "message":
                rest = rest.strip()
                if rest.startswith("<<"):
                    tag = rest[2:].strip()
                    body = []
                    while i < len(lines) and lines[i].rstrip("\r") != tag:
                        body.append(lines[i].rstrip("\r"))
                        i += 1
                    i += 1
                    s.messages.append(("\r\n".join(body) + "\r\n").encode("utf-8"))
                else:
                    p = rest if os.path.isabs(rest) else os.path.join(base, rest)
                    with open(p, "rb") as mf:
                        data = mf.read()
                    data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
                    if not data.endswith(b"\r\n"):
                        data += b"\r\n"
                    s.messages.append(data)
            elif word == "messages":
                parts = rest.split()
                n = int(parts[0])
                size = int(parts[1]) if len(parts) > 1 else 600
                start = len(s.messages)
                for k in range(n):
                    num = start + k + 1
                    head = ("From: sender%d@example.test\r\nTo: user@example.test\r\n"
                            "Subject: generated message %d\r\n"
                            "Date: Mon, 1 Jan 2024 10:%02d:00 +0000\r\n"
                            "Message-ID: <gen%d@example.test>\r\n\r\n"
                            % (num, num, num % 60, num))
                    line = "Line of message %d, generated to fill the body.\r\n" % num
                    body = ""
                    while len(head) + len(body) < size:
                        body += line
                    s.messages.append((head + body).encode())
            elif word == "uidl":
                n, _, val = rest.strip().partition(" ")
                s.uidls[int(n)] = val.strip()
            elif word == "nouidl":
                s.nouidl = True
            elif word == "greeting":
                s.greeting = unescape(rest)
            elif word == "tls":
                parts = rest.split()
                if len(parts) != 3 or parts[0] not in ("implicit", "starttls"):
                    raise ValueError("%s: expected 'tls implicit|starttls CERT KEY'" % where)
                files = [p if os.path.isabs(p) else os.path.join(base, p) for p in parts[1:]]
                s.tls = (parts[0], files[0], files[1])
            elif word in ("on", "once", "times"):
                uses = None
                spec = stripped
                if word == "once":
                    uses = 1
                    spec = rest.strip()
                elif word == "times":
                    k, _, spec = rest.strip().partition(" ")
                    uses = int(k)
                    spec = spec.strip()
                if not spec.lower().startswith("on "):
                    raise ValueError("%s: expected 'on PATTERN -> ACTION'" % where)
                spec = spec[3:]
                if "->" not in spec:
                    raise ValueError("%s: rule without '->'" % where)
                pattern, _, acts = spec.partition("->")
                s.rules.append(Rule(pattern.strip(), cls.parse_actions(acts, where), uses))
            else:
                raise ValueError("%s: unknown directive %r" % (where, word))
        return s

    def rule_for(self, line):
        for r in self.rules:
            if r.matches(line):
                if r.uses is not None:
                    r.uses -= 1
                return r
        return None


class Closed(Exception):
    pass


class Server:
    def __init__(self, proto, script, log, transcript, idle, parent):
        self.proto = proto
        self.script = script
        self.log = log
        self.transcript = transcript
        self.idle = idle
        self.parent = parent
        self.first_ppid = os.getppid()
        self.last = time.monotonic()
        self.rng = random.Random(4242)
        self.conn = None
        self.buf = b""

    # ---- plumbing -------------------------------------------------------
    def should_exit(self):
        if time.monotonic() - self.last > self.idle:
            return "idle"
        if self.parent > 1:
            if self.parent == self.first_ppid and os.getppid() != self.first_ppid:
                return "parent gone"
            try:
                with open("/proc/%d/stat" % self.parent) as f:
                    st = f.read()
                if st[st.rindex(")") + 2] in "ZX":
                    return "parent gone"
            except (OSError, ValueError):
                return "parent gone"
        return None

    def trace(self, text):
        if self.transcript:
            self.transcript.write(text + "\n")
            self.transcript.flush()

    def send(self, data):
        self.trace("S: " + data.decode("latin-1").replace("\r", "\\r").replace("\n", "\\n"))
        try:
            self.conn.sendall(data)
        except OSError:
            raise Closed()
        self.last = time.monotonic()

    def readline(self):
        """One line without its end (CR LF or bare LF); None when closed."""
        while b"\n" not in self.buf:
            why = self.should_exit()
            if why:
                raise SystemExit(0)
            pending = isinstance(self.conn, ssl.SSLSocket) and self.conn.pending()
            r = pending or select.select([self.conn], [], [], 0.5)[0]
            if not r:
                continue
            try:
                chunk = self.conn.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                return None
            self.last = time.monotonic()
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        if line.endswith(b"\r"):
            line = line[:-1]
        text = line.decode("latin-1")
        self.log.write(text + "\n")
        self.log.flush()
        self.trace("C: " + text)
        return text

    def stall(self):
        while self.readline() is not None:
            pass
        raise Closed()

    # ---- rules ----------------------------------------------------------
    def respond(self, line, builtin):
        """Answer LINE by rule or by BUILTIN (a function returning bytes)."""
        rule = self.script.rule_for(line)
        if rule is None:
            out = builtin()
            if out:
                self.send(out)
            return out
        sent = b""
        for word, num, arg in rule.actions:
            if word == "reply":
                sent = unescape(arg) + CRLF
                self.send(sent)
            elif word == "raw":
                sent = unescape(arg)
                self.send(sent)
            elif word == "serve":
                sent = builtin() or b""
                if sent:
                    self.send(sent)
            elif word == "cut":
                data = builtin() or b""
                self.send(data[:num])
                raise Closed()
            elif word == "long":
                head = unescape(arg)
                sent = head + b"x" * max(0, num - len(head)) + CRLF
                self.send(sent)
            elif word == "garbage":
                sent = bytes(self.rng.randrange(256) for _ in range(num))
                self.send(sent)
            elif word == "sleep":
                time.sleep(num)
                self.last = time.monotonic()
            elif word == "stall":
                self.stall()
            elif word == "drop":
                raise Closed()
            elif word == "close":
                self.send(unescape(arg) + CRLF)
                raise Closed()
            elif word == "starttls":
                self.start_tls()
        return sent

    def tls_context(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.script.tls[1], self.script.tls[2])
        return ctx

    def start_tls(self):
        """TLS on the open connection; what the client sent before is dropped."""
        if not self.script.tls:
            raise Closed()
        self.buf = b""
        try:
            self.conn = self.tls_context().wrap_socket(self.conn, server_side=True)
        except (OSError, ssl.SSLError) as e:
            self.trace("* TLS handshake failed: %s" % e)
            raise Closed()
        self.trace("* TLS %s" % self.conn.version())

    # ---- protocols ------------------------------------------------------
    def check(self, user, pw):
        if not self.script.users:
            return True
        return self.script.users.get(user) == pw

    def offers_tls(self):
        return (self.script.tls is not None and self.script.tls[0] == "starttls"
                and not isinstance(self.conn, ssl.SSLSocket))

    def session(self):
        if self.script.tls and self.script.tls[0] == "implicit":
            self.start_tls()
        self.respond("@connect", self.greeting)
        handler = {"pop3": self.pop3, "smtp": self.smtp, "poppassd": self.poppassd}[self.proto]
        handler()

    def greeting(self):
        if self.script.greeting is not None:
            return self.script.greeting + CRLF
        if self.proto == "pop3":
            return ("+OK fake POP3 ready %s" % self.stamp).encode() + CRLF
        if self.proto == "smtp":
            return b"220 fake.test ESMTP fake" + CRLF
        return b"200 fake poppassd hello, who are you?" + CRLF

    def pop3(self):
        msgs = self.script.messages
        deleted = set()
        state = {"user": None, "auth": False}

        def uid(n):
            return self.script.uidls.get(n, "fake-uid-%d" % n)

        def valid(arg):
            try:
                n = int(arg)
            except ValueError:
                return None
            if 1 <= n <= len(msgs) and n not in deleted:
                return n
            return None

        def stuffed(data):
            lines = data.split(b"\r\n")
            if lines and lines[-1] == b"":
                lines.pop()
            return b"".join((b"." + l if l.startswith(b".") else l) + CRLF for l in lines)

        while True:
            line = self.readline()
            if line is None:
                return
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            args = arg.split()

            def builtin():
                if verb == "QUIT":
                    return b"+OK bye" + CRLF
                if verb == "STLS" and self.offers_tls():
                    return b"+OK Begin TLS negotiation" + CRLF
                if verb == "CAPA":
                    caps = ["USER", "TOP", "PIPELINING"] + ([] if self.script.nouidl else ["UIDL"])
                    caps += ["STLS"] if self.offers_tls() else []
                    return b"+OK\r\n" + b"".join(c.encode() + CRLF for c in caps) + b"." + CRLF
                if verb == "USER":
                    state["user"] = arg
                    return b"+OK" + CRLF
                if verb == "PASS":
                    if state["user"] is not None and self.check(state["user"], arg):
                        state["auth"] = True
                        return b"+OK Logged in." + CRLF
                    return b"-ERR [AUTH] Authentication failed." + CRLF
                if verb == "APOP":
                    if len(args) == 2 and args[0] in self.script.users:
                        want = hashlib.md5((self.stamp + self.script.users[args[0]]).encode()).hexdigest()
                        if want == args[1].lower():
                            state["auth"] = True
                            return b"+OK Logged in." + CRLF
                    elif len(args) == 2 and not self.script.users:
                        state["auth"] = True
                        return b"+OK Logged in." + CRLF
                    return b"-ERR [AUTH] Authentication failed." + CRLF
                if not state["auth"]:
                    return b"-ERR Unknown command." + CRLF
                if verb == "NOOP":
                    return b"+OK" + CRLF
                if verb == "STAT":
                    live = [i for i in range(1, len(msgs) + 1) if i not in deleted]
                    return ("+OK %d %d" % (len(live), sum(len(msgs[i - 1]) for i in live))).encode() + CRLF
                if verb in ("LIST", "UIDL"):
                    if verb == "UIDL" and self.script.nouidl:
                        return b"-ERR Unknown command." + CRLF
                    fmt = (lambda n: "%d %d" % (n, len(msgs[n - 1]))) if verb == "LIST" \
                        else (lambda n: "%d %s" % (n, uid(n)))
                    if args:
                        n = valid(args[0])
                        if n is None:
                            return b"-ERR There's no message " + args[0].encode() + b"." + CRLF
                        return ("+OK " + fmt(n)).encode() + CRLF
                    body = "".join(fmt(n) + "\r\n" for n in range(1, len(msgs) + 1) if n not in deleted)
                    return b"+OK\r\n" + body.encode() + b"." + CRLF
                if verb == "RETR":
                    n = valid(args[0]) if args else None
                    if n is None:
                        return b"-ERR There's no message." + CRLF
                    return ("+OK %d octets" % len(msgs[n - 1])).encode() + CRLF + stuffed(msgs[n - 1]) + b"." + CRLF
                if verb == "TOP":
                    n = valid(args[0]) if args else None
                    if n is None or len(args) < 2 or not args[1].isdigit():
                        return b"-ERR There's no message." + CRLF
                    data = msgs[n - 1]
                    head, sep, body = data.partition(b"\r\n\r\n")
                    if not sep:
                        head, body = data[:-2] if data.endswith(CRLF) else data, b""
                    blines = body.split(b"\r\n")
                    if blines and blines[-1] == b"":
                        blines.pop()
                    out = head + b"\r\n\r\n" + b"".join(l + CRLF for l in blines[:int(args[1])])
                    return b"+OK" + CRLF + stuffed(out) + b"." + CRLF
                if verb == "DELE":
                    n = valid(args[0]) if args else None
                    if n is None:
                        return b"-ERR There's no message." + CRLF
                    deleted.add(n)
                    return b"+OK Marked to be deleted." + CRLF
                if verb == "RSET":
                    deleted.clear()
                    return b"+OK" + CRLF
                return b"-ERR Unknown command: " + verb.encode() + CRLF

            out = self.respond(line, builtin)
            if verb == "QUIT":
                self.trace("* deleted at QUIT: %s" % sorted(deleted))
                raise Closed()
            if verb == "STLS" and out.startswith(b"+OK Begin TLS") and self.offers_tls():
                self.start_tls()

    def smtp(self):
        pending_login = []
        state = {"auth": False}
        while True:
            line = self.readline()
            if line is None:
                return
            verb = line.split(" ")[0].upper()

            if pending_login:
                # AUTH LOGIN: the lines are base64 answers, not commands
                try:
                    pending_login.append(base64.b64decode(line, validate=False).decode("latin-1"))
                except Exception:
                    pending_login.append("")

                def builtin():
                    if len(pending_login) == 2:
                        return b"334 UGFzc3dvcmQ6" + CRLF
                    user, pw = pending_login[1], pending_login[2]
                    pending_login.clear()
                    if self.check(user, pw):
                        state["auth"] = True
                        return b"235 2.7.0 Authentication successful" + CRLF
                    return b"535 5.7.8 Error: authentication failed" + CRLF

                self.respond(line, builtin)
                if len(pending_login) >= 3:
                    pending_login.clear()
                continue

            def builtin():
                if verb in ("EHLO",):
                    tls = b"250-STARTTLS\r\n" if self.offers_tls() else b""
                    return b"250-fake.test\r\n250-PIPELINING\r\n" + tls + b"250-SIZE 10240000\r\n250-AUTH PLAIN LOGIN\r\n250-8BITMIME\r\n250 SMTPUTF8" + CRLF
                if verb == "STARTTLS" and self.offers_tls():
                    return b"220 2.0.0 Ready to start TLS" + CRLF
                if verb == "HELO":
                    return b"250 fake.test" + CRLF
                if verb == "AUTH":
                    parts = line.split()
                    mech = parts[1].upper() if len(parts) > 1 else ""
                    if mech == "PLAIN" and len(parts) > 2:
                        try:
                            fields = base64.b64decode(parts[2]).split(b"\0")
                            user, pw = fields[1].decode("latin-1"), fields[2].decode("latin-1")
                        except Exception:
                            return b"501 5.5.2 Cannot decode response" + CRLF
                        if self.check(user, pw):
                            state["auth"] = True
                            return b"235 2.7.0 Authentication successful" + CRLF
                        return b"535 5.7.8 Error: authentication failed" + CRLF
                    if mech == "LOGIN":
                        pending_login.append("LOGIN")
                        return b"334 VXNlcm5hbWU6" + CRLF
                    return b"535 5.7.8 Error: authentication failed" + CRLF
                if verb in ("MAIL", "RCPT", "RSET", "NOOP"):
                    return b"250 2.0.0 Ok" + CRLF
                if verb == "DATA":
                    return b"354 End data with <CR><LF>.<CR><LF>" + CRLF
                if verb == "QUIT":
                    return b"221 2.0.0 Bye" + CRLF
                return b"502 5.5.2 Error: command not recognized" + CRLF

            out = self.respond(line, builtin)
            if verb == "QUIT":
                raise Closed()
            if verb == "STARTTLS" and out.startswith(b"220 2.0.0 Ready to start TLS") and self.offers_tls():
                self.start_tls()
            if verb == "DATA" and out.startswith(b"354"):
                while True:
                    d = self.readline()
                    if d is None:
                        return
                    if d == ".":
                        break
                self.respond("@data", lambda: b"250 2.0.0 Ok: queued as FAKE" + CRLF)

    def poppassd(self):
        state = {"user": None, "old": None, "ok": False}
        while True:
            line = self.readline()
            if line is None:
                return
            verb, _, arg = line.partition(" ")
            verb = verb.lower()

            def builtin():
                if verb == "user":
                    state["user"] = arg
                    return b"200 Your password please." + CRLF
                if verb == "pass":
                    if state["user"] is not None and self.check(state["user"], arg):
                        state["ok"] = True
                        return b"200 Your new password please." + CRLF
                    return b"500 Old password is incorrect." + CRLF
                if verb == "newpass":
                    if not state["ok"]:
                        return b"500 Old password is incorrect." + CRLF
                    if self.script.users:
                        self.script.users[state["user"]] = arg
                    return b"200 Password changed, thank-you." + CRLF
                if verb == "quit":
                    return b"200 Bye." + CRLF
                return b"500 Unknown command." + CRLF

            self.respond(line, builtin)
            if verb == "quit":
                raise Closed()

    def serve(self, listener):
        n = 0
        while True:
            why = self.should_exit()
            if why:
                self.trace("* exit: " + why)
                return
            r, _, _ = select.select([listener], [], [], 0.5)
            if not r:
                continue
            self.conn, _ = listener.accept()
            n += 1
            self.buf = b""
            self.last = time.monotonic()
            self.stamp = "<%d.%d@fake.test>" % (os.getpid(), n)
            self.trace("* connect %d" % n)
            try:
                self.session()
            except Closed:
                pass
            finally:
                try:
                    self.conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                self.conn.close()
                self.conn = None
                self.trace("* close %d" % n)
                self.last = time.monotonic()


def main(argv):
    opts = {"--log": os.devnull, "--transcript": None, "--idle": "30",
            "--parent": str(os.getppid()), "--port": "0"}
    pos = []
    i = 0
    while i < len(argv):
        a = argv[i]
        if a in opts:
            if i + 1 >= len(argv):
                sys.exit("fakeserver: %s needs a value" % a)
            opts[a] = argv[i + 1]
            i += 2
        else:
            pos.append(a)
            i += 1
    if not pos or pos[0] not in ("pop3", "smtp", "poppassd"):
        sys.exit("usage: fakeserver.py pop3|smtp|poppassd [SCRIPT] [--log FILE] "
                 "[--transcript FILE] [--idle S] [--parent PID] [--port N]")
    try:
        script = Script.load(pos[1] if len(pos) > 1 else None)
    except (OSError, ValueError) as e:
        sys.exit("fakeserver: %s" % e)

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    signal.signal(signal.SIGINT, lambda *_: sys.exit(0))
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(opts["--port"])))
    listener.listen(8)
    sys.stdout.write("%d\n" % listener.getsockname()[1])
    sys.stdout.flush()

    log = open(opts["--log"], "a", encoding="latin-1")
    transcript = open(opts["--transcript"], "a", encoding="latin-1") if opts["--transcript"] else None
    srv = Server(pos[0], script, log, transcript, float(opts["--idle"]), int(opts["--parent"]))
    srv.serve(listener)


if __name__ == "__main__":
    main(sys.argv[1:])
