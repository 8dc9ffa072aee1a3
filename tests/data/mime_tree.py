"""Prints the tree that Python's standard mail reader (compat32 policy) makes
of each message file: for every part, in order, its depth and content type,
its file name when it has one, and for a leaf its decoded content in hex.
The library's test prints the same for its own parse and compares.

Usage: python3 -I mime_tree.py FILE...
"""
import sys
from email import policy, utils
from email.parser import BytesParser


def walk(part, depth, out):
    out.append("part %d %s" % (depth, part.get_content_type()))
    name = part.get_filename()
    if name is not None:
        name = utils.collapse_rfc2231_value(name)
        out.append("name %s" % name.encode("utf-8", "surrogateescape").hex())
    if part.is_multipart():
        for child in part.get_payload():
            walk(child, depth + 1, out)
    else:
        content = part.get_payload(decode=True) or b""
        out.append("content %s" % content.hex())


def main(paths):
    out = []
    for path in paths:
        with open(path, "rb") as f:
            message = BytesParser(policy=policy.compat32).parse(f)
        out.append("file %s" % path)
        walk(message, 0, out)
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
