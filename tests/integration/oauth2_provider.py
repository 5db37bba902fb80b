#!/usr/bin/python3
# A small OAuth 2.0 authorization server for the tests, standard library only:
# the authorization code grant with PKCE (S256), single-use rotating refresh
# tokens, the device grant, token introspection (as a mail server asks it),
# and a few control addresses through which a test mints and revokes tokens,
# makes endpoints fail on cue and reads what was asked.
#
#   oauth2_provider.py --port-file FILE [--client-id ID ...] [--client-secret S]
#                      [--watch-stdin]
#
# Listens on 127.0.0.1 at a port of the system's choosing and writes that port
# to FILE (whole, through a rename) once it is listening. With --watch-stdin it
# ends when its standard input closes, so a test that dies leaves nothing
# behind; otherwise it runs until it is ended.
#
#   GET  /authorize       response_type=code, client_id, redirect_uri, scope,
#                         state, code_challenge, code_challenge_method=S256,
#                         login_hint?: 302 to redirect_uri with code and state
#   POST /token           grant_type=authorization_code | refresh_token |
#                         urn:ietf:params:oauth:grant-type:device_code
#   POST /device          client_id, scope: a device code and a user code
#   GET  /device/approve  user_code, user?: signs that device in
#   GET  /device/deny     user_code: the user says no
#   POST /introspect      token (form, or a Bearer header): active and email
#   GET  /control/mint?user=U             the token answer, no browser
#   GET  /control/revoke?user=U           every token of U inactive
#   GET  /control/mode?authorize=ok|deny|tamper&token=ok|503|huge
#                     &introspect=ok|503&expires_in=N
#   GET  /control/log                     the requests seen, as JSON
import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import sys
import threading
import time
import urllib.parse

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
DEFAULT_USER = "user@example.org"
DEFAULT_CLIENT = "postwren-test"
# How close together a device may poll before it is told to slow down, with
# room for a poller whose timer fires a little early.
DEVICE_INTERVAL = 1
DEVICE_POLL_SLACK = 0.3
# RFC 8628 3.5: each slow_down adds five seconds to the interval.
SLOW_DOWN_STEP = 5
CODE_LIFETIME = 300
BODY_LIMIT = 64 * 1024
LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]", "::1")


def new_secret():
    # Standard base64, so codes and tokens carry '+', '/' and '=': a client
    # that decodes or encodes them once too often sends something else back.
    # 25 bytes end in "==" padding.
    return base64.b64encode(secrets.token_bytes(25)).decode()


