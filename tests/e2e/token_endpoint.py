"""An OAuth 2.0 token endpoint on 127.0.0.1 for tests: Python's http.server wrapped in TLS
with the tests' throwaway PKI, granting client-credentials tokens
(RFC 6749 section 4.4) to one client, and an aiosmtpd relay that accepts only XOAUTH2
with a token that endpoint granted."""

import base64
import http.server
import json
import os
import shutil
import ssl
import subprocess
import tempfile
import threading
import urllib.parse
import warnings

from aiosmtpd.smtp import AuthResult

from relay import Collector

# aiosmtpd 1.4 sets its own deprecated Session.login_data after every successful login.
warnings.filterwarnings("ignore", message="Session.login_data is deprecated")


class TestPki:
    """The TLS tests' throwaway PKI (tests/tls/make_pki.sh) in a temporary directory:
    ca.pem is the trusted root, good-chain.pem and leaf.key serve localhost and 127.0.0.1."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="varnel-oauth-pki-")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tls", "make_pki.sh")
        subprocess.run(["bash", script, self.directory], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True)
        self.ca_cert = os.path.join(self.directory, "ca.pem")
        self.leaf_cert = os.path.join(self.directory, "good-chain.pem")
        self.leaf_key = os.path.join(self.directory, "leaf.key")

    def server_context(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        # Wine's Schannel speaks TLS 1.2 only.
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(self.leaf_cert, self.leaf_key)
        return context

    def remove(self):
        shutil.rmtree(self.directory, ignore_errors=True)


class TokenEndpoint:
    """Context manager: https://127.0.0.1:<port>/tenant/oauth2/v2.0/token, granting tokens
    "token-1", "token-2", ... to client_id/client_secret, each living expires_in seconds.
    tls=False serves plain http (for the "not TLS" case). requests lists the form fields
    of every request received."""

    def __init__(self, pki, client_id="varnel-app", client_secret="s3cret&value=1", expires_in=3600, tls=True,
                 delay=0.0, content_encoding=None):
        self.client_id = client_id
        self.client_secret = client_secret
        self.expires_in = expires_in
        self.delay = delay
        # A Content-Encoding header sent with every reply (a hostile endpoint's words).
        self.content_encoding = content_encoding
        self.requests = []
        self.granted = []
        self._lock = threading.Lock()
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                fields = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode("utf-8"), keep_blank_values=True))
                if endpoint.delay:
                    threading.Event().wait(endpoint.delay)
                with endpoint._lock:
                    endpoint.requests.append({"path": self.path, "content_type": self.headers.get("Content-Type"),
                                              "fields": fields})
                    if fields.get("grant_type") != "client_credentials":
                        status, body = 400, {"error": "unsupported_grant_type"}
                    elif fields.get("client_id") != endpoint.client_id or \
                            fields.get("client_secret") != endpoint.client_secret:
                        status, body = 401, {"error": "invalid_client",
                                             "error_description": "AADSTS7000215: Invalid client secret provided."}
                    else:
                        token = "token-%d" % (len(endpoint.granted) + 1)
                        endpoint.granted.append(token)
                        status, body = 200, {"token_type": "Bearer", "expires_in": endpoint.expires_in,
                                             "access_token": token}
                data = json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json; charset=utf-8")
                self.send_header("Content-Length", str(len(data)))
                self.send_header("Connection", "close")
                if endpoint.content_encoding is not None:
                    self.send_header("Content-Encoding", endpoint.content_encoding)
                self.end_headers()
                self.wfile.write(data)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls:
            context = pki.server_context()
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.url = "%s://127.0.0.1:%d/tenant/oauth2/v2.0/token" % ("https" if tls else "http", self.port)
        self._thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class XOAuth2Handler(Collector):
    """Relay handler: XOAUTH2 (user=<user>^Aauth=Bearer <token>^A^A) is the only login, and
    only the tokens in accepted() pass; a refusal is the 334 JSON challenge, then 535."""

    def __init__(self, user, accepted):
        super().__init__()
        self.user = user
        self.accepted = accepted
        self.logins = []

    async def auth_XOAUTH2(self, server, args):
        if len(args) > 1:
            blob = base64.b64decode(args[1])
        else:
            blob = await server.challenge_auth("")
        text = blob.decode("utf-8", "replace") if isinstance(blob, bytes) else ""
        fields = dict(part.split("=", 1) for part in text.split("\x01") if "=" in part)
        token = fields.get("auth", "")[len("Bearer "):] if fields.get("auth", "").startswith("Bearer ") else None
        self.logins.append((fields.get("user"), token))
        if fields.get("user") == self.user and token in self.accepted():
            return AuthResult(success=True, auth_data=fields.get("user"))
        error = json.dumps({"status": "401", "schemes": "bearer", "scope": "https://mail.example/"})
        await server.challenge_auth(error)
        return AuthResult(success=False, handled=False, message="535 5.7.3 Authentication unsuccessful")


def serve():
    """`token_endpoint.py serve [--expires-in N] [--plain] [--content-encoding TEXT]`: prints "<url> <ca file>" and
    serves until SIGTERM, for test programs of other languages."""
    import argparse
    import signal
    import sys

    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["serve"])
    parser.add_argument("--expires-in", type=int, default=3600)
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--content-encoding")
    arguments = parser.parse_args()
    pki = TestPki()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        with TokenEndpoint(pki, expires_in=arguments.expires_in, tls=not arguments.plain,
                           content_encoding=arguments.content_encoding) as endpoint:
            print(endpoint.url, pki.ca_cert, flush=True)
            stop.wait(120)
    finally:
        pki.remove()
    sys.exit(0)


if __name__ == "__main__":
    serve()
