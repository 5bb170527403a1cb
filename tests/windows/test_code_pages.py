"""The DLL converts through Windows' own code pages: varchar text in the connection's code
page and nvarchar text arrive as written under a label that fits, and a file whose name
holds characters outside ASCII is found through the wide file API."""

import os
import tempfile
import unittest

from winharness import Relay, call_lines, run_host, windows_path

# (connection code page, @codepage or None, text, the message's charset)
CASES = [
    (1250, None, "Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144", "windows-1250"),
    (1252, None, "Gr\u00f6\u00dfe f\u00fcr M\u00fcller", "iso-8859-1"),
    (1252, None, "\u20ac 5 \u201cnet\u201d", "windows-1252"),
    (932, None, "\u5831\u544a\u66f8 \u2460", "utf-8"),
    (1251, 5, "\u041e\u0442\u0447\u0451\u0442", "iso-8859-5"),
    (1252, 65001, "Gr\u00f6\u00dfe \u20ac", "utf-8"),
]


def varchar_line(name, text, code_page):
    """A varchar parameter holding text's bytes in the code page, as the server passes it."""
    data = text.encode("cp%d" % code_page)
    value = "".join(chr(b) if 0x20 < b < 0x7F and b != 0x5C else "\\x%02x" % b for b in data)
    return "param %s varchar %s" % (name, value)


class TestCodePages(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.folder.cleanup()

    def call(self, relay, connection, charset, text, unicode):
        path = os.path.join(self.folder.name, text + ".txt")
        with open(path, "wb") as out:
            out.write(b"plain\n")
        lines = call_lines([("@recipient", "varchar", "to@example.com"), ("@from", "varchar", "from@example.com"),
                            ("@address", "varchar", "127.0.0.1"), ("@smtpport", "int", relay.port),
                            ("@timeout", "int", 10)])
        lines.append("field 36 %d" % connection)
        if charset is not None:
            lines += call_lines([("@codepage", "int", charset)])
        for name, value in (("@subject", text), ("@body", text), ("@attachments", windows_path(path))):
            lines += call_lines([(name, "nvarchar", value)]) if unicode else [varchar_line(name, value, connection)]
        return lines

    def test_text_and_file_names_arrive_as_written(self):
        calls = [(case, unicode) for case in CASES for unicode in (False, True)]
        with Relay() as relay:
            result = run_host(calls=[self.call(relay, c[0], c[1], c[2], u) for c, u in calls])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(relay.messages), len(calls))
        received = {}
        for message in relay.messages:
            received.setdefault(message.message["Subject"], []).append(message.message)
        for (connection, charset, text, label), unicode in calls:
            with self.subTest(connection=connection, codepage=charset, nvarchar=unicode):
                self.assertIn(text, received)
                message = received[text].pop()
                body = message.get_body(("plain",))
                self.assertEqual(body.get_content_charset(), label)
                self.assertEqual(body.get_payload(decode=True).decode(label).rstrip("\r\n"), text)
                self.assertEqual([part.get_filename() for part in message.iter_attachments()], [text + ".txt"])


if __name__ == "__main__":
    unittest.main()
