"""TLS servers on 127.0.0.1 for the Windows platform checks (run under Wine by
scripts/test-windows), with a throwaway PKI made by make_pki.sh.

Prints one line and then serves until killed:
    <CA file as a Windows path> good=<port> wrong-name=<port> untrusted=<port> expired=<port> ip-only=<port>
    cn-only=<port> plain=<port> silent=<port>   (all on the one line)

Each TLS server (TLS 1.2 allowed: Wine speaks nothing newer) presents the leaf of its
name, greets with "220 ready\\r\\n", then reads "SIZE <n>\\r\\n" and n bytes and answers
"ok <n> <sum of the bytes>\\r\\n". "plain" greets without TLS; "silent" never speaks.
"""

import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def serve_tls(listener, context):
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=session, args=(connection, context), daemon=True).start()


def read_line(stream):
    line = b""
    while not line.endswith(b"\n"):
        chunk = stream.recv(1)
        if not chunk:
            raise ConnectionError("closed")
        line += chunk
    return line


def session(connection, context):
    try:
        connection.settimeout(30)
        with context.wrap_socket(connection, server_side=True) as secure:
            secure.sendall(b"220 ready\r\n")
            while True:
                size = int(read_line(secure).split()[1])
                total = 0
                checksum = 0
                while total < size:
                    chunk = secure.recv(min(65536, size - total))
                    if not chunk:
                        return
                    total += len(chunk)
                    checksum += sum(chunk)
                secure.sendall(b"ok %d %d\r\n" % (total, checksum))
    except (OSError, ValueError, IndexError, ConnectionError):
        pass
    finally:
        connection.close()


def serve_plain(listener, greeting):
    held = []
    while True:
        connection, _ = listener.accept()
        if greeting:
            connection.sendall(greeting)
        held.append(connection)  # open until the process ends


def listen():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    return listener


def main():
    pki = tempfile.mkdtemp(prefix="varnel-pki.")
    subprocess.run([os.path.join(HERE, "make_pki.sh"), pki], check=True)
    ports = []
    for name in ("good", "wrong-name", "untrusted", "expired", "ip-only", "cn-only"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(pki, name + ".pem"), os.path.join(pki, "leaf.key"))
        listener = listen()
        threading.Thread(target=serve_tls, args=(listener, context), daemon=True).start()
        ports.append("%s=%d" % (name, listener.getsockname()[1]))
    for name, greeting in (("plain", b"220 plain relay\r\n"), ("silent", None)):
        listener = listen()
        threading.Thread(target=serve_plain, args=(listener, greeting), daemon=True).start()
        ports.append("%s=%d" % (name, listener.getsockname()[1]))
    ca = "Z:" + os.path.join(pki, "ca.pem").replace("/", "\\")
    print(ca + " " + " ".join(ports), flush=True)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    sys.exit(main())