class Provider:
    def __init__(self, clients, client_secret):
        self.lock = threading.Lock()
        self.clients = set(clients)
        self.client_secret = client_secret
        self.codes = {}  # code -> dict(user, client_id, redirect_uri, challenge, expires)
        self.refresh = {}  # refresh token -> user (live ones only)
        self.access = {}  # access token -> (user, expires at)
        self.devices = {}  # device code -> dict(user_code, user, state, interval, last_poll, expires)
        self.revoked_users = set()
        self.log = []
        self.mode = {"authorize": "ok", "token": "ok", "introspect": "ok", "expires_in": 3600}

    def mint(self, user):
        access = new_secret()
        refresh = new_secret()
        expires_in = int(self.mode["expires_in"])
        self.access[access] = (user, time.time() + expires_in)
        self.refresh[refresh] = user
        self.revoked_users.discard(user)
        return {
            "access_token": access,
            "token_type": "Bearer",
            "expires_in": expires_in,
            "refresh_token": refresh,
        }

    def revoke(self, user):
        self.revoked_users.add(user)
        self.refresh = {t: u for t, u in self.refresh.items() if u != user}
        self.access = {t: v for t, v in self.access.items() if v[0] != user}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestProvider/1"

    def log_message(self, *args):
        pass

    @property
    def provider(self):
        return self.server.provider

    # ---- answers ----

    def send(self, status, body=b"", content_type="text/plain; charset=utf-8", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_json(self, status, value):
        self.send(status, json.dumps(value).encode(), "application/json")

    def send_error_json(self, error, status=400, description=None):
        value = {"error": error}
        if description:
            value["error_description"] = description
        self.send_json(status, value)

    def redirect(self, redirect_uri, params):
        separator = "&" if urllib.parse.urlsplit(redirect_uri).query else "?"
        location = redirect_uri + separator + urllib.parse.urlencode(params, quote_via=urllib.parse.quote)
        self.send(302, b"", headers=[("Location", location)])

    # ---- requests ----

    def query(self):
        return {k: v[-1] for k, v in urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query).items()}

    def form(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length > BODY_LIMIT:
            return None
        body = self.rfile.read(length).decode("utf-8", "replace")
        return {k: v[-1] for k, v in urllib.parse.parse_qs(body, keep_blank_values=True).items()}

    def record(self, fields):
        entry = {"method": self.command, "path": urllib.parse.urlsplit(self.path).path}
        for name in ("grant_type", "client_id", "redirect_uri", "scope", "user_code", "login_hint"):
            if name in fields:
                entry[name] = fields[name]
        with self.provider.lock:
            self.provider.log.append(entry)

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        params = self.query()
        if not path.startswith("/control/"):
            self.record(params)
        routes = {
            "/authorize": self.authorize,
            "/device/approve": self.device_approve,
            "/device/deny": self.device_deny,
            "/introspect": lambda p: self.introspect(p.get("token")),
            "/control/mint": self.control_mint,
            "/control/revoke": self.control_revoke,
            "/control/mode": self.control_mode,
            "/control/log": self.control_log,
        }
        route = routes.get(path)
        if route is None:
            self.send(404, b"not found\n")
        else:
            route(params)

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        fields = self.form()
        if fields is None:
            self.send_error_json("invalid_request", 413)
            self.close_connection = True
            return
        self.record(fields)
        if path == "/token":
            self.token(fields)
        elif path == "/device":
            self.device(fields)
        elif path == "/introspect":
            token = fields.get("token")
            header = self.headers.get("Authorization", "")
            if token is None and header.startswith("Bearer "):
                token = header[len("Bearer "):]
            self.introspect(token)
        else:
            self.send(404, b"not found\n")

    # ---- the authorization endpoint ----

    def authorize(self, p):
        provider = self.provider
        redirect_uri = p.get("redirect_uri", "")
        target = urllib.parse.urlsplit(redirect_uri)
        # RFC 6749 4.1.2.1: an unknown client or a bad redirect is told to the
        # person, never to the redirect address.
        if p.get("client_id") not in provider.clients:
            self.send(400, b"unknown client\n")
            return
        if target.scheme != "http" or target.hostname not in LOOPBACK_HOSTS or not target.port:
            self.send(400, b"the redirect must be a loopback address with a port\n")
            return
        state = p.get("state")
        answer = {}
        if p.get("response_type") != "code" or p.get("code_challenge_method") != "S256" or not p.get("code_challenge"):
            answer["error"] = "invalid_request"
        else:
            with provider.lock:
                mode = provider.mode["authorize"]
                if mode == "deny":
                    answer["error"] = "access_denied"
                else:
                    # '+', '/' and a literal "%41" besides the padding: decoded
                    # twice, or not at all, the code is another.
                    code = new_secret() + "+/%41"
                    provider.codes[code] = {
                        "user": p.get("login_hint") or DEFAULT_USER,
                        "client_id": p["client_id"],
                        "redirect_uri": redirect_uri,
                        "challenge": p["code_challenge"],
                        "expires": time.time() + CODE_LIFETIME,
                    }
                    answer["code"] = code
                    if mode == "tamper" and state is not None:
                        state = state + "x"
        if state is not None:
            answer["state"] = state
        self.redirect(redirect_uri, answer)

    # ---- the token endpoint ----

    def client_ok(self, f):
        provider = self.provider
        if f.get("client_id") not in provider.clients:
            return False
        return provider.client_secret is None or f.get("client_secret") == provider.client_secret

    def token(self, f):
        provider = self.provider
        with provider.lock:
            if provider.mode["token"] == "503":
                self.send(503, b"the service is unavailable\n")
                return
            if provider.mode["token"] == "huge":
                # An answer far beyond what any token endpoint sends.
                self.send_json(200, {"access_token": "x" * (2 * BODY_LIMIT), "token_type": "Bearer"})
                return
            if not self.client_ok(f):
                self.send_error_json("invalid_client", 401, "the client is not known")
                return
            grant = f.get("grant_type")
            if grant == "authorization_code":
                self.code_grant(f)
            elif grant == "refresh_token":
                user = provider.refresh.pop(f.get("refresh_token", ""), None)
                if user is None:
                    self.send_error_json("invalid_grant", 400, "the refresh token is not valid")
                else:
                    self.send_json(200, provider.mint(user))
            elif grant == DEVICE_GRANT:
                self.device_grant(f)
            else:
                self.send_error_json("unsupported_grant_type")

    def code_grant(self, f):
        provider = self.provider
        # A code is used once, whatever the outcome.
        entry = provider.codes.pop(f.get("code", ""), None)
        if entry is None or entry["expires"] < time.time():
            self.send_error_json("invalid_grant", 400, "the code is not valid")
            return
        if entry["client_id"] != f.get("client_id") or entry["redirect_uri"] != f.get("redirect_uri"):
            self.send_error_json("invalid_grant", 400, "the code was given to another client or address")
            return
        verifier = f.get("code_verifier", "")
        challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).decode().rstrip("=")
        if challenge != entry["challenge"]:
            self.send_error_json("invalid_grant", 400, "the code verifier does not match")
            return
        self.send_json(200, provider.mint(entry["user"]))

    # ---- the device grant (RFC 8628) ----

    def device(self, f):
        provider = self.provider
        if f.get("client_id") not in provider.clients:
            self.send_error_json("invalid_client", 401)
            return
        device_code = new_secret()
        user_code = "-".join(secrets.token_hex(2).upper() for _ in range(2))
        host, port = self.server.server_address[:2]
        with provider.lock:
            provider.devices[device_code] = {
                "user_code": user_code,
                "user": None,
                "state": "pending",
                "interval": DEVICE_INTERVAL,
                "last_poll": 0.0,
                "expires": time.time() + CODE_LIFETIME,
                "client_id": f["client_id"],
            }
        self.send_json(200, {
            "device_code": device_code,
            "user_code": user_code,
            "verification_uri": "http://%s:%d/device" % (host, port),
            "expires_in": CODE_LIFETIME,
            "interval": DEVICE_INTERVAL,
        })

    def device_grant(self, f):
        provider = self.provider
        entry = provider.devices.get(f.get("device_code", ""))
        if entry is None or entry["client_id"] != f.get("client_id"):
            self.send_error_json("invalid_grant")
            return
        now = time.time()
        if entry["expires"] < now:
            del provider.devices[f["device_code"]]
            self.send_error_json("expired_token")
            return
        too_soon = now - entry["last_poll"] < entry["interval"] - DEVICE_POLL_SLACK
        entry["last_poll"] = now
        if entry["state"] == "pending":
            if too_soon:
                entry["interval"] += SLOW_DOWN_STEP
                self.send_error_json("slow_down")
            else:
                self.send_error_json("authorization_pending")
        elif entry["state"] == "denied":
            del provider.devices[f["device_code"]]
            self.send_error_json("access_denied")
        else:
            del provider.devices[f["device_code"]]
            self.send_json(200, provider.mint(entry["user"]))

    def find_device(self, user_code):
        for entry in self.provider.devices.values():
            if entry["user_code"] == user_code:
                return entry
        return None

    def device_approve(self, p):
        with self.provider.lock:
            entry = self.find_device(p.get("user_code"))
            if entry is None or entry["state"] != "pending":
                self.send(404, b"no such code\n")
                return
            entry["state"] = "approved"
            entry["user"] = p.get("user") or DEFAULT_USER
        self.send(200, b"approved\n")

    def device_deny(self, p):
        with self.provider.lock:
            entry = self.find_device(p.get("user_code"))
            if entry is None or entry["state"] != "pending":
                self.send(404, b"no such code\n")
                return
            entry["state"] = "denied"
        self.send(200, b"denied\n")

    # ---- introspection (RFC 7662), as the mail server asks it ----

    def introspect(self, token):
        provider = self.provider
        with provider.lock:
            if provider.mode["introspect"] == "503":
                self.send(503, b"the service is unavailable\n")
                return
            entry = provider.access.get(token or "")
            if entry is None or entry[1] < time.time():
                self.send_json(200, {"active": False})
            else:
                self.send_json(200, {"active": True, "email": entry[0]})

    # ---- control ----

    def control_mint(self, p):
        with self.provider.lock:
            self.send_json(200, self.provider.mint(p.get("user") or DEFAULT_USER))

    def control_revoke(self, p):
        with self.provider.lock:
            self.provider.revoke(p.get("user") or DEFAULT_USER)
        self.send(200, b"revoked\n")

    def control_mode(self, p):
        allowed = {"authorize": ("ok", "deny", "tamper"), "token": ("ok", "503", "huge"), "introspect": ("ok", "503")}
        for name, value in p.items():
            if not (name == "expires_in" and value.isdigit()) and value not in allowed.get(name, ()):
                self.send(400, ("unknown mode %s=%s\n" % (name, value)).encode())
                return
        with self.provider.lock:
            for name, value in p.items():
                self.provider.mode[name] = int(value) if name == "expires_in" else value
            mode = dict(self.provider.mode)
        self.send_json(200, mode)

    def control_log(self, p):
        with self.provider.lock:
            self.send_json(200, list(self.provider.log))


def write_port(path, port):
    temporary = "%s.%d.tmp" % (path, os.getpid())
    with open(temporary, "w") as f:
        f.write("%d\n" % port)
    os.replace(temporary, path)


def main():
    parser = argparse.ArgumentParser(description="A stand-in OAuth 2.0 provider for the tests.")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--client-id", action="append", default=None)
    parser.add_argument("--client-secret", default=None)
    parser.add_argument("--watch-stdin", action="store_true")
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.provider = Provider(args.client_id or [DEFAULT_CLIENT], args.client_secret)
    write_port(args.port_file, server.server_address[1])
    if args.watch_stdin:
        def watch():
            while sys.stdin.buffer.read(4096):
                pass
            os._exit(0)

        threading.Thread(target=watch, daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
