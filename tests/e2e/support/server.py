"""A threaded HTTP(S) test server on loopback with canned routes and injected faults."""

import os
import re
import socket
import ssl
import struct
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit


@dataclass
class Route:
    body: bytes = b""
    # When set, the body is `body` repeated and cut to this many bytes, made piece by piece as it
    # is sent (large bodies without holding them in memory).
    size: int | None = None
    status: int = 200
    headers: dict = field(default_factory=dict)
    # None: the real length; an int: announce this length instead; False: send no length.
    content_length: object = None
    chunked: bool = False
    # Stop after this many body bytes: "reset" sends a TCP reset, "close" closes cleanly.
    cut_after: int | None = None
    cut_mode: str = "reset"
    close_before_headers: bool = False
    # Honour "Range: bytes=N-" with 206 while If-Range, when sent, names the route's ETag or
    # Last-Modified header; stale_ranges answers 206 whatever If-Range says (a faulty server).
    ranges: bool = False
    stale_ranges: bool = False
    # Answers 416 to a Range that starts past the body's end, whatever If-Range says.
    unsatisfiable_ranges: bool = False
    # A 206 answer without Content-Length: its body ends where the connection does.
    ranges_without_length: bool = False
    # Every response stops (reset) after this many body bytes, wherever it began.
    cut_every: int | None = None
    redirect_to: str | None = None
    # Body is sent in pieces of chunk_size with delay seconds between them.
    chunk_size: int = 65536
    delay: float = 0.0
    # Called with the number of body bytes sent after each piece (for triggers in tests).
    on_progress: object = None
    # What the server got to send of the body, and whether it sent all of it.
    sent: int = field(default=0, init=False)
    finished: bool = field(default=False, init=False)
    # Body bytes sent over all responses, and the first byte of each response.
    sent_total: int = field(default=0, init=False)
    starts: list = field(default_factory=list, init=False)

    @property
    def length(self) -> int:
        return len(self.body) if self.size is None else self.size

    def piece(self, offset: int, count: int) -> bytes:
        if self.size is None:
            return self.body[offset:offset + count]
        count = min(count, self.size - offset)
        start = offset % len(self.body)
        repeats = (start + count + len(self.body) - 1) // len(self.body)
        return (self.body * repeats)[start:start + count]


