"""Several calls at once, each on its own server thread: every call delivers its own
message and answers on its own thread only (the stand-in records any other use)."""

import unittest

from winharness import Relay, call_lines, run_host

CALLS = 8


class TestConcurrentCalls(unittest.TestCase):
    def test_eight_calls_at_once(self):
        with Relay() as relay:
            calls = [call_lines([("@recipient", "varchar", f"to{n}@example.com"),
                                 ("@from", "varchar", "from@example.com"),
                                 ("@address", "varchar", "127.0.0.1"), ("@smtpport", "int", relay.port),
                                 ("@timeout", "int", 20), ("@subject", "varchar", f"Call {n}"),
                                 ("@body", "varchar", f"Body of call {n}")])
                     for n in range(CALLS)]
            result = run_host(calls=calls)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([call["rows"] for call in result.json], [[[0, None, None, None, None]]] * CALLS)
        received = {m.message["Subject"]: m for m in relay.messages}
        self.assertEqual(set(received), {f"Call {n}" for n in range(CALLS)})
        for n in range(CALLS):
            message = received[f"Call {n}"]
            self.assertEqual(message.rcpt_tos, [f"to{n}@example.com"])
            self.assertEqual(message.message.get_content().strip(), f"Body of call {n}")


if __name__ == "__main__":
    unittest.main()
