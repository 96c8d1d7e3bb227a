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

--log FILE gets every line read, without its line end, flushed at once (SMTP
data lines too, dot-stuffing and the final "." included): tests check the
exact commands a client sent.  --transcript FILE gets both directions ("C: ",
"S: ") and connection events, for a person reading a failed test.

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
  on TOP 3 * -> stall
  on LIST -> raw +OK 1 message\\n1 120\\n.\\n
"""

import base64
import fnmatch
import hashlib
import os
import random
import re
import select
import signal
import socket
import ssl
import sys
import time

CRLF = b"\r\n"
ACTIONS = ("reply", "raw", "serve", "cut", "long", "garbage", "sleep", "stall", "drop", "close", "starttls")
ESCAPES = {b"r": b"\r", b"n": b"\n", b"t": b"\t", b"\\": b"\\"}


def unescape(text):
    return re.sub(rb"\\(x[0-9A-Fa-f]{2}|[rnt\\])",
                  lambda m: ESCAPES.get(m[1]) or bytes([int(m[1][1:], 16)]), text.encode("utf-8"))


def crlf_lines(data):
    """The lines of DATA (CR LF ends), without a last empty one."""
    lines = data.split(CRLF)
    return lines[:-1] if lines and lines[-1] == b"" else lines


def dotted(data):
    """DATA as a POP3 multi-line answer: dot-stuffed, ended by "."."""
    return b"".join((b"." + l if l.startswith(b".") else l) + CRLF for l in crlf_lines(data)) + b"." + CRLF


def generated(num, size):
    head = ("From: sender%d@example.test\r\nTo: user@example.test\r\nSubject: generated message %d\r\n"
            "Date: Mon, 1 Jan 2024 10:%02d:00 +0000\r\nMessage-ID: <gen%d@example.test>\r\n\r\n"
            % (num, num, num % 60, num))
    line = "Line of message %d, generated to fill the body.\r\n" % num
    body = ""
    while len(head) + len(body) < size:
        body += line
    return (head + body).encode()


class Rule:
    def __init__(self, pattern, actions, uses):
        self.pattern, self.actions, self.uses = pattern.lower(), actions, uses  # uses None: unlimited

    def matches(self, line):
        return (self.uses is None or self.uses > 0) and fnmatch.fnmatchcase(line.lower(), self.pattern)


class Script:
    def __init__(self):
        self.users, self.messages, self.uidls, self.rules = {}, [], {}, []
        self.nouidl, self.greeting, self.tls = False, None, None  # tls: (mode, cert, key)

    @staticmethod
    def parse_actions(text, where):
        actions = []
        for part in filter(None, (p.strip() for p in text.split(";;"))):
            word, _, arg = part.partition(" ")
            word = word.lower()
            if word not in ACTIONS:
                raise ValueError("%s: unknown action %r" % (where, word))
            if word in ("cut", "garbage", "long"):
                num, _, rest = arg.strip().partition(" ")
                actions.append((word, int(num), rest))
            else:
                actions.append((word, float(arg), "") if word == "sleep" else (word, 0, arg))
        if not actions:
            raise ValueError("%s: rule without action" % where)
        return actions

    @classmethod
    def load(cls, path):
        s = cls()
        if not path:
            return s
        base = os.path.dirname(os.path.abspath(path))
        here = lambda p: p if os.path.isabs(p) else os.path.join(base, p)
        with open(path, encoding="utf-8") as f:
            lines = [l.rstrip("\r") for l in f.read().split("\n")]
        i = 0
        while i < len(lines):
            where = "%s:%d" % (path, i + 1)
            stripped = lines[i].strip()
            i += 1
            if not stripped or stripped.startswith("#"):
                continue
            word, _, rest = stripped.partition(" ")
            word = word.lower()
            if word == "user":
                name, _, pw = rest.strip().partition(" ")
                s.users[name] = pw
            elif word == "message" and rest.strip().startswith("<<"):
                tag, start = rest.strip()[2:].strip(), i
                while i < len(lines) and lines[i] != tag:
                    i += 1
                s.messages.append(("\r\n".join(lines[start:i]) + "\r\n").encode("utf-8"))
                i += 1
            elif word == "message":
                with open(here(rest.strip()), "rb") as mf:
                    data = mf.read().replace(b"\r\n", b"\n").replace(b"\n", CRLF)
                s.messages.append(data if data.endswith(CRLF) else data + CRLF)
            elif word == "messages":
                parts = rest.split()
                size = int(parts[1]) if len(parts) > 1 else 600
                start = len(s.messages)
                s.messages += [generated(start + k + 1, size) for k in range(int(parts[0]))]
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
                s.tls = (parts[0], here(parts[1]), here(parts[2]))
            elif word in ("on", "once", "times"):
                uses, spec = None, stripped
                if word == "once":
                    uses, spec = 1, rest.strip()
                elif word == "times":
                    k, _, spec = rest.strip().partition(" ")
                    uses, spec = int(k), spec.strip()
                if not spec.lower().startswith("on "):
                    raise ValueError("%s: expected 'on PATTERN -> ACTION'" % where)
                if "->" not in spec:
                    raise ValueError("%s: rule without '->'" % where)
                pattern, _, acts = spec[3:].partition("->")
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
        self.proto, self.script, self.log, self.transcript = proto, script, log, transcript
        self.idle, self.parent, self.first_ppid = idle, parent, os.getppid()
        self.last = time.monotonic()
        self.rng = random.Random(4242)
        self.conn, self.buf, self.stamp = None, b"", ""

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
            if self.should_exit():
                raise SystemExit(0)
            pending = isinstance(self.conn, ssl.SSLSocket) and self.conn.pending()
            if not (pending or select.select([self.conn], [], [], 0.5)[0]):
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
        text = line.removesuffix(b"\r").decode("latin-1")
        self.log.write(text + "\n")
        self.log.flush()
        self.trace("C: " + text)
        return text

    # ---- rules ----------------------------------------------------------
    def respond(self, line, builtin):
        """Answers LINE by its rule, else by BUILTIN (a function giving bytes); returns what was sent."""
        rule = self.script.rule_for(line)
        if rule is None:
            out = builtin()
            if out:
                self.send(out)
            return out
        sent = b""
        for word, num, arg in rule.actions:
            if word == "sleep":
                time.sleep(num)
                self.last = time.monotonic()
            elif word == "stall":
                while self.readline() is not None:
                    pass
                raise Closed()
            elif word == "drop":
                raise Closed()
            elif word == "starttls":
                self.start_tls()
            elif word == "cut":
                self.send((builtin() or b"")[:num])
                raise Closed()
            else:
                sent = {"reply": lambda: unescape(arg) + CRLF,
                        "close": lambda: unescape(arg) + CRLF,
                        "raw": lambda: unescape(arg),
                        "serve": lambda: builtin() or b"",
                        "long": lambda: unescape(arg) + b"x" * max(0, num - len(unescape(arg))) + CRLF,
                        "garbage": lambda: bytes(self.rng.randrange(256) for _ in range(num))}[word]()
                if sent:
                    self.send(sent)
                if word == "close":
                    raise Closed()
        return sent

    def start_tls(self):
        """TLS on the open connection; what the client sent before is dropped."""
        if not self.script.tls:
            raise Closed()
        self.buf = b""
        try:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(self.script.tls[1], self.script.tls[2])
            self.conn = ctx.wrap_socket(self.conn, server_side=True)
        except (OSError, ssl.SSLError) as e:
            self.trace("* TLS handshake failed: %s" % e)
            raise Closed()
        self.trace("* TLS %s" % self.conn.version())

    # ---- protocols ------------------------------------------------------
    def check(self, user, pw):
        return not self.script.users or self.script.users.get(user) == pw

    def offers_tls(self):
        return (self.script.tls is not None and self.script.tls[0] == "starttls"
                and not isinstance(self.conn, ssl.SSLSocket))

    def session(self):
        if self.script.tls and self.script.tls[0] == "implicit":
            self.start_tls()
        greeting = self.script.greeting
        if greeting is None:
            greeting = {"pop3": ("+OK fake POP3 ready %s" % self.stamp).encode(),
                        "smtp": b"220 fake.test ESMTP fake"}.get(self.proto, b"200 fake poppassd hello, who are you?")
        self.respond("@connect", lambda: greeting + CRLF)
        {"pop3": self.pop3, "smtp": self.smtp, "poppassd": self.poppassd}[self.proto]()

    def pop3(self):
        msgs, script = self.script.messages, self.script
        deleted = set()
        state = {"user": None, "auth": False}
        bad = b"-ERR [AUTH] Authentication failed." + CRLF
        unknown, nomsg = b"-ERR Unknown command." + CRLF, b"-ERR There's no message." + CRLF

        def valid(arg):
            try:
                n = int(arg)
            except ValueError:
                return None
            return n if 1 <= n <= len(msgs) and n not in deleted else None

        def logged_in():
            state["auth"] = True
            return b"+OK Logged in." + CRLF

        while True:
            line = self.readline()
            if line is None:
                return
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            args = arg.split()
            n = valid(args[0]) if args else None

            def builtin():
                if verb == "QUIT":
                    return b"+OK bye" + CRLF
                if verb == "STLS" and self.offers_tls():
                    return b"+OK Begin TLS negotiation" + CRLF
                if verb == "CAPA":
                    caps = ["USER", "TOP", "PIPELINING"] + ([] if script.nouidl else ["UIDL"])
                    caps += ["STLS"] if self.offers_tls() else []
                    return b"+OK\r\n" + b"".join(c.encode() + CRLF for c in caps) + b"." + CRLF
                if verb == "USER":
                    state["user"] = arg
                    return b"+OK" + CRLF
                if verb == "PASS":
                    return logged_in() if state["user"] is not None and self.check(state["user"], arg) else bad
                if verb == "APOP":
                    if len(args) == 2 and args[0] in script.users:
                        want = hashlib.md5((self.stamp + script.users[args[0]]).encode()).hexdigest()
                        return logged_in() if want == args[1].lower() else bad
                    return logged_in() if len(args) == 2 and not script.users else bad
                if not state["auth"]:
                    return unknown
                if verb == "RSET":
                    deleted.clear()
                if verb in ("NOOP", "RSET"):
                    return b"+OK" + CRLF
                live = [i for i in range(1, len(msgs) + 1) if i not in deleted]
                if verb == "STAT":
                    return b"+OK %d %d" % (len(live), sum(len(msgs[i - 1]) for i in live)) + CRLF
                if verb == "UIDL" and script.nouidl:
                    return unknown
                if verb in ("LIST", "UIDL"):
                    fmt = (lambda k: b"%d %d" % (k, len(msgs[k - 1]))) if verb == "LIST" \
                        else (lambda k: b"%d %s" % (k, script.uidls.get(k, "fake-uid-%d" % k).encode()))
                    if not args:
                        return b"+OK\r\n" + b"".join(fmt(k) + CRLF for k in live) + b"." + CRLF
                    return b"+OK " + fmt(n) + CRLF if n else b"-ERR There's no message " + args[0].encode() + b"." + CRLF
                if verb == "RETR":
                    return b"+OK %d octets" % len(msgs[n - 1]) + CRLF + dotted(msgs[n - 1]) if n else nomsg
                if verb == "TOP":
                    if n is None or len(args) < 2 or not args[1].isdigit():
                        return nomsg
                    head, sep, body = msgs[n - 1].partition(CRLF + CRLF)
                    if not sep:
                        head, body = msgs[n - 1].removesuffix(CRLF), b""
                    return b"+OK" + CRLF + dotted(head + CRLF + CRLF + b"".join(
                        l + CRLF for l in crlf_lines(body)[:int(args[1])]))
                if verb == "DELE":
                    if n:
                        deleted.add(n)
                    return b"+OK Marked to be deleted." + CRLF if n else nomsg
                return b"-ERR Unknown command: " + verb.encode() + CRLF

            out = self.respond(line, builtin)
            if verb == "QUIT":
                self.trace("* deleted at QUIT: %s" % sorted(deleted))
                raise Closed()
            if verb == "STLS" and out.startswith(b"+OK Begin TLS") and self.offers_tls():
                self.start_tls()

    def smtp(self):
        login = []  # AUTH LOGIN under way: "LOGIN", then the decoded answers
        authed, fail = b"235 2.7.0 Authentication successful" + CRLF, b"535 5.7.8 Error: authentication failed" + CRLF
        while True:
            line = self.readline()
            if line is None:
                return
            verb = line.split(" ")[0].upper()

            if login:
                # AUTH LOGIN: the lines are base64 answers, not commands
                try:
                    login.append(base64.b64decode(line, validate=False).decode("latin-1"))
                except Exception:
                    login.append("")

                def builtin():
                    if len(login) == 2:
                        return b"334 UGFzc3dvcmQ6" + CRLF
                    user, pw = login[1], login[2]
                    login.clear()
                    return authed if self.check(user, pw) else fail

                self.respond(line, builtin)
                if len(login) >= 3:
                    login.clear()
                continue

            def builtin():
                if verb == "EHLO":
                    return (b"250-fake.test\r\n250-PIPELINING\r\n" + (b"250-STARTTLS\r\n" if self.offers_tls() else b"")
                            + b"250-SIZE 10240000\r\n250-AUTH PLAIN LOGIN\r\n250-8BITMIME\r\n250 SMTPUTF8" + CRLF)
                if verb == "STARTTLS" and self.offers_tls():
                    return b"220 2.0.0 Ready to start TLS" + CRLF
                if verb == "AUTH":
                    parts = line.split()
                    mech = parts[1].upper() if len(parts) > 1 else ""
                    if mech == "PLAIN" and len(parts) > 2:
                        try:
                            fields = base64.b64decode(parts[2]).split(b"\0")
                            user, pw = fields[1].decode("latin-1"), fields[2].decode("latin-1")
                        except Exception:
                            return b"501 5.5.2 Cannot decode response" + CRLF
                        return authed if self.check(user, pw) else fail
                    if mech == "LOGIN":
                        login.append("LOGIN")
                        return b"334 VXNlcm5hbWU6" + CRLF
                    return fail
                return {"HELO": b"250 fake.test", "MAIL": b"250 2.0.0 Ok", "RCPT": b"250 2.0.0 Ok",
                        "RSET": b"250 2.0.0 Ok", "NOOP": b"250 2.0.0 Ok",
                        "DATA": b"354 End data with <CR><LF>.<CR><LF>", "QUIT": b"221 2.0.0 Bye",
                        }.get(verb, b"502 5.5.2 Error: command not recognized") + CRLF

            out = self.respond(line, builtin)
            if verb == "QUIT":
                raise Closed()
            if verb == "STARTTLS" and out.startswith(b"220 2.0.0 Ready to start TLS") and self.offers_tls():
                self.start_tls()
            if verb == "DATA" and out.startswith(b"354"):
                while (d := self.readline()) != ".":
                    if d is None:
                        return
                self.respond("@data", lambda: b"250 2.0.0 Ok: queued as FAKE" + CRLF)

    def poppassd(self):
        state = {"user": None, "ok": False}
        wrong = b"500 Old password is incorrect." + CRLF
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
                    return wrong
                if verb == "newpass":
                    if not state["ok"]:
                        return wrong
                    if self.script.users:
                        self.script.users[state["user"]] = arg
                    return b"200 Password changed, thank-you." + CRLF
                return (b"200 Bye." if verb == "quit" else b"500 Unknown command.") + CRLF

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
            if not select.select([listener], [], [], 0.5)[0]:
                continue
            self.conn, _ = listener.accept()
            n += 1
            self.buf, self.last = b"", time.monotonic()
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
    while argv:
        a = argv.pop(0)
        if a not in opts:
            pos.append(a)
        elif not argv:
            sys.exit("fakeserver: %s needs a value" % a)
        else:
            opts[a] = argv.pop(0)
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
    print(listener.getsockname()[1], flush=True)

    log = open(opts["--log"], "a", encoding="latin-1")
    transcript = open(opts["--transcript"], "a", encoding="latin-1") if opts["--transcript"] else None
    Server(pos[0], script, log, transcript, float(opts["--idle"]), int(opts["--parent"])).serve(listener)


if __name__ == "__main__":
    main(sys.argv[1:])
