#!/usr/bin/python3
"""An OAuth2 authorization server for the tests, on 127.0.0.1, in Python's
standard library alone.

    oauth_server.py --port N --folder DIR [--user NAME] [--lifetime SECONDS]
                    [--client-secret SECRET]

Endpoints (RFC 6749, with PKCE from RFC 7636 required of every client):

    GET  /authorize   response_type=code, client_id, redirect_uri, state,
                      code_challenge, code_challenge_method=S256, scope.
                      Approves at once (the test is the user) and redirects
                      (302) to redirect_uri with code and state; a request
                      without a code challenge, or with a method other than
                      S256, is redirected with error=invalid_request, and
                      client_id "refuse-me" with error=access_denied. A
                      redirect_uri that is not http on a loopback address
                      gets a 400 page instead, as RFC 6749 section 4.1.2.1
                      asks.
    POST /token       grant_type=authorization_code (code, redirect_uri,
                      client_id, code_verifier): a code is good once, for
                      60 s, for the client, redirect URI and challenge it was
                      given with. grant_type=refresh_token (refresh_token,
                      client_id). With --client-secret, client_secret must
                      match. Answers access_token, token_type Bearer,
                      expires_in, refresh_token, or a 400 with "error".
    POST /introspect  token=... (RFC 7662, Dovecot's introspection_mode =
                      post): {"active": true, "username": ..., "exp": ...}
                      for a live access token, {"active": false} otherwise.

Controls for the test (POST, no body): /control/mint makes an access token
for the user without a browser ({"access_token", "refresh_token",
"expires_in"}); /control/expire makes every access token issued so far
expired; /control/revoke revokes every refresh token and access token.
GET /control/stats counts the requests by kind, as JSON. No token is ever
written to the log.

DIR/ready holds the port once the server listens. Runs until SIGTERM.
"""

import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import signal
import sys
import threading
import time
import urllib.parse

LOOPBACK_HOSTS = {"127.0.0.1", "[::1]", "localhost"}


class State:
    def __init__(self, user, lifetime, client_secret):
        self.user = user
        self.lifetime = lifetime
        self.client_secret = client_secret
        self.lock = threading.Lock()
        self.codes = {}     # code -> (client_id, redirect_uri, challenge, issued)
        self.access = {}    # token -> expiry (epoch seconds)
        self.refresh = {}   # token -> client_id
        self.stats = {"authorize": 0, "token": 0, "refresh": 0, "introspect": 0,
                      "introspect_active": 0, "refused": 0}

    def issue(self, client_id, refresh_token=None):
        access = secrets.token_urlsafe(32)
        self.access[access] = time.time() + self.lifetime
        if refresh_token is None:
            refresh_token = secrets.token_urlsafe(32)
            self.refresh[refresh_token] = client_id
        return {"access_token": access, "token_type": "Bearer", "expires_in": self.lifetime,
                "refresh_token": refresh_token, "scope": "mail"}


def loopback_redirect(uri):
    parts = urllib.parse.urlsplit(uri)
    return parts.scheme == "http" and parts.hostname is not None and \
        (parts.netloc.rsplit(":", 1)[0] in LOOPBACK_HOSTS)


def with_query(uri, params):
    parts = urllib.parse.urlsplit(uri)
    query = parts.query + ("&" if parts.query else "") + urllib.parse.urlencode(params)
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, parts.path, query, ""))


