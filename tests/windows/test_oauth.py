"""OAuth 2.0 sign-in under Wine: xp_varnel.dll fetches a client-credentials token from a
local HTTPS endpoint (Schannel, the test CA named by the TlsCaFile registry value), eight
calls at once in one process share one token request, and the mail goes out over STARTTLS
with XOAUTH2."""

import os
import sys
import unittest

# After this folder, so that the Wine suite's own test modules keep their names.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from aiosmtpd.controller import Controller  # noqa: E402

from token_endpoint import TestPki, TokenEndpoint, XOAuth2Handler  # noqa: E402
from winharness import (call_lines, delete_settings_key, free_port, run_host, set_setting, wait_for_port,  # noqa: E402
                        windows_path)

MAILBOX = "reports@example.com"
CALLS = 8


def oauth_call(relay_port, endpoint_url, subject, secret="s3cret&value=1"):
    return call_lines([("@recipient", "varchar", "dba@example.com"), ("@from", "varchar", MAILBOX),
                       ("@address", "varchar", "127.0.0.1"), ("@smtpport", "int", relay_port),
                       ("@tls", "int", 2), ("@timeout", "int", 30), ("@subject", "varchar", subject),
                       ("@smtpusername", "varchar", MAILBOX), ("@oauthtokenurl", "varchar", endpoint_url),
                       ("@oauthclientid", "varchar", "varnel-app"), ("@oauthclientsecret", "varchar", secret),
                       ("@oauthscope", "varchar", "https://outlook.office365.com/.default")])


def rows_of_calls(result):
    """The outcome rows of each call: the host answers one call as an object, several as a list."""
    calls = result.json if isinstance(result.json, list) else [result.json] if result.json else []
    return [call["rows"] for call in calls]


class TestOAuthUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pki = TestPki()
        delete_settings_key()
        set_setting("TlsCaFile", windows_path(cls.pki.ca_cert))

    @classmethod
    def tearDownClass(cls):
        delete_settings_key()
        cls.pki.remove()

    def relay(self, endpoint):
        handler = XOAuth2Handler(MAILBOX, lambda: endpoint.granted)
        port = free_port()
        controller = Controller(handler, hostname="127.0.0.1", port=port, tls_context=self.pki.server_context(),
                                require_starttls=True, auth_required=True, auth_require_tls=True,
                                auth_exclude_mechanism=["LOGIN", "PLAIN"])
        controller.start()
        self.addCleanup(controller.stop)
        wait_for_port(port)
        return handler, port

    def test_eight_calls_at_once_share_one_token_request(self):
        # The endpoint answers slowly, so that every call finds the request under way.
        with TokenEndpoint(self.pki, delay=1.0) as endpoint:
            handler, port = self.relay(endpoint)
            result = run_host(calls=[oauth_call(port, endpoint.url, f"Call {n}") for n in range(CALLS)])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(rows_of_calls(result), [[[0, None, None, None, None]]] * CALLS)
        self.assertEqual(len(endpoint.requests), 1)
        self.assertEqual(sorted(set(login for login in handler.logins)), [(MAILBOX, "token-1")])
        self.assertEqual(len(handler.envelopes), CALLS)

    def test_refused_client_gives_16_with_the_endpoints_words(self):
        with TokenEndpoint(self.pki) as endpoint:
            handler, port = self.relay(endpoint)
            result = run_host(calls=[oauth_call(port, endpoint.url, "Refused", secret="wrong")])
        row = rows_of_calls(result)[0][0]
        self.assertEqual(row[0], 16)
        self.assertIn("invalid_client", row[1])
        self.assertEqual(handler.envelopes, [])


if __name__ == "__main__":
    unittest.main()
