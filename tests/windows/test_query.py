"""A query run by xp_varnel.dll through odbc32 (Wine hands the calls to unixODBC) to the
SQLite ODBC driver named in the registry, its results in the body and as an attachment."""

import os
import sqlite3
import tempfile
import unittest

from winharness import (Relay, as_format1, call_lines, delete_settings_key, run_host, run_linux_host,
                        set_setting)


class TestQuery(unittest.TestCase):
    def setUp(self):
        delete_settings_key()
        set_setting("OdbcDriver", "SQLite3")
        self.folder = tempfile.TemporaryDirectory()
        # The driver is a Linux library behind Wine's odbc32: it opens the file by its
        # Linux path.
        self.database = os.path.join(self.folder.name, "load.db")
        with sqlite3.connect(self.database) as connection:
            connection.execute("create table loads (name text, loaded int)")
            connection.executemany("insert into loads values (?, ?)", [("alpha", 12), ("beta", 7)])

    def tearDown(self):
        delete_settings_key()
        self.folder.cleanup()

    def params(self, port, subject, **extra):
        params = [("@recipient", "varchar", "to@example.com"), ("@from", "varchar", "from@example.com"),
                  ("@address", "varchar", "127.0.0.1"), ("@smtpport", "int", port), ("@timeout", "int", 10),
                  ("@subject", "varchar", subject), ("@body", "varchar", "Loads:"),
                  ("@query", "varchar", "select name, loaded from loads order by name"),
                  ("@qdatabase", "varchar", self.database)]
        for name, (type_name, value) in extra.items():
            params.append(("@" + name, type_name, value))
        return params

    def test_results_in_the_body_and_as_attachment(self):
        with Relay() as relay:
            result = run_host(calls=[
                call_lines(self.params(relay.port, "in body")),
                call_lines(self.params(relay.port, "as attachment", qasattachments=("int", 1),
                                       qfilename=("varchar", "loads.txt"))),
            ])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([call["rows"] for call in result.json], [[[0, None, None, None, None]]] * 2)
        received = {m.message["Subject"]: m for m in relay.messages}
        self.assertEqual(set(received), {"in body", "as attachment"})

        body = received["in body"].message.get_content()
        self.assertTrue(body.startswith("Loads:"), body)
        for text in ("name", "loaded", "alpha", "12", "beta", "7"):
            self.assertIn(text, body)
        self.assertLess(body.index("alpha"), body.index("beta"))

        message = received["as attachment"].message
        self.assertEqual(message.defects, [])
        parts = {part.get_filename(): part for part in message.iter_attachments()}
        self.assertEqual(set(parts), {"loads.txt"})
        table = parts["loads.txt"].get_payload(decode=True).decode("latin-1")
        self.assertIn("alpha", table)
        self.assertIn("beta", table)
        self.assertNotIn("alpha", message.get_body(("plain",)).get_content())

    def test_database_that_cannot_be_opened(self):
        missing = os.path.join(self.folder.name, "no-such-folder", "load.db")
        with Relay() as relay:
            params = [p if p[0] != "@qdatabase" else ("@qdatabase", "varchar", missing)
                      for p in self.params(relay.port, "unreachable")]
            result = run_host(calls=[call_lines(params)])
        self.assertEqual(result.returncode, 0, result.stderr)
        row = result.json["rows"][0]
        self.assertEqual(row[1:4], [None, None, None])
        self.assertTrue(row[4], "no query error text in the outcome row")
        self.assertEqual(relay.messages, [])

    def test_same_body_as_the_linux_host(self):
        with Relay() as relay:
            params = self.params(relay.port, "parity")
            windows = run_host(calls=[call_lines(params)])
            linux = run_linux_host(params)
        if linux is None:
            self.skipTest("the Linux host is not built (VARNEL_BIN)")
        self.assertEqual(as_format1(windows.json), linux)
        bodies = [m.message.get_content() for m in relay.messages]
        self.assertEqual(len(bodies), 2)
        self.assertEqual(bodies[0], bodies[1])


if __name__ == "__main__":
    unittest.main()