def s256(verifier):
    digest = hashlib.sha256(verifier.encode("ascii")).digest()
    return base64.urlsafe_b64encode(digest).decode("ascii").rstrip("=")


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "test-oauth/1"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        # Paths only: a query or a body may carry a code or a token.
        sys.stderr.write("%s %s\n" % (self.command, self.path.split("?", 1)[0]))

    def reply(self, status, body=b"", content_type="application/json", headers=()):
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def form(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length).decode("utf-8", "replace") if length > 0 else ""
        return {k: v[-1] for k, v in urllib.parse.parse_qs(raw, keep_blank_values=True).items()}

    def do_GET(self):
        path, _, query = self.path.partition("?")
        params = {k: v[-1] for k, v in urllib.parse.parse_qs(query, keep_blank_values=True).items()}
        state = self.server.state
        if path == "/authorize":
            return self.authorize(params)
        if path == "/control/stats":
            with state.lock:
                return self.reply(200, dict(state.stats))
        self.reply(404, {"error": "not_found"})

    def do_POST(self):
        path = self.path.split("?", 1)[0]
        state = self.server.state
        params = self.form()
        if path == "/token":
            return self.token(params)
        if path == "/introspect":
            return self.introspect(params)
        with state.lock:
            if path == "/control/mint":
                return self.reply(200, state.issue("control"))
            if path == "/control/expire":
                for token in state.access:
                    state.access[token] = 0
                return self.reply(200, {})
            if path == "/control/revoke":
                state.access.clear()
                state.refresh.clear()
                return self.reply(200, {})
        self.reply(404, {"error": "not_found"})

    def authorize(self, params):
        state = self.server.state
        with state.lock:
            state.stats["authorize"] += 1
        redirect = params.get("redirect_uri", "")
        if not loopback_redirect(redirect):
            return self.reply(400, b"redirect_uri is not a loopback address", "text/plain")
        answer = {"state": params["state"]} if "state" in params else {}
        if params.get("response_type") != "code":
            answer.update(error="unsupported_response_type")
        elif params.get("client_id") == "refuse-me":
            answer.update(error="access_denied", error_description="The user declined")
        elif not params.get("code_challenge") or params.get("code_challenge_method") != "S256":
            answer.update(error="invalid_request", error_description="PKCE code_challenge with S256 required")
        else:
            code = secrets.token_urlsafe(24)
            with state.lock:
                state.codes[code] = (params.get("client_id", ""), redirect, params["code_challenge"], time.time())
            answer["code"] = code
        self.reply(302, b"", "text/plain", [("Location", with_query(redirect, answer))])

    def refuse(self, error, description):
        with self.server.state.lock:
            self.server.state.stats["refused"] += 1
        self.reply(400, {"error": error, "error_description": description})

    def token(self, params):
        state = self.server.state
        if state.client_secret is not None and params.get("client_secret") != state.client_secret:
            return self.refuse("invalid_client", "client authentication failed")
        grant = params.get("grant_type")
        if grant == "authorization_code":
            with state.lock:
                state.stats["token"] += 1
                entry = state.codes.pop(params.get("code", ""), None)  # single use
            if entry is None or time.time() - entry[3] > 60:
                return self.refuse("invalid_grant", "unknown, used or expired code")
            client_id, redirect, challenge, _ = entry
            if params.get("client_id") != client_id or params.get("redirect_uri") != redirect:
                sys.stderr.write("token: client %r redirect %r, code was for %r %r\n" % (
                    params.get("client_id"), params.get("redirect_uri"), client_id, redirect))
                return self.refuse("invalid_grant", "code issued to another client or redirect URI")
            verifier = params.get("code_verifier")
            if not verifier:
                return self.refuse("invalid_request", "code_verifier missing")
            if s256(verifier) != challenge:
                return self.refuse("invalid_grant", "PKCE verification failed")
            with state.lock:
                return self.reply(200, state.issue(client_id))
        if grant == "refresh_token":
            with state.lock:
                state.stats["refresh"] += 1
                client = state.refresh.get(params.get("refresh_token", ""))
                if client is not None:
                    answer = state.issue(client, params["refresh_token"])
                    answer.pop("refresh_token")  # the old one stays good
                    return self.reply(200, answer)
            return self.refuse("invalid_grant", "refresh token revoked or unknown")
        self.refuse("unsupported_grant_type", "grant_type %r" % grant)

    def introspect(self, params):
        state = self.server.state
        token = params.get("token", "")
        with state.lock:
            state.stats["introspect"] += 1
            expiry = state.access.get(token)
            if expiry is None or expiry <= time.time():
                return self.reply(200, {"active": False})
            state.stats["introspect_active"] += 1
        self.reply(200, {"active": True, "username": state.user, "exp": int(expiry), "scope": "mail"})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--user", default="tester")
    parser.add_argument("--lifetime", type=int, default=3600)
    parser.add_argument("--client-secret")
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.state = State(args.user, args.lifetime, args.client_secret)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    ready = os.path.join(args.folder, "ready")
    with open(ready + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(ready + ".tmp", ready)
    server.serve_forever()


if __name__ == "__main__":
    main()
