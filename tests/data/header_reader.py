"""Prints what Python's standard mail reader makes of the header of each
message file given, so that a test can hold the header text it wrote
against a reader that shares no code with ours.

Usage: python3 -I header_reader.py FILE...

For each file a line "file PATH", then one line per header field
"field NAME VALUE DEFECTS", then "filename VALUE" and "name VALUE" for the
file name of Content-Disposition and the name parameter of Content-Type.
VALUE is "x" followed by the hex of the UTF-8 form of the decoded text, or
"-" when there is none; DEFECTS lists the class names of the defects the
reader noticed in the field, joined by ",", or "-".
"""
import sys
from email import policy
from email.parser import BytesParser


def hexed(text):
    if text is None:
        return "-"
    return "x" + str(text).encode("utf-8", "surrogateescape").hex()


def describe(path):
    with open(path, "rb") as f:
        msg = BytesParser(policy=policy.default).parsebytes(f.read())
    out = ["file %s" % path]
    for name, value in msg.items():
        defects = ",".join(sorted(type(d).__name__ for d in value.defects)) or "-"
        out.append("field %s %s %s" % (name, hexed(value), defects))
    out.append("filename %s" % hexed(msg.get_filename()))
    content_type = msg["content-type"]
    out.append("name %s" % hexed(content_type.params.get("name") if content_type else None))
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    sys.stdout.write("".join(describe(path) for path in sys.argv[1:]))
