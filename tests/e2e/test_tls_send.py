"""Sends through real TLS relays (aiosmtpd with STARTTLS or implicit TLS, a throwaway PKI):
each @tls mode, certificate failures (status 15, nothing secret sent), the mechanism chosen
from the EHLO list, refused credentials and tokens, the SIZE limit, old protocols."""

import os
import tempfile
import unittest

from relay import parse_message, run_varnel, sql_text
from tls_relay import TestPki, TlsRelay


def send(relay, env=None, **params):
    base = {"recipient": "dba@example.com", "from": "sqlserver@example.com", "address": "localhost",
            "subject": "tls", "body": "over TLS"}
    base.update(params)
    parts = ["@%s=%s" % (k, v if isinstance(v, int) else sql_text(v)) for k, v in base.items()]
    parts.append("@smtpport=%d" % relay.port)
    environment = TestPki.get().env()
    environment.update(env or {})
    code, out = run_varnel("exec xp_Varnel " + ", ".join(parts), env=environment)
    # The exit status is the outcome's status code (0: accepted).
    if out["rows"]:
        assert out["rows"][0]["Result"] == code, (code, out)
    return code, out


def outcome(out):
    """The outcome row as a dict (column name -> value)."""
    return out["rows"][0]


class TlsSendTest(unittest.TestCase):
    def assertDelivered(self, relay, code, out, tls=True):
        self.assertEqual(code, 0, out)
        self.assertEqual(len(relay.envelopes), 1)
        parse_message(relay.envelopes[0].content)
        mail = [line for line in relay.lines if line[0].upper().startswith("MAIL FROM")]
        self.assertEqual(len(mail), 1)
        self.assertEqual(mail[0][1] is not None, tls, relay.lines)
        # --json names the protocol and cipher the session used, and only for a TLS session.
        if tls:
            self.assertIn(out["tls"]["version"], ("TLSv1.2", "TLSv1.3"), out)
            self.assertRegex(out["tls"]["cipher"], r"^[A-Z0-9_-]+$", out)
        else:
            self.assertIsNone(out["tls"], out)

    def assertTlsFailure(self, relay, code, out, words):
        self.assertEqual(code, 15, out)
        row = outcome(out)
        self.assertIn("TLS could not be established", row["ErrorMessage"])
        self.assertIn(words, row["ErrorMessage"])
        self.assertEqual(relay.envelopes, [])
        self.assertFalse([c for c in relay.commands() if c.upper().startswith(("AUTH", "MAIL"))], relay.lines)

    def test_each_mode(self):
        for mode, tls, secured in ((1, "starttls", True), (2, "starttls", True), (3, "implicit", True),
                                   (0, "starttls", False), (1, None, False)):
            with self.subTest(mode=mode, relay=tls), TlsRelay(tls=tls) as relay:
                code, out = send(relay, tls=mode)
                self.assertDelivered(relay, code, out, tls=secured)
                if mode == 0:
                    self.assertEqual(relay.commands()[0], "HELO [127.0.0.1]")

    def test_credentials_without_mode_use_starttls(self):
        with TlsRelay(credentials=("mailer", "s3cret")) as relay:
            code, out = send(relay, smtpusername="mailer", smtppassword="s3cret")
            self.assertDelivered(relay, code, out)
            self.assertEqual([a[2] for a in relay.auth], [True])

    def test_certificate_failures(self):
        for cert, words in (("wrong-name", "hostname mismatch"), ("expired", "expired"),
                            ("untrusted", "issuer")):
            for tls in ("starttls", "implicit"):
                with self.subTest(cert=cert, tls=tls), TlsRelay(tls=tls, cert=cert,
                                                                credentials=("mailer", "s3cret")) as relay:
                    code, out = send(relay, tls=2 if tls == "starttls" else 3, smtpusername="mailer",
                                     smtppassword="s3cret")
                    self.assertTlsFailure(relay, code, out, words)

    def test_no_verification_accepts_any_certificate_and_says_so(self):
        with TlsRelay(cert="wrong-name") as relay, tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "varnel.log")
            code, out = send(relay, tls=2, tlsverify=0, debug=1, debugfilename=log)
            self.assertDelivered(relay, code, out)
            with open(log, encoding="latin-1") as stream:
                self.assertIn("not verified", stream.read())

    def test_required_but_not_offered(self):
        with TlsRelay(tls=None) as relay:
            code, out = send(relay, tls=2)
            self.assertTlsFailure(relay, code, out, "does not offer STARTTLS")

    def test_plaintext_injected_after_starttls(self):
        with TlsRelay(inject_after_starttls=b"250 injected\r\n") as relay:
            code, out = send(relay, tls=2)
            self.assertTlsFailure(relay, code, out, "after its STARTTLS reply")

    def test_old_protocols_refused(self):
        with TlsRelay(max_version="TLSv1_1") as relay:
            code, out = send(relay, tls=2)
            self.assertTlsFailure(relay, code, out, "")

    def test_mechanism_chosen_from_the_list(self):
        for exclude, token, mechanism in ((["LOGIN"], None, "PLAIN"), ([], None, "LOGIN"),
                                          ([], "tok-123", "XOAUTH2")):
            with self.subTest(mechanism=mechanism), TlsRelay(credentials=("mailer", "s3cret"), token=token,
                                                             exclude=exclude) as relay:
                params = {"smtpusername": "mailer", "smtppassword": "s3cret"}
                if token:
                    params["smtpoauthtoken"] = token
                code, out = send(relay, tls=2, **params)
                self.assertDelivered(relay, code, out)
                self.assertEqual(relay.auth, [(mechanism, "mailer", True)])

    def test_refused_password_and_token(self):
        for params, token in (({"smtppassword": "wrong"}, None), ({"smtpoauthtoken": "stale"}, "fresh")):
            with self.subTest(params=params), TlsRelay(credentials=("mailer", "s3cret"), token=token) as relay:
                code, out = send(relay, tls=2, smtpusername="mailer", **params)
                self.assertEqual(code, 6, out)
                self.assertEqual(outcome(out)["SMTPErrorNumber"], 535)
                self.assertEqual(relay.envelopes, [])

    def test_credentials_never_logged(self):
        with TlsRelay(credentials=("mailer", "s3cret")) as relay, tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "varnel.log")
            code, out = send(relay, tls=2, smtpusername="mailer", smtppassword="s3cret", debug=1,
                             debugfilename=log)
            self.assertDelivered(relay, code, out)
            with open(log, encoding="latin-1") as stream:
                text = stream.read()
            self.assertNotIn("s3cret", text)
            self.assertNotIn("AGZvbwBi", text)
            self.assertRegex(text, r"TLS established with localhost: TLSv1\.[23], cipher [A-Z0-9_-]+")

    def test_attachments_past_the_size_limit_end_before_mail(self):
        with TlsRelay(data_size_limit=100000) as relay, tempfile.NamedTemporaryFile(suffix=".bin") as big:
            big.write(os.urandom(300000))
            big.flush()
            code, out = send(relay, tls=2, attachments=big.name)
            self.assertEqual(code, 6, out)
            self.assertIn("100000", outcome(out)["SMTPErrorMessage"])
            self.assertFalse([c for c in relay.commands() if c.upper().startswith("MAIL")])


if __name__ == "__main__":
    unittest.main()
