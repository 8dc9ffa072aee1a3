#!/usr/bin/python3
"""An SMTP server for the integration tests: listens on 127.0.0.1 and keeps
every message it accepts in a folder, for the test to read back.

    smtp_sink.py --port N --folder DIR [--refuse-sender ADDR]...
                 [--refuse-recipient ADDR]... [--refuse-data] [--line-limit N]
                 [--strict] [--size-limit N] [--refuse-ehlo]
                 [--tls-cert FILE --tls-key FILE [--tls-port N]
                  [--refuse-starttls]] [--auth USER:PASSWORD [--auth-in-clear]]

With --strict it checks what a careful MTA checks: HELO and EHLO name a
Domain or an address literal (RFC 5321 section 4.1.3); MAIL FROM and RCPT TO
are followed by "<" at once, and the path holds no blank, control character
or angle bracket (sections 4.1.1.2, 4.1.2), else "501 5.5.4 Syntax: ...";
message data holding a CR or LF outside a CR LF (section 2.3.8) is answered
"554 5.6.11 Bare CR or LF in message data" and not kept.

EHLO lists SIZE (--size-limit, default 512 MiB), 8BITMIME and PIPELINING
(commands are read a line at a time, so pipelined ones are answered in
order); --refuse-ehlo answers it "502 5.5.1 EHLO not implemented" instead.
With a certificate the port offers STARTTLS (--refuse-starttls answers it
"454 4.7.0 TLS not available"), and --tls-port serves TLS from the first
byte on. --auth takes PLAIN and LOGIN for that one user, only under TLS
unless --auth-in-clear, and MAIL FROM needs it: "530 5.7.0 Authentication
required" before, "535 5.7.8 Authentication credentials invalid" for a
wrong password.

Message n (from 1) becomes DIR/messages/<n:06>.eml, the message data exactly
as received (transparency dots removed, the final "." line not included), and
DIR/messages/<n:06>.envelope with one "key value" line each:

    mail-from ADDRESS          (empty for the null sender)
    mail-option PARAM          (one per MAIL FROM parameter, e.g. SIZE=123)
    rcpt-to ADDRESS            (one per accepted recipient, in order)
    signed-in USER             (when the session signed in)
    encrypted yes              (when the session was under TLS)

Both are written under a temporary name and renamed, the envelope last, and
before the server answers 250: once the client has its 250, the files are
there. Runs until SIGTERM.
"""

import argparse
import asyncio
import logging
import os
import re
import signal
import sys

import ssl

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# Room for the 100 MB message of the benchmarks, and still announced in SIZE.
DATA_SIZE_LIMIT = 512 * 1024 * 1024


# RFC 5321 section 4.1.2 and 4.1.3, as far as this client's forms go.
LABEL = rb"[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?"
HELO_NAME = re.compile(LABEL + rb"(?:\." + LABEL + rb")*|\[\d{1,3}(?:\.\d{1,3}){3}\]|\[IPv6:[0-9A-Fa-f:.]+\]")
PATH_CHARS = rb"[^\x00-\x20<>\x7f]"
MAIL_ARG = re.compile(rb"(?i:FROM):<" + PATH_CHARS + rb"*>(?: [^\x00-\x20]+)*")
RCPT_ARG = re.compile(rb"(?i:TO):<" + PATH_CHARS + rb"+>(?: [^\x00-\x20]+)*")
BARE_LINE_END = re.compile(rb"\r(?!\n)|(?<!\r)\n")


def strict_server(base):
    """The server class with the envelope checks of --strict."""

    def checked(name, pattern, reply):
        original = getattr(base, "smtp_" + name)

        async def handler(self, arg):
            if arg is None or not pattern.fullmatch(arg.encode("utf-8", "surrogateescape")):
                await self.push(reply)
                return
            await original(self, arg)

        return handler

    return type("StrictSinkSMTP", (base,), {
        "smtp_HELO": checked("HELO", HELO_NAME, "501 5.5.4 Syntax: HELO domain or [address]"),
        "smtp_EHLO": checked("EHLO", HELO_NAME, "501 5.5.4 Syntax: EHLO domain or [address]"),
        "smtp_MAIL": checked("MAIL", MAIL_ARG, "501 5.5.4 Syntax: MAIL FROM:<address>"),
        "smtp_RCPT": checked("RCPT", RCPT_ARG, "501 5.5.4 Syntax: RCPT TO:<address>"),
    })


def write_atomically(path, data):
    tmp = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".tmp")
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def as_bytes(text):
    # Without SMTPUTF8 the server takes ASCII commands only.
    return text.encode("ascii")


def refusing_starttls(base):
    """The server class that answers STARTTLS with a refusal."""

    async def smtp_STARTTLS(self, arg):
        await self.push("454 4.7.0 TLS not available")

    return type("NoTlsSinkSMTP", (base,), {"smtp_STARTTLS": smtp_STARTTLS})


