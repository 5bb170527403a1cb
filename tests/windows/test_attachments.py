"""Attachments named by a Windows path and by a wildcard, matched without regard to case,
as the relay received them."""

import os
import tempfile
import unittest

from winharness import Relay, call_lines, run_host, windows_path

TEXT = b"first line\nsecond line with = sign\n.dot line\n"
BINARY = bytes(range(256)) * 40


class TestAttachments(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        files = {"notes.txt": TEXT, "Report.Txt": b"report\n", "data.bin": BINARY, "other.log": b"log\n"}
        for name, content in files.items():
            with open(os.path.join(self.folder.name, name), "wb") as file:
                file.write(content)
        os.mkdir(os.path.join(self.folder.name, "folder.txt"))

    def tearDown(self):
        self.folder.cleanup()

    def send(self, relay, attachments):
        params = [("@recipient", "varchar", "to@example.com"), ("@from", "varchar", "from@example.com"),
                  ("@address", "varchar", "127.0.0.1"), ("@smtpport", "int", relay.port),
                  ("@timeout", "int", 10), ("@subject", "varchar", attachments),
                  ("@body", "varchar", "See attached."), ("@attachments", "varchar", attachments)]
        return call_lines(params)

    @staticmethod
    def attachments(received):
        """Named attachment parts; the note for files that were not found has no name."""
        parts = {}
        for part in received.message.iter_attachments():
            if part.get_filename() is not None:
                parts[part.get_filename()] = (part["Content-Transfer-Encoding"], part.get_payload(decode=True))
        return parts

    def test_windows_path_and_wildcards(self):
        folder = windows_path(self.folder.name)
        cases = {
            folder + "\\notes.txt": {"notes.txt"},
            folder + "\\*.TXT": {"notes.txt", "Report.Txt"},          # never the directory folder.txt
            folder + "\\DATA.*;" + folder + "\\n?tes.txt": {"data.bin", "notes.txt"},
            folder + "\\nothing*.txt": set(),
        }
        with Relay() as relay:
            result = run_host(calls=[self.send(relay, attachments) for attachments in cases])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([call["rows"][0][0] for call in result.json], [0] * len(cases))
        by_subject = {m.message["Subject"]: m for m in relay.messages}
        self.assertEqual(set(by_subject), set(cases))
        for attachments, expected in cases.items():
            with self.subTest(attachments):
                received = by_subject[attachments]
                self.assertEqual(received.message.defects, [])
                self.assertEqual(received.message.get_content_type(), "multipart/mixed")
                parts = self.attachments(received)
                self.assertEqual(set(parts), expected)
                if "notes.txt" in parts:
                    encoding, content = parts["notes.txt"]
                    self.assertEqual(encoding, "quoted-printable")
                    self.assertEqual(content.replace(b"\r\n", b"\n"), TEXT)
                if "data.bin" in parts:
                    encoding, content = parts["data.bin"]
                    self.assertEqual(encoding, "base64")
                    self.assertEqual(content, BINARY)
                if not expected:
                    self.assertIn(b"Unable to open files " + attachments.encode("latin-1"), received.data)


if __name__ == "__main__":
    unittest.main()
