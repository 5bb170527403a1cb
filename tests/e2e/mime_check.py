"""Checks the attachments of a raw message against the files they were made from.

Used by the end-to-end tests: a message received by a real relay is parsed with Python's
email package (policy default) and, for base64 parts, with ripmime; every attachment is
compared with its original file: parts of a text type (text/*) line by line, every other
part byte for byte, whatever its transfer encoding.
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
    """(file name, transfer encoding, decoded bytes, encoded body text, content type) of
    every attachment part, in message order."""
    found = []
    for part in parse(raw).iter_attachments():
        encoding = (part.get("Content-Transfer-Encoding") or "").strip().lower()
        content = part.get_payload(decode=True) or b""
        found.append((part.get_filename(), encoding, content, part.get_payload(decode=False),
                      part.get_content_type()))
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
    """Lines the recipient gets for a text file sent quoted-printable: the file read as
    text (CR LF as one line feed), in pieces of one line or at most 4,999 bytes; every
    piece becomes one line, a carriage return left inside it a line break of its own."""
    data = original.replace(b"\r\n", b"\n")
    lines = []
    start = 0
    while start < len(data):
        end = data.find(b"\n", start, start + MAX_PIECE)
        end = start + MAX_PIECE if end < 0 else end + 1
        end = min(end, len(data))
        piece = data[start:end]
        segments = (piece[:-1] if piece.endswith(b"\n") else piece).split(b"\r")
        if len(segments) > 1 and segments[-1] == b"":
            segments.pop()
        lines.extend(segments)
        start = end
    return lines


def canonical_lines(original):
    """Lines of a text file sent base64: CR LF, a bare CR and a bare LF each end one."""
    lines = original.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


def reformime_sections(raw):
    """Every leaf section as maildrop's reformime decodes it: [(content type, file name,
    decoded bytes)] in message order."""
    with tempfile.TemporaryDirectory() as scratch:
        message = os.path.join(scratch, "message.eml")
        with open(message, "wb") as stream:
            stream.write(raw)
        with open(message, "rb") as stream:
            info = subprocess.run(["reformime", "-i"], stdin=stream, check=True,
                                  capture_output=True, timeout=120).stdout.decode("latin-1")
        sections = []
        current = None
        for line in info.splitlines():
            if line.startswith("section: "):
                current = {"section": line[len("section: "):].strip()}
                sections.append(current)
            elif current is not None and ": " in line:
                key, value = line.split(": ", 1)
                current[key.strip()] = value.strip()
        found = []
        for section in sections:
            kind = section.get("content-type", "")
            if kind.startswith("multipart/"):
                continue
            with open(message, "rb") as stream:
                data = subprocess.run(["reformime", "-e", "-s", section["section"]], stdin=stream,
                                      check=True, capture_output=True, timeout=120).stdout
            found.append((kind, section.get("content-name", ""), data))
        return found


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


def check_message(raw, originals, use_ripmime=True, use_reformime=False):
    """Problems found comparing the message's attachments with the original files.

    originals: paths of the files in the order they were attached (a file attached twice
    is listed twice). The attachment is found by file name, in order. Returns a list of
    texts; empty when everything matches."""
    problems = []
    parts = attachments(raw)
    extracted = ripmime_attachments(raw) if use_ripmime else {}
    sections = reformime_sections(raw)[1:] if use_reformime else []
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
        _, encoding, content, body, kind = parts[match]
        problems += encoded_line_problems(name, encoding, body)
        if encoding not in ("base64", "quoted-printable"):
            problems.append(f"{name}: unexpected transfer encoding {encoding!r}")
            continue
        text = kind.startswith("text/")
        if text:
            want = canonical_lines(original) if encoding == "base64" else expected_text_lines(original)
        copies = [("Python", content)]
        if use_ripmime and encoding == "base64":
            copies.append(("ripmime", extracted.get(name)))
        if use_reformime:
            copies.append(("reformime", sections[match][2] if match < len(sections) else None))
        for reader, copy in copies:
            if copy is None:
                problems.append(f"{name}: {reader} found no such part")
            elif not text and copy != original:
                problems.append(f"{name}: {reader}'s {kind} copy differs ({len(copy)} bytes, original {len(original)})")
            elif text and text_lines(copy) != want:
                got = text_lines(copy)
                first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
                problems.append(f"{name}: {reader}'s text differs from line {first} ({len(got)} lines, "
                                f"expected {len(want)})")
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
