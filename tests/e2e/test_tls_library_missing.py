"""The command with a libssl.so.3 that is not OpenSSL first on LD_LIBRARY_PATH: the TLS
library is loaded only when TLS is used, so plain sends go out as ever, while a send that
needs TLS fails with the loader's reason, and --version says the library is missing."""

import os
import subprocess
import unittest

from relay import VARNEL, Relay, run_varnel, sql_text
from tls_relay import TestPki, TlsRelay

FAKE_DIR = os.environ.get("VARNEL_FAKE_LIBSSL_DIR", "")
NOT_LOADED = "TLS library could not be loaded: "


def without_openssl(extra=None):
    environment = {"LD_LIBRARY_PATH": FAKE_DIR}
    environment.update(extra or {})
    return environment


def send(relay, env, **params):
    base = {"recipient": "dba@example.com", "from": "sqlserver@example.com", "address": "localhost",
            "subject": "no TLS library", "body": "plain"}
    base.update(params)
    parts = ["@%s=%s" % (k, v if isinstance(v, int) else sql_text(v)) for k, v in base.items()]
    parts.append("@smtpport=%d" % relay.port)
    code, out = run_varnel("exec xp_Varnel " + ", ".join(parts), env=env)
    return out["rows"][0] if out["rows"] else {"exit": code}


@unittest.skipUnless(FAKE_DIR and os.path.exists(os.path.join(FAKE_DIR, "libssl.so.3")),
                     "VARNEL_FAKE_LIBSSL_DIR has no libssl.so.3 (run through ctest)")
class TlsLibraryMissingTest(unittest.TestCase):
    def test_version_names_the_failure(self):
        done = subprocess.run([VARNEL, "--version"], capture_output=True, text=True, timeout=60,
                              env=dict(os.environ, **without_openssl()))
        self.assertEqual(done.returncode, 0, done.stderr)
        tls_line = done.stdout.splitlines()[1]
        self.assertTrue(tls_line.startswith("TLS: " + NOT_LOADED), done.stdout)
        # The loader's own words: the fake has no OpenSSL function.
        self.assertIn("undefined symbol", tls_line)

    def test_plain_send_needs_no_tls_library(self):
        with Relay() as relay:
            row = send(relay, without_openssl(), tls=0)
        self.assertEqual(row.get("Result"), 0, row)
        self.assertEqual(len(relay.envelopes), 1)

    def test_tls_send_fails_with_the_reason(self):
        for mode, tls in ((2, "starttls"), (3, "implicit")):
            with self.subTest(mode=mode), TlsRelay(tls=tls) as relay:
                row = send(relay, without_openssl(TestPki.get().env()), tls=mode)
                self.assertEqual(row.get("Result"), 15, row)
                self.assertIn(NOT_LOADED, row["ErrorMessage"])
                self.assertEqual(relay.envelopes, [])


if __name__ == "__main__":
    unittest.main()
