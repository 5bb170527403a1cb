"""Installation settings fail closed through the varnel command: a setting that does not
parse, from the environment or from its file, ends the call (status 15 for the TLS settings,
7 for the others) with a message naming the setting and where it came from; the relay is
never contacted. A value written
with a trailing blank or line break is read as meant and honoured by a real relay."""

import os
import socket
import subprocess
import tempfile
import unittest

from relay import VARNEL, run_varnel, write_file
from tls_relay import TestPki, TlsRelay


TLS = "TLS could not be established: "
REGISTRY = "Error accessing the registry: "


def statement(port):
    return ("exec xp_Varnel @recipient='dba@example.com', @from='sqlserver@example.com', @address='localhost', "
            "@subject='settings', @body='text', @smtpport=%d" % port)


def outcome(out):
    """The outcome row (an object keyed by column name)."""
    return out["rows"][0]


class SettingsTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.env = {"VARNEL_CONFIG_DIR": self.folder.name}

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, text, mode=0o600):
        return write_file(self.folder.name, name, text, mode)

    def test_each_faulty_setting_stops_the_call_before_the_relay(self):
        folder = self.folder.name
        cases = [
            ("environment", {"VARNEL_TLS_MODE": "9"}, {}, TLS +
             'the TlsMode setting "9" (environment variable VARNEL_TLS_MODE) is not one of 0, 1, 2 or 3'),
            ("file word", {}, {"TlsMode": "required\n"}, TLS +
             'the TlsMode setting "required" (file %s/TlsMode) is not one of 0, 1, 2 or 3' % folder),
            ("empty file", {}, {"TlsMode": ""}, TLS + 'the TlsMode setting "" (file %s/TlsMode) is not one of 0, 1, 2 or 3' % folder),
            ("missing CA file", {}, {"TlsCaFile": "/nonexistent/ca.pem\n"}, TLS +
             'the TlsCaFile setting "/nonexistent/ca.pem" (file %s/TlsCaFile) names a file that cannot be read'
             % folder),
            ("greeting name", {"VARNEL_HELO_NAME": "db 01"}, {}, REGISTRY +
             'the HeloName setting "db 01" (environment variable VARNEL_HELO_NAME) holds a blank'),
            ("bind address", {}, {"BindIP": "localhost"}, REGISTRY +
             'the BindIP setting "localhost" (file %s/BindIP) is not an IPv4 address' % folder),
            ("secret others can read", {}, {"OAuthClientSecret": ("s3cret", 0o644)}, REGISTRY +
             "the OAuthClientSecret setting is refused (file %s/OAuthClientSecret): can be read or written by "
             "others (mode 0644; chmod 600 it)" % folder),
        ]
        for name, env, files, message in cases:
            with self.subTest(name), socket.socket() as listener:
                for file in os.listdir(folder):
                    os.unlink(os.path.join(folder, file))
                for file, text in files.items():
                    self.write(file, *(text if isinstance(text, tuple) else (text,)))
                listener.bind(("127.0.0.1", 0))
                listener.listen(8)
                environment = dict(self.env, **env)
                code, out = run_varnel(statement(listener.getsockname()[1]), env=environment)
                row = outcome(out)
                self.assertEqual(row["Result"], 15 if message.startswith(TLS) else 7, out)
                self.assertEqual(row["ErrorMessage"], message)
                listener.setblocking(False)
                with self.assertRaises(BlockingIOError):
                    listener.accept()

    def test_tls_mode_with_a_trailing_blank_is_honoured(self):
        self.write("TlsMode", "2 \n")
        env = dict(TestPki.get().env(), **self.env)
        with TlsRelay(tls=None) as relay:
            code, out = run_varnel(statement(relay.port), env=env)
            self.assertEqual(outcome(out)["Result"], 15, out)
            self.assertEqual(relay.envelopes, [])
        with TlsRelay(tls="starttls") as relay:
            code, out = run_varnel(statement(relay.port), env=env)
            self.assertEqual(outcome(out)["Result"], 0, out)
            self.assertEqual(len(relay.envelopes), 1)
            mail = [line for line in relay.lines if line[0].upper().startswith("MAIL FROM")]
            self.assertIsNotNone(mail[0][1], relay.lines)


    def check_config(self, env):
        environment = dict(os.environ, **self.env)
        for name in [n for n in environment if n.startswith("VARNEL_") and n not in ("VARNEL_CONFIG_DIR", "VARNEL_BIN")]:
            del environment[name]
        environment.update(env)
        done = subprocess.run([VARNEL, "--check-config"], capture_output=True, timeout=60, env=environment)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def test_check_config_prints_effective_values_with_secrets_masked(self):
        folder = self.folder.name
        self.write("OAuthClientSecret", "s3cret-value\n")
        self.write("TlsMode", "2\n")
        code, out, err = self.check_config({"VARNEL_OAUTH_TOKEN_URL": "https://idp.example/token",
                                            "VARNEL_ODBC_ATTRIBUTES": "PWD=db-pass-word"})
        self.assertEqual((code, err), (0, ""))
        lines = out.splitlines()
        self.assertIn("TlsMode            2  [file %s/TlsMode]" % folder, lines)
        self.assertIn("OAuthTokenUrl      https://idp.example/token  [environment variable VARNEL_OAUTH_TOKEN_URL]",
                      lines)
        self.assertIn("OAuthClientSecret  ******** (set, not shown)  [file %s/OAuthClientSecret]" % folder, lines)
        self.assertIn("HeloName           not set: the host's name, else its address", lines)
        self.assertEqual(lines[-1], "settings: no fault found")
        self.assertNotIn("s3cret", out)
        self.assertNotIn("db-pass-word", out)

    def test_check_config_stops_at_the_first_fault(self):
        for env, files, message in (
                ({"VARNEL_TLS_MODE": "required"}, {},
                 'varnel: the TlsMode setting "required" (environment variable VARNEL_TLS_MODE) is not one of 0, 1, '
                 '2 or 3\n'),
                ({}, {"AttachmentFolders": "reports"}, "AttachmentFolders"),
                ({}, {"OAuthClientSecret": "s3cret\x01value"}, "the OAuthClientSecret setting (value not shown)")):
            with self.subTest(message):
                for file in os.listdir(self.folder.name):
                    os.unlink(os.path.join(self.folder.name, file))
                for file, text in files.items():
                    self.write(file, text)
                code, out, err = self.check_config(env)
                self.assertEqual(code, 1)
                self.assertEqual(out, "")
                self.assertIn(message, err)
                self.assertNotIn("s3cret", err)


    def test_secret_file_must_be_private_and_the_processs_own(self):
        """As ssh treats keys: group or world bits, or another owner, refuse the secret."""
        target = self.write("elsewhere", "s3cret", 0o644)
        cases = [("0600, own", 0o600, None, None, True),
                 ("0400, own", 0o400, None, None, True),
                 ("0640: group can read", 0o640, None, None, False),
                 ("0604: world can read", 0o604, None, None, False),
                 ("0620: group can write", 0o620, None, None, False),
                 ("link to a readable file", None, None, target, False)]
        if os.geteuid() == 0:
            cases.append(("0600, another user's", 0o600, 65534, None, False))
        for name, mode, owner, link, accepted in cases:
            with self.subTest(name):
                path = os.path.join(self.folder.name, "OAuthClientSecret")
                if os.path.lexists(path):
                    os.unlink(path)
                if link:
                    os.symlink(link, path)
                else:
                    self.write("OAuthClientSecret", "s3cret", mode)
                    if owner is not None:
                        os.chown(path, owner, -1)
                code, out, err = self.check_config({})
                self.assertEqual(code, 0 if accepted else 1, err)
                if not accepted:
                    self.assertIn("the OAuthClientSecret setting is refused (file %s)" % path, err)
                self.assertNotIn("s3cret", out + err)


if __name__ == "__main__":
    unittest.main()
