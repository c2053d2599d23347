"""A CONNECT proxy on loopback, as a user's Internet Options name one, and the prefix's per-user
settings that point at it. With a delay it also stands for a distant network: every byte is
held that long in each direction, without limiting the rate."""

import collections
import socket
import struct
import threading
import time
from contextlib import contextmanager

INTERNET_SETTINGS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
# The flags of the Connections blob that Internet Options writes: direct, and a fixed proxy.
_DIRECT, _FIXED_PROXY = 1, 2
_LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")


class ConnectProxy:
    """Tunnels CONNECT requests to loopback targets; anything else is refused. Records the
    targets asked for and the local ports of its own connections to them."""

    def __init__(self, delay: float = 0.0, port: int = 0):
        self.delay = delay
        self.connects: list[str] = []
        self.outbound_ports: set[int] = set()
        self._listener = socket.create_server(("127.0.0.1", port))
        self.port = self._listener.getsockname()[1]
        self._closed = False
        threading.Thread(target=self._accept_loop, daemon=True).start()

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def close(self):
        self._closed = True
        stop_listening(self._listener)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _accept_loop(self):
        while not self._closed:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client: socket.socket):
        with client:
            head = b""
            while b"\r\n\r\n" not in head:
                piece = client.recv(4096)
                if not piece:
                    return
                head += piece
            request, _, early = head.partition(b"\r\n\r\n")
            words = request.split(b"\r\n", 1)[0].decode("latin-1").split()
            host, _, port = words[1].rpartition(":") if len(words) == 3 else ("", "", "")
            if words[:1] != ["CONNECT"] or host.strip("[]") not in _LOOPBACK_NAMES:
                client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                return
            self.connects.append(words[1])
            try:
                upstream = socket.create_connection((host.strip("[]"), int(port)))
            except OSError:
                client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
                return
            with upstream:
                self.outbound_ports.add(upstream.getsockname()[1])
                for sock in (client, upstream):
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                if early:
                    upstream.sendall(early)
                back = threading.Thread(target=self._pump, args=(upstream, client), daemon=True)
                back.start()
                self._pump(client, upstream)
                back.join()

    def _pump(self, source: socket.socket, dest: socket.socket):
        if self.delay <= 0:
            self._copy(source, dest)
            return
        # One thread reads and stamps, one writes when each piece is due.
        queue = collections.deque()
        ready = threading.Condition()

        def write():
            while True:
                with ready:
                    while not queue:
                        ready.wait()
                    due, piece = queue.popleft()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if piece is None:
                    _shutdown(dest)
                    return
                try:
                    dest.sendall(piece)
                except OSError:
                    return

        writer = threading.Thread(target=write, daemon=True)
        writer.start()
        while True:
            try:
                piece = source.recv(262144)
            except OSError:
                piece = b""
            with ready:
                queue.append((time.monotonic() + self.delay, piece or None))
                ready.notify()
            if not piece:
                break
        writer.join()

    @staticmethod
    def _copy(source: socket.socket, dest: socket.socket):
        while True:
            try:
                piece = source.recv(262144)
                if not piece:
                    break
                dest.sendall(piece)
            except OSError:
                break
        _shutdown(dest)


def stop_listening(listener: socket.socket):
    """Closes a listener that another thread waits on in accept(): without the shutdown the
    waiting call keeps the port bound."""
    try:
        listener.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    listener.close()


def _shutdown(sock: socket.socket):
    try:
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def _length_prefixed(text: str) -> bytes:
    data = text.encode("ascii")
    return struct.pack("<I", len(data)) + data


def connection_settings(proxy: str) -> bytes:
    """The DefaultConnectionSettings blob for a fixed proxy: version, counter, flags, proxy,
    bypass list, script URL, then fields this system leaves empty."""
    return (struct.pack("<III", 0x46, 1, _DIRECT | _FIXED_PROXY) + _length_prefixed(proxy) +
            _length_prefixed("") + _length_prefixed("") + bytes(32))


def _reg_file(lines) -> bytes:
    return ("REGEDIT4\r\n\r\n" + "\r\n".join(lines) + "\r\n").encode("ascii")


@contextmanager
def user_proxy_settings(wine, proxy: str, work_dir):
    """The prefix user's Internet Options name proxy (both the values and the Connections blob
    that Internet Options writes); they are removed again afterwards."""
    blob = ",".join(f"{byte:02x}" for byte in connection_settings(proxy))
    settings = work_dir / "user-proxy.reg"
    settings.write_bytes(_reg_file([
        f"[{INTERNET_SETTINGS}]", '"ProxyEnable"=dword:00000001', f'"ProxyServer"="{proxy}"', "",
        f"[{INTERNET_SETTINGS}\\Connections]", f'"DefaultConnectionSettings"=hex:{blob}']))
    done = wine.run(["regedit", "/S", wine.win_path(settings)], timeout=60)
    assert done.returncode == 0, done.stderr
    try:
        yield
    finally:
        for key, value in ((INTERNET_SETTINGS, "ProxyEnable"), (INTERNET_SETTINGS, "ProxyServer"),
                           (INTERNET_SETTINGS + "\\Connections", "DefaultConnectionSettings")):
            wine.run(["reg", "delete", key, "/v", value, "/f"], timeout=60)


@contextmanager
def windows_version_for(wine, exe_name: str, version: str, work_dir):
    """Wine reports version (e.g. "win10") to the program exe_name only, until the end."""
    key = rf"HKEY_CURRENT_USER\Software\Wine\AppDefaults\{exe_name}"
    settings = work_dir / "version.reg"
    settings.write_bytes(_reg_file([f"[{key}]", f'"Version"="{version}"']))
    done = wine.run(["regedit", "/S", wine.win_path(settings)], timeout=60)
    assert done.returncode == 0, done.stderr
    try:
        yield
    finally:
        wine.run(["reg", "delete", key, "/f"], timeout=60)
