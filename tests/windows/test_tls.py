"""TLS sends through xp_varnel.dll under Wine (Schannel, TLS 1.2) to the TLS relays of
tests/e2e, trusting the test root through the TlsCaFile setting: STARTTLS and implicit TLS
arrive encrypted, a certificate that fails verification ends the call with 15 before any
credentials or envelope go out, and the Linux host answers each call with the same row."""

import logging
import os
import sys
import unittest

# After this folder, so that the Wine suite's own test modules keep their names.
sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))

from tls_relay import TestPki, TlsRelay  # noqa: E402
from winharness import (as_format1, call_lines, delete_settings_key, run_host, run_linux_host, set_setting,  # noqa: E402
                        windows_path)

USER, PASSWORD, TOKEN = "loader", "s3cret", "ya29.test-token"
PASSWORD_SIGN_IN = [("@smtpusername", "varchar", USER), ("@smtppassword", "varchar", PASSWORD)]
TOKEN_SIGN_IN = [("@smtpusername", "varchar", USER), ("@smtpoauthtoken", "varchar", TOKEN)]

# name, relay, @tls, sign-in
ARRIVING = [
    ("STARTTLS", dict(tls="starttls"), 2, PASSWORD_SIGN_IN),
    ("implicit TLS", dict(tls="implicit"), 3, PASSWORD_SIGN_IN),
    ("XOAUTH2 over STARTTLS", dict(tls="starttls", token=TOKEN), 2, TOKEN_SIGN_IN),
]
# name, relay, @tls, the reasons the TLS layer may give
REFUSED = [
    ("wrong host name", dict(tls="starttls", cert="wrong-name"), 2, ("hostname mismatch",)),
    ("unknown CA", dict(tls="implicit", cert="untrusted"), 3,
     ("unable to get local issuer certificate", "self-signed certificate in certificate chain")),
]


def tls_call(port, tls, sign_in):
    # A host name, not 127.0.0.1: the certificate check compares it with the leaf's names.
    return [("@recipient", "varchar", "to@example.com"),
            ("@from", "varchar", "from@example.com"),
            ("@address", "varchar", "localhost"),
            ("@smtpport", "int", port),
            ("@tls", "int", tls),
            ("@timeout", "int", 20),
            ("@subject", "varchar", "Nightly load"),
            ("@body", "varchar", "Loaded 12 rows.")] + sign_in


class TestTls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pki = TestPki.get()
        delete_settings_key()
        set_setting("TlsCaFile", windows_path(cls.pki.ca))
        # aiosmtpd logs every refused handshake with its traceback; the outcome row tells it.
        cls.relay_log = logging.getLogger("mail.log")
        cls.relay_log_level = cls.relay_log.level
        cls.relay_log.setLevel(logging.CRITICAL)

    @classmethod
    def tearDownClass(cls):
        cls.relay_log.setLevel(cls.relay_log_level)
        delete_settings_key()

    def send(self, relay_kind, tls, sign_in):
        """One call under Wine to a relay that requires sign-in: the outcome (checked against
        the Linux host's answer to the same call) and what the relay recorded of that call."""
        with TlsRelay(credentials=(USER, PASSWORD), **relay_kind) as relay:
            params = tls_call(relay.port, tls, sign_in)
            host = run_host(calls=[call_lines(params)])
            self.assertIsNotNone(host.json, host.stdout + host.stderr)
            recorded = list(relay.lines), list(relay.auth), len(relay.envelopes)
            linux = run_linux_host(params, env=self.pki.env())
        if linux is not None:
            self.assertEqual(as_format1(host.json), linux)
        return (host.json,) + recorded

    def test_sends_arrive_encrypted(self):
        for name, relay_kind, tls, sign_in in ARRIVING:
            with self.subTest(name):
                outcome, lines, auth, arrived = self.send(relay_kind, tls, sign_in)
                self.assertEqual(outcome["rows"], [[0, None, None, None, None]], outcome)
                self.assertEqual(arrived, 1)
                self.assertEqual(auth[-1][1:], (USER, True), auth)
                if "token" in relay_kind:
                    self.assertEqual(auth, [("XOAUTH2", USER, True)])
                # In clear at most the EHLO and STARTTLS before the handshake (RFC 3207).
                clear = [text.split(" ")[0].upper() for text, version in lines if version is None]
                self.assertEqual(clear, [] if tls == 3 else ["EHLO", "STARTTLS"], lines)
                mail = [version for text, version in lines if text.upper().startswith("MAIL FROM:")]
                self.assertEqual(mail, ["TLSv1.2"], lines)

    def test_failed_certificate_check_sends_nothing(self):
        for name, relay_kind, tls, reasons in REFUSED:
            with self.subTest(name):
                outcome, lines, auth, arrived = self.send(relay_kind, tls, PASSWORD_SIGN_IN)
                result, error = outcome["rows"][0][:2]
                self.assertEqual((result, outcome["return"]), (15, 1), outcome)
                self.assertTrue(any(reason in error for reason in reasons), error)
                self.assertEqual((arrived, auth), (0, []))
                commands = [text.split(" ")[0].upper() for text, _ in lines]
                self.assertNotIn("AUTH", commands)
                self.assertNotIn("MAIL", commands)


if __name__ == "__main__":
    unittest.main()
