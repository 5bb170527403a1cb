"""Query values reach the message in its text's code page. Windows' ANSI ODBC calls hand
values over in the system's ANSI code page; the DLL converts them when the message's text
is in another one (@codepage, a 932 connection whose text goes out in UTF-8, a connection
whose code page is not the system's). Under Wine the SQLite driver behind odbc32 passes a
value's stored bytes through, so the table holds each value as the driver manager of a
Windows with that ANSI code page delivers it: in 1252 for the prefix as it is, in UTF-8
for a host that runs with the UTF-8 ANSI code page (its manifest's activeCodePage)."""

import glob
import os
import shutil
import sqlite3
import subprocess
import tempfile
import unittest

from winharness import BIN, WINE, Relay, call_lines, delete_settings_key, run_host, set_setting

# (system ANSI code page, connection code page, @codepage or None, value)
CASES = [
    (1252, 1252, 65001, "Gr\u00f6\u00dfe f\u00fcr M\u00fcller"),
    (1252, 932, None, "Gr\u00f6\u00dfe f\u00fcr M\u00fcller"),
    (1252, 1252, 15, "5 \u20ac Gr\u00f6\u00dfe"),
    (1252, 1252, None, "Gr\u00f6\u00dfe \u20ac"),
    (65001, 1252, None, "Gr\u00f6\u00dfe f\u00fcr M\u00fcller \u20ac"),
    (65001, 1251, None, "\u041e\u0442\u0447\u0451\u0442 \u0437\u0430 \u043c\u0430\u0439"),
    (65001, 1250, 2, "Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105"),
    (65001, 1252, 65001, "Gr\u00f6\u00dfe \u20ac"),
]



def long_form(value):
    """The value repeated into some 480 characters: in 8-bit bytes it fits the narrow slot
    of a wide column, in UTF-8 it does not."""
    return (value + " ") * (480 // (len(value) + 1))

UTF8_MANIFEST = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Varnel.XpHost" version="1.0.0.0"/>
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>
    </windowsSettings>
  </application>
</assembly>
"""


def prefix_ansi_code_page():
    completed = subprocess.run([WINE, "reg", "query", r"HKLM\System\CurrentControlSet\Control\Nls\CodePage",
                                "/v", "ACP"], capture_output=True, timeout=60)
    return int(completed.stdout.split()[-1])


class TestQueryValueCodePages(unittest.TestCase):
    def setUp(self):
        delete_settings_key()
        set_setting("OdbcDriver", "SQLite3")
        self.folder = tempfile.TemporaryDirectory()
        # The host, its DLLs and a manifest that gives it the UTF-8 ANSI code page.
        self.utf8_host = os.path.join(self.folder.name, "utf8-host")
        os.mkdir(self.utf8_host)
        for path in [os.path.join(BIN, "xp_host.exe")] + glob.glob(os.path.join(BIN, "*.dll")):
            shutil.copy(path, self.utf8_host)
        with open(os.path.join(self.utf8_host, "xp_host.exe.manifest"), "w", encoding="utf-8") as out:
            out.write(UTF8_MANIFEST)

    def tearDown(self):
        delete_settings_key()
        self.folder.cleanup()

    def database(self, index, ansi, value):
        """A table of one row, its text stored in the bytes the driver manager delivers."""
        path = os.path.join(self.folder.name, "case%d.db" % index)
        encoding = "utf-8" if ansi == 65001 else "cp%d" % ansi
        with sqlite3.connect(path) as connection:
            connection.execute("create table words (phrase text)")
            connection.executemany("insert into words values (cast(? as text))",
                                   [(value.encode(encoding),), (long_form(value).encode(encoding),)])
        return path

    def call(self, relay, index, connection, charset, database):
        lines = call_lines([("@recipient", "varchar", "to@example.com"), ("@from", "varchar", "from@example.com"),
                            ("@address", "varchar", "127.0.0.1"), ("@smtpport", "int", relay.port),
                            ("@timeout", "int", 10), ("@subject", "varchar", "case %d" % index),
                            ("@body", "varchar", "Words:"),
                            ("@query", "varchar", "select phrase from words order by length(phrase)"),
                            ("@qdatabase", "varchar", database)])
        lines.append("field 36 %d" % connection)
        if charset is not None:
            lines += call_lines([("@codepage", "int", charset)])
        return lines

    def test_values_arrive_as_stored(self):
        self.assertEqual(prefix_ansi_code_page(), 1252, "the Wine prefix's ANSI code page")
        with Relay() as relay:
            for ansi in (1252, 65001):
                calls = [self.call(relay, i, c[1], c[2], self.database(i, ansi, c[3]))
                         for i, c in enumerate(CASES) if c[0] == ansi]
                result = run_host(calls=calls, folder=self.utf8_host if ansi == 65001 else None)
                self.assertEqual(result.returncode, 0, result.stderr)
        received = {m.message["Subject"]: m.message for m in relay.messages}
        for index, (ansi, connection, charset, value) in enumerate(CASES):
            with self.subTest(ansi=ansi, connection=connection, codepage=charset):
                message = received.get("case %d" % index)
                self.assertIsNotNone(message)
                body = message.get_body(("plain",))
                label = body.get_content_charset()
                if charset is not None:
                    self.assertEqual(label, "utf-8" if charset == 65001 else "iso-8859-%d" % charset)
                payload = body.get_payload(decode=True)
                text = payload.decode(label, "replace")
                self.assertEqual(text.encode(label), payload, "bytes that are no %s" % label)
                self.assertIn("\n%s,\r\n" % value, text)
                self.assertIn("\n%s,\r\n" % long_form(value), text)


if __name__ == "__main__":
    unittest.main()
