"""Checks the attachments of a raw message against the files they were made from.

Used by the end-to-end tests: a message received by a real relay is parsed with Python's
email package (policy default) and, for base64 parts, with ripmime; every attachment is
compared with its original file, binary files byte for byte and text files line by line.
The encoded lines themselves are checked too (base64 lines of 76 characters, quoted-
printable lines of at most 76 characters, soft breaks never inside an escape triplet).

Command line: mime_check.py MESSAGE FILE... prints every problem found and exits 1 when
there is one.
"""

import email
import email.policy
import os
import re
import subprocess
import sys
import tempfile

# A text file is read in pieces of at most this many bytes; each piece becomes one line.
MAX_PIECE = 4999
MAX_LINE = 76
_TRIPLET = re.compile(rb"=[0-9A-F]{2}")


def parse(raw):
    """The message as Python's email package sees it."""
    return email.message_from_bytes(raw, policy=email.policy.default)


def attachments(raw):
    """(file name, transfer encoding, decoded bytes, encoded body text) of every
    attachment part, in message order."""
    found = []
    for part in parse(raw).iter_attachments():
        encoding = (part.get("Content-Transfer-Encoding") or "").strip().lower()
        content = part.get_payload(decode=True) or b""
        found.append((part.get_filename(), encoding, content, part.get_payload(decode=False)))
    return found


def ripmime_attachments(raw):
    """Files that ripmime extracts from the message: {file name: bytes}."""
    with tempfile.TemporaryDirectory() as scratch:
        message = os.path.join(scratch, "message.eml")
        output = os.path.join(scratch, "out")
        os.mkdir(output)
        with open(message, "wb") as stream:
            stream.write(raw)
        subprocess.run(["ripmime", "-i", message, "-d", output, "--no-nameless", "-q"],
                       check=True, capture_output=True, timeout=120)
        extracted = {}
        for name in os.listdir(output):
            with open(os.path.join(output, name), "rb") as stream:
                extracted[name] = stream.read()
        return extracted


def text_lines(data):
    """Lines of decoded text: split at line feeds, carriage returns removed."""
    lines = data.replace(b"\r", b"").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


def expected_text_lines(original):
    """Lines the recipient gets for a text file: the file read as text (CR LF as one
    line feed), in pieces of one line or at most 4,999 bytes; every piece becomes one
    line without its carriage returns and line feeds."""
    data = original.replace(b"\r\n", b"\n")
    lines = []
    start = 0
    while start < len(data):
        end = data.find(b"\n", start, start + MAX_PIECE)
        end = start + MAX_PIECE if end < 0 else end + 1
        end = min(end, len(data))
        lines.append(data[start:end].replace(b"\r", b"").replace(b"\n", b""))
        start = end
    return lines


def encoded_line_problems(name, encoding, body):
    """Rule breaks in the encoded body of one part."""
    problems = []
    data = body.encode("latin-1") if isinstance(body, str) else body
    if data and not (data.endswith(b"\r\n") or encoding == "base64"):
        problems.append(f"{name}: quoted-printable body does not end with CR LF")
    lines = data.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    for number, line in enumerate(lines):
        if b"\r" in line or b"\n" in line:
            problems.append(f"{name}: line {number} holds a bare CR or LF")
        if encoding == "base64":
            if number + 1 < len(lines) and len(line) != MAX_LINE:
                problems.append(f"{name}: base64 line {number} has {len(line)} characters")
            if number + 1 == len(lines) and len(line) > MAX_LINE:
                problems.append(f"{name}: last base64 line has {len(line)} characters")
        elif encoding == "quoted-printable":
            if len(line) > MAX_LINE:
                problems.append(f"{name}: quoted-printable line {number} has {len(line)} characters")
            soft = line.endswith(b"=")
            rest = line[:-1] if soft else line
            if b"=" in _TRIPLET.sub(b"", rest):
                problems.append(f"{name}: line {number} splits or malforms an escape: {line!r}")
            if rest.endswith((b" ", b"\t")) or line.startswith(b"."):
                problems.append(f"{name}: line {number} ends in white space or starts with a period")
    return problems


def check_message(raw, originals, use_ripmime=True):
    """Problems found comparing the message's attachments with the original files.

    originals: paths of the files in the order they were attached (a file attached twice
    is listed twice). The attachment is found by file name, in order. Returns a list of
    texts; empty when everything matches."""
    problems = []
    parts = attachments(raw)
    extracted = ripmime_attachments(raw) if use_ripmime else {}
    used = set()
    for path in originals:
        name = os.path.basename(path)
        with open(path, "rb") as stream:
            original = stream.read()
        match = next((i for i, part in enumerate(parts) if i not in used and part[0] == name), None)
        if match is None:
            problems.append(f"{name}: no attachment with this name")
            continue
        used.add(match)
        _, encoding, content, body = parts[match]
        problems += encoded_line_problems(name, encoding, body)
        if encoding == "base64":
            if content != original:
                problems.append(f"{name}: base64 content differs ({len(content)} bytes, original {len(original)})")
            if use_ripmime and extracted.get(name) != original:
                problems.append(f"{name}: ripmime's copy differs from the original")
        elif encoding == "quoted-printable":
            got = text_lines(content)
            want = expected_text_lines(original)
            if got != want:
                first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
                problems.append(f"{name}: text differs from line {first} ({len(got)} lines, expected {len(want)})")
        else:
            problems.append(f"{name}: unexpected transfer encoding {encoding!r}")
    return problems


def main(arguments):
    if len(arguments) < 2:
        print(__doc__.strip().splitlines()[-2], file=sys.stderr)
        return 2
    with open(arguments[0], "rb") as stream:
        raw = stream.read()
    problems = check_message(raw, arguments[1:])
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
