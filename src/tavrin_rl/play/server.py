"""The play page's server: the standard library's `http.server`, one thread per request.

It answers one page and a small JSON protocol, all under a random token in the address:

    GET  /TOKEN/                  the page
    POST /TOKEN/api/new           {}                               a new game: its state
    POST /TOKEN/api/state         {"game", "since"}                the state, with the turns after `since`
    POST /TOKEN/api/move          {"game", "turn", "cells"}        the person's placement (board cells)
    GET  /TOKEN/save/GAME/state   the game's state bytes (`PyTavrin.from_bytes` reads them)
    GET  /TOKEN/save/GAME/replay  the game's replay page

A request without the token, with a Host header other than the server's own address, or with an
Origin other than the page's is refused, so that pages of other sites (and other sites' names
for this address) cannot drive it. Bodies are at most 64 KB of JSON; no request names a file.
"""

from __future__ import annotations

import hmac
import ipaddress
import json
import secrets
import socket
import sys
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from tavrin_rl.play.page import page_html
from tavrin_rl.play.tables import HUMAN, Refused, Tables, check_cells
from tavrin_rl.replay import html_page

MAX_BODY = 64 * 1024

# The page inlines everything it runs; it may only talk back to this server.
_HEADERS = {
    "Cache-Control": "no-store",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",  # the token is in the address
    "Content-Security-Policy": ("default-src 'none'; script-src 'unsafe-inline'; "
                                "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; "
                                "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"),
}


WILDCARD = ("is a wildcard address, which is refused: the server must know the one address it "
            "is reached at")


def listen_address(host: str) -> str:
    """The numeric address the server listens on for `host` (a name or an address, an IPv6 one
    with or without brackets), resolved here once with the resolver a bind uses, so that what
    is checked is what is bound. ValueError for a name that does not resolve, and for the
    wildcard in any of its spellings ("0", "0x0", "::0", "::ffff:0.0.0.0"...): each request's
    Host header is checked against the server's own address, which a wildcard does not name."""
    text = host.strip()
    bare = text[1:-1] if text.startswith("[") and text.endswith("]") else text
    if bare in ("", "*"):  # a bind takes "" for every interface without asking the resolver
        raise ValueError(f"{host!r} {WILDCARD}")
    family = socket.AF_INET6 if ":" in bare else socket.AF_INET
    try:
        found = socket.getaddrinfo(bare, None, family, socket.SOCK_STREAM)
    except (OSError, UnicodeError, ValueError) as error:  # UnicodeError: a label too long
        reason = getattr(error, "strerror", None) or str(error) or type(error).__name__
        raise ValueError(f"cannot resolve {host!r}: {reason}") from None
    for *_, address in found:
        ip = ipaddress.ip_address(address[0])
        mapped = getattr(ip, "ipv4_mapped", None)
        if ip.is_unspecified or (mapped is not None and mapped.is_unspecified):
            raise ValueError(f"{host!r} {WILDCARD}")
    address = found[0][4]
    # a link-local IPv6 address keeps its interface, which the resolver hands back apart
    return f"{address[0]}%{address[3]}" if family == socket.AF_INET6 and address[3] else address[0]


class PlayServer(ThreadingHTTPServer):
    """The server of one `play` run on `host` (`listen_address`: ValueError for a wildcard),
    `seats` (HUMAN or an agent string per seat), the seed of the games' agents, the pause
    between the agents' moves on the page."""

    daemon_threads = True
    closing = False  # set as the server stops

    def __init__(self, host: str, port: int, seats: tuple[str, ...], seed: int,
                 pause: float = 0.6, token: str | None = None) -> None:
        host = listen_address(host)
        self.token = token or secrets.token_urlsafe(18)
        self.tables = Tables(seats, seed)
        self.pause = pause
        if ":" in host:
            self.address_family = socket.AF_INET6
        super().__init__((host, port), PlayHandler)
        bound_host, bound_port = str(self.server_address[0]), int(self.server_address[1])
        shown = f"[{bound_host}]" if ":" in bound_host else bound_host
        self.hosts = {f"{shown}:{bound_port}"}
        if bound_host in ("127.0.0.1", "::1"):
            self.hosts.add(f"localhost:{bound_port}")
        self.origins = {f"http://{host}" for host in self.hosts}
        self.address = f"http://{shown}:{bound_port}/{self.token}/"

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A browser that drops a connection mid-answer (a closed tab, a reload) is not a fault:
        # say nothing. Anything else is one line on stderr, not socketserver's traceback banner,
        # and never once the server is stopping, when threads are cut off mid-request.
        error = sys.exc_info()[1]
        if self.closing or isinstance(error, ConnectionError):
            return
        sys.stderr.write(f"tavrin_rl play: a request failed: {type(error).__name__}: {error}\n")

    def server_close(self) -> None:
        self.closing = True
        self.tables.close()
        super().server_close()

    def serve_in_thread(self) -> threading.Thread:
        """Serve on a daemon thread (for tests and embedding); `shutdown()` stops it."""
        thread = threading.Thread(target=self.serve_forever, name="play-server", daemon=True)
        thread.start()
        return thread


