"""Every kind of message as real parsers read it: Python's email package (policy default,
no defect anywhere) and maildrop's reformime. Subjects and names decode exactly, no
8-bit byte goes undeclared, header lines fold within 78 characters, and attachments
decode byte for byte (text types line for line)."""

import email.utils
import os
import re
import sqlite3
import subprocess
import tempfile
import unittest

from mime_check import attachments, check_message, reformime_sections
from relay import Relay, parse_message, run_varnel, sql_text


def literal(value):
    """A T-SQL literal: N'...' for text outside ASCII, so it reaches the call as nvarchar."""
    if isinstance(value, int):
        return str(value)
    if isinstance(value, tuple):  # ("varchar", text): a plain literal whatever it holds
        return sql_text(value[1])
    return ("N" if any(ord(c) > 127 for c in value) else "") + sql_text(value)


def send(relay, options=(), **params):
    base = {"recipient": "dba@example.com", "from": "sqlserver@example.com", "address": "127.0.0.1"}
    base.update(params)
    parts = ["@%s=%s" % (k, literal(v)) for k, v in base.items()]
    parts.append("@smtpport=%d" % relay.port)
    code, out = run_varnel("exec xp_Varnel " + ", ".join(parts), *options)
    if code != 0:
        raise AssertionError("send failed: %r" % (out,))
    return relay.envelopes[-1].content


def header_block(raw):
    return raw.split(b"\r\n\r\n", 1)[0]


def unfolded_field(raw, name):
    """The raw value of a field of the message's header block, unfolded."""
    match = re.search(rb"^" + name.encode() + rb": ?([^\r\n]*(?:\r\n[ \t][^\r\n]*)*)", header_block(raw), re.M | re.I)
    return re.sub(rb"\r\n(?=[ \t])", b"", match.group(1)) if match else None


def reformime_decoded(value):
    return subprocess.run(["reformime", "-h", value.decode("ascii")], check=True, capture_output=True,
                          timeout=60).stdout.rstrip(b"\n")


class StandardMailTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="varnel-std-")

    def make(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as stream:
            stream.write(data)
        return path

    def assert_standard(self, raw):
        """Rules every message keeps, whatever it carries."""
        message = parse_message(raw)
        head, _ = raw.split(b"\r\n\r\n", 1)
        self.assertTrue(all(b < 0x80 for b in head), "8-bit byte in the header block")
        for line in raw.split(b"\r\n"):
            self.assertLessEqual(len(line), 998)
        for line in head.split(b"\r\n"):
            self.assertLessEqual(len(line), 78, line)
        self.assertEqual(len(message.get_all("Message-ID")), 1)
        self.assertRegex(message["Message-ID"], r"^<[^@<>\s]+@[^@<>\s]+>$")
        self.assertIsNotNone(email.utils.parsedate_to_datetime(message["Date"]).tzinfo)
        for part in message.walk():
            if part.is_multipart():
                continue
            payload = part.get_payload(decode=False)
            body = payload.encode("utf-8", "surrogateescape") if isinstance(payload, str) else payload
            encoding = (part.get("Content-Transfer-Encoding") or "7bit").lower()
            if any(b >= 0x80 for b in body):
                self.assertEqual(encoding, "8bit", "8-bit part without its declaration")
            for field in ("Content-Type", "Content-Disposition"):
                value = part.get(field)
                if value is not None:
                    self.assertFalse(value.defects, value.defects)
        # reformime reads every section and agrees with Python on their number and types.
        sections = reformime_sections(raw)
        leaves = [p for p in message.walk() if not p.is_multipart()]
        self.assertEqual([s[0] for s in sections], [p.get_content_type() for p in leaves])
        return message

    def test_latin1_subject_and_names_decode_exactly(self):
        subject = "Caf\u00e9 f\u00fcr alle: " + " ".join("\u00e9t\u00e9 %d" % i for i in range(60))
        with Relay() as relay:
            raw = send(relay, subject=subject, body="Gr\u00fc\u00dfe", **{
                "from": "Zo\u00eb Ops <ops@example.com>",
                "recipient": "J\u00f6rg M\u00fcller <dba@example.com>, plain@example.com",
                "copy_recipients": '"Smith, Ann" <ann@example.com>; "Bj\u00f6rk, O." <bjork@example.com>'})
        message = self.assert_standard(raw)
        self.assertGreater(len(subject), 300)
        self.assertEqual(message["Subject"], subject)
        self.assertEqual([(a.display_name, a.addr_spec) for a in message["From"].addresses],
                         [("Zo\u00eb Ops", "ops@example.com")])
        self.assertEqual([(a.display_name, a.addr_spec) for a in message["To"].addresses],
                         [("J\u00f6rg M\u00fcller", "dba@example.com"), ("", "plain@example.com")])
        self.assertEqual([(a.display_name, a.addr_spec) for a in message["Cc"].addresses],
                         [("Smith, Ann", "ann@example.com"), ("Bj\u00f6rk, O.", "bjork@example.com")])
        # reformime shows decoded words in UTF-8.
        self.assertEqual(reformime_decoded(unfolded_field(raw, "Subject")), subject.encode("utf-8"))
        self.assertEqual(reformime_decoded(unfolded_field(raw, "From")), "Zo\u00eb Ops <ops@example.com>".encode("utf-8"))
        self.assertEqual(reformime_decoded(unfolded_field(raw, "To")),
                         "J\u00f6rg M\u00fcller <dba@example.com>, plain@example.com".encode("utf-8"))
        self.assertEqual(message.get_content_charset(), "iso-8859-1")
        self.assertEqual(message.get_content(), "Gr\u00fc\u00dfe")

    def test_utf8_connection_keeps_every_character(self):
        subject = "\u4e2d\u6587 \u2713 r\u00e9sum\u00e9 \U0001F600"
        body = "\u041f\u0440\u0438\u0432\u0435\u0442 \u4e16\u754c \u2014 caf\u00e9"
        with Relay() as relay:
            raw = send(relay, ("--codepage", "65001"), subject=subject, body=body,
                       **{"from": "\u5f20\u4f1f <zhang@example.com>"})
        message = self.assert_standard(raw)
        self.assertEqual(message["Subject"], subject)
        self.assertEqual(message["From"].addresses[0].display_name, "\u5f20\u4f1f")
        self.assertEqual(message.get_content_charset(), "utf-8")
        self.assertEqual(message.get_content(), body)
        self.assertEqual(reformime_decoded(unfolded_field(raw, "Subject")), subject.encode("utf-8"))

    def test_codepage_parameter_65001_and_unknown_values(self):
        with Relay() as relay:
            raw = send(relay, subject="\u0141\u00f3d\u017a \u2713", codepage=65001)
            self.assertEqual(parse_message(raw)["Subject"], "\u0141\u00f3d\u017a \u2713")
            self.assertEqual(parse_message(raw).get_content_charset(), "utf-8")
            # 99 is no ISO-8859 part: the connection's code page (1251 here) decides.
            raw = send(relay, ("--codepage", "1251"), subject="x", codepage=99)
        message = self.assert_standard(raw)
        self.assertEqual(message.get_content_charset(), "iso-8859-5")

    def test_no_copies_no_cc_field_and_ids_never_repeat(self):
        with Relay() as relay:
            first = send(relay, subject="one")
            second = send(relay, subject="two", **{"from": "Ops <ops@example.org>"})
        for raw in (first, second):
            self.assertNotIn(b"\r\nCc:", header_block(raw))
            self.assert_standard(raw)
        self.assertNotEqual(parse_message(first)["Message-ID"], parse_message(second)["Message-ID"])
        self.assertTrue(parse_message(first)["Message-ID"].endswith("@example.com>"))
        self.assertTrue(parse_message(second)["Message-ID"].endswith("@example.org>"))

    def test_html_body_with_8bit_text(self):
        with Relay() as relay:
            raw = send(relay, subject="Bericht", body="<p>Gr\u00fc\u00dfe &amp; mehr</p>", html=1)
        message = self.assert_standard(raw)
        self.assertEqual(message.get_content_type(), "text/html")
        self.assertIn("<p>Gr\u00fc\u00dfe &amp; mehr</p>", message.get_content())

    def test_typed_attachments_decode_as_their_types_require(self):
        files = [
            ("report.txt", b"first\nsecond = line\n.dot\n"),
            ("rows.csv", b"name;city\nJ\xf6rg;K\xf6ln\r\nAnn;Bath\n"),
            ("data.json", b'{"a": 1}\n{"b": "x\\ty"}\r\n'),
            ("page.html", b"<html><body><p>Hi</p></body></html>\n"),
            ("chart.png", b"\x89PNG\r\n\x1a\n" + bytes(range(256))),
            ("notes", b"no extension\nat all\n"),
        ]
        paths = [self.make(name, data) for name, data in files]
        with Relay() as relay:
            raw = send(relay, subject="files", body="See the files.", attachments=";".join(paths))
        self.assert_standard(raw)
        self.assertEqual(check_message(raw, paths, use_reformime=True), [])
        types = {name: kind for name, _, _, _, kind in attachments(raw)}
        self.assertEqual(types, {"report.txt": "text/plain", "rows.csv": "text/csv", "data.json": "application/json",
                                 "page.html": "text/html", "chart.png": "image/png",
                                 "notes": "application/octet-stream"})
        # Each text file declares the charset of its own bytes: 7-bit ones us-ascii, the
        # Latin-1 letters of rows.csv the connection's code page (1252).
        message = parse_message(raw)
        charsets = {part.get_filename(): part.get_content_charset() for part in message.iter_attachments()
                    if part.get_content_maintype() == "text"}
        self.assertEqual(charsets, {"report.txt": "us-ascii", "rows.csv": "windows-1252", "page.html": "us-ascii"})

    def test_non_ascii_file_names_in_rfc2231_form(self):
        path = self.make("R\u00e9sum\u00e9 M\u00e4rz \u2713.txt", b"line\n")
        with Relay() as relay:
            raw = send(relay, ("--codepage", "65001"), subject="names", attachments=path)
        self.assert_standard(raw)
        self.assertEqual(check_message(raw, [path], use_reformime=True), [])
        self.assertEqual([name for name, _, _, _, _ in attachments(raw)], [os.path.basename(path)])
        # reformime shows the name in its charset's bytes.
        name = os.path.basename(path).encode("utf-8").decode("latin-1")
        self.assertEqual([s[1] for s in reformime_sections(raw)[1:]], [name])

    def test_query_results_as_attachments_are_text(self):
        database = os.path.join(self.dir, "q.db")
        with sqlite3.connect(database) as db:
            db.execute("create table t (name text, city text)")
            db.executemany("insert into t values (?, ?)", [("J\u00f6rg", "K\u00f6ln"), ("\u4e2d", "x")])
        with Relay() as relay:
            raw = send(relay, ("--codepage", "65001"), subject="rows", query="select name, city from t",
                       qdatabase=database, qbind=0, qasattachments=1, qfilename="rows.csv")
        message = self.assert_standard(raw)
        parts = list(message.iter_attachments())
        self.assertEqual([p.get_filename() for p in parts], ["rows.csv"])
        self.assertIn(parts[0].get_content_type(), ("text/plain", "text/csv"))
        self.assertEqual(parts[0].get_content_charset(), "utf-8")
        self.assertIn("J\u00f6rg", parts[0].get_content())
        self.assertIn("\u4e2d", parts[0].get_content())

    def test_utf8_code_page_parameter_keeps_query_values(self):
        database = os.path.join(self.dir, "u.db")
        with sqlite3.connect(database) as db:
            db.execute("create table u (v text)")
            db.execute("insert into u values ('\u4e2d\u6587 caf\u00e9')")
        with Relay() as relay:
            raw = send(relay, subject="rows", query="select v from u", qdatabase=database, qbind=0, codepage=65001)
        message = self.assert_standard(raw)
        self.assertIn("\u4e2d\u6587 caf\u00e9", message.get_content())


if __name__ == "__main__":
    unittest.main()
