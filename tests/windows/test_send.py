"""Sends through xp_varnel.dll under Wine to an aiosmtpd relay on 127.0.0.1: the message as
the relay received it, and the outcome row, done notice and return value as the caller
saw them; the same call through the Linux host answers the same."""

import socket
import threading
import time
import unittest

from winharness import (Relay, as_format1, call_lines, free_port, ipv6_loopback_available, run_host,
                        run_linux_host)

OUTCOME_COLUMNS = ["Result", "ErrorMessage", "SMTPErrorNumber", "SMTPErrorMessage", "QueryErrorMessage"]
SUCCESS_DONE = [{"status": 17, "command": 0, "count": 1}]
# No Cc field without copies; a Message-ID on every message.
HEADER_ORDER = ["Mime-Version", "From", "Date", "Message-ID", "To", "Subject", "Content-Type"]


def named_call(port, **extra):
    params = [("@recipient", "varchar", "to@example.com"),
              ("@from", "varchar", "Sender <from@example.com>"),
              ("@address", "varchar", "127.0.0.1"),
              ("@smtpport", "int", port),
              ("@timeout", "int", 10),
              ("@subject", "varchar", "Nightly load"),
              ("@body", "varchar", "Loaded 12 rows.\r\n.leading dot\r\nEnd")]
    for name, (type_name, value) in extra.items():
        params.append(("@" + name, type_name, value))
    return params


class TestSend(unittest.TestCase):
    def run_call(self, params):
        result = run_host(calls=[call_lines(params)])
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.json

    def assert_message_is_clean(self, received):
        message = received.message
        self.assertEqual(message.defects, [])
        for part in message.walk():
            self.assertEqual(part.defects, [], part)
        header_block = received.data.split(b"\r\n\r\n", 1)[0]
        names = [line.split(b":", 1)[0].decode() for line in header_block.split(b"\r\n")]
        self.assertEqual(names, HEADER_ORDER)

    def test_named_send(self):
        with Relay() as relay:
            call = self.run_call(named_call(relay.port))
        self.assertEqual(call["columns"], OUTCOME_COLUMNS)
        self.assertEqual(call["rows"], [[0, None, None, None, None]])
        self.assertEqual(call["done"], SUCCESS_DONE)
        self.assertEqual(call["return"], 0)
        self.assertEqual(len(relay.messages), 1)
        received = relay.messages[0]
        self.assertEqual(received.peer[0], "127.0.0.1")
        self.assertEqual(received.mail_from, "from@example.com")
        self.assertEqual(received.rcpt_tos, ["to@example.com"])
        self.assert_message_is_clean(received)
        message = received.message
        self.assertEqual(message["Subject"], "Nightly load")
        self.assertEqual(message["To"], "to@example.com")
        self.assertEqual(message["From"], "Sender <from@example.com>")
        self.assertRegex(received.data.decode("latin-1"),
                         r"\r\nDate: [A-Z][a-z][a-z], \d\d [A-Z][a-z][a-z] \d{4} \d\d:\d\d:\d\d \+0000\r\n")
        self.assertIsNotNone(message["Date"].datetime)
        self.assertEqual(message.get_content_type(), "text/plain")
        self.assertEqual(message.get_content_charset(), "iso-8859-1")
        # The line that begins with a dot arrives as written (RFC 5321 section 4.5.2).
        self.assertEqual(message.get_content().replace("\r\n", "\n").rstrip("\n"), "Loaded 12 rows.\n.leading dot\nEnd")

    @unittest.skipUnless(ipv6_loopback_available(), "no IPv6 loopback on this machine")
    def test_relay_on_the_ipv6_loopback(self):
        with Relay(host="::1") as relay:
            call = self.run_call(named_call(relay.port, address=("varchar", "::1")))
        self.assertEqual(call["rows"], [[0, None, None, None, None]])
        self.assertEqual(len(relay.messages), 1)
        self.assertEqual(relay.messages[0].message["Subject"], "Nightly load")

    def test_no_output_and_positional_form(self):
        with Relay() as relay:
            quiet = self.run_call(named_call(relay.port, no_output=("int", 1)))
            positional = self.run_call([(None, "varchar", "to@example.com"), (None, "varchar", "from@example.com"),
                                        (None, "varchar", "127.0.0.1"), (None, "varchar", "Positional"),
                                        (None, "varchar", None), (None, "varchar", None),
                                        (None, "varchar", "Body"), (None, "varchar", None),
                                        (None, "int", 10), (None, "int", relay.port)])
        self.assertEqual((quiet["columns"], quiet["rows"], quiet["return"]), ([], [], 0))
        self.assertEqual(quiet["done"], [{"status": 1, "command": 0, "count": 0}])
        self.assertEqual(positional["rows"], [[0, None, None, None, None]])
        self.assertEqual(sorted(m.message["Subject"] for m in relay.messages), ["Nightly load", "Positional"])

    def test_localhost_means_the_local_host_name(self):
        # VARNEL_HOSTNAME=localhost: the host name the procedure connects to instead.
        with Relay() as relay:
            params = [p if p[0] != "@address" else ("@address", "varchar", "LocalHost") for p in named_call(relay.port)]
            call = self.run_call(params)
        self.assertEqual(call["rows"][0][0], 0, call)
        self.assertEqual(len(relay.messages), 1)

    def test_refused_connection_and_silent_relay(self):
        refused = self.run_call(named_call(free_port()))
        self.assertEqual(refused["rows"][0][0], 3, refused)
        self.assertEqual(refused["return"], 1)

        # A relay that accepts and never greets: the call ends after @timeout seconds.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        held = []
        accepting = threading.Thread(target=lambda: held.append(listener.accept()[0]), daemon=True)
        accepting.start()
        try:
            started = time.monotonic()
            params = [p if p[0] != "@timeout" else ("@timeout", "int", 1) for p in named_call(listener.getsockname()[1])]
            silent = self.run_call(params)
            elapsed = time.monotonic() - started
        finally:
            for connection in held:
                connection.close()
            listener.close()
        self.assertEqual(silent["rows"][0][0], 8, silent)
        self.assertLess(elapsed, 8, "the time-out of one second was not kept")

    def test_same_answer_as_the_linux_host(self):
        with Relay() as relay:
            params = named_call(relay.port)
            windows = self.run_call(params)
            linux = run_linux_host(params)
        if linux is None:
            self.skipTest("the Linux host is not built (VARNEL_BIN)")
        self.assertEqual(as_format1(windows), linux)
        self.assertEqual(len(relay.messages), 2)

    def test_fallback_relay_gives_the_same_answer_as_the_linux_host(self):
        # Nothing listens on 127.0.0.2: the first relay of the list refuses the connection.
        with Relay() as relay:
            params = [p if p[0] != "@address" else ("@address", "varchar", "127.0.0.2; 127.0.0.1")
                      for p in named_call(relay.port)]
            windows = self.run_call(params)
            linux = run_linux_host(params)
        self.assertEqual(windows["rows"][0][0], 0, windows)
        if linux is None:
            self.skipTest("the Linux host is not built (VARNEL_BIN)")
        self.assertEqual(as_format1(windows), linux)
        self.assertEqual(len(relay.messages), 2)


if __name__ == "__main__":
    unittest.main()
