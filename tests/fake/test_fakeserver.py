#!/usr/bin/env python3
"""One smoke test per protocol of fakeserver.py: a scripted session goes as
its script says and is logged.  (Every POP and process test drives it too.)

Run: python3 tests/fake/test_fakeserver.py   (ends with "N passed, N failed")
"""

import base64
import os
import socket
import subprocess
import sys
import tempfile
import unittest

FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fakeserver.py")


class FakeTest(unittest.TestCase):
    def start(self, proto, script):
        d = tempfile.mkdtemp(prefix="lkfaketest")
        path, self.log = os.path.join(d, "script.txt"), os.path.join(d, "log.txt")
        with open(path, "w") as f:
            f.write(script)
        proc = subprocess.Popen([sys.executable, FAKE, proto, path, "--log", self.log, "--idle", "20"],
                                stdout=subprocess.PIPE)
        self.addCleanup(lambda: (proc.terminate(), proc.wait(timeout=10), proc.stdout.close()))
        port = int(proc.stdout.readline())
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.addCleanup(self.sock.close)
        self.buf = b""
        return self.line()

    def line(self):
        while b"\n" not in self.buf and (chunk := self.sock.recv(65536)):
            self.buf += chunk
        out, nl, self.buf = self.buf.partition(b"\n")
        return out + nl

    def cmd(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()

    def logged(self):
        with open(self.log, encoding="latin-1") as f:
            return f.read().splitlines()

    def test_pop3(self):
        self.assertTrue(self.start("pop3", "user alice s3cret\n"
                                           "message <<END\nSubject: dots\n\n.starts with a dot\n.\nlast\nEND\n"
                                           "messages 1 400\n"
                                           "once on PASS * -> reply -ERR [IN-USE] busy\n").startswith(b"+OK"))
        self.cmd("USER alice")
        self.assertEqual(self.cmd("PASS s3cret"), b"-ERR [IN-USE] busy\r\n")
        self.assertEqual(self.cmd("PASS s3cret"), b"+OK Logged in.\r\n")
        self.assertRegex(self.cmd("STAT"), rb"^\+OK 2 \d+\r\n$")
        self.assertEqual([self.cmd("UIDL")] + [self.line() for _ in range(3)],
                         [b"+OK\r\n", b"1 fake-uid-1\r\n", b"2 fake-uid-2\r\n", b".\r\n"])
        self.assertTrue(self.cmd("RETR 1").startswith(b"+OK"))
        body = [self.line() for _ in range(6)]
        self.assertEqual(body[2:], [b"..starts with a dot\r\n", b"..\r\n", b"last\r\n", b".\r\n"])
        self.assertTrue(self.cmd("DELE 2").startswith(b"+OK"))
        self.assertTrue(self.cmd("RETR 2").startswith(b"-ERR"))
        self.assertEqual(self.cmd("QUIT"), b"+OK bye\r\n")
        self.assertEqual(self.logged(), ["USER alice", "PASS s3cret", "PASS s3cret", "STAT", "UIDL",
                                         "RETR 1", "DELE 2", "RETR 2", "QUIT"])

    def test_smtp(self):
        self.assertTrue(self.start("smtp", "user alice s3cret\n"
                                           "on RCPT TO:<nobody@*> -> reply 550 5.1.1 no such user\n")
                        .startswith(b"220 "))
        caps = [self.cmd("EHLO me")]
        while caps[-1][3:4] == b"-":
            caps.append(self.line())
        self.assertIn(b"250-AUTH PLAIN LOGIN\r\n", caps)
        bad = base64.b64encode(b"\0alice\0wrong").decode()
        self.assertTrue(self.cmd("AUTH PLAIN " + bad).startswith(b"535"))
        good = base64.b64encode(b"\0alice\0s3cret").decode()
        self.assertTrue(self.cmd("AUTH PLAIN " + good).startswith(b"235"))
        self.assertTrue(self.cmd("MAIL FROM:<alice@example.test>").startswith(b"250"))
        self.assertEqual(self.cmd("RCPT TO:<nobody@example.test>"), b"550 5.1.1 no such user\r\n")
        self.assertTrue(self.cmd("RCPT TO:<bob@example.test>").startswith(b"250"))
        self.assertTrue(self.cmd("DATA").startswith(b"354"))
        self.sock.sendall(b"Subject: t\r\n\r\n..dot\r\n.\r\n")
        self.assertTrue(self.line().startswith(b"250"))
        self.assertTrue(self.cmd("QUIT").startswith(b"221"))
        self.assertEqual(self.logged()[-5:], ["Subject: t", "", "..dot", ".", "QUIT"])

    def test_poppassd(self):
        self.assertTrue(self.start("poppassd", "user alice s3cret\n").startswith(b"200 "))
        self.assertEqual(self.cmd("user alice"), b"200 Your password please.\r\n")
        self.assertEqual(self.cmd("pass wrong"), b"500 Old password is incorrect.\r\n")
        self.assertEqual(self.cmd("pass s3cret"), b"200 Your new password please.\r\n")
        self.assertEqual(self.cmd("newpass n3w"), b"200 Password changed, thank-you.\r\n")
        self.assertTrue(self.cmd("quit").startswith(b"200"))


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=1).result
    failed = len(result.failures) + len(result.errors)
    print("fakeserver: %d passed, %d failed" % (result.testsRun - failed, failed))
    sys.exit(1 if failed else 0)
