"""Prints what Python's standard mail reader finds in messages, one line per
part, so that a test can hold it against what it composed with a reader
that shares no code with ours.

Usage: python3 -I composed_parts.py FILE...
       python3 -I composed_parts.py --serve

For each file a line "file PATH", then for every part in walk() order a line
"part TYPE FILENAME NAME CONTENT DEFECTS": FILENAME is the name get_filename()
finds (the disposition's filename, else the type's name) and NAME the
Content-Type name parameter, each "x" followed by the hex of its UTF-8 form,
or "-" when there is none; CONTENT is "x" followed by the hex of the decoded
payload of a leaf, line ends as sent, or "-" for a multipart (also one
without its delimiters) or a message/* part (whose inner message is not
walked); DEFECTS lists
the class names of the defects the reader noticed in the part, its header
fields or while decoding its payload, joined by ",", or "-".

With --serve, messages come on standard input, each as a line with its size
in bytes followed by that many bytes; the answer to each is its part lines
and a line "end". One process then serves a whole test program.
"""
import sys
from email import policy, utils
from email.parser import BytesParser


def hexed(data):
    if data is None:
        return "-"
    if isinstance(data, str):
        # Undecodable bytes are kept as surrogates by the reader.
        data = data.encode("utf-8", "surrogateescape")
    return "x" + data.hex()


def param(part, name, header):
    # get_filename() without its strip(), so that the name is compared whole.
    value = part.get_param(name, None, header)
    return None if value is None else utils.collapse_rfc2231_value(value)


def walk(part, raw):
    yield part, raw
    if raw.is_multipart() and part.get_content_maintype() != "message":
        for inner, inner_raw in zip(part.get_payload(), raw.get_payload()):
            yield from walk(inner, inner_raw)


def describe(data):
    # The default policy reports defects in header fields and decodes RFC
    # 2231 values; compat32 keeps the payload bytes as they were sent. Both
    # read the same structure, so their walks go side by side.
    named = BytesParser(policy=policy.default).parsebytes(data)
    exact = BytesParser(policy=policy.compat32).parsebytes(data)
    out = []
    for part, raw in walk(named, exact):
        # A multipart whose delimiters are missing is received mail's fault;
        # the reader keeps the line end before the next delimiter with it.
        content = None if raw.is_multipart() or raw.get_content_maintype() == "multipart" \
            else raw.get_payload(decode=True)
        defects = {type(d).__name__ for d in part.defects}
        defects |= {type(d).__name__ for d in raw.defects}
        for _, value in part.items():
            defects |= {type(d).__name__ for d in getattr(value, "defects", ())}
        filename = param(part, "filename", "content-disposition")
        name = param(part, "name", "content-type")
        out.append("part %s %s %s %s %s" % (
            part.get_content_type(), hexed(name if filename is None else filename), hexed(name),
            hexed(content), ",".join(sorted(defects)) or "-"))
    return "".join(line + "\n" for line in out)


def serve():
    source, sink = sys.stdin.buffer, sys.stdout
    while True:
        size = source.readline()
        if not size:
            return
        sink.write(describe(source.read(int(size))) + "end\n")
        sink.flush()


if __name__ == "__main__":
    if sys.argv[1:] == ["--serve"]:
        serve()
    else:
        for path in sys.argv[1:]:
            with open(path, "rb") as f:
                sys.stdout.write("file %s\n%s" % (path, describe(f.read())))
