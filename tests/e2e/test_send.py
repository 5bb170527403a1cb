"""Sends through a real SMTP relay with the varnel command and checks the message as a
MIME parser sees it, the outcome row, the done notices and the return value."""

import os
import re
import subprocess
import tempfile
import threading
import unittest

from relay import (SANITIZED, SENT_ROW, VARNEL, Collector, Relay, header_lines, ipv6_loopback_available, parse_message,
                   run_varnel, sql_text)


def statement(port, **params):
    base = {"recipient": "dba@example.com", "from": "sqlserver@example.com", "address": "127.0.0.1"}
    base.update(params)
    parts = ["@%s=%s" % (k, v if isinstance(v, int) else sql_text(v)) for k, v in base.items()]
    parts.append("@smtpport=%d" % port)
    return "exec master.dbo.xp_Varnel " + ", ".join(parts)


class RefusingCollector(Collector):
    """Refuses every recipient at nobody@."""

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("nobody@"):
            return "550 5.1.1 No such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"


class SendTest(unittest.TestCase):
    def test_json_reports_the_send_and_the_exit_status_is_the_status_code(self):
        with Relay() as relay:
            code, out = run_varnel(statement(relay.port, subject="report", copy_recipients="ops@example.com"))
        self.assertEqual(code, 0, out)
        message_id = parse_message(relay.envelopes[0].content)["Message-ID"]
        self.assertEqual((out["format"], out["accepted"], out["status"]), (1, True, 0))
        self.assertEqual(out["relay"], {"host": "127.0.0.1", "port": relay.port})
        self.assertEqual((out["tls"], out["messageId"]), (None, message_id))
        # The message's size as SIZE counts it: what arrived, before dot-stuffing.
        self.assertEqual(out["size"], len(relay.envelopes[0].content))
        self.assertIsInstance(out["durationMs"], int)

        for no_output in (0, 1):
            with self.subTest(no_output=no_output), Relay(collector=RefusingCollector()) as relay:
                code, out = run_varnel(statement(relay.port, recipient="nobody@example.com", no_output=no_output))
                self.assertEqual(code, 6, out)
                self.assertEqual((out["accepted"], out["status"], out["messageId"], out["size"]),
                                 (False, 6, None, None))
                self.assertEqual(relay.envelopes, [])
                if not no_output:
                    self.assertEqual(out["rows"][0]["SMTPErrorNumber"], 550)
                    self.assertEqual(out["rows"][0]["SMTPErrorMessage"], "5.1.1 No such user")

    def test_json_names_each_attempt_the_accepting_relay_and_the_recipients_left_out(self):
        # Nothing listens on 127.0.0.2: the first relay of the list refuses the connection.
        with Relay(collector=RefusingCollector()) as relay:
            code, out = run_varnel(statement(relay.port, address="127.0.0.2, 127.0.0.1", partialrecipients=1,
                                             recipient="nobody@example.com; dba@example.com"))
        self.assertEqual(code, 19, out)
        self.assertEqual((out["accepted"], out["status"]), (True, 19))
        self.assertEqual([(a["host"], a["port"], a["status"]) for a in out["attempts"]],
                         [("127.0.0.2", relay.port, 3), ("127.0.0.1", relay.port, 19)])
        self.assertEqual(out["acceptedBy"], {"host": "127.0.0.1", "port": relay.port, "attempt": 2})
        self.assertEqual(out["refusedRecipients"], [{"address": "nobody@example.com", "reply": "550 5.1.1 No such user"}])
        self.assertIn("Recipient nobody@example.com refused and left out: 550 5.1.1 No such user\n", out["messages"])
        self.assertEqual(out["rows"][0]["ErrorMessage"], "Sent to some recipients only")
        self.assertEqual([e.rcpt_tos for e in relay.envelopes], [["dba@example.com"]])

    def test_plain_message_arrives_with_exact_headers(self):
        with Relay() as relay:
            code, out = run_varnel(statement(relay.port, subject="Nightly load", body="Loaded 42 rows.\r\n.\r\nDone",
                                             copy_recipients="ops@example.com; oncall@example.com",
                                             blind_copy_recipients="audit@example.com"))
        self.assertEqual(code, 0, out)
        self.assertEqual(out["columns"], ["Result", "ErrorMessage", "SMTPErrorNumber", "SMTPErrorMessage",
                                          "QueryErrorMessage"])
        self.assertEqual(out["rows"], [SENT_ROW])
        self.assertEqual(out["done"], [{"more": True, "count": 1}])
        self.assertEqual(out["return"], 0)
        self.assertEqual(len(relay.envelopes), 1)
        envelope = relay.envelopes[0]
        self.assertEqual(envelope.mail_from, "sqlserver@example.com")
        self.assertEqual(envelope.rcpt_tos, ["dba@example.com", "audit@example.com", "ops@example.com",
                                             "oncall@example.com"])
        lines = header_lines(envelope.content)
        self.assertEqual(lines[0], b"Mime-Version: 1.0")
        self.assertEqual(lines[1], b"From: sqlserver@example.com")
        self.assertRegex(lines[2].decode(),
                         r"^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d [A-Z][a-z][a-z] \d{4} \d\d:\d\d:\d\d \+0000$")
        self.assertRegex(lines[3].decode(), r"^Message-ID: <[0-9a-f]{16}\.[0-9a-f]{16}@example\.com>$")
        self.assertEqual(lines[4:], [b"To: dba@example.com", b"Cc: ops@example.com, oncall@example.com",
                                     b"Subject: Nightly load", b'Content-Type: text/plain; charset="iso-8859-1"'])
        message = parse_message(envelope.content)
        self.assertEqual(message["Subject"], "Nightly load")
        self.assertNotIn("Bcc", message)
        # The lone "." line survives the relay's transparency handling.
        self.assertEqual(message.get_content(), "Loaded 42 rows.\r\n.\r\nDone\r\n")

    def test_large_body_is_held_once(self):
        # 30 MB of body: the command holds it as the server would (the parameter), the
        # procedure reads it once; nothing copies it again on its way to the relay.
        size = 30 * 1000 * 1000
        line = "0123456789" * 9 + "abcdefgh\r\n"
        body = line * (size // len(line))
        with Relay() as relay:
            with tempfile.NamedTemporaryFile("w", suffix=".sql", delete=False) as script:
                script.write(statement(relay.port, subject="Large", body=body))
            try:
                environment = dict(os.environ, VARNEL_HOSTNAME="localhost")
                done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", script.name + ".rss", VARNEL, "--json",
                                       "-i", script.name], capture_output=True, env=environment, timeout=120)
                with open(script.name + ".rss") as rss:
                    peak = int(rss.read().split()[-1]) * 1024
            finally:
                os.unlink(script.name)
                if os.path.exists(script.name + ".rss"):
                    os.unlink(script.name + ".rss")
        self.assertEqual(done.returncode, 0, done.stdout)
        content = relay.envelopes[0].content
        self.assertEqual(content[content.index(b"\r\n\r\n") + 4:], body.encode())
        if not SANITIZED:
            self.assertLess(peak, 2 * len(body) + 8 * 1024 * 1024)

    def test_html_body_priority_importance_and_no_output(self):
        with Relay() as relay:
            code, out = run_varnel(statement(relay.port, body="<p>Hi</p>", html=1, priority=1, importance=3,
                                             stylesheet="p {color: red}", no_output=1))
        self.assertEqual(code, 0)
        self.assertEqual(out["rows"], [])
        self.assertEqual(out["done"], [{"more": True, "count": None}])
        content = relay.envelopes[0].content
        lines = header_lines(content)
        self.assertEqual(lines[1:3], [b"Importance: Low", b"X-Priority: 1"])
        message = parse_message(content)
        self.assertEqual(message.get_content_type(), "text/html")
        self.assertEqual(message.get_content(),
                         '<HTML><HEAD><STYLE TYPE="text/css"><!--p {color: red}--></STYLE></HEAD>'
                         "<BODY><p>Hi</p></BODY></HTML>\r\n")

    def test_login_with_credentials(self):
        with Relay(credentials=("mailer", "s3cret-" + "x" * 40)) as relay:
            # This relay offers no TLS: credentials go in clear only because the call says @tls=0.
            code, out = run_varnel(statement(relay.port, subject="auth", smtpusername="mailer",
                                             smtppassword="s3cret-" + "x" * 40, tls=0))
        self.assertEqual(code, 0, out)
        self.assertEqual(len(relay.envelopes), 1)

    def test_body_arrives_as_written_without_a_line_added(self):
        # The end of data adds no line break to a body that ends with one, and the text
        # part of a multipart message ends where the body ends.
        with Relay() as relay, tempfile.NamedTemporaryFile(suffix=".txt") as attached:
            attached.write(b"attached\r\n")
            attached.flush()
            bodies = ("Two lines\r\nend\r\n", "Blank line at the end\r\n\r\n", "No break at the end")
            for body in bodies:
                for attachments in (None, attached.name):
                    params = {"body": body} if attachments is None else {"body": body, "attachments": attachments}
                    code, out = run_varnel(statement(relay.port, **params))
                    self.assertEqual(code, 0, out)
        received = [parse_message(envelope.content) for envelope in relay.envelopes]
        for index, body in enumerate(bodies):
            single, multipart = received[2 * index], received[2 * index + 1]
            # A single-part body's last line still ends with the line break SMTP gives it.
            self.assertEqual(single.get_content(), body if body.endswith("\r\n") else body + "\r\n")
            text = next(part for part in multipart.iter_parts() if part.get_content_type() == "text/plain"
                        and part.get_filename() is None)
            self.assertEqual(text.get_content(), body)

    def test_positional_form_uses_the_default_sender(self):
        with Relay() as relay:
            code, out = run_varnel("exec xp_Varnel 'dba@example.com', NULL, '127.0.0.1', 'Positional', NULL, NULL, "
                                   "'body', NULL, 30, %d" % relay.port)
        self.assertEqual(code, 0, out)
        envelope = relay.envelopes[0]
        self.assertEqual(envelope.mail_from, "sqlserver@localhost")
        parse_message(envelope.content)

    @unittest.skipUnless(ipv6_loopback_available(), "no IPv6 loopback on this machine")
    def test_relay_on_the_ipv6_loopback(self):
        # The socket is bound for IPv4 first; a relay only reachable over IPv6 still gets
        # its mail, whether the address is written bare or in brackets.
        with Relay(host="::1") as relay:
            for address in ("::1", "[::1]"):
                code, out = run_varnel(statement(relay.port, address=address, subject="over " + address))
                self.assertEqual(code, 0, out)
                self.assertEqual(out["rows"], [SENT_ROW])
        subjects = [parse_message(e.content)["Subject"] for e in relay.envelopes]
        self.assertEqual(subjects, ["over ::1", "over [::1]"])

    def test_eight_calls_at_once(self):
        results = {}
        with Relay() as relay:
            def send(i):
                results[i] = run_varnel(statement(relay.port, subject="call %d" % i, body="body %d" % i))[0]
            threads = [threading.Thread(target=send, args=(i,)) for i in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        self.assertEqual(results, {i: 0 for i in range(8)})
        subjects = sorted(parse_message(e.content)["Subject"] for e in relay.envelopes)
        self.assertEqual(subjects, sorted("call %d" % i for i in range(8)))
        for envelope in relay.envelopes:
            message = parse_message(envelope.content)
            self.assertEqual(message.get_content(), "body %s\r\n" % message["Subject"].split()[1])

    def test_refused_call_answers_with_usage(self):
        code, out = run_varnel("exec xp_Varnel @recipient='a@example.com'")
        self.assertEqual(code, 64)
        self.assertEqual((out["accepted"], out["status"], out["return"]), (False, None, 1))
        self.assertEqual(out["messages"][0],
                         "The minimum parameters are Recipient, From and Address. All must be supplied.\n")
        self.assertTrue(out["messages"][1].startswith("Version 3.1 201103\nQuick format - \n"))
        self.assertEqual(out["done"], [{"more": True, "count": None}])

    def test_header_values_cannot_add_lines(self):
        with Relay() as relay:
            code, _ = run_varnel(statement(relay.port, subject="a\nBcc: evil@example.com"))
        self.assertEqual(code, 0)
        message = parse_message(relay.envelopes[0].content)
        self.assertNotIn("Bcc", message)
        self.assertEqual(re.sub(r"\s+", " ", message["Subject"]), "a Bcc: evil@example.com")


if __name__ == "__main__":
    unittest.main()
