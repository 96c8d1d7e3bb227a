#!/usr/bin/env python3
"""Checks that fakeserver.py does what its scripts say.

Run: python3 tests/fake/test_fakeserver.py   (ends with "N passed, N failed")
"""

import base64
import hashlib
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE = os.path.join(HERE, "fakeserver.py")


class Fake:
    """One fakeserver process with its own script and log."""

    def __init__(self, proto, script, idle=20, extra=()):
        self.dir = tempfile.mkdtemp(prefix="lkfaketest")
        self.script = os.path.join(self.dir, "script.txt")
        self.log = os.path.join(self.dir, "log.txt")
        with open(self.script, "w") as f:
            f.write(script)
        self.proc = subprocess.Popen(
            [sys.executable, FAKE, proto, self.script, "--log", self.log,
             "--idle", str(idle), *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            err = self.proc.stderr.read().decode()
            self.proc.wait()
            raise RuntimeError("fakeserver did not start: " + err)
        self.port = int(line)

    def lines(self):
        with open(self.log, encoding="latin-1") as f:
            return f.read().splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.proc.stderr.close()


OPEN_CLIENTS = []


class Client:
    def __init__(self, port, timeout=5):
        OPEN_CLIENTS.append(self)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""

    def line(self):
        """One line with its raw ending; b"" when the server closed."""
        while b"\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                out, self.buf = self.buf, b""
                return out
            self.buf += chunk
        out, _, self.buf = self.buf.partition(b"\n")
        return out + b"\n"

    def multi(self):
        """A dot-terminated answer: the lines between status and dot, unstuffed."""
        status = self.line()
        lines = []
        while True:
            l = self.line()
            if l in (b".\r\n", b""):
                break
            l = l[:-2] if l.endswith(b"\r\n") else l
            lines.append(l[1:] if l.startswith(b"..") else l)
        return status, lines

    def cmd(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()

    def rest(self):
        """Everything up to the server's close."""
        out = self.buf
        while True:
            chunk = self.sock.recv(65536)
            if not chunk:
                return out
            out += chunk

    def close(self):
        self.sock.close()


MAILBOX = """user alice s3cret
message <<END
From: Bob <bob@example.test>
Subject: dots

.starts with a dot
..two dots
.
last
END
messages 2 400
"""


class Base(unittest.TestCase):
    def setUp(self):
        self.fakes = []

    def tearDown(self):
        while OPEN_CLIENTS:
            OPEN_CLIENTS.pop().close()
        for f in self.fakes:
            f.stop()

    def start(self, proto, script, **kw):
        f = Fake(proto, script, **kw)
        self.fakes.append(f)
        return f

    def login(self, f):
        c = Client(f.port)
        self.assertTrue(c.line().startswith(b"+OK"))
        self.assertEqual(c.cmd("USER alice"), b"+OK\r\n")
        self.assertEqual(c.cmd("PASS s3cret"), b"+OK Logged in.\r\n")
        return c


class Pop3Test(Base):
    def test_mailbox_commands(self):
        f = self.start("pop3", MAILBOX)
        c = self.login(f)
        stat = c.cmd("STAT")
        m = re.match(rb"\+OK 3 (\d+)\r\n", stat)
        self.assertTrue(m, stat)
        c.sock.sendall(b"LIST\r\n")
        _, listing = c.multi()
        sizes = [int(l.split()[1]) for l in listing]
        self.assertEqual(len(sizes), 3)
        self.assertEqual(sum(sizes), int(m.group(1)))
        c.sock.sendall(b"UIDL\r\n")
        _, uidls = c.multi()
        self.assertEqual(uidls, [b"1 fake-uid-1", b"2 fake-uid-2", b"3 fake-uid-3"])
        c.sock.sendall(b"RETR 1\r\n")
        status, body = c.multi()
        self.assertTrue(status.startswith(b"+OK"))
        # The unstuffed lines are the message again, the lone "." included.
        self.assertEqual(body[3:], [b".starts with a dot", b"..two dots", b".", b"last"])
        self.assertEqual(sum(len(l) + 2 for l in body), sizes[0])
        c.sock.sendall(b"TOP 1 0\r\n")
        _, top = c.multi()
        self.assertEqual(top, [b"From: Bob <bob@example.test>", b"Subject: dots", b""])
        c.sock.sendall(b"TOP 1 2\r\n")
        _, top = c.multi()
        self.assertEqual(top[-2:], [b".starts with a dot", b"..two dots"])
        self.assertEqual(c.cmd("DELE 2"), b"+OK Marked to be deleted.\r\n")
        self.assertTrue(c.cmd("RETR 2").startswith(b"-ERR"))
        self.assertTrue(c.cmd("STAT").startswith(b"+OK 2 "))
        self.assertTrue(c.cmd("LIST 9").startswith(b"-ERR"))
        self.assertEqual(c.cmd("QUIT"), b"+OK bye\r\n")
        self.assertEqual(c.line(), b"")
        self.assertEqual(f.lines(), ["USER alice", "PASS s3cret", "STAT", "LIST", "UIDL",
                                     "RETR 1", "TOP 1 0", "TOP 1 2", "DELE 2", "RETR 2",
                                     "STAT", "LIST 9", "QUIT"])

    def test_wrong_password_and_apop(self):
        f = self.start("pop3", MAILBOX)
        c = Client(f.port)
        greet = c.line()
        c.cmd("USER alice")
        self.assertEqual(c.cmd("PASS nope"), b"-ERR [AUTH] Authentication failed.\r\n")
        self.assertTrue(c.cmd("STAT").startswith(b"-ERR"))
        stamp = re.search(rb"<[^>]+>", greet).group(0).decode()
        digest = hashlib.md5((stamp + "s3cret").encode()).hexdigest()
        self.assertEqual(c.cmd("APOP alice " + digest), b"+OK Logged in.\r\n")
        c.close()

    def test_busy_once_then_ok(self):
        f = self.start("pop3", MAILBOX + "once on PASS * -> reply -ERR [IN-USE] busy, try again\n")
        c = Client(f.port)
        c.line()
        c.cmd("USER alice")
        self.assertEqual(c.cmd("PASS s3cret"), b"-ERR [IN-USE] busy, try again\r\n")
        c.close()
        self.login(f).close()

    def test_times_rule(self):
        f = self.start("pop3", "times 2 on NOOP -> reply +OK scripted\n")
        c = Client(f.port)
        c.line()
        c.cmd("USER x")
        c.cmd("PASS y")
        got = [c.cmd("NOOP") for _ in range(3)]
        self.assertEqual(got, [b"+OK scripted\r\n"] * 2 + [b"+OK\r\n"])

    def test_no_uidl_and_repeated_uidl(self):
        f = self.start("pop3", MAILBOX + "nouidl\n")
        c = self.login(f)
        self.assertTrue(c.cmd("UIDL").startswith(b"-ERR"))
        c.sock.sendall(b"CAPA\r\n")
        _, caps = c.multi()
        self.assertNotIn(b"UIDL", caps)
        g = self.start("pop3", MAILBOX + "uidl 3 fake-uid-2\n")
        c = self.login(g)
        c.sock.sendall(b"UIDL\r\n")
        _, uidls = c.multi()
        self.assertEqual(uidls[1:], [b"2 fake-uid-2", b"3 fake-uid-2"])

    def test_cut_drops_mid_reply(self):
        f = self.start("pop3", MAILBOX + "on RETR 2 -> cut 40\n")
        c = self.login(f)
        c.sock.sendall(b"RETR 2\r\n")
        data = c.rest()
        self.assertEqual(len(data), 40)
        self.assertTrue(data.startswith(b"+OK"))

    def test_stall(self):
        f = self.start("pop3", MAILBOX + "on TOP 1 * -> stall\n")
        c = self.login(f)
        c.sock.settimeout(1.0)
        c.sock.sendall(b"TOP 1 0\r\n")
        with self.assertRaises(socket.timeout):
            c.line()
        # A stalled server still reads and logs what it is sent.
        c.sock.sendall(b"QUIT\r\n")
        c.close()
        for _ in range(100):
            if f.lines()[-1:] == ["QUIT"]:
                break
            time.sleep(0.05)
        self.assertEqual(f.lines()[-2:], ["TOP 1 0", "QUIT"])

    def test_raw_long_garbage_and_chains(self):
        f = self.start("pop3",
                       "on LIST -> raw +OK 1 message\\n1 120\\n.\\n\n"
                       "on NOOP -> long 5000 +OK\\x20\n"
                       "on RSET -> garbage 64 ;; reply \\r\\n+OK after\n"
                       "on STAT -> sleep 0.1 ;; reply +OK 0 0\n")
        c = Client(f.port)
        c.line()
        c.cmd("USER a")
        c.cmd("PASS b")
        c.sock.sendall(b"LIST\r\n")
        self.assertEqual([c.line() for _ in range(3)], [b"+OK 1 message\n", b"1 120\n", b".\n"])
        long_line = c.cmd("NOOP")
        self.assertEqual(len(long_line), 5002)
        self.assertTrue(long_line.startswith(b"+OK xxx"))
        c.sock.sendall(b"RSET\r\n")
        blob = b""
        while not blob.endswith(b"+OK after\r\n"):
            blob += c.sock.recv(4096)
        self.assertEqual(len(blob), 64 + 2 + len(b"+OK after\r\n"))
        self.assertEqual(c.cmd("STAT"), b"+OK 0 0\r\n")

    def test_refuse_at_connect_and_greeting(self):
        f = self.start("pop3", "on @connect -> close -ERR go away\n")
        c = Client(f.port)
        self.assertEqual(c.line(), b"-ERR go away\r\n")
        self.assertEqual(c.line(), b"")
        g = self.start("pop3", "greeting +OK custom <1.2@x>\n")
        c = Client(g.port)
        self.assertEqual(c.line(), b"+OK custom <1.2@x>\r\n")
        c.close()

    def test_drop(self):
        f = self.start("pop3", "on USER * -> drop\n")
        c = Client(f.port)
        c.line()
        self.assertEqual(c.cmd("USER z"), b"")

    def test_bad_script_is_reported(self):
        with self.assertRaises(RuntimeError):
            self.start("pop3", "on USER * -> explode\n")
        with self.assertRaises(RuntimeError):
            self.start("pop3", "frobnicate\n")


class SmtpPassTest(Base):
    def test_smtp_dialogue(self):
        f = self.start("smtp", "user alice s3cret\n")
        c = Client(f.port)
        self.assertTrue(c.line().startswith(b"220 "))
        c.sock.sendall(b"EHLO me\r\n")
        caps = []
        while True:
            l = c.line()
            caps.append(l)
            if l[3:4] == b" ":
                break
        self.assertIn(b"250-AUTH PLAIN LOGIN\r\n", caps)
        bad = base64.b64encode(b"\0alice\0wrong").decode()
        self.assertTrue(c.cmd("AUTH PLAIN " + bad).startswith(b"535"))
        self.assertTrue(c.cmd("AUTH LOGIN").startswith(b"334"))
        self.assertTrue(c.cmd(base64.b64encode(b"alice").decode()).startswith(b"334"))
        self.assertTrue(c.cmd(base64.b64encode(b"s3cret").decode()).startswith(b"235"))
        self.assertTrue(c.cmd("MAIL FROM:<alice@example.test>").startswith(b"250"))
        self.assertTrue(c.cmd("RCPT TO:<bob@example.test>").startswith(b"250"))
        self.assertTrue(c.cmd("DATA").startswith(b"354"))
        c.sock.sendall(b"Subject: t\r\n\r\n..dot\r\n.\r\n")
        self.assertTrue(c.line().startswith(b"250"))
        self.assertTrue(c.cmd("QUIT").startswith(b"221"))
        self.assertEqual(f.lines()[-5:], ["Subject: t", "", "..dot", ".", "QUIT"])

    def test_smtp_refusals(self):
        f = self.start("smtp", "on RCPT * -> reply 550 5.1.1 no such user\n"
                               "on @data -> reply 452 4.3.1 full\n")
        c = Client(f.port)
        c.line()
        c.cmd("HELO me")
        c.cmd("MAIL FROM:<a@b>")
        self.assertEqual(c.cmd("RCPT TO:<x@y>"), b"550 5.1.1 no such user\r\n")
        self.assertTrue(c.cmd("DATA").startswith(b"354"))
        c.sock.sendall(b"hello\r\n.\r\n")
        self.assertEqual(c.line(), b"452 4.3.1 full\r\n")

    def test_poppassd(self):
        f = self.start("poppassd", "user alice s3cret\n")
        c = Client(f.port)
        self.assertTrue(c.line().startswith(b"200 "))
        self.assertEqual(c.cmd("user alice"), b"200 Your password please.\r\n")
        self.assertEqual(c.cmd("pass wrong"), b"500 Old password is incorrect.\r\n")
        c.close()
        c = Client(f.port)
        c.line()
        c.cmd("user alice")
        self.assertEqual(c.cmd("pass s3cret"), b"200 Your new password please.\r\n")
        self.assertEqual(c.cmd("newpass n3w"), b"200 Password changed, thank-you.\r\n")
        self.assertTrue(c.cmd("quit").startswith(b"200"))
        c = Client(f.port)
        c.line()
        c.cmd("user alice")
        self.assertEqual(c.cmd("pass n3w"), b"200 Your new password please.\r\n")


class LifetimeTest(unittest.TestCase):
    def test_idle_exit(self):
        f = Fake("pop3", "", idle=1)
        self.assertEqual(f.proc.wait(timeout=20), 0)
        f.stop()

    def test_exits_when_parent_is_gone(self):
        watcher = subprocess.Popen(["sleep", "30"])
        g = subprocess.Popen([sys.executable, FAKE, "pop3", "--parent", str(watcher.pid)],
                             stdout=subprocess.PIPE)
        self.assertTrue(g.stdout.readline().strip().isdigit())
        watcher.kill()
        watcher.wait()
        self.assertEqual(g.wait(timeout=20), 0)
        g.stdout.close()


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=1).result
    failed = len(result.failures) + len(result.errors)
    print("fakeserver: %d passed, %d failed" % (result.testsRun - failed, failed))
    sys.exit(1 if failed else 0)
