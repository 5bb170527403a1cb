"""Query results in the mail through the varnel command: real ODBC drivers (SQLite in
every run, PostgreSQL when the test script started a cluster), a real relay, and the
message parsed with Python's email package."""

import os
import resource
import sqlite3
import tempfile
import unittest

from relay import SANITIZED, SENT_ROW, Relay, parse_message, run_varnel, sql_text

PG_PORT = os.environ.get("VARNEL_PG_PORT")


def call(relay, options=(), env=None, **params):
    base = {"recipient": "dba@example.com", "from": "sqlserver@example.com", "address": "127.0.0.1"}
    base.update(params)
    parts = ["@%s=%s" % (k, v if isinstance(v, int) else sql_text(v)) for k, v in base.items()]
    if relay is not None:
        parts.append("@smtpport=%d" % relay.port)
    return run_varnel("exec xp_Varnel " + ", ".join(parts), *options, env=env)


# About 41 MB of rows: more than the whole process may take (32 MiB), far more than the
# 8 MiB that captured rows may take in memory.
LARGE_ROWS = 100000
LARGE_QUERY = "select i, note from large order by i"


class SQLiteQueryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.database = os.path.join(tempfile.mkdtemp(prefix="varnel-q-"), "stock.db")
        with sqlite3.connect(cls.database) as db:
            db.execute("create table stock (item varchar(10), quantity int, note text)")
            db.executemany("insert into stock values (?, ?, ?)",
                           [("bolts", 12, "<b>&</b>"), ("nuts", None, None), ("a,b", 3, "line\nbreak")])
            db.execute("create table large (i int, note text)")
            db.execute("with recursive n(i) as (select 1 union all select i + 1 from n where i < %d) "
                       "insert into large select i, printf('%%.400c', 'x') || i from n" % LARGE_ROWS)

    def test_html_table_at_the_placeholders(self):
        with Relay() as relay:
            code, out = call(relay, query="select item, quantity from stock order by quantity desc",
                             qdatabase=self.database, qbind=0, html=1, body="First <<query>> middle <<query>> end",
                             qtableattribute="BORDER=1", qtrattribute="align=left", qtablecaption="Stock")
        self.assertEqual(code, 0, out)
        self.assertEqual(out["rows"], [SENT_ROW])
        body = parse_message(relay.envelopes[0].content).get_content()
        table = ("\r\n<TABLE BORDER=1 ><CAPTION>Stock</CAPTION><TR><TH>item</TH><TH>quantity</TH></TR>"
                 "<TR align=left ><TD>bolts</TD><TD>12</TD></TR>\r\n"
                 "<TR align=left ><TD>a,b</TD><TD>3</TD></TR>\r\n"
                 "<TR align=left ><TD>nuts</TD><TD>&nbsp;</TD></TR></TABLE>\r\n\r\n")
        self.assertEqual(body, "<HTML><BODY>First " + table + " middle  end</BODY></HTML>\r\n")

    def test_text_results_after_the_body_with_separators(self):
        with Relay() as relay:
            code, out = call(relay, query="select item, quantity from stock where quantity is not null order by item",
                             qdatabase=self.database, qbind=0, body="Stock:\r\n", qfieldsep="\t", qrowsep="\r\n")
        self.assertEqual(code, 0, out)
        body = parse_message(relay.envelopes[0].content).get_content()
        self.assertEqual(body, "Stock:\r\nitem\tquantity\r\na,b\t3\t\r\nbolts\t12\t\r\n")

    def test_batch_of_statements_gives_result_sets_in_order(self):
        # The SQLite driver takes one statement per call: the batch is run statement by
        # statement; quotes and comments holding ";" do not cut it.
        query = ("select item from stock where item = 'a,b' /* ; */; -- a comment; here\n"
                 "update stock set quantity = quantity where 1 = 0;"
                 "select count(*) as n, ';' as semi from stock;")
        with Relay() as relay:
            code, out = call(relay, query=query, qdatabase=self.database, qbind=0, body="[<<query>>][<<query>>]")
        self.assertEqual(code, 0, out)
        self.assertEqual(out["rows"], [SENT_ROW])
        body = parse_message(relay.envelopes[0].content).get_content()
        self.assertEqual(body, "[item\r\na,b,\r\n][n,semi\r\n3,;,\r\n]\r\n")

    def test_large_result_arrives_whole_with_memory_bounded(self):
        folder = tempfile.mkdtemp(prefix="varnel-rows-")
        with Relay() as relay:
            code, out = call(relay, env={"VARNEL_TEMP_FOLDER": folder}, query=LARGE_QUERY, qdatabase=self.database,
                             qbind=0)
        self.assertEqual(code, 0, out)
        self.assertEqual(out["rows"], [SENT_ROW])
        raw = relay.envelopes[0].content
        self.assertNotIn(b"Content-Transfer-Encoding", raw)
        lines = raw.split(b"\r\n\r\n", 1)[1].split(b"\r\n")
        self.assertEqual(lines[0], b"i,note")
        self.assertEqual(len(lines), LARGE_ROWS + 2)  # the heading, the rows, nothing after the last line end
        for i in range(1, LARGE_ROWS + 1):
            if lines[i] != b"%d,%s%d," % (i, b"x" * 400, i):
                self.fail("row %d arrived as %r" % (i, lines[i][:40]))
        # The rows went through a file of the process's own, gone with it.
        self.assertEqual(os.listdir(folder), [])
        if not SANITIZED:
            self.assertLess(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, 32 * 1024)

    def test_rows_that_cannot_be_kept_send_no_mail(self):
        folder = os.path.join(tempfile.mkdtemp(prefix="varnel-rows-"), "missing")
        with Relay() as relay:
            code, out = call(relay, env={"VARNEL_TEMP_FOLDER": folder}, query=LARGE_QUERY, qdatabase=self.database,
                             qbind=0)
        self.assertEqual(code, 255, out)  # status -1: the query failed, nothing was sent
        [row] = out["rows"]
        result, error = row["Result"], row["QueryErrorMessage"]
        self.assertEqual(result, -1)
        self.assertIn("The rows of the result could not be kept: no temporary file could be created in %s "
                      "(TempFolder setting)" % folder, error)
        self.assertEqual(relay.envelopes, [])

    def test_later_failing_statement_keeps_the_earlier_results(self):
        with Relay() as relay:
            code, out = call(relay, query="select 1 as one; select * from no_such_table; select 3 as three",
                             qdatabase=self.database, qbind=0)
        self.assertEqual(code, 0, out)
        self.assertIn("no such table", out["rows"][0]["QueryErrorMessage"])
        body = parse_message(relay.envelopes[0].content).get_content()
        self.assertEqual(body, "one\r\n1,\r\n")

    def test_syntax_error_still_sends_and_reports_the_error(self):
        with Relay() as relay:
            code, out = call(relay, query="selec nothing", qdatabase=self.database, qbind=0, body="b")
        self.assertEqual(code, 0, out)
        self.assertEqual(len(relay.envelopes), 1)
        row = out["rows"][0]
        self.assertEqual(dict(row, QueryErrorMessage=None), SENT_ROW)
        self.assertIn("syntax error", row["QueryErrorMessage"])
        self.assertTrue(row["QueryErrorMessage"].startswith("OLEDB Message "))

    def test_non_ascii_text_travels_in_the_mail_code_page(self):
        # The driver speaks UTF-8; the procedure's strings and the mail are Latin-1
        # (code page 1252): names, values and the query text are converted both ways.
        database = os.path.join(tempfile.mkdtemp(prefix="varnel-q-"), "caf\u00e9.db")
        with sqlite3.connect(database) as db:
            db.execute('create table u ("na\u00efve" varchar(10))')
            db.execute("insert into u values ('caf\u00e9'), ('\u4e2d')")
        with Relay() as relay:
            code, out = call(relay, query="select \"na\u00efve\", 'd\u00e9j\u00e0' as w from u",
                             qdatabase=database, qbind=0)
        self.assertEqual(code, 0, out)
        self.assertEqual(out["rows"], [SENT_ROW])
        body = parse_message(relay.envelopes[0].content).get_content()
        self.assertEqual(body, "na\u00efve,w\r\ncaf\u00e9,d\u00e9j\u00e0,\r\n?,d\u00e9j\u00e0,\r\n")

    def test_rows_too_long_for_smtp_arrive_whole(self):
        # aiosmtpd refuses lines of over 1,000 octets, as RFC 5321 allows: a body that
        # holds one goes out quoted-printable and decodes to the same text.
        wide = "".join(chr(ord("a") + i % 26) for i in range(3000))
        database = os.path.join(tempfile.mkdtemp(prefix="varnel-q-"), "wide.db")
        with sqlite3.connect(database) as db:
            db.execute("create table wide (k int, v text)")
            db.execute("insert into wide values (1, ?)", (wide,))
        with Relay() as relay:
            code, out = call(relay, query="select k, v from wide", qdatabase=database, qbind=0,
                             body="Wide = 1:\r\n<<query>>end ")
            code_html, out_html = call(relay, query="select k, v from wide", qdatabase=database, qbind=0,
                                       html=1, body="<<query>>", attachments=database)
        self.assertEqual((code, code_html), (0, 0), (out, out_html))
        self.assertEqual(out["rows"], [SENT_ROW])
        self.assertEqual(out_html["rows"], [SENT_ROW])
        text, html = (parse_message(e.content) for e in relay.envelopes)
        self.assertEqual(text["Content-Transfer-Encoding"], "quoted-printable")
        self.assertEqual(text.get_content().replace("\r\n", "\n"),
                         "Wide = 1:\nk,v\n1," + wide + ",\nend ")
        body = html.get_body(("html",))
        self.assertEqual(body["Content-Transfer-Encoding"], "quoted-printable")
        self.assertIn("<TR><TD>1</TD><TD>" + wide + "</TD></TR></TABLE>", body.get_content())
        attachment = next(html.iter_attachments())
        with open(database, "rb") as file:
            self.assertEqual(attachment.get_content(), file.read())

    def test_unreachable_database_sends_nothing(self):
        with Relay() as relay:
            code, out = call(relay, query="select 1", qdatabase="/nonexistent-dir/x.db", qbind=0)
            code2, out2 = call(relay, query="select 1", qdatabase="/nonexistent-dir/x.db", qbind=0, no_output=1)
        self.assertEqual(relay.envelopes, [])
        # Status -1 as an exit status, with the row or without it.
        self.assertEqual((code, code2), (255, 255))
        row = out["rows"][0]
        self.assertEqual([row[name] for name in ("Result", "ErrorMessage", "SMTPErrorNumber", "SMTPErrorMessage")],
                         [-1, None, None, None])
        self.assertTrue(row["QueryErrorMessage"])
        self.assertEqual((out["status"], out["accepted"], out["relay"], out["messageId"]), (-1, False, None, None))
        self.assertEqual(out2["return"], 65535)


