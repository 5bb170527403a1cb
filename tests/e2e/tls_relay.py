"""TLS relays (aiosmtpd) on 127.0.0.1 and the throwaway PKI they present, for end-to-end tests.

The PKI is made once per process by tests/tls/make_pki.sh (openssl CLI) in a temporary
directory:

    pki = TestPki.get()
    pki.ca                      trusted root (PEM path); pki.other_ca: a root nobody trusts
    pki.cert(name)              (certificate file, key file) of a leaf: "good" (localhost,
                                127.0.0.1, ::1), "wrong-name" (wrong.example), "expired",
                                "untrusted" (issued by other_ca); add "-chain" to any name
                                for the leaf followed by its CA
    pki.env()                   {"VARNEL_TLS_CA_FILE": pki.ca}: the environment that makes
                                varnel trust the test root (pass as run_varnel(env=...))

A relay is a context manager like relay.Relay:

    with TlsRelay(tls="starttls") as relay:          # STARTTLS offered after EHLO
    with TlsRelay(tls="implicit") as relay:          # TLS from the first byte (port 465 style)
    with TlsRelay(tls=None) as relay:                # no TLS at all (STARTTLS not offered)

Keyword arguments (all optional):
    cert="good"                 the leaf it presents (see pki.cert)
    credentials=("user", "pw")  AUTH PLAIN and LOGIN accept exactly these; AUTH is required
    token="..."                 AUTH XOAUTH2 is offered and accepts this bearer token for the
                                credentials' user (or any user without credentials); a wrong
                                token gets "334 <base64 JSON error>", then 535 after the
                                client's empty line
    exclude=["LOGIN"]           mechanisms left out of the EHLO AUTH list (force a choice)
    max_version="TLSv1_1"       highest protocol version offered ("TLSv1_1": a TLS 1.0/1.1-
                                only relay); min_version likewise
    inject_after_starttls=b"250 injected\\r\\n"
                                plaintext sent right behind "220 Ready to start TLS"
                                (RFC 3207 section 4.2 attack)
    data_size_limit=N           SIZE N announced and enforced
    host="127.0.0.1"

What it recorded:
    relay.port
    relay.envelopes             aiosmtpd envelopes of the accepted messages
    relay.lines                 every command line the client sent (outside DATA), as
                                (text without CR LF, TLS version or None): e.g.
                                ("AUTH PLAIN AGZvbwBiYXI=", "TLSv1.3"); AUTH continuation
                                lines appear too, so a test can prove that nothing
                                secret went out in clear
    relay.commands()            just the texts of relay.lines
    relay.auth                  (mechanism, login, success) per AUTH attempt
"""

import base64
import json
import os
import socket
import ssl
import warnings
import subprocess
import tempfile

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

from relay import Collector, Relay

SOURCE_DIR = os.environ.get("VARNEL_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


class TestPki:
    _made = None

    def __init__(self, directory):
        self.dir = directory
        self.ca = os.path.join(directory, "ca.pem")
        self.other_ca = os.path.join(directory, "other-ca.pem")
        self.key = os.path.join(directory, "leaf.key")

    @classmethod
    def get(cls):
        if cls._made is None:
            directory = tempfile.mkdtemp(prefix="varnel-pki.")
            subprocess.run([os.path.join(SOURCE_DIR, "tests", "tls", "make_pki.sh"), directory], check=True)
            cls._made = cls(directory)
        return cls._made

    def cert(self, name):
        return os.path.join(self.dir, name + ".pem"), self.key

    def env(self):
        return {"VARNEL_TLS_CA_FILE": self.ca}

    def server_context(self, name="good", min_version=None, max_version=None):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*self.cert(name))
        warnings.filterwarnings("ignore", "ssl.TLSVersion", DeprecationWarning)
        if min_version or max_version:
            # TLS 1.0 and 1.1 are off at OpenSSL's default security level.
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
            context.minimum_version = getattr(ssl.TLSVersion, min_version or "TLSv1")
        if max_version:
            context.maximum_version = getattr(ssl.TLSVersion, max_version)
        return context


