"""Every character arrives as written: for each code page a connection can have (and each
charset @codepage can name), a varchar and an nvarchar call carry the same text in the
subject, the sender's display name, the body, a query value and an attached file's name.
Python's email package (policy default) reads each message back, and what it reads must be
the text that was given, under a charset the bytes are really in."""

import codecs
import os
import tempfile
import unittest

from relay import SENT_ROW, Relay, parse_message, run_varnel, sql_text

# windows-874 is the name IANA registers for Thai Windows text; Python's codecs know the
# code page only as cp874.
codecs.register(lambda name: codecs.lookup("cp874") if name in ("windows-874", "windows_874") else None)

# (connection code page, @codepage or None, text, text as it must arrive when it differs
# (nvarchar, varchar), the message's charset)
CASES = [
    (1250, None, "Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144", None, "windows-1250"),
    (1250, None, "\u0141\u00f3dka i Krak\u00f3w", None, "iso-8859-2"),
    (1251, None, "\u041e\u0442\u0447\u0451\u0442 \u0437\u0430 \u043c\u0430\u0439", None, "windows-1251"),
    (1252, None, "Gr\u00f6\u00dfe f\u00fcr M\u00fcller", None, "iso-8859-1"),
    (1252, None, "\u20ac 5 \u201cnet\u201d \u2013 fine\u2026", None, "windows-1252"),
    (1253, None, "\u0391\u03bd\u03b1\u03c6\u03bf\u03c1\u03ac \u039c\u03b1\u0390\u03bf\u03c5", None, None),
    (1254, None, "Rapor \u0130\u015flem G\u00fcncel", None, "iso-8859-9"),
    (1255, None, "\u05d3\u05d5\u05d7 \u05d7\u05d5\u05d3\u05e9\u05d9", None, None),
    (1256, None, "\u062a\u0642\u0631\u064a\u0631 \u0634\u0647\u0631\u064a", None, "windows-1256"),
    (1257, None, "Ataskaita \u0104\u017euolas \u0160iauliai", None, None),
    (1258, None, "B\u00e1o c\u00e1o th\u00e1ng n\u0103m", None, "windows-1258"),
    (874, None, "\u0e23\u0e32\u0e22\u0e07\u0e32\u0e19\u0e1b\u0e23\u0e30\u0e08\u0e33", None, "iso-8859-11"),
    (874, None, "\u0e23\u0e32\u0e22\u0e07\u0e32\u0e19 \u201c\u0e14\u0e48\u0e27\u0e19\u201d", None, "windows-874"),
    (932, None, "\u5831\u544a\u66f8 \u2460\uff5e \uff71", None, "utf-8"),
    (936, None, "\u6708\u5ea6\u62a5\u544a", None, "GBK"),
    (949, None, "\uc6d4\uac04 \ubcf4\uace0\uc11c \ub620", None, "utf-8"),
    (950, None, "\u6708\u5831 \u7881", None, "utf-8"),
    (65001, None, "Gr\u00f6\u00dfe \u4e2d\u6587 \U0001F600", None, "utf-8"),
    (1250, 2, "Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144", None, "iso-8859-2"),
    (1251, 5, "\u041e\u0442\u0447\u0451\u0442 \u0437\u0430 \u043c\u0430\u0439", None, "iso-8859-5"),
    (1252, 5, "Gr\u00f6\u00dfe", "Gr??e", "iso-8859-5"),
    (1253, 7, "\u0391\u03bd\u03b1\u03c6\u03bf\u03c1\u03ac", None, "iso-8859-7"),
    (1252, 15, "\u20ac 5 Gr\u00f6\u00dfe", None, "iso-8859-15"),
    (1252, 65001, "Gr\u00f6\u00dfe f\u00fcr M\u00fcller \u20ac", None, "utf-8"),
]


class CodePageTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.folder.cleanup()

    def send(self, relay, connection, charset, text, unicode):
        # The file's name is the text (UTF-8 on disk); its content is UTF-8 text too.
        name = text + ".txt"
        path = os.path.join(self.folder.name, name)
        with open(path, "wb") as out:
            out.write((text + "\n").encode("utf-8"))

        def literal(value):
            return ("N" if unicode else "") + sql_text(value)

        params = {"recipient": sql_text("dba@example.com"), "from": literal(text + " <from@example.com>"),
                  "address": sql_text("127.0.0.1"), "subject": literal(text), "body": literal(text),
                  "query": literal("select " + sql_text(text) + " as v"), "qasattachments": "1", "qcsv": "1",
                  "qfilename": sql_text("rows.csv"), "attachments": literal(path), "smtpport": str(relay.port)}
        if charset is not None:
            params["codepage"] = str(charset)
        statement = "exec xp_Varnel " + ", ".join("@%s=%s" % item for item in params.items())
        code, out = run_varnel(statement, "--codepage", str(connection))
        self.assertEqual((code, out["rows"]), (0, [SENT_ROW]), out)
        return relay.envelopes[-1].content

    def test_every_field_arrives_as_written(self):
        with Relay() as relay:
            for connection, charset, text, lossy, label in CASES:
                for unicode in (False, True):
                    with self.subTest(connection=connection, codepage=charset, nvarchar=unicode, text=text):
                        raw = self.send(relay, connection, charset, text, unicode)
                        self.check(raw, lossy or text, label, text)

    def check(self, raw, expected, label, text):
        message = parse_message(raw)
        self.assertEqual(message["Subject"], expected)
        self.assertEqual(message["From"].addresses[0].display_name, expected)
        body = message.get_body(("plain",))
        if label is not None:
            self.assertEqual(body.get_content_charset(), label.lower())
        # Strictly decoded: the bytes are in the charset they declare.
        payload = body.get_payload(decode=True).decode(body.get_content_charset())
        self.assertEqual(payload.rstrip("\r\n"), expected)
        parts = {part.get_filename(): part for part in message.iter_attachments()}
        # The file is found from any code page that holds its name (whatever @codepage
        # says), and named as it is.
        self.assertEqual(set(parts), {text + ".txt", "rows.csv"})
        rows = parts["rows.csv"]
        self.assertEqual(rows.get_payload(decode=True).decode(rows.get_content_charset()).splitlines(), ["v", expected])
        # A UTF-8 file declares utf-8 in any message.
        attached = parts[text + ".txt"]
        self.assertEqual(attached.get_content_charset(), "utf-8")
        self.assertEqual(attached.get_content(), text + "\r\n")


if __name__ == "__main__":
    unittest.main()
