"""Prints what Python's standard mail reader makes of a message file, so that
two files can be compared by a reader that shares no code with ours.

Usage: python3 -I mail_structure.py FILE

For every part in walk() order: its content type, its header fields as read,
the preamble and epilogue of a multipart, the decoded content of a leaf, and
the defects the reader noticed. Text is compared line by line, because a
stored file has CR LF where a sample file may have LF or no final line break
(RFC 5322 section 2.1); base64 content is compared byte for byte.
"""
import sys
from email import policy
from email.parser import BytesParser


def lines(text):
    if text is None:
        return None
    if isinstance(text, str):
        # The reader keeps 8-bit bytes as surrogates: undo that exactly.
        text = text.encode("ascii", "surrogateescape")
    return text.splitlines()


def describe(path):
    with open(path, "rb") as f:
        message = BytesParser(policy=policy.compat32).parse(f)
    out = []
    for part in message.walk():
        out.append("part %s" % part.get_content_type())
        for label, value in part.raw_items():
            out.append("  field %r %r" % (label, lines(value)))
        if part.is_multipart():
            out.append("  preamble %r" % lines(part.preamble))
            out.append("  epilogue %r" % lines(part.epilogue))
        else:
            content = part.get_payload(decode=True)
            encoding = str(part.get("Content-Transfer-Encoding", "")).strip().lower()
            out.append("  content %r" % (content if encoding == "base64" else lines(content)))
        out.append("  defects %r" % sorted(type(d).__name__ for d in part.defects))
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    sys.stdout.write(describe(sys.argv[1]))