class _RecordingSMTP(SMTP):
    """aiosmtpd's SMTP session, recording the client's command lines with the TLS state."""

    def __init__(self, handler, *args, relay=None, inject_after_starttls=None, **kwargs):
        super().__init__(handler, *args, **kwargs)
        self._relay = relay
        self._inject = inject_after_starttls
        self._in_data = False

    def _client_connected_cb(self, reader, writer):
        super()._client_connected_cb(reader, writer)
        # readline reads through readuntil: one wrapper sees every line once.
        reader.readuntil = self._recording(reader.readuntil)

    def _recording(self, read):
        async def recorded(*args, **kwargs):
            line = await read(*args, **kwargs)
            text = line.rstrip(b"\r\n").decode("utf-8", "replace")
            if self._in_data:
                self._in_data = text != "."
            else:
                ssl_object = self.transport.get_extra_info("ssl_object") if self.transport else None
                self._relay.lines.append((text, ssl_object.version() if ssl_object else None))
                self._in_data = text.upper() == "DATA"
            return line
        return recorded

    async def push(self, status):
        if self._inject and status.startswith("220 Ready to start TLS"):
            # One write: the injected bytes travel in the same segment as the 220.
            self.transport.write(status.encode() + b"\r\n" + self._inject)
            return
        await super().push(status)

    async def smtp_DATA(self, arg):
        await super().smtp_DATA(arg)
        # Refusals before the 354 keep the session in command mode.
        self._in_data = False


class _Controller(Controller):
    def __init__(self, handler, relay, inject, **kwargs):
        self._relay = relay
        self._inject = inject
        super().__init__(handler, **kwargs)

    def _trigger_server(self):
        # aiosmtpd's own first connection, with a client context that also speaks the old
        # protocol versions a TLS 1.0/1.1-only relay offers.
        with socket.create_connection((self.hostname, self.port), 1.0) as connection:
            if self.ssl_context:
                context = ssl._create_unverified_context()
                context.set_ciphers("DEFAULT:@SECLEVEL=0")
                context.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
                with context.wrap_socket(connection) as secure:
                    secure.recv(1024)
            else:
                connection.recv(1024)

    def factory(self):
        return _RecordingSMTP(self.handler, relay=self._relay, inject_after_starttls=self._inject, **self.SMTP_kwargs)


class _TlsCollector(Collector):
    def __init__(self, relay, user, token):
        super().__init__()
        self._relay = relay
        self._user = user
        self._token = token

    async def auth_XOAUTH2(self, server, args):
        blob = base64.b64decode(args[1]) if len(args) > 1 else await server.challenge_auth("")
        fields = dict(part.split("=", 1) for part in blob.decode("utf-8", "replace").split("\x01") if "=" in part)
        login = fields.get("user")
        ok = fields.get("auth") == "Bearer " + self._token and (self._user is None or login == self._user)
        self._relay.auth.append(("XOAUTH2", login, ok))
        if ok:
            return AuthResult(success=True, auth_data=login)
        # The error challenge of Google's and Microsoft's relays; the client answers with an
        # empty line and then gets the final refusal.
        error = json.dumps({"status": "401", "schemes": "Bearer", "scope": "https://mail.example/"})
        await server.challenge_auth(error)
        return AuthResult(success=False, handled=False, message="535 5.7.8 Username and Password not accepted")


class TlsRelay(Relay):
    def __init__(self, tls="starttls", cert="good", credentials=None, token=None, exclude=None,
                 min_version=None, max_version=None, inject_after_starttls=None, data_size_limit=None,
                 host="127.0.0.1"):
        from relay import free_port

        self.lines = []
        self.auth = []
        self.host = host
        self.port = free_port(host)
        user = credentials[0] if credentials else None
        self.collector = _TlsCollector(self, user, token or "")
        kwargs = {"data_size_limit": data_size_limit, "auth_exclude_mechanism": list(exclude or [])}
        if token is None:
            kwargs["auth_exclude_mechanism"].append("XOAUTH2")
        context = TestPki.get().server_context(cert, min_version, max_version) if tls else None
        if tls == "starttls":
            kwargs.update(tls_context=context, require_starttls=False)
        elif tls == "implicit":
            kwargs["ssl_context"] = context
        elif tls is not None:
            raise ValueError("tls must be 'starttls', 'implicit' or None")
        if credentials is not None or token is not None:
            def authenticator(server, session, envelope, mechanism, auth_data):
                ok = (credentials is not None and isinstance(auth_data, LoginPassword)
                      and auth_data.login == credentials[0].encode()
                      and auth_data.password == credentials[1].encode())
                login = auth_data.login.decode("utf-8", "replace") if isinstance(auth_data, LoginPassword) else None
                self.auth.append((mechanism, login, ok))
                return AuthResult(success=ok, handled=False)

            # Implicit TLS does not count as encrypted to aiosmtpd; STARTTLS relays keep the
            # rule that AUTH waits for TLS (538 before it).
            kwargs.update(authenticator=authenticator, auth_required=True,
                          auth_require_tls=(tls == "starttls"))
        self.controller = _Controller(self.collector, self, inject_after_starttls, hostname=host, port=self.port,
                                      **kwargs)

    def commands(self):
        return [text for text, _ in self.lines]