@unittest.skipUnless(PG_PORT, "no PostgreSQL cluster (scripts/with-postgres starts one)")
class PostgresQueryTest(unittest.TestCase):
    def pg(self, relay, password=None, **params):
        options = ("--odbc-driver", "PostgreSQL Unicode", "--odbc-attributes", "PORT=%s" % PG_PORT)
        return call(relay, options, qserver="127.0.0.1", qdatabase=os.environ["VARNEL_PG_DATABASE"],
                    quser=os.environ["VARNEL_PG_USER"], qpassword=password or os.environ["VARNEL_PG_PASSWORD"],
                    qbind=0, **params)

    def test_two_result_sets_in_order(self):
        with Relay() as relay:
            code, out = self.pg(relay, query="select 1 as a, 'x' as b; select 2 as c", body="<<query>>|<<query>>")
        self.assertEqual(code, 0, out)
        body = parse_message(relay.envelopes[0].content).get_content()
        # Bare line feeds of the default row separator travel as CR LF.
        self.assertEqual(body, "a,b\r\n1,x,\r\n|c\r\n2,\r\n")

    def test_non_ascii_query_and_values(self):
        with Relay() as relay:
            code, out = self.pg(relay, query="select chr(233) as e, '\u00fcber' as u")
        self.assertEqual(code, 0, out)
        self.assertEqual(out["rows"][0]["QueryErrorMessage"], None)
        body = parse_message(relay.envelopes[0].content).get_content()
        self.assertEqual(body, "e,u\r\n\u00e9,\u00fcber,\r\n")

    def test_wrong_password_sends_nothing(self):
        with Relay() as relay:
            code, out = self.pg(relay, password="wrong", query="select 1")
        self.assertEqual(relay.envelopes, [])
        self.assertEqual(out["rows"][0]["Result"], -1)
        self.assertIn("password authentication failed", out["rows"][0]["QueryErrorMessage"])


if __name__ == "__main__":
    unittest.main()