def authenticator_for(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        # handled=False: a refusal is answered "535 5.7.8 ..." by the server.
        return AuthResult(success=ok, handled=False, auth_data=auth_data)
    return authenticate


class SinkHandler:
    def __init__(self, folder, refused_senders, refused_recipients, refuse_data, strict, refuse_ehlo):
        self.folder = folder
        self.refused_senders = {a.casefold() for a in refused_senders}
        self.refused_recipients = {a.casefold() for a in refused_recipients}
        self.refuse_data = refuse_data
        self.strict = strict
        self.refuse_ehlo = refuse_ehlo
        self.count = 0

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        if self.refuse_ehlo:
            return ["502 5.5.1 EHLO not implemented"]
        session.host_name = hostname
        return responses[:-1] + ["250-PIPELINING", responses[-1]]

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if address.casefold() in self.refused_senders:
            return "553 5.7.1 Sender refused"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.casefold() in self.refused_recipients:
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.refuse_data:
            return "554 5.6.0 Message refused"
        if self.strict and BARE_LINE_END.search(envelope.original_content):
            return "554 5.6.11 Bare CR or LF in message data"
        self.count += 1
        base = os.path.join(self.folder, "%06d" % self.count)
        # The null reverse-path arrives as "<>" (and must stay so in the
        # envelope: an empty sender reads as "no MAIL yet"), every other
        # address without its angle brackets.
        sender = "" if envelope.mail_from == "<>" else envelope.mail_from
        lines = [b"mail-from " + as_bytes(sender)]
        lines += [b"mail-option " + as_bytes(o) for o in envelope.mail_options]
        lines += [b"rcpt-to " + as_bytes(r) for r in envelope.rcpt_tos]
        if session.authenticated:
            lines.append(b"signed-in " + session.auth_data.login)
        if server.transport.get_extra_info("ssl_object") is not None:
            lines.append(b"encrypted yes")
        write_atomically(base + ".eml", envelope.original_content)
        write_atomically(base + ".envelope", b"".join(line + b"\n" for line in lines))
        logging.info("stored message %d: %d bytes", self.count, len(envelope.original_content))
        return "250 2.0.0 OK stored as %06d" % self.count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--refuse-sender", action="append", default=[])
    parser.add_argument("--refuse-recipient", action="append", default=[])
    parser.add_argument("--refuse-data", action="store_true")
    # Longest accepted line of message data, CR LF included; longer lines get
    # "500 Line too long" once the data has ended (RFC 5321 4.5.3.1.6).
    parser.add_argument("--line-limit", type=int, default=SMTP.line_length_limit)
    parser.add_argument("--strict", action="store_true")
    parser.add_argument("--size-limit", type=int, default=DATA_SIZE_LIMIT)
    parser.add_argument("--refuse-ehlo", action="store_true")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--tls-port", type=int, default=0)
    parser.add_argument("--refuse-starttls", action="store_true")
    parser.add_argument("--auth")
    parser.add_argument("--auth-in-clear", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    messages = os.path.join(args.folder, "messages")
    os.makedirs(messages, exist_ok=True)
    handler = SinkHandler(messages, args.refuse_sender, args.refuse_recipient, args.refuse_data, args.strict,
                          args.refuse_ehlo)

    # The line limit is a class attribute, read when a connection's reader is made.
    server_class = type("SinkSMTP", (SMTP,), {"line_length_limit": args.line_limit})
    if args.strict:
        server_class = strict_server(server_class)
    if args.refuse_starttls:
        server_class = refusing_starttls(server_class)
    context = None
    if args.tls_cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.tls_cert, args.tls_key)
    auth = {}
    if args.auth:
        user, _, password = args.auth.partition(":")
        auth = {"authenticator": authenticator_for(user, password), "auth_required": True}
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def session(implicit_tls=False):
        # A fixed host name: the default asks the resolver for this host's
        # full name, which can stall for seconds on a machine without DNS.
        # Without --auth plain HELO and EHLO clients get straight to MAIL
        # FROM. On the implicit-TLS port the connection is encrypted before
        # the server object sees it, so it offers AUTH as it stands.
        return server_class(handler, loop=loop, hostname="sink.vizu.test",
                            data_size_limit=args.size_limit, decode_data=False,
                            tls_context=None if implicit_tls else context,
                            auth_require_tls=not (args.auth_in_clear or implicit_tls), **auth)

    server = loop.run_until_complete(loop.create_server(session, host="127.0.0.1", port=args.port))
    if context is not None and args.tls_port:
        loop.run_until_complete(loop.create_server(lambda: session(True), host="127.0.0.1",
                                                   port=args.tls_port, ssl=context))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    logging.info("listening on 127.0.0.1:%d, pid %d", args.port, os.getpid())
    try:
        loop.run_forever()
    finally:
        server.close()
        logging.info("stopped")


if __name__ == "__main__":
    main()
