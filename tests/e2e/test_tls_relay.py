"""The TLS test relays and PKI themselves, driven by Python's smtplib: what each variant
offers, accepts and records, so that the end-to-end cases built on them stand on firm ground."""

import base64
import smtplib
import ssl
import unittest

from tls_relay import TestPki, TlsRelay


def client_context(verify=True):
    context = ssl.create_default_context(cafile=TestPki.get().ca)
    if not verify:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    return context


def xoauth2(user, token):
    return base64.b64encode(("user=%s\x01auth=Bearer %s\x01\x01" % (user, token)).encode()).decode()


class TlsRelayTest(unittest.TestCase):
    def send(self, relay, implicit=False, login=None, mechanism=None, token=None, verify=True):
        """One message through the relay; returns the EHLO features seen under TLS."""
        if implicit:
            client = smtplib.SMTP_SSL("127.0.0.1", relay.port, context=client_context(verify), timeout=10)
        else:
            client = smtplib.SMTP("127.0.0.1", relay.port, timeout=10)
            client.ehlo("client.example")
            client.starttls(context=client_context(verify))
        with client:
            client.ehlo("client.example")
            features = dict(client.esmtp_features)
            if token is not None:
                code, _ = client.docmd("AUTH", "XOAUTH2 " + xoauth2("mailer", token))
                if code == 334:
                    code, _ = client.docmd("")
                self.assertIn(code, (235, 535))
                if code != 235:
                    return features, code
            elif login is not None:
                if mechanism:
                    client.user, client.password = login
                    client.auth(mechanism, getattr(client, "auth_" + mechanism.lower()))
                else:
                    client.login(*login)
            client.sendmail("a@example.com", ["b@example.com"], b"Subject: x\r\n\r\nbody\r\n")
        return features, 250

    def test_variants(self):
        cases = [
            ("starttls, PLAIN", dict(tls="starttls", credentials=("mailer", "pw")), dict(login=("mailer", "pw"), mechanism="PLAIN"),
             "LOGIN PLAIN", [("PLAIN", "mailer", True)]),
            ("implicit, LOGIN", dict(tls="implicit", credentials=("mailer", "pw")),
             dict(implicit=True, login=("mailer", "pw"), mechanism="LOGIN"), "LOGIN PLAIN", [("LOGIN", "mailer", True)]),
            ("XOAUTH2 accepted, LOGIN excluded", dict(token="tok", credentials=("mailer", "pw"), exclude=["LOGIN"]),
             dict(token="tok"), "PLAIN XOAUTH2", [("XOAUTH2", "mailer", True)]),
            ("XOAUTH2 refused", dict(token="tok", credentials=("mailer", "pw")), dict(token="bad"),
             "LOGIN PLAIN XOAUTH2", [("XOAUTH2", "mailer", False)]),
            ("wrong-name cert, unverified client", dict(cert="wrong-name"), dict(verify=False), "LOGIN PLAIN", []),
        ]
        for name, relay_args, send_args, mechanisms, auth in cases:
            with self.subTest(name), TlsRelay(**relay_args) as relay:
                features, code = self.send(relay, **send_args)
                self.assertEqual(features.get("auth", "").split(), mechanisms.split())
                self.assertEqual(relay.auth, auth)
                self.assertEqual(len(relay.envelopes), 1 if code == 250 else 0)
                # Everything after the handshake was recorded as encrypted.
                after = relay.commands().index("STARTTLS") + 1 if "STARTTLS" in relay.commands() else 0
                self.assertTrue(relay.lines[after:] and all(version for _, version in relay.lines[after:]), relay.lines)
                self.assertEqual(relay.commands()[-1], "QUIT")
                self.assertEqual("mail FROM:<a@example.com>" in relay.commands(), code == 250)

    def test_starttls_relay_refuses_auth_in_clear_and_records_it(self):
        with TlsRelay(credentials=("mailer", "pw")) as relay, smtplib.SMTP("127.0.0.1", relay.port, timeout=10) as c:
            c.ehlo("x")
            self.assertNotIn("auth", c.esmtp_features)
            self.assertEqual(c.docmd("AUTH", "PLAIN AG1haWxlcgBwdw==")[0], 538)
        self.assertIn(("AUTH PLAIN AG1haWxlcgBwdw==", None), relay.lines)

    def test_certificates_fail_as_named(self):
        for cert, reason in (("wrong-name", "Hostname mismatch"), ("expired", "certificate has expired"),
                             ("untrusted", "unable to get local issuer certificate")):
            with self.subTest(cert), TlsRelay(tls="implicit", cert=cert) as relay:
                with self.assertRaises(ssl.SSLCertVerificationError) as caught:
                    smtplib.SMTP_SSL("localhost", relay.port, context=client_context(), timeout=10)
                self.assertIn(reason, str(caught.exception))

    def test_old_protocol_only_relay(self):
        with TlsRelay(tls="implicit", max_version="TLSv1_1") as relay:
            with self.assertRaises(ssl.SSLError):
                smtplib.SMTP_SSL("127.0.0.1", relay.port, context=client_context(), timeout=10)
            old = client_context()
            old.set_ciphers("DEFAULT:@SECLEVEL=0")
            old.minimum_version = ssl.TLSVersion.TLSv1
            with smtplib.SMTP_SSL("127.0.0.1", relay.port, context=old, timeout=10) as client:
                self.assertEqual(client.sock.version(), "TLSv1.1")

    def test_plaintext_injected_behind_starttls(self):
        with TlsRelay(inject_after_starttls=b"250 injected\r\n") as relay:
            with smtplib.SMTP("127.0.0.1", relay.port, timeout=10) as client:
                client.ehlo("x")
                client.putcmd("STARTTLS")
                self.assertEqual(client.sock.recv(200), b"220 Ready to start TLS\r\n250 injected\r\n")

    def test_no_tls_offers_no_starttls(self):
        with TlsRelay(tls=None) as relay, smtplib.SMTP("127.0.0.1", relay.port, timeout=10) as client:
            client.ehlo("x")
            self.assertNotIn("starttls", client.esmtp_features)


if __name__ == "__main__":
    unittest.main()
