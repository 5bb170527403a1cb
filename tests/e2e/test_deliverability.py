"""Mail as a spam filter scores it: SpamAssassin's local rules (no network tests, no
Bayes), run on a plain report, an HTML report, a report in accented text and a mail with
attachments as a relay delivers them. The loopback credit (ALL_TRUSTED) is scored 0, so that it hides nothing.
Each message scores at most 0.5."""

import os
import re
import sqlite3
import subprocess
import tempfile
import unittest
from email.utils import formatdate

from relay import Relay, parse_message, run_varnel, sql_text

MAX_SCORE = 0.5
PREFERENCES = "score ALL_TRUSTED 0\nuse_bayes 0\nbayes_auto_learn 0\n"


def send(relay, **params):
    base = {"recipient": "Database Team <dba@example.com>", "from": "SQL Server <sqlserver@example.com>",
            "address": "127.0.0.1"}
    base.update(params)
    parts = ["@%s=%s" % (k, v if isinstance(v, int) else sql_text(v)) for k, v in base.items()]
    parts.append("@smtpport=%d" % relay.port)
    code, out = run_varnel("exec xp_Varnel " + ", ".join(parts))
    if code != 0:
        raise AssertionError("send failed: %r" % (out,))
    return relay.envelopes[-1].content


def as_delivered(raw):
    """The message with the trace field the receiving relay adds (RFC 5321 section 4.4)."""
    stamp = formatdate(usegmt=True).encode("ascii")  # now: a filter scores trace dates against its clock
    received = (b"Received: from localhost (localhost [127.0.0.1])\r\n"
                b"\tby mail.example.com (Postfix) with ESMTP id 4F1A2B3C4D\r\n"
                b"\tfor <dba@example.com>; " + stamp + b"\r\n")
    return received + raw


class DeliverabilityTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="varnel-sa-")
        cls.preferences = os.path.join(cls.dir, "user_prefs")
        with open(cls.preferences, "w") as stream:
            stream.write(PREFERENCES)
        cls.database = os.path.join(cls.dir, "load.db")
        with sqlite3.connect(cls.database) as db:
            db.execute("create table runs (job text, started text, rows_loaded int, status text)")
            db.executemany("insert into runs values (?, ?, ?, ?)", [
                ("customers", "2026-12-08 01:00", 15230, "ok"), ("orders", "2026-12-08 01:12", 80211, "ok"),
                ("invoices", "2026-12-08 01:40", 3120, "late")])

    def score(self, raw):
        parse_message(raw)
        environment = dict(os.environ, HOME=self.dir)
        done = subprocess.run(["spamassassin", "-L", "-t", "-p", self.preferences], input=as_delivered(raw),
                              capture_output=True, timeout=300, env=environment)
        report = done.stdout.decode("utf-8", "replace")
        match = re.search(r"^X-Spam-Status: \w+, score=(-?[0-9.]+)[^\n]*(?:\n[ \t][^\n]*)*", report, re.M)
        self.assertIsNotNone(match, report[-2000:] + done.stderr.decode("utf-8", "replace")[-2000:])
        return float(match.group(1)), match.group(0)

    def test_plain_report(self):
        body = ("Nightly load finished at 01:52.\r\n\r\n"
                "customers  15230 rows  ok\r\norders     80211 rows  ok\r\ninvoices    3120 rows  late\r\n\r\n"
                "The invoices job started 28 minutes after its window; see the job history for details.\r\n")
        with Relay() as relay:
            raw = send(relay, subject="Nightly load: 3 jobs, 1 late", body=body)
        score, status = self.score(raw)
        self.assertLessEqual(score, MAX_SCORE, status)

    def test_html_report(self):
        body = ("<html><body><h1>Nightly load</h1><p>All jobs have finished. One job started late.</p>"
                "<<query>><p>Rows are counted after the load; the history keeps every run.</p></body></html>")
        with Relay() as relay:
            raw = send(relay, subject="Nightly load report", body=body, html=1,
                       query="select job, started, rows_loaded, status from runs", qdatabase=self.database, qbind=0,
                       qtableattribute="border=1", qtablecaption="Jobs")
        score, status = self.score(raw)
        self.assertLessEqual(score, MAX_SCORE, status)

    def test_report_with_accented_text(self):
        with Relay() as relay:
            raw = send(relay, subject="Chargement de nuit termin\u00e9 \u00e0 01:52",
                       body="Le chargement est termin\u00e9. Les factures ont d\u00e9marr\u00e9 en retard.",
                       **{"from": "Serveur SQL \u00c9quipe <sqlserver@example.com>"})
        score, status = self.score(raw)
        self.assertLessEqual(score, MAX_SCORE, status)

    def test_mail_with_attachments(self):
        paths = []
        for name, data in (("load.log", b"01:00 customers start\n01:09 customers 15230 rows\n01:52 done\n"),
                           ("runs.csv", b"job,rows\ncustomers,15230\norders,80211\ninvoices,3120\n"),
                           ("chart.png", b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 8)):
            path = os.path.join(self.dir, name)
            with open(path, "wb") as stream:
                stream.write(data)
            paths.append(path)
        with Relay() as relay:
            raw = send(relay, subject="Nightly load files", body="The log, the row counts and the chart are attached.",
                       attachments=";".join(paths))
        score, status = self.score(raw)
        self.assertLessEqual(score, MAX_SCORE, status)


if __name__ == "__main__":
    unittest.main()
