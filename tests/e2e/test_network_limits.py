"""Networks as users have them: a download server that accepts and never answers, or trickles
its answer, a transfer that stalls, and a user behind a proxy. Every GET of a run goes through
one session, so an update of several files keeps one connection."""

import socket
import ssl
import threading
import time

import pytest

from support.faults import (CHANGED_OK, CHANGED_START, FOUND, NOT_DOWNLOADED, NOTHING_TO_KILL,
                            QUERYING, UP_TO_DATE)
from support.launcher import wait_records
from support.proxy import ConnectProxy, stop_listening, user_proxy_settings, windows_version_for
from support.release import Release
from support.scenario import Hold, put_standin, write_stamp
from test_transfer import PATTERN, client  # noqa: F401 (the http_fetch fixture)

# The launcher's own limit ends the manifest 8 s after launch; WinHTTP's defaults alone held a
# silent server for minutes. The bound leaves room for Wine's start on a busy machine.
PRODUCT_STARTED_WITHIN = 15
STALL_LIMIT = 20


class UnansweringServer:
    """The launcher's server as a user meets it on a bad day, on the launcher's port:
    "never-accepts" takes no connection, "silent" accepts and sends nothing, "trickle" completes
    TLS, answers the headers and then sends one byte every half second."""

    def __init__(self, port: int, kind: str, certs):
        self.kind = kind
        self.accepted = 0
        self._listener = socket.create_server(("127.0.0.1", port), backlog=8)
        self._held = []
        self._closed = threading.Event()
        if kind != "never-accepts":
            self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._context.load_cert_chain(*map(str, certs.good))
            threading.Thread(target=self._accept_loop, daemon=True).start()

    def _accept_loop(self):
        while not self._closed.is_set():
            try:
                connection, _ = self._listener.accept()
            except OSError:
                return
            self.accepted += 1
            self._held.append(connection)
            if self.kind == "trickle":
                threading.Thread(target=self._trickle, args=(connection,), daemon=True).start()

    def _trickle(self, connection):
        try:
            tls = self._context.wrap_socket(connection, server_side=True)
            self._held.append(tls)
            request = b""
            while b"\r\n\r\n" not in request:
                request += tls.recv(4096)
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")
            while not self._closed.wait(0.5):
                tls.sendall(b" ")
        except (OSError, ssl.SSLError):
            pass

    def close(self):
        self._closed.set()
        stop_listening(self._listener)
        for connection in self._held:
            try:
                connection.close()
            except OSError:
                pass


def installed_product(launcher_dir, standin_exe):
    install = launcher_dir / "velda"
    write_stamp(install, "1.0.0")
    put_standin(standin_exe, install / "Velda.exe", "old")
    return install


@pytest.mark.parametrize("kind", ["never-accepts", "silent", "trickle"])
def test_unanswered_manifest_starts_the_installed_product_in_time(
        wine, https_server, certs, launcher_dir, standin_exe, start_launcher, kind):
    install = installed_product(launcher_dir, standin_exe)
    port = https_server.port
    https_server.close()  # the next test gets a new one
    server = UnansweringServer(port, kind, certs)
    try:
        launched = time.monotonic()
        process = start_launcher(launcher_dir)
        starts = wait_records(process.record_file, 1, 60)
        product_after = time.monotonic() - launched
        run = process.wait()
    finally:
        server.close()

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED], run.describe()
    assert [(s["tag"], s["exe"]) for s in starts] == [("old", wine.win_path(install / "Velda.exe"))]
    assert product_after < PRODUCT_STARTED_WITHIN, run.describe()
    assert (server.accepted > 0) == (kind != "never-accepts")