@dataclass
class SeenRequest:
    path: str
    headers: dict
    method: str = "GET"
    version: str = "HTTP/1.1"
    client: tuple = ()  # the peer's (address, port): which connection the request came on


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        # The TLS handshake runs here, in the connection's own thread, so that a client that
        # stalls or refuses the certificate never holds up the others.
        self._handshake_failed = False
        self.server.owner.connections += 1
        if isinstance(self.request, ssl.SSLSocket):
            try:
                self.request.settimeout(30)
                self.request.do_handshake()
                self.request.settimeout(None)
            except (OSError, ssl.SSLError):
                self._handshake_failed = True
        super().setup()

    def handle(self):
        if self._handshake_failed:
            return
        try:
            super().handle()
        except (ConnectionError, ssl.SSLError, TimeoutError):
            pass  # The client went away: part of what tests do on purpose.

    def do_GET(self):
        server = self.server.owner
        server.requests.append(SeenRequest(self.path, {k: v for k, v in self.headers.items()},
                                           self.command, self.request_version,
                                           self.client_address))
        route = server.find(self.path)
        if route is None:
            self._send_plain(404, b"not found")
            return
        if route.close_before_headers:
            self._reset()
            return
        if route.redirect_to:
            self.send_response(302)
            self.send_header("Location", route.redirect_to)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        length = route.length
        asked = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", "").strip())
        if route.unsatisfiable_ranges and asked and int(asked[1]) >= length:
            route.starts.append(int(asked[1]))
            self.send_response(416)
            self.send_header("Content-Range", f"bytes */{length}")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        start = self._range_start(route, length)
        route.starts.append(start)
        self.send_response(206 if start else route.status)
        for name, value in route.headers.items():
            self.send_header(name, value)
        if route.ranges:
            self.send_header("Accept-Ranges", "bytes")
        if start:
            self.send_header("Content-Range", f"bytes {start}-{length - 1}/{length}")
            if route.ranges_without_length:
                self.close_connection = True
            else:
                self.send_header("Content-Length", str(length - start))
        elif route.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif route.content_length is None:
            self.send_header("Content-Length", str(length))
        elif route.content_length is not False:
            self.send_header("Content-Length", str(route.content_length))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        limit = length if route.cut_after is None else min(route.cut_after, length)
        if route.cut_every is not None:
            limit = min(limit, start + route.cut_every)
        sent = start
        while sent < limit:
            piece = route.piece(sent, min(limit - sent, route.chunk_size))
            if route.chunked:
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            else:
                self.wfile.write(piece)
            self.wfile.flush()
            sent += len(piece)
            route.sent = sent
            route.sent_total += len(piece)
            if route.on_progress:
                route.on_progress(sent)
            if route.delay:
                time.sleep(route.delay)
        route.finished = sent == length
        if route.cut_after is not None or (route.cut_every is not None and sent < length):
            if route.cut_mode == "reset":
                self._reset()
            else:
                self.close_connection = True
            return
        if route.chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()
        if isinstance(route.content_length, int) and route.content_length is not False \
                and route.content_length > length:
            self.close_connection = True  # The client sees the body end short of its length.

    def _range_start(self, route: Route, length: int) -> int:
        """Where the body starts: 0 unless the route honours the request's Range."""
        match = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", "").strip())
        if not (route.ranges and match and route.status == 200) or int(match[1]) >= length:
            return 0
        if_range = self.headers.get("If-Range")
        validators = (route.headers.get("ETag"), route.headers.get("Last-Modified"))
        if if_range is not None and if_range not in validators and not route.stale_ranges:
            return 0
        return int(match[1])

    def _send_plain(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _reset(self):
        # SO_LINGER 0 makes closing the descriptor send a TCP reset. The descriptor is closed at
        # once: no TLS close_notify (a peer still reading would never answer it) and no waiting
        # for the handler's file objects to let go of the socket.
        self.wfile.flush()
        self.close_connection = True
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                   struct.pack("ii", 1, 0))
        os.close(self.connection.detach())


def route_path(raw_path: str) -> str:
    """The percent-decoded path without query. HTTP/1.1 servers must also take the absolute
    form ("https://host:port/path"), which Wine sends inside a proxy's tunnel."""
    if raw_path.startswith(("http://", "https://")):
        raw_path = urlsplit(raw_path).path or "/"
    return unquote(raw_path.split("?", 1)[0])


class TestServer:
    """Routes are matched on the path without query, after percent-decoding."""

    __test__ = False  # not a test class, whatever pytest makes of its name

    def __init__(self, port: int = 0, certfile=None, keyfile=None):
        self.routes: dict[str, Route] = {}
        self.requests: list[SeenRequest] = []
        self.connections = 0  # accepted so far, kept alive or not
        self._lock = threading.Lock()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        self._httpd.daemon_threads = True
        self._httpd.owner = self
        self._context = None
        if certfile:
            self.use_certificate(certfile, keyfile)
            self._httpd.socket = self._context.wrap_socket(self._httpd.socket, server_side=True,
                                                           do_handshake_on_connect=False)
        self.port = self._httpd.server_address[1]
        self.scheme = "https" if certfile else "http"
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()

    @property
    def base_url(self) -> str:
        return f"{self.scheme}://localhost:{self.port}"

    def use_certificate(self, certfile, keyfile):
        """Serve another certificate from now on (new connections only)."""
        if self._context is None:
            self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(str(certfile), str(keyfile))

    def route(self, path: str, body: bytes = b"", **options) -> Route:
        route = Route(body=body, **options)
        with self._lock:
            self.routes[path] = route
        return route

    def find(self, raw_path: str):
        path = route_path(raw_path)
        with self._lock:
            return self.routes.get(path)

    def reset(self):
        with self._lock:
            self.routes.clear()
            self.requests.clear()
            self.connections = 0

    def requests_for(self, path: str) -> list[SeenRequest]:
        return [r for r in self.requests if route_path(r.path) == path]

    def close(self):
        self._httpd.shutdown()
        self._httpd.server_close()
