"""Address lists end to end: quoted names holding commas and semicolons, comments, long
lists folded within 998 octets as Python's email package reads them back, and addresses
that would change the envelope refused before any connection is made."""

import socket
import unittest

from relay import Relay, header_lines, parse_message, run_varnel, sql_text


def statement(port, **params):
    base = {"recipient": "dba@example.com", "from": "sqlserver@example.com", "address": "127.0.0.1"}
    base.update(params)
    parts = ["@%s=%s" % (k, v if isinstance(v, int) else sql_text(v)) for k, v in base.items()]
    parts.append("@smtpport=%d" % port)
    return "exec master.dbo.xp_Varnel " + ", ".join(parts)


class AddressTest(unittest.TestCase):
    def test_long_lists_fold_within_998_and_read_back_as_given(self):
        to = ['"Doe, John %d" <john%d@example.com>' % (i, i) for i in range(150)]
        long_name = " ".join(["Nightly"] * 400)
        to.append('"%s" <long@example.com>' % long_name)
        copies = 'ops@example.com (Ops; nights), "Smith; Jane" <jane@example.com>'
        with Relay() as relay:
            code, out = run_varnel(statement(relay.port, recipient="; ".join(to), copy_recipients=copies,
                                             **{"from": '"Reports, nightly" <reports@example.com>'}))
        self.assertEqual((out["rows"][0]["Result"], out["rows"][0]["ErrorMessage"]), (0, None), out)
        self.assertEqual(code, 0)
        envelope = relay.envelopes[0]
        to_addresses = ["john%d@example.com" % i for i in range(150)] + ["long@example.com"]
        self.assertEqual(envelope.mail_from, "reports@example.com")
        self.assertEqual(envelope.rcpt_tos, to_addresses + ["ops@example.com", "jane@example.com"])
        lines = header_lines(envelope.content)
        self.assertEqual([line for line in lines if len(line) > 998], [])
        self.assertGreater(len(lines), 150 // 2, "the lists are folded")

        message = parse_message(envelope.content)
        self.assertEqual([a.addr_spec for a in message["To"].addresses], to_addresses)
        self.assertEqual(message["To"].addresses[7].display_name, "Doe, John 7")
        self.assertEqual(message["To"].addresses[-1].display_name, long_name)
        self.assertEqual([(a.display_name, a.addr_spec) for a in message["Cc"].addresses],
                         [("", "ops@example.com"), ("Smith; Jane", "jane@example.com")])
        self.assertEqual(message["From"].addresses[0].display_name, "Reports, nightly")

    def test_refused_address_ends_the_call_with_status_5_and_no_connection(self):
        cases = [
            ("from", "a@b.test> RET=HDRS ENVID=X", 'the address "a@b.test> RET=HDRS ENVID=X" holds ">"'),
            ("recipient", "v@y.test> NOTIFY=NEVER", 'the address "v@y.test> NOTIFY=NEVER" holds ">"'),
            ("blind_copy_recipients", "<a@example.com>\r\nRSET",
             'the address "<a@example.com>\\x0D\\x0ARSET" has text after its ">"'),
            ("recipient", '"Doe, John" <john@example.com>, ' + "n" * 5000 + " <n@example.com>",
             'the address "' + "n" * 80 + '..." is too long for a header line of 998 octets'),
        ]
        # A listener that is never answered: any connection the calls made would wait in
        # its queue.
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(8)
            port = listener.getsockname()[1]
            for field, value, named in cases:
                code, out = run_varnel(statement(port, timeout=2, **{field: value}))
                self.assertEqual([out["rows"][0]["Result"], out["rows"][0]["ErrorMessage"]],
                                 [5, "Destination address or recipient cannot be null: " + named], value)
            listener.setblocking(False)
            with self.assertRaises(BlockingIOError):
                listener.accept()


if __name__ == "__main__":
    unittest.main()