def test_transfer_without_a_byte_for_the_stall_limit_fails(client, https, certs, tmp_path):
    # The stalls at once: after the headers and part of the body (a package), before any
    # answer to the request (TLS done, nothing sent), and a body trickling two bytes a second.
    body_hold = Hold()
    https.route("/stall/package.zip", PATTERN, size=4 << 20, chunk_size=1 << 20,
                on_progress=body_hold)
    https.route("/stall/trickle.zip", PATTERN, size=100000, chunk_size=1, delay=0.5)
    silent = TlsSilentServer(certs)
    target = tmp_path / "package.zip"
    target.write_bytes(b"old package")
    trickled = tmp_path / "trickle.zip"
    results = {}

    def fetch(name, call):
        started = time.monotonic()
        results[name] = (call(), time.monotonic() - started)

    threads = [
        threading.Thread(target=fetch, args=("body", lambda: client.file(
            f"{https.base_url}/stall/package.zip", target))),
        threading.Thread(target=fetch, args=("headers", lambda: client.memory(
            f"https://localhost:{silent.port}/downloads/latest.json"))),
        threading.Thread(target=fetch, args=("trickle", lambda: client.file(
            f"{https.base_url}/stall/trickle.zip", trickled))),
    ]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
    finally:
        body_hold.release()
        silent.close()

    for name in ("body", "headers", "trickle"):
        fetched, seconds = results[name]
        assert not fetched.ok and fetched.out["stage"] == "stalled", (name, fetched.out)
        assert STALL_LIMIT - 1 <= seconds < STALL_LIMIT + 15, (name, seconds)
    assert results["body"][0].out["last"][0] == 1 << 20  # the bytes before the stall arrived
    assert target.read_bytes() == b"old package"
    assert 0 < results["trickle"][0].out["last"][0] < 16 * 1024  # under the floor
    assert sorted(p.name for p in tmp_path.iterdir()) == ["package.zip"]


class TlsSilentServer:
    """Completes TLS, reads the request and never answers."""

    def __init__(self, certs):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*map(str, certs.good))
        self._listener = context.wrap_socket(socket.create_server(("127.0.0.1", 0)),
                                             server_side=True)
        self.port = self._listener.getsockname()[1]
        self._held = []
        threading.Thread(target=self._accept_loop, daemon=True).start()

    def _accept_loop(self):
        while True:
            try:
                connection, _ = self._listener.accept()
                self._held.append(connection)
                connection.recv(4096)
            except (OSError, ssl.SSLError):
                return

    def close(self):
        stop_listening(self._listener)
        for connection in self._held:
            connection.close()


@pytest.fixture
def https(https_server):
    return https_server


CHANGED = {f"data/part{n}.bin": bytes([n]) * (3000 + n) for n in range(6)}


def test_update_goes_through_the_users_proxy_on_one_connection(
        wine, https_server, launcher_dir, standin_exe, run_launcher, tmp_path):
    install = installed_product(launcher_dir, standin_exe)
    release = Release(https_server, standin_exe)
    changed = release.publish_changed_files(list(CHANGED), CHANGED)
    release.publish_manifest(changed)

    with ConnectProxy() as proxy, user_proxy_settings(wine, proxy.address, tmp_path):
        run = run_launcher(launcher_dir)
        assert run.exit_code == 0, run.describe()
        assert run.lines == [QUERYING, FOUND, CHANGED_START, NOTHING_TO_KILL, CHANGED_OK], \
            run.describe()
        for name, content in CHANGED.items():
            assert (install / name).read_bytes() == content
        assert (install / "velda.version").read_bytes() == b"2.0.0"
        # Every GET (manifest, list, six files) came through the proxy's one tunnel, on one
        # connection that the session kept alive.
        seen = https_server.requests
        assert len(seen) == 2 + len(CHANGED)
        assert proxy.connects == [f"localhost:{https_server.port}"]
        assert {r.client[1] for r in seen} <= proxy.outbound_ports
        assert https_server.connections == 1

        # From Windows 8.1 on the system resolves the proxy. Wine 8 opens such a session but
        # connects directly, whatever the user's settings say, so only the outcome is checked.
        with windows_version_for(wine, "VeldaLauncher.exe", "win10", tmp_path):
            again = run_launcher(launcher_dir)
        assert again.exit_code == 0, again.describe()
        assert again.lines == [QUERYING, FOUND, UP_TO_DATE], again.describe()
        assert [s["tag"] for s in again.starts] == ["old"]
