"""Peer for the attachment benchmark: Python's smtplib with the email package."""
import smtplib
import sys
from email.message import EmailMessage

port, path = int(sys.argv[1]), sys.argv[2]
message = EmailMessage()
message["From"] = "a@example.com"
message["To"] = "b@example.com"
message["Subject"] = "Benchmark"
message.set_content("One attachment.")
with open(path, "rb") as f:
    message.add_attachment(f.read(), maintype="application", subtype="octet-stream", filename=path.rsplit("/", 1)[1])
with smtplib.SMTP("127.0.0.1", port) as client:
    client.send_message(message)
