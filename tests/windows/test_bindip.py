"""The BindIP setting under HKEY_LOCAL_MACHINE\\Software\\Corvane, set with Wine's reg.exe:
read, never created, and honoured or reported when it names no local address."""

import os
import tempfile
import unittest

from winharness import (Relay, call_lines, delete_settings_key, run_host, set_setting,
                        settings_key_exists, windows_path)


class TestBindIP(unittest.TestCase):
    def setUp(self):
        delete_settings_key()
        self.folder = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.folder.name, "corvane.log")

    def tearDown(self):
        delete_settings_key()
        self.folder.cleanup()

    def send(self, relay):
        params = [("@recipient", "varchar", "to@example.com"), ("@from", "varchar", "from@example.com"),
                  ("@address", "varchar", "127.0.0.1"), ("@smtpport", "int", relay.port),
                  ("@timeout", "int", 10), ("@subject", "varchar", "Bind test"),
                  ("@debug", "int", 1), ("@debugfilename", "varchar", windows_path(self.log))]
        result = run_host(calls=[call_lines(params)])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.json["rows"][0][0], 0, result.json)
        with open(self.log, "rb") as file:
            return file.read().decode("latin-1")

    def test_missing_key_is_no_preference_and_stays_missing(self):
        with Relay() as relay:
            log = self.send(relay)
        self.assertEqual(len(relay.messages), 1)
        self.assertNotIn("BindIP address not found", log)
        self.assertIn("Using binding socket -127.0.0.1", log)
        self.assertFalse(settings_key_exists(), "the call created the settings key")

    def test_bind_address_from_the_registry(self):
        set_setting("BindIP", "127.0.0.1")
        with Relay() as relay:
            log = self.send(relay)
        self.assertEqual([m.peer[0] for m in relay.messages], ["127.0.0.1"])
        self.assertIn("Using binding socket -127.0.0.1", log)
        self.assertNotIn("BindIP address not found", log)

    def test_bind_address_that_is_not_local(self):
        set_setting("BindIP", "127.0.0.9")
        with Relay() as relay:
            log = self.send(relay)
        self.assertEqual(len(relay.messages), 1)
        self.assertIn("BindIP address not found - using default", log)
        self.assertIn("Using binding socket -127.0.0.1", log)


if __name__ == "__main__":
    unittest.main()
