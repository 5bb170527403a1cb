"""A real SMTP relay (aiosmtpd) on 127.0.0.1 for end-to-end tests, and helpers to run
the varnel command and parse what arrived with Python's email package."""

import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from email import policy
from email.parser import BytesParser

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

VARNEL = os.environ.get("VARNEL_BIN", "build/default/varnel")
# A sanitizer build takes memory of its own: peak memory is checked only without one.
SANITIZED = os.environ.get("VARNEL_SANITIZED") == "1"


def free_port(host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def ipv6_loopback_available():
    """Whether ::1 can be listened on here (some containers have no IPv6 at all)."""
    try:
        free_port("::1")
        return True
    except OSError:
        return False


class Collector:
    def __init__(self):
        self.envelopes = []

    async def handle_DATA(self, server, session, envelope):
        self.envelopes.append(envelope)
        return "250 2.0.0 Ok: queued"


class Relay:
    """Context manager: an aiosmtpd relay; with credentials it requires AUTH."""

    def __init__(self, credentials=None, data_size_limit=None, host="127.0.0.1", collector=None):
        self.collector = collector or Collector()
        self.host = host
        self.port = free_port(host)
        kwargs = {"data_size_limit": data_size_limit}
        if credentials is not None:
            user, password = credentials

            def authenticator(server, session, envelope, mechanism, auth_data):
                ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user.encode()
                      and auth_data.password == password.encode())
                return AuthResult(success=ok)

            kwargs.update(authenticator=authenticator, auth_required=True, auth_require_tls=False)
        self.controller = Controller(self.collector, hostname=host, port=self.port, **kwargs)

    def __enter__(self):
        self.controller.start()
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection((self.host, self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.controller.stop()

    @property
    def envelopes(self):
        return self.collector.envelopes


# The outcome row of an accepted send, as --json (format 1) shows it.
SENT_ROW = {"Result": 0, "ErrorMessage": None, "SMTPErrorNumber": None, "SMTPErrorMessage": None,
            "QueryErrorMessage": None}


def sql_text(value):
    return "'" + value.replace("'", "''") + "'"


def run_varnel(statement, *options, check_json=True, env=None, timeout=120):
    """Runs one EXEC statement; returns (exit code, parsed JSON or stdout)."""
    environment = dict(os.environ)
    environment.setdefault("VARNEL_HOSTNAME", "localhost")
    # OAuth tokens are shared through files between runs: each run here starts with none,
    # unless the test names the folder itself.
    scratch = tempfile.mkdtemp(prefix="varnel-tokens-")
    environment["VARNEL_TOKEN_CACHE_DIR"] = os.path.join(scratch, "tokens")
    if env:
        environment.update(env)
    args = [VARNEL, "--json", *options, statement] if check_json else [VARNEL, *options, statement]
    try:
        done = subprocess.run(args, capture_output=True, timeout=timeout, env=environment)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if check_json:
        try:
            return done.returncode, json.loads(done.stdout.decode("utf-8"))
        except ValueError:
            sys.stderr.write(done.stdout.decode("utf-8", "replace") + done.stderr.decode("utf-8", "replace"))
            raise
    return done.returncode, done.stdout.decode("utf-8", "replace")


def write_file(folder, name, text, mode=0o600):
    """Writes text to folder/name with the given mode (private by default); returns the path."""
    path = os.path.join(folder, name)
    with open(path, "w") as file:
        file.write(text)
    os.chmod(path, mode)
    return path


def parse_message(content):
    """Parses raw message bytes with policy default; fails on any defect."""
    message = BytesParser(policy=policy.default).parsebytes(content)
    defects = list(message.defects)
    for part in message.walk():
        defects.extend(part.defects)
    if defects:
        raise AssertionError("message has defects: %r" % defects)
    return message


def header_lines(content):
    """The header block's lines as sent (without their CR LF)."""
    head = content.split(b"\r\n\r\n", 1)[0]
    return head.split(b"\r\n")
