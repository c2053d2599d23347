"""A threaded HTTP(S) test server on loopback with canned routes and injected faults."""

import socket
import ssl
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote


@dataclass
class Route:
    body: bytes = b""
    status: int = 200
    headers: dict = field(default_factory=dict)
    # None: the real length; an int: announce this length instead; False: send no length.
    content_length: object = None
    chunked: bool = False
    # Stop after this many body bytes: "reset" sends a TCP reset, "close" closes cleanly.
    cut_after: int | None = None
    cut_mode: str = "reset"
    close_before_headers: bool = False
    redirect_to: str | None = None
    # Body is sent in pieces of chunk_size with delay seconds between them.
    chunk_size: int = 65536
    delay: float = 0.0
    # Called with the number of body bytes sent after each piece (for triggers in tests).
    on_progress: object = None


@dataclass
class SeenRequest:
    path: str
    headers: dict


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server.owner
        server.requests.append(SeenRequest(self.path, {k: v for k, v in self.headers.items()}))
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
        self.send_response(route.status)
        for name, value in route.headers.items():
            self.send_header(name, value)
        body = route.body
        if route.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif route.content_length is None:
            self.send_header("Content-Length", str(len(body)))
        elif route.content_length is not False:
            self.send_header("Content-Length", str(route.content_length))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        limit = len(body) if route.cut_after is None else min(route.cut_after, len(body))
        sent = 0
        while sent < limit:
            piece = body[sent:min(limit, sent + route.chunk_size)]
            if route.chunked:
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            else:
                self.wfile.write(piece)
            self.wfile.flush()
            sent += len(piece)
            if route.on_progress:
                route.on_progress(sent)
            if route.delay:
                time.sleep(route.delay)
        if route.cut_after is not None:
            if route.cut_mode == "reset":
                self._reset()
            else:
                self.close_connection = True
            return
        if route.chunked:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def _send_plain(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _reset(self):
        # SO_LINGER 0 makes close() send a TCP reset.
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00"
                                   b"\x00\x00\x00\x00")
        self.close_connection = True
        try:
            raw = self.connection.unwrap() if isinstance(self.connection, ssl.SSLSocket) else None
        except (ssl.SSLError, OSError):
            raw = None
        sock = raw or self.connection
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        sock.close()


class TestServer:
    """Routes are matched on the path without query, after percent-decoding."""

    def __init__(self, port: int = 0, certfile=None, keyfile=None):
        self.routes: dict[str, Route] = {}
        self.requests: list[SeenRequest] = []
        self._lock = threading.Lock()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        self._httpd.daemon_threads = True
        self._httpd.owner = self
        self._context = None
        if certfile:
            self.use_certificate(certfile, keyfile)
            self._httpd.socket = self._context.wrap_socket(self._httpd.socket, server_side=True)
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
        path = unquote(raw_path.split("?", 1)[0])
        with self._lock:
            return self.routes.get(path)

    def reset(self):
        with self._lock:
            self.routes.clear()
            self.requests.clear()

    def requests_for(self, path: str) -> list[SeenRequest]:
        return [r for r in self.requests if unquote(r.path.split("?", 1)[0]) == path]

    def close(self):
        self._httpd.shutdown()
        self._httpd.server_close()
