"""Retries under Wine: a relay that answers 421 to the first MAIL of a call and takes the
message on the next round, with Retries and RetryDelay from the registry or from a
registry profile's keys, and a call whose bound (@maxseconds) ends the rounds. The DLL
answers as the Linux host does to the same relay (outcome row, messages, done notices),
and its log names the same attempts."""

import os
import re
import tempfile
import threading
import time
import unittest

from aiosmtpd.controller import Controller

from winharness import (as_format1, call_lines, delete_settings_key, free_port, run_host, run_linux_host,
                        set_setting, wait_for_port, windows_path, wine_reg)

PROFILES_KEY = r"HKLM\Software\Corvane\Profiles"
BUSY = "421 4.3.2 Busy, try again later"


class _BusyHandler:
    def __init__(self, relay):
        self.relay = relay

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        with self.relay.lock:
            self.relay.mail_commands += 1
            if self.relay.busy_left > 0:
                self.relay.busy_left -= 1
                return BUSY
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.relay.lock:
            self.relay.messages.append(envelope.content)
        return "250 2.0.0 Queued"


class BusyRelay:
    """An aiosmtpd relay on 127.0.0.1 that refuses the next `busy` MAIL commands with 421
    (arm sets how many) and takes every message after them."""

    def __init__(self):
        self.port = free_port()
        self.lock = threading.Lock()
        self.busy_left = 0
        self.mail_commands = 0
        self.messages = []
        self._controller = Controller(_BusyHandler(self), hostname="127.0.0.1", port=self.port)

    def arm(self, busy):
        with self.lock:
            self.busy_left = busy
            self.mail_commands = 0
            self.messages = []

    def __enter__(self):
        self._controller.start()
        wait_for_port(self.port)
        return self

    def __exit__(self, *exc):
        self._controller.stop()


def call(port, **extra):
    params = [("@recipient", "varchar", "to@example.com"), ("@from", "varchar", "from@example.com"),
              ("@subject", "varchar", "Retried"), ("@body", "varchar", "Body"), ("@timeout", "int", 10)]
    if port is not None:
        params += [("@address", "varchar", "127.0.0.1"), ("@smtpport", "int", port)]
    for name, (type_name, value) in extra.items():
        params.append(("@" + name, type_name, value))
    return params


def attempt_lines(path):
    """The log's lines on attempts, without their time and thread prefix."""
    with open(path, "rb") as file:
        text = file.read().decode("latin-1")
    return re.findall(r"Attempt \d+ at [^\r\n]*", text)


class TestRetries(unittest.TestCase):
    def setUp(self):
        delete_settings_key()
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        delete_settings_key()
        self.folder.cleanup()

    def run_windows(self, params):
        started = time.monotonic()
        result = run_host(calls=[call_lines(params)])
        self.assertIsNotNone(result.json, result.stdout + result.stderr)
        return result.json, time.monotonic() - started

    def linux_or_skip(self, params, env):
        linux = run_linux_host(params, env={"VARNEL_CONFIG_DIR": self.folder.name, **env})
        if linux is None:
            self.skipTest("the Linux host is not built (VARNEL_BIN)")
        return linux

    def test_421_then_accepted_on_the_second_round_as_on_linux(self):
        # Retries and RetryDelay from the registry; the Linux host reads the same settings
        # from its environment.
        set_setting("Retries", "1")
        set_setting("RetryDelay", "1")
        # Not in the settings folder: a log is never written among the settings.
        logs = tempfile.TemporaryDirectory()
        self.addCleanup(logs.cleanup)
        windows_log = os.path.join(logs.name, "windows.log")
        linux_log = os.path.join(logs.name, "linux.log")
        with BusyRelay() as relay:
            relay.arm(1)
            windows, elapsed = self.run_windows(
                call(relay.port, debug=("int", 1), debugfilename=("varchar", windows_path(windows_log))))
            self.assertEqual(windows["rows"], [[0, None, None, None, None]], windows)
            self.assertEqual((relay.mail_commands, len(relay.messages)), (2, 1))
            self.assertGreaterEqual(elapsed, 1.0, "the second round came before RetryDelay")

            relay.arm(1)
            linux = self.linux_or_skip(call(relay.port, debug=("int", 1), debugfilename=("varchar", linux_log)),
                                       {"VARNEL_RETRIES": "1", "VARNEL_RETRY_DELAY": "1"})
            self.assertEqual((relay.mail_commands, len(relay.messages)), (2, 1))
        self.assertEqual(as_format1(windows), linux)
        self.assertEqual(attempt_lines(windows_log), attempt_lines(linux_log))
        self.assertEqual(attempt_lines(windows_log)[0], f"Attempt 1 at 127.0.0.1:{relay.port}: {BUSY}")
        self.assertEqual(len(attempt_lines(windows_log)), 2)

    def test_retry_keys_of_a_registry_profile_as_on_linux(self):
        with BusyRelay() as relay:
            key = PROFILES_KEY + "\\retrying"
            wine_reg("add", key, "/v", "address", "/t", "REG_MULTI_SZ", "/d", "127.0.0.1:%d" % relay.port, "/f")
            wine_reg("add", key, "/v", "tls", "/t", "REG_DWORD", "/d", "0", "/f")
            wine_reg("add", key, "/v", "retries", "/t", "REG_DWORD", "/d", "2", "/f")
            wine_reg("add", key, "/v", "retry_delay", "/t", "REG_DWORD", "/d", "0", "/f")
            params = call(None, profile=("varchar", "retrying"))
            relay.arm(2)
            windows, _ = self.run_windows(params)
            self.assertEqual(windows["rows"], [[0, None, None, None, None]], windows)
            self.assertEqual((relay.mail_commands, len(relay.messages)), (3, 1))

            with open(os.path.join(self.folder.name, "varnel.conf"), "w") as conf:
                conf.write('[profile.retrying]\naddress = "127.0.0.1:%d"\ntls = 0\nretries = 2\nretry_delay = 0\n'
                           % relay.port)
            relay.arm(2)
            linux = self.linux_or_skip(params, {})
            self.assertEqual((relay.mail_commands, len(relay.messages)), (3, 1))
        self.assertEqual(as_format1(windows), linux)

    def test_call_bound_ends_the_rounds_as_on_linux(self):
        # Every round is refused: the first two tries fit in three seconds, the wait before
        # the third does not, so the call ends at its bound naming both tries.
        set_setting("Retries", "5")
        set_setting("RetryDelay", "1")
        with BusyRelay() as relay:
            params = call(relay.port, maxseconds=("int", 3))
            relay.arm(100)
            windows, elapsed = self.run_windows(params)
            self.assertEqual((relay.mail_commands, relay.messages), (2, []))
            relay.arm(100)
            linux = self.linux_or_skip(params, {"VARNEL_RETRIES": "5", "VARNEL_RETRY_DELAY": "1"})
        row = windows["rows"][0]
        self.assertEqual(row[0], 8, windows)
        self.assertIn(f"after 2 attempt(s): 127.0.0.1:{relay.port} {BUSY}; 127.0.0.1:{relay.port} {BUSY}", row[1])
        self.assertLess(elapsed, 9, "the call outlasted its bound of three seconds")
        self.assertEqual(as_format1(windows), linux)


if __name__ == "__main__":
    unittest.main()
