"""Attachments through a real relay: every file arrives byte for byte (binary) or line for
line (text), checked with Python's email package and, for base64 parts, with ripmime;
file lists, wildcards, and query results as attachments."""

import os
import random
import sqlite3
import tempfile
import unittest

from mime_check import attachments, check_message, reformime_sections
from relay import Relay, parse_message, run_varnel, sql_text

CLASSIC_BOUNDARY = "_=_FirstPart___6811EDB8_BBDC_11D5_8A11_0020AF49FB55"
# Each message's boundary: the classic text and a random suffix of its own.
CLOSING = rb"--" + CLASSIC_BOUNDARY.encode() + rb"_[0-9a-f]{12}--$"


def send(relay, **params):
    base = {"recipient": "dba@example.com", "from": "sqlserver@example.com", "address": "127.0.0.1",
            "subject": "files"}
    base.update(params)
    parts = ["@%s=%s" % (k, v if isinstance(v, int) else sql_text(v)) for k, v in base.items()]
    parts.append("@smtpport=%d" % relay.port)
    return run_varnel("exec xp_Varnel " + ", ".join(parts))


class AttachmentTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="varnel-att-")
        rng = random.Random(7)
        cls.files = {}

        def make(name, data):
            path = os.path.join(cls.dir, name)
            with open(path, "wb") as f:
                f.write(data)
            cls.files[name] = path
            return path

        for size in (0, 1, 2, 3, 57, 58, 57001):
            make("bin%d.dat" % size, bytes([0x80 | rng.randrange(128)]) + bytes(rng.randrange(256) for _ in range(size - 1))
                 if size else b"")
        make("random.bin", rng.randbytes(3 * 1024 * 1024 + 17))
        make("lf.txt", b"first line\nsecond = line with\ttab\n.starts with a dot\n\ntrailing blank \n")
        make("crlf.txt", b"first line\r\nsecond line\r\n.\r\nlast\r\n")
        make("late.txt", b"a" * 57000 + b"\n\xe9 after the first block\n")
        make("long.txt", (b"x" * 12000) + b"\n" + (b"y. " * 3000) + b"\n")
        make("empty.txt", b"")
        os.mkdir(os.path.join(cls.dir, "dir.txt"))

    def check(self, names, **params):
        paths = [self.files[n] for n in names]
        with Relay() as relay:
            code, out = send(relay, attachments=params.pop("attachments", ";".join(paths)), **params)
        self.assertEqual(code, 0, out)
        self.assertEqual(len(relay.envelopes), 1)
        raw = relay.envelopes[0].content
        parse_message(raw)
        problems = check_message(raw, paths)
        self.assertEqual(problems, [])
        return raw

    def test_binary_sizes_round_trip(self):
        self.check(["bin0.dat", "bin1.dat", "bin2.dat", "bin3.dat", "bin57.dat", "bin58.dat", "bin57001.dat",
                    "random.bin"])

    def test_text_files_round_trip(self):
        raw = self.check(["lf.txt", "crlf.txt", "late.txt", "long.txt", "empty.txt"])
        encodings = [enc for _, enc, _, _, _ in attachments(raw)]
        self.assertEqual(encodings, ["quoted-printable"] * 5)

    def test_lists_and_wildcards(self):
        pattern = os.path.join(self.dir, "bin5?.dat")
        with Relay() as relay:
            code, _ = send(relay, attachments=" %s , ,%s;" % (self.files["lf.txt"], pattern))
        self.assertEqual(code, 0)
        names = sorted(name for name, _, _, _, _ in attachments(relay.envelopes[0].content))
        self.assertEqual(names, ["bin57.dat", "bin58.dat", "lf.txt"])
        # A directory is never attached; a lone item is used untrimmed; nothing found is a note.
        with Relay() as relay:
            code, _ = send(relay, attachments=os.path.join(self.dir, "dir.*"))
            code2, _ = send(relay, attachments=" " + self.files["lf.txt"])
        self.assertEqual((code, code2), (0, 0))
        for envelope in relay.envelopes:
            message = parse_message(envelope.content)
            self.assertEqual([p.get_filename() for p in message.iter_attachments()], [None])
            self.assertIn(b"Unable to open files", envelope.content)

    def test_results_as_attachments_after_files(self):
        database = os.path.join(self.dir, "q.db")
        with sqlite3.connect(database) as db:
            db.execute("create table t (id int, name varchar(10))")
            db.executemany("insert into t values (?, ?)", [(1, "a b"), (2, None), (3, "x=y.")])
        with Relay() as relay:
            code, out = send(relay, attachments=self.files["lf.txt"], query="select id, name from t",
                             qdatabase=database, qasattachments=1, qfilename="result.csv", qbind=0)
        self.assertEqual(code, 0, out)
        parts = attachments(relay.envelopes[0].content)
        self.assertEqual([p[0] for p in parts], ["lf.txt", "result.csv"])
        self.assertEqual(parts[1][2].replace(b"\r\n", b"\n"), b"id,name\n1,a b,\n2,,\n3,x=y.,\n")
        self.assertRegex(relay.envelopes[0].content.rstrip(), CLOSING)

    def test_body_holding_the_classic_boundary_adds_no_part(self):
        forged = ("see below\r\n--%s\r\nContent-Type: text/html; name=\"invoice.html\"\r\n\r\n"
                  "<script>x()</script>\r\n--%s--\r\n" % (CLASSIC_BOUNDARY, CLASSIC_BOUNDARY))
        raw = self.check(["lf.txt"], body=forged)
        self.assertEqual([p[0] for p in attachments(raw)], ["lf.txt"])

    def test_results_as_attachments_without_result_sets_still_close(self):
        database = os.path.join(self.dir, "empty.db")
        sqlite3.connect(database).execute("create table e (x int)").connection.close()
        with Relay() as relay:
            code, out = send(relay, query="insert into e values (1)", qdatabase=database, qasattachments=1, qbind=0)
        self.assertEqual(code, 0, out)
        raw = relay.envelopes[0].content
        parse_message(raw)
        self.assertRegex(raw.rstrip(), CLOSING)

    def test_result_sets_named_by_the_query_get_short_safe_names(self):
        # The first words of the query joined by underscores, at most 60 characters with
        # the extension: no path, quote or line break of the query reaches the name.
        database = os.path.join(self.dir, "long.db")
        sqlite3.connect(database).execute("create table if not exists l (x int)").connection.close()
        cases = [
            ("select 1 as one " + " ".join("/* padding %04d */" % i for i in range(120)), 0,
             "select_1_as_one_padding_0000_padding_0001_padding_0002.txt"),
            ("select/*" + "x" * 1500 + "*/1", 0, "select.txt"),
            ("select 1 as \"../../etc/passwd\", 2 as \"c:\\temp\\a.txt\"\r\n from l", 0,
             "select_1_as_etc_passwd_2_as_c_temp_a_txt_from_l.txt"),
            ("select x, 'a\"b' as q from l", 1, "select_x_a_b_as_q_from_l.csv"),
        ]
        for query, csv, name in cases:
            with self.subTest(query=query[:20]):
                with Relay() as relay:
                    code, out = send(relay, query=query, qdatabase=database, qasattachments=1, qbind=0, qcsv=csv)
                self.assertEqual(code, 0, out)
                message = parse_message(relay.envelopes[0].content)
                self.assertEqual([p.get_filename() for p in message.iter_attachments()], [name])

    def test_many_result_sets_named_by_a_long_query_stay_small(self):
        # Each part carries a short name, not the whole batch again.
        count = 2000
        query = "select 1 as one;" * count
        with Relay() as relay:
            code, out = send(relay, query=query, qasattachments=1, qbind=0)
        self.assertEqual(code, 0, out)
        raw = relay.envelopes[0].content
        names = [p.get_filename() for p in parse_message(raw).iter_attachments()]
        self.assertEqual(len(names), count)
        self.assertEqual(set(names), {"select_1_as_one_select_1_as_one_select_1_as_one_select_1.txt"})
        self.assertLess(len(raw), count * 400)

    def test_hostile_file_name_cannot_add_headers(self):
        path = os.path.join(self.dir, 'we"ird\\name\rX-Injected: yes.txt')
        with open(path, "wb") as f:
            f.write(b"content\n")
        with Relay() as relay:
            code, _ = send(relay, attachments=path)
        self.assertEqual(code, 0)
        message = parse_message(relay.envelopes[0].content)
        for part in message.walk():
            self.assertIsNone(part.get("X-Injected"))
        self.assertEqual([p.get_filename() for p in message.iter_attachments()], ['we"ird\\name_X-Injected: yes.txt'])

    def test_names_that_look_like_encoded_words_arrive_as_written(self):
        # A reader that decodes "=?...?=" in a quoted value would show another name.
        for name in ("=?utf-8?Q?invoice?=.txt", "report =?utf-8?B?eA==?= " + "n" * 70 + ".txt"):
            for by_query in (False, True):
                with self.subTest(name=name[:20], by_query=by_query):
                    if by_query:
                        params = {"query": "select 1 as one", "qasattachments": 1, "qfilename": name, "qbind": 0}
                    else:
                        params = {"attachments": os.path.join(self.dir, name)}
                        with open(params["attachments"], "wb") as f:
                            f.write(b"content\n")
                    with Relay() as relay:
                        code, out = send(relay, **params)
                    self.assertEqual(code, 0, out)
                    raw = relay.envelopes[0].content
                    self.assertEqual([p.get_filename() for p in parse_message(raw).iter_attachments()], [name])
                    self.assertEqual([s[1] for s in reformime_sections(raw)], ["", name])



if __name__ == "__main__":
    unittest.main()
