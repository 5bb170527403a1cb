"""OAuth 2.0 sign-in with a token the varnel command fetches itself (client credentials):
a local HTTPS token endpoint, a STARTTLS relay that accepts only XOAUTH2 with a token that
endpoint granted, the outcome row, and a log that never shows the secret or the token."""

import concurrent.futures
import os
import stat
import tempfile
import unittest

from aiosmtpd.controller import Controller

from relay import SENT_ROW, free_port, run_varnel, sql_text
from token_endpoint import TestPki, TokenEndpoint, XOAuth2Handler

MAILBOX = "reports@example.com"
SCOPE = "https://outlook.office365.com/.default"


class XOAuth2Relay:
    """STARTTLS relay on 127.0.0.1: mail only after XOAUTH2 with an accepted token."""

    def __init__(self, pki, accepted):
        self.handler = XOAuth2Handler(MAILBOX, accepted)
        self.port = free_port()
        self.controller = Controller(self.handler, hostname="127.0.0.1", port=self.port,
                                     tls_context=pki.server_context(), require_starttls=True, auth_required=True,
                                     auth_require_tls=True, auth_exclude_mechanism=["LOGIN", "PLAIN"])

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()


def statement(relay_port, endpoint_url, client_id="varnel-app", secret="s3cret&value=1", **extra):
    params = {"recipient": "dba@example.com", "from": MAILBOX, "address": "127.0.0.1", "subject": "OAuth",
              "body": "Signed in with a fetched token.", "smtpusername": MAILBOX, "oauthtokenurl": endpoint_url,
              "oauthclientid": client_id, "oauthclientsecret": secret, "oauthscope": SCOPE}
    params.update(extra)
    parts = ["@%s=%s" % (k, v if isinstance(v, int) else sql_text(v)) for k, v in params.items() if v is not None]
    return "exec master.dbo.xp_Varnel " + ", ".join(parts) + ", @smtpport=%d, @tls=2, @timeout=20" % relay_port


class OAuthSignInTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pki = TestPki()
        cls.env = {"VARNEL_TLS_CA_FILE": cls.pki.ca_cert}

    @classmethod
    def tearDownClass(cls):
        cls.pki.remove()

    def run_logged(self, text, env=None):
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "varnel.log")
            code, out = run_varnel(text.replace("exec master.dbo.xp_Varnel ",
                                                "exec master.dbo.xp_Varnel @debug=1, @debugfilename=%s, "
                                                % sql_text(log)), env=dict(self.env, **(env or {})))
            with open(log, "rb") as file:
                return code, out, file.read().decode("latin-1")

    def assert_log_keeps_secrets(self, log, *secrets):
        for secret in secrets:
            self.assertNotIn(secret, log)

    def test_fetched_token_signs_in_and_the_mail_goes_out(self):
        with TokenEndpoint(self.pki) as endpoint, XOAuth2Relay(self.pki, lambda: endpoint.granted) as relay:
            code, out, log = self.run_logged(statement(relay.port, endpoint.url))
        self.assertEqual(code, 0, out)
        self.assertEqual(out["rows"], [SENT_ROW])
        self.assertEqual([request["fields"] for request in endpoint.requests],
                         [{"grant_type": "client_credentials", "client_id": "varnel-app",
                           "client_secret": "s3cret&value=1", "scope": SCOPE}])
        self.assertEqual(endpoint.requests[0]["content_type"], "application/x-www-form-urlencoded")
        self.assertEqual(relay.handler.logins, [(MAILBOX, "token-1")])
        self.assertEqual(len(relay.handler.envelopes), 1)
        self.assertIn(endpoint.url, log)
        self.assert_log_keeps_secrets(log, "s3cret", "token-1")

    def test_refused_client_gives_16_with_the_endpoints_words_and_sends_nothing(self):
        with TokenEndpoint(self.pki) as endpoint, XOAuth2Relay(self.pki, lambda: endpoint.granted) as relay:
            code, out, log = self.run_logged(statement(relay.port, endpoint.url, secret="wrong-secret"))
        self.assertEqual(code, 16)
        status, message = out["rows"][0]["Result"], out["rows"][0]["ErrorMessage"]
        self.assertEqual(status, 16)
        self.assertIn("OAuth token could not be obtained", message)
        self.assertIn("invalid_client", message)
        self.assertIn("AADSTS7000215: Invalid client secret provided.", message)
        self.assertEqual(relay.handler.logins, [])
        self.assertEqual(relay.handler.envelopes, [])
        self.assert_log_keeps_secrets(log, "wrong-secret")

    def test_endpoint_without_tls_is_refused_before_any_request(self):
        with TokenEndpoint(self.pki, tls=False) as endpoint, \
                XOAuth2Relay(self.pki, lambda: endpoint.granted) as relay:
            code, out, _ = self.run_logged(statement(relay.port, endpoint.url))
        self.assertEqual(out["rows"][0]["Result"], 16)
        self.assertIn("not TLS", out["rows"][0]["ErrorMessage"])
        self.assertEqual(endpoint.requests, [])
        self.assertEqual(relay.handler.envelopes, [])

    def test_untrusted_endpoint_certificate_gives_16(self):
        with TokenEndpoint(self.pki) as endpoint, XOAuth2Relay(self.pki, lambda: endpoint.granted) as relay:
            # Trust for the relay comes from the same CA file; without it both are unknown,
            # and the token request comes first.
            code, out, _ = self.run_logged(statement(relay.port, endpoint.url), env={"VARNEL_TLS_CA_FILE": "/dev/null"})
        self.assertEqual(out["rows"][0]["Result"], 16)
        self.assertEqual(endpoint.requests, [])

    def test_server_wide_settings_supply_what_the_call_leaves_out(self):
        with TokenEndpoint(self.pki) as endpoint, XOAuth2Relay(self.pki, lambda: endpoint.granted) as relay:
            settings = {"VARNEL_OAUTH_TOKEN_URL": endpoint.url, "VARNEL_OAUTH_CLIENT_ID": "varnel-app",
                        "VARNEL_OAUTH_CLIENT_SECRET": "s3cret&value=1", "VARNEL_OAUTH_SCOPE": SCOPE,
                        "VARNEL_OAUTH_RELAYS": "relay.example.com; 127.0.0.1:%d" % relay.port}
            code, out, log = self.run_logged(statement(relay.port, None, client_id=None, secret=None,
                                                       oauthscope=None), env=settings)
        self.assertEqual(out["rows"], [SENT_ROW])
        self.assertEqual(relay.handler.logins, [(MAILBOX, "token-1")])
        self.assert_log_keeps_secrets(log, "s3cret", "token-1")

    def test_server_secrets_token_goes_to_no_relay_the_settings_do_not_name(self):
        # A caller naming its own relay would otherwise receive a token of the server's client.
        for relays in (None, "relay.example.com", "127.0.0.1:1"):
            with self.subTest(relays=relays), TokenEndpoint(self.pki) as endpoint, \
                    XOAuth2Relay(self.pki, lambda: endpoint.granted) as relay:
                settings = {"VARNEL_OAUTH_TOKEN_URL": endpoint.url, "VARNEL_OAUTH_CLIENT_ID": "varnel-app",
                            "VARNEL_OAUTH_CLIENT_SECRET": "s3cret&value=1", "VARNEL_OAUTH_SCOPE": SCOPE}
                if relays is not None:
                    settings["VARNEL_OAUTH_RELAYS"] = relays
                code, out, log = self.run_logged(statement(relay.port, None, client_id=None, secret=None,
                                                           oauthscope=None), env=settings)
                self.assertEqual(out["rows"][0]["Result"], 16)
                self.assertIn("OAuthRelays", out["rows"][0]["ErrorMessage"])
                self.assertEqual(endpoint.requests, [])
                self.assertEqual(relay.handler.logins, [])
                self.assertEqual(relay.handler.envelopes, [])

    def test_relay_refusing_the_token_gets_one_fresh_token_and_one_more_try(self):
        # The relay takes only the second token: the first is refused with 535.
        with TokenEndpoint(self.pki) as endpoint, \
                XOAuth2Relay(self.pki, lambda: endpoint.granted[1:2]) as relay:
            code, out, log = self.run_logged(statement(relay.port, endpoint.url))
        self.assertEqual(out["rows"], [SENT_ROW])
        self.assertEqual(len(endpoint.requests), 2)
        self.assertEqual(relay.handler.logins, [(MAILBOX, "token-1"), (MAILBOX, "token-2")])
        self.assert_log_keeps_secrets(log, "s3cret", "token-1", "token-2")

    def test_relay_refusing_every_token_gives_6_with_its_535(self):
        with TokenEndpoint(self.pki) as endpoint, XOAuth2Relay(self.pki, lambda: []) as relay:
            code, out, _ = self.run_logged(statement(relay.port, endpoint.url))
        self.assertEqual(out["rows"][0]["Result"], 6)
        self.assertEqual(out["rows"][0]["SMTPErrorNumber"], 535)
        self.assertEqual(len(endpoint.requests), 2)
        self.assertEqual(relay.handler.envelopes, [])

    def test_processes_starting_together_make_one_token_request(self):
        # Twenty cron jobs at the same minute: one request, each mail signed in with its answer.
        with tempfile.TemporaryDirectory() as scratch, TokenEndpoint(self.pki, delay=0.3) as endpoint, \
                XOAuth2Relay(self.pki, lambda: endpoint.granted) as relay:
            folder = os.path.join(scratch, "tokens")
            env = dict(self.env, VARNEL_TOKEN_CACHE_DIR=folder)
            with concurrent.futures.ThreadPoolExecutor(max_workers=20) as pool:
                outcomes = list(pool.map(lambda _: run_varnel(statement(relay.port, endpoint.url), env=env), range(20)))
            self.assertEqual([code for code, _ in outcomes], [0] * 20, outcomes)
            self.assertEqual(len(endpoint.requests), 1)
            self.assertEqual(relay.handler.logins, [(MAILBOX, "token-1")] * 20)
            self.assertEqual(len(relay.handler.envelopes), 20)
            names = os.listdir(folder)
            self.assertEqual(len(names), 1)
            self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(folder, names[0])).st_mode), 0o600)

    def test_token_cache_folder_open_to_others_gives_16_and_sends_nothing(self):
        with tempfile.TemporaryDirectory() as scratch, TokenEndpoint(self.pki) as endpoint, \
                XOAuth2Relay(self.pki, lambda: endpoint.granted) as relay:
            folder = os.path.join(scratch, "tokens")
            os.mkdir(folder, 0o777)
            os.chmod(folder, 0o777)
            code, out, _ = self.run_logged(statement(relay.port, endpoint.url), env={"VARNEL_TOKEN_CACHE_DIR": folder})
        self.assertEqual(out["rows"][0]["Result"], 16)
        self.assertIn(folder, out["rows"][0]["ErrorMessage"])
        self.assertEqual(endpoint.requests, [])
        self.assertEqual(relay.handler.envelopes, [])


if __name__ == "__main__":
    unittest.main()
