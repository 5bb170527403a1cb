"""Relay profiles through the varnel command and real aiosmtpd relays: a profile of
varnel.conf gives the relay, STARTTLS with its own CA file, the sender and the sign-in with
a password from a private file or a command; the profile 'default' serves a call naming
none; a locked profile refuses another relay; every faulty profile ends the call with a
message naming the key, the profile and the file while nothing is sent; --check-config
prints the profiles with secrets masked."""

import email
import email.policy
import json
import os
import socket
import subprocess
import tempfile
import unittest

from relay import VARNEL, Relay, run_varnel, sql_text, write_file
from tls_relay import TestPki, TlsRelay

USER, PASSWORD = "sql@example.com", "pw-4711-secret"


class ProfilesTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, text, mode=0o600):
        return write_file(self.folder.name, name, text, mode)

    def conf(self, text):
        return self.write("varnel.conf", text, 0o644)

    def run_call(self, parameters):
        environment = {k: v for k, v in os.environ.items() if not k.startswith("VARNEL_") or k == "VARNEL_BIN"}
        environment.update(VARNEL_HOSTNAME="localhost", VARNEL_CONFIG_DIR=self.folder.name)
        statement = "exec xp_Varnel @recipient='dba@example.com', @subject='profile', @body='text'" + parameters
        done = subprocess.run([VARNEL, "--json", statement], capture_output=True, timeout=120, env=environment)
        return done.returncode, json.loads(done.stdout.decode()), done.stderr.decode()

    def mail_profile(self, name, port, extra=""):
        password = self.write("password", PASSWORD + "\n")
        return ('[profile.%s]\naddress = "localhost:%d"\ntls = 2\nca_file = "%s"\nfrom = "SQL Agent <agent@example.com>"\n'
                'username = "%s"\npassword_file = "%s"\n%s' % (name, port, TestPki.get().ca, USER, password, extra))

    def test_profile_signs_in_over_starttls(self):
        with TlsRelay(tls="starttls", credentials=(USER, PASSWORD)) as relay:
            self.conf(self.mail_profile("mail", relay.port))
            code, out, err = self.run_call(", @profile='mail'")
            self.assertEqual((code, out["rows"][0]["Result"]), (0, 0), out)
            self.assertEqual([(login, ok) for _, login, ok in relay.auth], [(USER, True)])
            self.assertIn("STARTTLS", [c.upper() for c in relay.commands()])
            self.assertEqual(len(relay.envelopes), 1)
            self.assertEqual(relay.envelopes[0].mail_from, "agent@example.com")
            message = email.message_from_bytes(relay.envelopes[0].original_content, policy=email.policy.default)
            self.assertEqual(message["From"], "SQL Agent <agent@example.com>")
            self.assertNotIn(PASSWORD, err)

    def test_default_profile_with_a_password_command_serves_a_call_naming_none(self):
        with TlsRelay(tls="starttls", credentials=(USER, PASSWORD)) as relay:
            text = self.mail_profile("default", relay.port).replace(
                'password_file = "%s"' % os.path.join(self.folder.name, "password"),
                "password_command = \"printf '%s\\\\nignored'\"" % PASSWORD)
            self.conf(text)
            code, out, err = self.run_call("")
            self.assertEqual(out["rows"][0]["Result"], 0, out)
            self.assertEqual([(login, ok) for _, login, ok in relay.auth], [(USER, True)])
            # The call's own sender replaces the profile's.
            code, out, err = self.run_call(", @from='other@example.com'")
            self.assertEqual(out["rows"][0]["Result"], 0, out)
            self.assertEqual(relay.envelopes[-1].mail_from, "other@example.com")

    def test_refusals_send_nothing(self):
        folder = self.folder.name
        with TlsRelay(tls="starttls", credentials=(USER, PASSWORD)) as relay, socket.socket() as other:
            other.bind(("127.0.0.1", 0))
            other.listen(4)
            base = self.mail_profile("mail", relay.port)
            conf = os.path.join(folder, "varnel.conf")
            cases = [
                ("unknown profile", base, ", @profile='nosuch'", 7, "no profile 'nosuch' in file %s" % conf),
                ("unknown key", base + "passwd = \"x\"\n", ", @profile='mail'", 7,
                 "key passwd of profile 'mail' (file %s) is not a profile key" % conf),
                ("TLS mode", base.replace("tls = 2", "tls = 9"), ", @profile='mail'", 15,
                 "key tls of profile 'mail' (file %s) is 9, not one of 0, 1, 2 or 3" % conf),
                ("bad number", base + "timeout = \"30\"\n", ", @profile='mail'", 7,
                 "key timeout of profile 'mail' (file %s) \"30\" is not a whole number" % conf),
                ("missing password file", base.replace(os.path.join(folder, "password"), "/nonexistent/pw"),
                 ", @profile='mail'", 7, "key password_file of profile 'mail' (file %s) cannot be used: the file "
                 "/nonexistent/pw cannot be read" % conf),
                ("plain password", base + "password = \"%s\"\n" % PASSWORD, ", @profile='mail'", 7,
                 "key password of profile 'mail' (file %s) is kept as plain text" % conf),
                ("file that does not parse", base + "retries = \n", ", @profile='mail'", 7,
                 "the profiles file %s does not parse at line" % conf),
                ("locked, another relay", base + "locked = true\n",
                 ", @profile='mail', @address='127.0.0.1', @smtpport=%d" % other.getsockname()[1], 7,
                 "the profile 'mail' (file %s) is locked: @smtpport %d is not its port" % (conf, other.getsockname()[1])),
                ("locked, weaker TLS", base + "locked = true\n", ", @profile='mail', @tls=0", 7,
                 "is locked: @tls=0 is weaker than its TLS mode"),
            ]
            for name, text, parameters, status, message in cases:
                with self.subTest(name):
                    self.conf(text)
                    code, out, err = self.run_call(parameters)
                    row = out["rows"][0]
                    self.assertEqual(row["Result"], status, out)
                    self.assertIn(message, row["ErrorMessage"])
                    self.assertNotIn(PASSWORD, row["ErrorMessage"] + err)
            other.setblocking(False)
            with self.assertRaises(BlockingIOError):
                other.accept()
            self.assertEqual(relay.envelopes, [])
            self.assertEqual(relay.auth, [])
            # A readable password file is refused like a readable key.
            self.conf(base)
            os.chmod(os.path.join(folder, "password"), 0o644)
            code, out, err = self.run_call(", @profile='mail'")
            self.assertEqual(out["rows"][0]["Result"], 7)
            self.assertIn("is refused: it can be read or written by others (mode 0644", out["rows"][0]["ErrorMessage"])
            self.assertEqual(relay.auth, [])

    def test_profile_credentials_never_go_with_less_tls_than_the_profile_gives(self):
        with TlsRelay(tls="starttls", credentials=(USER, PASSWORD)) as relay:
            self.conf(self.mail_profile("mail", relay.port))
            cases = [
                ("no TLS", ", @tls=0", 7, "@tls=0 is weaker than its TLS mode"),
                ("TLS when offered", ", @tls=1", 7, "@tls=1 is weaker than its TLS mode"),
                ("certificate not checked", ", @tlsverify=0", 7, "@tlsverify=0 would not check"),
                ("TLS required, as the profile", ", @tls=2", 0, None),
            ]
            for name, parameters, status, message in cases:
                with self.subTest(name):
                    before = len(relay.auth)
                    code, out, err = self.run_call(", @profile='mail'" + parameters)
                    row = out["rows"][0]
                    self.assertEqual(row["Result"], status, out)
                    if message is None:
                        self.assertEqual([ok for _, _, ok in relay.auth[before:]], [True])
                        continue
                    self.assertIn("the profile 'mail' (file %s/varnel.conf) signs in only with its own TLS: %s"
                                  % (self.folder.name, message), row["ErrorMessage"])
                    self.assertEqual(relay.auth[before:], [])
            self.assertEqual(len(relay.envelopes), 1)

    def test_secret_files_outside_the_settings_folder_are_never_attached(self):
        outside = tempfile.TemporaryDirectory()
        self.addCleanup(outside.cleanup)
        secrets = os.path.join(outside.name, "secrets")
        tokens = os.path.join(outside.name, "tokens")
        os.mkdir(secrets, 0o700)
        os.mkdir(tokens, 0o700)
        password = write_file(secrets, "password", PASSWORD + "\n")
        client = write_file(secrets, "client", "client-secret-0815\n")
        write_file(tokens, "cached", "token-0815\n")
        os.symlink(password, os.path.join(outside.name, "link"))
        self.conf('[profile.mail]\naddress = "localhost"\nusername = "u"\npassword_file = "%s"\n'
                  '[profile.m365]\naddress = "localhost"\nusername = "u"\n'
                  'oauth_token_url = "https://localhost/token"\noauth_client_secret_file = "%s"\n' % (password, client))
        cases = [
            ("a profile's password file", password, "%s is the password file of profile 'mail'" % password),
            ("a profile's OAuth client secret", client, "is the OAuth client secret file of profile 'm365'"),
            ("by wildcard", os.path.join(secrets, "*"), "of profile"),
            ("through a link", os.path.join(outside.name, "link"), "(%s) is the password file" % password),
            ("through ..", os.path.join(tokens, "..", "secrets", "password"), "is the password file"),
            ("shared OAuth tokens", os.path.join(tokens, "cached"), "lies in the folder of shared OAuth tokens"),
        ]
        with Relay() as relay:
            for name, attachments, reason in cases:
                with self.subTest(name):
                    environment = {"VARNEL_CONFIG_DIR": self.folder.name, "VARNEL_TOKEN_CACHE_DIR": tokens}
                    code, out = run_varnel("exec xp_Varnel @recipient='dba@example.com', @from='a@example.com', "
                                           "@address='127.0.0.1', @smtpport=%d, @attachments=%s"
                                           % (relay.port, sql_text(attachments)), env=environment)
                    row = out["rows"][0]
                    self.assertEqual(row["Result"], 17, out)
                    self.assertIn(reason, row["ErrorMessage"])
            self.assertEqual(relay.envelopes, [])

    def check_config(self, *options):
        environment = {k: v for k, v in os.environ.items() if not k.startswith("VARNEL_") or k == "VARNEL_BIN"}
        environment["VARNEL_CONFIG_DIR"] = self.folder.name
        done = subprocess.run([VARNEL, "--check-config", *options], capture_output=True, timeout=60, env=environment)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def test_check_config_prints_profiles_with_secrets_masked(self):
        self.conf(self.mail_profile("mail", 2525) +
                  '\n[profile.relay]\naddress = ["a.example.com", "b.example.com:26"]\n'
                  'password_command = "echo %s"\nusername = "u"\nretries = 2\n' % PASSWORD)
        code, out, err = self.check_config()
        self.assertEqual((code, err), (0, ""))
        lines = out.splitlines()
        self.assertIn("profile mail  [file %s/varnel.conf]" % self.folder.name, lines)
        self.assertIn("  address                   localhost:2525", lines)
        self.assertIn("  password_file             %s/password  password ******** (set, not shown)" % self.folder.name,
                      lines)
        self.assertIn("  address                   a.example.com, b.example.com:26", lines)
        self.assertIn("  retries                   2", lines)
        self.assertEqual(lines[-1], "profiles: no fault found")
        self.assertNotIn(PASSWORD, out)
        code, out, err = self.check_config("--profile", "relay")
        self.assertEqual(code, 0, err)
        self.assertNotIn("profile mail", out)
        code, out, err = self.check_config("--profile", "nosuch")
        self.assertEqual(code, 1)
        self.assertIn("no profile 'nosuch' in file %s/varnel.conf" % self.folder.name, err)
        # A fault in any profile fails the check, naming it.
        self.conf(self.mail_profile("mail", 2525, "tls_mode = 2\n"))
        code, out, err = self.check_config()
        self.assertEqual(code, 1)
        self.assertIn("key tls_mode of profile 'mail'", err)
        self.assertNotIn(PASSWORD, out + err)

    def test_probe_signs_in_and_quits_before_mail(self):
        with TlsRelay(tls="starttls", credentials=(USER, PASSWORD)) as relay:
            self.conf(self.mail_profile("mail", relay.port))
            code, out, err = self.check_config("--profile", "mail", "--probe")
            self.assertEqual((code, err), (0, ""))
            self.assertRegex(out, r"probe mail: localhost:%d answered, TLSv1\.[23], signed in as %s, QUIT before MAIL"
                             % (relay.port, USER))
            commands = [c.split()[0].upper() for c in relay.commands()]
            self.assertIn("STARTTLS", commands)
            self.assertEqual(commands[-1], "QUIT")
            self.assertNotIn("MAIL", commands)
            self.assertEqual([(login, ok) for _, login, ok in relay.auth], [(USER, True)])
            self.assertEqual(relay.envelopes, [])
            # A refused sign-in fails the probe with the relay's reply.
            self.write("password", "wrong\n")
            code, out, err = self.check_config("--profile", "mail", "--probe")
            self.assertEqual(code, 1)
            self.assertIn("probe of profile 'mail' failed at localhost:%d" % relay.port, err)
            self.assertIn("the relay said: 535", err)
            self.assertNotIn("wrong", err.replace("Error while logging on", ""))


if __name__ == "__main__":
    unittest.main()
