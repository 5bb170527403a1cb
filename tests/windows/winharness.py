"""Running xp_varnel.dll under Wine: the test host, the Wine registry, a local relay.

The environment comes from scripts/test-windows: WINEPREFIX (a fresh prefix), WINEDEBUG,
VARNEL_WINE (the wine64 loader), VARNEL_WINDOWS_BIN (the folder holding xp_host.exe,
xp_varnel.dll and the opends60.dll stand-in) and VARNEL_HOSTNAME=localhost, so that every
connection stays on the loopback interface.
"""

import json
import os
import socket
import subprocess
import tempfile
import threading
import time
from email import policy
from email.parser import BytesParser

from aiosmtpd.controller import Controller

WINE = os.environ.get("VARNEL_WINE", "/usr/lib/wine/wine64")
BIN = os.environ.get("VARNEL_WINDOWS_BIN", "")
HOST_TIMEOUT = 60


def windows_path(path):
    """The Wine name of a POSIX path: the Z: drive is the root of the file system."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def scenario_line(name, type_name, value):
    """One parameter line of the test host; value None is NULL. Escapes as the host reads them."""
    if value is None:
        return f"null {name} {type_name}"
    text = str(value)
    text = text.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t")
    return f"param {name} {type_name} {text}"


def call_lines(params):
    """Scenario lines of a call given as (name, type, value) triples; name None is positional."""
    return [scenario_line(name or "-", type_name, value) for name, type_name, value in params]


def _sql_literal(type_name, value):
    if value is None:
        return "NULL"
    if type_name in ("varchar", "char", "text"):
        return "'" + str(value).replace("'", "''") + "'"
    if type_name in ("nvarchar", "nchar", "ntext"):
        return "N'" + str(value).replace("'", "''") + "'"
    if type_name == "int":
        return str(value)
    return f"CAST({_sql_literal('varchar', value)} AS {type_name})"


def exec_statement(params):
    """The same call as a T-SQL statement for the Linux host command."""
    arguments = []
    for name, type_name, value in params:
        literal = _sql_literal(type_name, value)
        arguments.append(f"{name}={literal}" if name else literal)
    return "exec xp_Varnel " + ", ".join(arguments)


# What the test host and the Linux host's --json (format 1) both know of a call.
SHARED_FIELDS = ("return", "messages", "columns", "rows", "done")
OUTCOME_COLUMNS = ["Result", "ErrorMessage", "SMTPErrorNumber", "SMTPErrorMessage", "QueryErrorMessage"]


def run_linux_host(params, env=None, timeout=HOST_TIMEOUT):
    """The Linux host's --json answer to the same call, its fields that the test host also
    shows (SHARED_FIELDS), or None when it was not built. env: variables added to the
    environment (the host's stand-in for the registry)."""
    binary = os.environ.get("VARNEL_BIN", "")
    if not binary or not os.access(binary, os.X_OK):
        return None
    completed = subprocess.run([binary, "--json", exec_statement(params)], capture_output=True, timeout=timeout,
                               env={**os.environ, **(env or {})})
    answer = json.loads(completed.stdout.decode("utf-8"))
    assert answer["format"] == 1, answer
    return {name: answer[name] for name in SHARED_FIELDS}


def as_format1(answer):
    """The test host's answer to a call (what the server interface carried: rows as lists,
    done notices with their status bits) in the shape of the Linux host's --json format 1:
    rows keyed by column name, the outcome's reply code a number or null, done notices as
    "more" and "count"."""
    columns = answer["columns"]
    rows = []
    for values in answer["rows"]:
        row = dict(zip(columns, values))
        if columns == OUTCOME_COLUMNS:
            code = row["SMTPErrorNumber"]
            row["SMTPErrorNumber"] = int(code) if isinstance(code, str) and len(code) == 3 and code.isdigit() else None
        rows.append(row)
    done = [{"more": bool(notice["status"] & 0x01), "count": notice["count"] if notice["status"] & 0x10 else None}
            for notice in answer["done"]]
    return {"return": answer["return"], "messages": answer["messages"], "columns": columns, "rows": rows,
            "done": done}


class HostResult:
    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout.decode("utf-8", "replace")
        self.stderr = completed.stderr.decode("utf-8", "replace")
        self.json = json.loads(self.stdout) if self.stdout.strip().startswith(("{", "[")) else None


def run_host(*args, calls=None, threads=None, env=None, timeout=HOST_TIMEOUT, folder=None):
    """Runs xp_host.exe. calls: a list of calls, each a list of scenario lines, written to
    files (one -f per call); args: further command-line arguments (lines of one call);
    folder: another folder holding the host and its DLLs (default: the build's)."""
    bin_folder = folder or BIN
    command = [WINE, os.path.join(bin_folder, "xp_host.exe")]
    if threads:
        command += ["--threads", str(threads)]
    with tempfile.TemporaryDirectory() as folder:
        for index, lines in enumerate(calls or []):
            path = os.path.join(folder, f"call{index}.txt")
            with open(path, "w", encoding="utf-8", newline="\n") as file:
                file.write("\n".join(lines) + "\n")
            command += ["-f", windows_path(path)]
        command += list(args)
        full_env = dict(os.environ)
        full_env.update(env or {})
        completed = subprocess.run(command, cwd=bin_folder, env=full_env, capture_output=True, timeout=timeout)
    return HostResult(completed)


def wine_reg(*args, check=True):
    """Runs Wine's reg.exe in the test prefix; returns its exit status."""
    completed = subprocess.run([WINE, "reg", *args], capture_output=True, timeout=60)
    if check and completed.returncode != 0:
        raise AssertionError(f"wine reg {' '.join(args)} failed: {completed.stderr!r}")
    return completed.returncode


SETTINGS_KEY = r"HKLM\Software\Corvane"


def settings_key_exists():
    return wine_reg("query", SETTINGS_KEY, check=False) == 0


def delete_settings_key():
    if settings_key_exists():
        wine_reg("delete", SETTINGS_KEY, "/f")


def set_setting(name, value):
    wine_reg("add", SETTINGS_KEY, "/v", name, "/t", "REG_SZ", "/d", value, "/f")


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def ipv6_loopback_available():
    """Whether ::1 can be listened on here (some containers have no IPv6 at all)."""
    try:
        free_port("::1")
        return True
    except OSError:
        return False


def wait_for_port(port, deadline=10.0, host="127.0.0.1"):
    """Waits until something accepts connections on host:port."""
    end = time.monotonic() + deadline
    while True:
        try:
            with socket.create_connection((host, port), timeout=1):
                return
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


class ReceivedMessage:
    def __init__(self, envelope, session):
        self.peer = session.peer
        self.mail_from = envelope.mail_from
        self.rcpt_tos = list(envelope.rcpt_tos)
        self.data = envelope.original_content or envelope.content
        self.message = BytesParser(policy=policy.default).parsebytes(self.data)


class _Handler:
    def __init__(self, relay):
        self.relay = relay

    async def handle_DATA(self, server, session, envelope):
        self.relay._received(ReceivedMessage(envelope, session))
        return "250 OK"


class Relay:
    """An aiosmtpd relay on 127.0.0.1 (or ::1) that keeps every message it accepts."""

    def __init__(self, host="127.0.0.1"):
        self.host = host
        self.port = free_port(host)
        self.messages = []
        self._lock = threading.Lock()
        self._controller = Controller(_Handler(self), hostname=host, port=self.port)

    def _received(self, message):
        with self._lock:
            self.messages.append(message)

    def __enter__(self):
        self._controller.start()
        wait_for_port(self.port, host=self.host)
        # The readiness probes above were sessions of their own; only messages count.
        return self

    def __exit__(self, *exc):
        self._controller.stop()
