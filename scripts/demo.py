"""The demo: a relay, a database, two files, one varnel call, and what arrived."""

import csv
import os
import subprocess
import sqlite3
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from relay import Relay, parse_message  # noqa: E402

varnel = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp(prefix="varnel-demo-")
database = os.path.join(work, "inventory.db")
with sqlite3.connect(database) as db:
    db.execute("create table stock (item varchar(30), quantity int, updated varchar(20))")
    db.executemany("insert into stock values (?, ?, ?)",
                   [("bolts", 1200, "2026-12-01"), ("nuts", 800, "2026-12-02"), ("washers", None, None)])
text_file = os.path.join(work, "load.log")
with open(text_file, "w") as f:
    f.write("Nightly load started\nRows read: 3\n.\nNightly load finished\n")
# The same rows as a CSV file, attached beside the table in the body.
csv_file = os.path.join(work, "stock.csv")
with sqlite3.connect(database) as db, open(csv_file, "w", newline="") as f:
    writer = csv.writer(f)
    writer.writerow(["item", "quantity", "updated"])
    writer.writerows(db.execute("select item, quantity, updated from stock order by item"))
binary_file = os.path.join(work, "snapshot.bin")
with open(binary_file, "wb") as f:
    f.write(bytes(range(256)) * 4)

with Relay() as relay:
    statement = (
        "exec master.dbo.xp_Varnel "
        "@recipient='dba@example.com', @from='Varnel Demo <sqlserver@example.com>', "
        "@address='127.0.0.1', @smtpport=%d, "
        "@subject='Stock report', @html=1, "
        "@body='<h3>Stock on hand</h3><<query>><p>Files attached.</p>', "
        "@query='select item, quantity, updated from stock order by item', @qdatabase='%s', "
        "@qtableattribute='BORDER=1', @qtablecaption='Stock', "
        "@attachments='%s;%s;%s'" % (relay.port, database, text_file, binary_file, csv_file))
    print("$ varnel \"%s\"\n" % statement)
    done = subprocess.run([varnel, statement])
    print()
    if not relay.envelopes:
        print("The relay received no message (exit status %d)." % done.returncode)
        sys.exit(1)
    envelope = relay.envelopes[0]
    print("=== The relay on 127.0.0.1:%d received, from %s to %s: ===" % (relay.port, envelope.mail_from,
                                                                        ", ".join(envelope.rcpt_tos)))
    print(envelope.content.decode("latin-1"))
    message = parse_message(envelope.content)
    print("=== Parts as a MIME parser sees them ===")
    for part in message.walk():
        if part.is_multipart():
            print("%s" % part.get_content_type())
            continue
        payload = part.get_payload(decode=True) or b""
        print("  %-26s %-18s %6d bytes  %s" % (part.get_content_type(), part.get("Content-Transfer-Encoding", "-"),
                                                len(payload), part.get_filename() or "(body)"))
sys.exit(done.returncode)
