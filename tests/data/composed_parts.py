"""Prints what Python's standard mail reader finds in message files, one line
per part, so that a test can hold it against what it composed with a reader
that shares no code with ours.

Usage: python3 -I composed_parts.py FILE...

For each file a line "file PATH", then for every part in walk() order a line
"part TYPE NAME CONTENT DEFECTS": NAME is "x" followed by the hex of the
UTF-8 form of get_filename(), or "-" when the part has none; CONTENT is "x"
followed by the hex of the decoded payload of a leaf, line ends as sent, or
"-" for a multipart; DEFECTS lists the class names of the defects the reader noticed,
joined by ",", or "-".
"""
import sys
from email import policy
from email.parser import BytesParser


def hexed(data):
    if data is None:
        return "-"
    if isinstance(data, str):
        # Undecodable bytes are kept as surrogates by the reader.
        data = data.encode("utf-8", "surrogateescape")
    return "x" + data.hex()


def describe(path):
    with open(path, "rb") as f:
        data = f.read()
    # The default policy decodes encoded words in parameters but hands text
    # back with "\n" line ends; compat32 keeps the bytes as they were sent.
    # Both read the same structure, so their walks go side by side.
    named = BytesParser(policy=policy.default).parsebytes(data)
    exact = BytesParser(policy=policy.compat32).parsebytes(data)
    out = ["file %s" % path]
    for part, raw in zip(named.walk(), exact.walk()):
        content = None if raw.is_multipart() else raw.get_payload(decode=True)
        defects = ",".join(sorted(type(d).__name__ for d in part.defects)) or "-"
        out.append("part %s %s %s %s" % (part.get_content_type(), hexed(part.get_filename()),
                                          hexed(content), defects))
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    sys.stdout.write("".join(describe(path) for path in sys.argv[1:]))
