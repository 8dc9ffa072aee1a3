"""Prints the trace hops of a message file as Python's standard mail reader
sees them, so our hop reader can be checked against a reader that shares no
code with it.

Usage: python3 -I received_hops.py FILE...

For every file: a line "FILE <count>", then one line per hop, topmost first:
"<from>\t<by>". The clauses are read as RFC 5321 section 4.4 writes them:
comments removed, the word after FROM and after BY taken up to the first
semicolon outside comments, angle brackets and quotes dropped.
"""
import re
import sys
from email import policy
from email.parser import BytesParser


def without_comments(text):
    out, depth = [], 0
    for ch in text:
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth = max(0, depth - 1)
        elif depth == 0:
            out.append(ch)
    return "".join(out)


def clauses(value):
    text = without_comments(value).split(";", 1)[0]
    # An address literal is a host only where a clause starts with it.
    words = [re.sub(r"""["'<>]""", "", w) for w in text.split()]
    words = [w if w.startswith("[") else re.sub(r"\[[^\]]*\]?", "", w) for w in words]
    found = {"from": "", "by": ""}
    for i, w in enumerate(words[:-1]):
        key = w.lower()
        if key in found and words[i + 1].lower() not in ("from", "by", "for", "with", "id", "via"):
            found[key] = words[i + 1]
    return found["from"], found["by"]


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            message = BytesParser(policy=policy.compat32).parse(f, headersonly=True)
        hops = message.get_all("Received") or []
        print(f"{path} {len(hops)}")
        for hop in hops:
            unfolded = re.sub(r"\r?\n[ \t]", " ", str(hop))
            print("\t".join(clauses(unfolded)))


if __name__ == "__main__":
    main()
