"""Relay profiles from HKLM\\Software\\Corvane\\Profiles under Wine: values of the profile
keys' names (REG_MULTI_SZ relays, REG_DWORD numbers), the password a REG_BINARY value
protected with DPAPI in machine scope; a plain-text password value is refused and nothing
is sent; an unknown profile is refused naming the registry key; a password file that
Everyone may read is refused."""

import importlib.util
import os
import subprocess
import tempfile
import unittest

from winharness import BIN, WINE, call_lines, run_host, windows_path, wine_reg

# The end-to-end tests' relay, which can require AUTH; loaded by path, so that the names of
# that folder's tests do not shadow these.
_spec = importlib.util.spec_from_file_location(
    "e2e_relay", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "relay.py"))
_e2e_relay = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_e2e_relay)
Relay = _e2e_relay.Relay

PROFILES_KEY = r"HKLM\Software\Corvane\Profiles"
USER, PASSWORD = "mailer", "dpapi-s3cret"


def protected(secret):
    done = subprocess.run([WINE, os.path.join(BIN, "protect_secret.exe"), secret], capture_output=True, timeout=60,
                          cwd=BIN)
    if done.returncode != 0:
        raise AssertionError("protect_secret failed: %r" % done.stderr)
    return done.stdout.decode().strip()


class TestRegistryProfiles(unittest.TestCase):
    def setUp(self):
        self.delete()

    def tearDown(self):
        self.delete()

    def delete(self):
        if wine_reg("query", PROFILES_KEY, check=False) == 0:
            wine_reg("delete", PROFILES_KEY, "/f")

    def profile(self, name, port, password_type="REG_BINARY", password=None):
        key = PROFILES_KEY + "\\" + name
        wine_reg("add", key, "/v", "address", "/t", "REG_MULTI_SZ", "/d", "127.0.0.1:%d" % port, "/f")
        wine_reg("add", key, "/v", "from", "/t", "REG_SZ", "/d", "agent@example.com", "/f")
        wine_reg("add", key, "/v", "tls", "/t", "REG_DWORD", "/d", "0", "/f")
        wine_reg("add", key, "/v", "username", "/t", "REG_SZ", "/d", USER, "/f")
        wine_reg("add", key, "/v", "password", "/t", password_type, "/d", password or protected(PASSWORD), "/f")

    def call(self, profile):
        params = [("@recipient", "varchar", "to@example.com"), ("@profile", "varchar", profile),
                  ("@subject", "varchar", "Profile"), ("@timeout", "int", 10)]
        result = run_host(calls=[call_lines(params)])
        self.assertIsNotNone(result.json, result.stdout + result.stderr)
        return result.json["rows"][0]

    def test_profile_with_a_dpapi_password(self):
        with Relay(credentials=(USER, PASSWORD)) as relay:
            self.profile("mail", relay.port)
            row = self.call("mail")
            self.assertEqual(row[0], 0, row)
            self.assertEqual(len(relay.envelopes), 1)
            self.assertEqual(relay.envelopes[0].mail_from, "agent@example.com")

    def test_refusals_send_nothing(self):
        with Relay(credentials=(USER, PASSWORD)) as relay:
            self.profile("plain", relay.port, "REG_SZ", PASSWORD)
            row = self.call("plain")
            self.assertEqual(row[0], 7, row)
            self.assertIn(r"key password of profile 'plain' (registry key HKLM\Software\Corvane\Profiles\plain) is "
                          "kept as plain text", row[1])
            self.assertNotIn(PASSWORD, row[1])
            row = self.call("nosuch")
            self.assertEqual(row[0], 7, row)
            self.assertIn(r"no profile 'nosuch' in registry key HKLM\Software\Corvane\Profiles", row[1])
            self.assertEqual(relay.envelopes, [])

    def test_password_file_readable_by_others_is_refused(self):
        with tempfile.TemporaryDirectory() as folder, Relay(credentials=(USER, PASSWORD)) as relay:
            path = os.path.join(folder, "password")
            with open(path, "w") as file:
                file.write(PASSWORD + "\r\n")
            self.profile("filed", relay.port, "REG_SZ", "unused")
            key = PROFILES_KEY + "\\filed"
            wine_reg("delete", key, "/v", "password", "/f")
            wine_reg("add", key, "/v", "password_file", "/t", "REG_SZ", "/d", windows_path(path), "/f")
            # Wine shows the file's mode bits for others as an entry for Everyone.
            os.chmod(path, 0o644)
            row = self.call("filed")
            self.assertEqual(row[0], 7, row)
            self.assertIn("is refused: it can be read by users other than the service account", row[1])
            self.assertEqual(relay.envelopes, [])
            os.chmod(path, 0o600)
            row = self.call("filed")
            self.assertEqual(row[0], 0, row)
            self.assertEqual(len(relay.envelopes), 1)


if __name__ == "__main__":
    unittest.main()