class PlayHandler(BaseHTTPRequestHandler):
    server: PlayServer
    protocol_version = "HTTP/1.1"
    server_version = "tavrin_rl-play"
    sys_version = ""
    timeout = 60  # a client that stops sending in the middle of a request gives its thread back

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 (the base's name)
        pass  # the terminal stays for the address and errors

    # Answers ----------------------------------------------------------------------------
    def _send(self, status: int, body: bytes, kind: str, extra: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in {**_HEADERS, **(extra or {})}.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status: int, value: object) -> None:
        self._send(status, json.dumps(value, separators=(",", ":")).encode(),
                   "application/json; charset=utf-8")

    def _error(self, status: int, message: str) -> None:
        # A refused request may leave part of its body unread: end the connection with it.
        self.close_connection = True
        self._json(status, {"error": message})

    # Checks every request passes ----------------------------------------------------------
    def _route(self) -> list[str] | None:
        """The path's parts after the token, or None once an error was answered."""
        if self.headers.get("Host", "") not in self.server.hosts:
            self._error(403, "wrong Host header")
            return None
        origin = self.headers.get("Origin")
        if origin is not None and origin not in self.server.origins:
            self._error(403, "requests from other sites are refused")
            return None
        path = self.path.split("?", 1)[0].split("#", 1)[0]
        parts = path.split("/")
        token = parts[1] if len(parts) > 1 else ""
        if not hmac.compare_digest(token.encode(), self.server.token.encode()):
            self._error(403, "missing or wrong token: use the address the server printed")
            return None
        return [part for part in parts[2:] if part]

    def _body(self) -> dict[str, Any] | None:
        """The request's JSON object, or None once an error was answered."""
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            self._error(411, "send the body with a Content-Length")
            return None
        length_text = self.headers.get("Content-Length")
        if length_text is None or not length_text.isdigit() or not length_text.isascii():
            self._error(411, "send the body with a Content-Length")
            return None
        length = int(length_text)
        if length > MAX_BODY:
            self.close_connection = True  # the body is not read
            self._error(413, f"bodies are at most {MAX_BODY} bytes")
            return None
        raw = self.rfile.read(length)
        kind = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
        if kind != "application/json":
            self._error(415, "send the body as application/json")
            return None
        try:
            value = json.loads(raw.decode("utf-8")) if raw else {}
        except (UnicodeDecodeError, ValueError, RecursionError):  # nested past the parser's depth
            self._error(400, "the body is not JSON")
            return None
        if not isinstance(value, dict):
            self._error(400, "the body must be a JSON object")
            return None
        return value

    # Methods ----------------------------------------------------------------------------
    def do_GET(self) -> None:  # noqa: N802 (http.server's name)
        parts = self._route()
        if parts is None:
            return
        try:
            if not parts:
                text = page_html(self.server.token, self.server.tables.seats, self.server.pause)
                self._send(200, text.encode(), "text/html; charset=utf-8")
            elif len(parts) == 3 and parts[0] == "save" and parts[2] in ("state", "replay"):
                self._save(parts[1], parts[2])
            else:
                self._error(404, "no such page")
        except Refused as refusal:
            self._error(refusal.status, str(refusal))

    do_HEAD = do_GET

    def _save(self, ident: str, what: str) -> None:
        table = self.server.tables.get(ident)
        state, moves = table.saved()
        stamp = f"tavrin-seed{table.seed}-game{table.number}"
        if what == "state":
            self._send(200, state, "application/octet-stream",
                       {"Content-Disposition": f'attachment; filename="{stamp}.bin"'})
            return
        names = [("you" if name == HUMAN else name) for name in table.seats]
        text = html_page(moves, names, title=f"tavrin_rl, seed {table.seed}, game {table.number}")
        self._send(200, text.encode(), "text/html; charset=utf-8",
                   {"Content-Disposition": f'attachment; filename="{stamp}.html"'})

    def do_POST(self) -> None:  # noqa: N802
        parts = self._route()
        if parts is None:
            return
        body = self._body()
        if body is None:
            return
        tables = self.server.tables
        try:
            if parts == ["api", "new"]:
                table = tables.new()
                self._json(200, table.state(0))
            elif parts == ["api", "state"]:
                self._json(200, tables.get(body.get("game")).state(body.get("since", 0)))
            elif parts == ["api", "move"]:
                table = tables.get(body.get("game"))
                cells = check_cells(body.get("cells"))
                self._json(200, table.move(body.get("turn"), cells))
            else:
                self._error(404, "no such request")
        except Refused as refusal:
            self._error(refusal.status, str(refusal))

    def _refuse_method(self) -> None:
        if self._route() is not None:
            self._error(HTTPStatus.METHOD_NOT_ALLOWED, "only GET and POST are answered")

    do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse_method
