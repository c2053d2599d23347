"""Bounds on what a download may bring: a GET stops before the bytes past its bound; a manifest
server that sends without end costs at most the manifest's bound, in time and memory, before the
installed product starts; a signature longer than a signature is refused; a package or Velda.exe
alone longer than its signed size stops at once and fails that means, installing nothing of it;
velda-release check refuses a text longer than launchers take."""

import hashlib
import json
import socket
import ssl
import threading
from pathlib import Path

import pytest

from support.faults import NOT_DOWNLOADED, QUERYING
from support.proxy import stop_listening
from support.scenario import put_standin, write_stamp
from test_release_pack import product, tool, velda_release  # noqa: F401  (tool is a fixture)
from test_signed_releases import (HASHES, KEYS, LIST, V1, V1_FILES, V2, V2_FILES, install,
                                  keyed_launcher, pack, products, serve,
                                  tree)  # noqa: F401  (products is a fixture)

MANIFEST_BOUND = 64 << 10
# More than loopback buffers hold: a body read past its bound would have been sent whole.
EXTRA = 32 << 20
# What Wine and the launcher hold in a run that reads a small manifest is about 30 MiB; a
# manifest read to the end of its 8 s would hold hundreds of MiB more.
PEAK_RESIDENT_LIMIT = 96 << 20
SIGNATURE_REFUSED = ("latest.json rechazado: no se pudo descargar latest.json.sig; "
                     "lanzando version local.")
DIRECT_FAILED = "Fallo descarga directa de Velda.exe, se usara ZIP completo como respaldo."
PACKAGE_BOX = "No se pudo descargar el ZIP de Velda."


# The GET's own bound (http_fetch's HTTP_FETCH_MAX_BYTES): the body, the route's options, the
# stage expected.
GET_BOUND = 1 << 20
GET_CASES = {
    "memory, exactly the bound": ("memory", GET_BOUND, {}, "done"),
    "memory, one byte more announced": ("memory", GET_BOUND + 1, {}, "too long"),
    "memory, chunked past the bound": ("memory", GET_BOUND + EXTRA, {"chunked": True},
                                       "too long"),
    "file, unannounced past the bound": ("file", GET_BOUND + EXTRA, {"content_length": False},
                                         "too long"),
    "continuable, announced past the bound": ("continue", GET_BOUND + 1,
                                              {"ranges": True, "headers": {"ETag": '"b"'}},
                                              "too long"),
}


@pytest.mark.parametrize("case", GET_CASES)
def test_a_get_stops_before_what_passes_its_bound(case, wine, win_build, https_server, tmp_path):
    mode, size, options, stage = GET_CASES[case]
    body = bytes(range(256)) * (size // 256) + b"v" * (size % 256)
    route = https_server.route("/body", body, **options)
    target = tmp_path / "body.bin"
    args = {"memory": [], "file": [wine.win_path(target)],
            "continue": [wine.win_path(target), hashlib.sha256(body).hexdigest()]}[mode]
    done = wine.run([win_build / "tests" / "helpers" / "http_fetch.exe", mode,
                     https_server.base_url + "/body", *args],
                    env={"HTTP_FETCH_MAX_BYTES": str(GET_BOUND)}, timeout=120)
    out = json.loads(done.stdout)

    assert out["stage"] == stage, out
    if stage == "done":
        assert out["length"] == size and out["sha256"] == hashlib.sha256(body).hexdigest()
        return
    assert route.starts == [0] and (size == GET_BOUND + 1 or not route.finished), out
    assert out["last"] is None or out["last"][0] <= GET_BOUND, out
    assert list(tmp_path.iterdir()) == [], "nothing of a body past its bound stays"


class EndlessServer:
    """On the launcher's port: answers every request with 200 and sends bytes until the client
    goes, announcing a length of 1 GiB or none."""

    def __init__(self, port: int, certs, announce: bool):
        self.sent = 0
        self._announce = announce
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(*map(str, certs.good))
        self._listener = socket.create_server(("127.0.0.1", port), backlog=8)
        self._closed = threading.Event()
        self._held = []
        threading.Thread(target=self._accept_loop, daemon=True).start()

    def _accept_loop(self):
        while not self._closed.is_set():
            try:
                connection, _ = self._listener.accept()
            except OSError:
                return
            self._held.append(connection)
            threading.Thread(target=self._send_forever, args=(connection,), daemon=True).start()

    def _send_forever(self, connection):
        piece = b"{" + b" " * 65535
        try:
            tls = self._context.wrap_socket(connection, server_side=True)
            request = b""
            while b"\r\n\r\n" not in request:
                request += tls.recv(4096)
            length = b"Content-Length: 1073741824\r\n" if self._announce else b""
            tls.sendall(b"HTTP/1.1 200 OK\r\n" + length + b"Connection: close\r\n\r\n")
            while not self._closed.is_set():
                tls.sendall(piece)
                self.sent += len(piece)
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


def peak_resident_bytes(exe_name: str, stop: threading.Event, peaks: list):
    """Samples VmHWM of the Wine process whose command line names exe_name until stop; the last
    reading of the process is its peak."""
    while not stop.wait(0.02):
        for status in Path("/proc").glob("[0-9]*/status"):
            try:
                # The program itself, not run_with_env that names it as an argument.
                program = (status.parent / "cmdline").read_bytes().split(b"\0")[0]
                if not program.lower().endswith(exe_name.lower().encode()):
                    continue
                for line in status.read_text().splitlines():
                    if line.startswith("VmHWM:"):
                        peaks.append(int(line.split()[1]) * 1024)
            except OSError:
                continue


@pytest.mark.parametrize("announce", [True, False], ids=["announced", "unannounced"])
def test_a_manifest_without_end_costs_its_bound_and_the_product_starts(
        wine, https_server, certs, make_launcher_dir, standin_exe, start_launcher, announce):
    launcher = make_launcher_dir(exe_name="VeldaLauncherEndless.exe")
    install_folder = launcher / "velda"
    write_stamp(install_folder, "1.0.0")
    put_standin(standin_exe, install_folder / "Velda.exe", "old")
    port = https_server.port
    https_server.close()
    server = EndlessServer(port, certs, announce)
    stop, peaks = threading.Event(), []
    sampler = threading.Thread(target=peak_resident_bytes,
                               args=("VeldaLauncherEndless.exe", stop, peaks), daemon=True)
    sampler.start()
    try:
        process = start_launcher(launcher, exe_name="VeldaLauncherEndless.exe")
        run = process.wait()
        sent = server.sent
    finally:
        stop.set()
        sampler.join(5)
        server.close()

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED], run.describe()
    assert [s["tag"] for s in run.starts] == ["old"]
    # The launcher read no more than the bound; the rest is what loopback buffers took.
    assert sent < EXTRA, sent
    assert peaks, "the launcher's process was not found under /proc"
    assert max(peaks) < PEAK_RESIDENT_LIMIT, max(peaks)


def support_log(launcher: Path) -> str:
    return (launcher.parent / "local" / "VeldaNova" / "launcher.log").read_text("utf-8")


def run_logged(harness, wine, launcher: Path, **options):
    local = launcher.parent / "local"
    local.mkdir(exist_ok=True)
    return harness.run(launcher, env={"LOCALAPPDATA": wine.win_path(local)}, **options)


@pytest.mark.parametrize("framing", ["announced", "chunked"])
def test_a_signature_longer_than_a_signature_is_refused(framing, wine, tool, tmp_path, products,
                                                       https_server, harness):
    v1, _ = products
    release = pack(tool, tmp_path, https_server, V2, KEYS / "key-a-private.pem")
    serve(https_server, release)
    signature = (release / "downloads/latest.json.sig").read_bytes()
    https_server.route("/downloads/latest.json.sig", signature + b"\0" * (257 - len(signature)),
                       chunked=framing == "chunked")
    harness.launcher_exe = keyed_launcher("https")
    launcher = harness.make_launcher_dir()
    install(launcher / "velda", v1, V1)
    before = tree(launcher / "velda")

    run = run_logged(harness, wine, launcher)
    assert run.exit_code == 0 and run.starts[-1]["tag"] == V1, run.describe()
    assert SIGNATURE_REFUSED in run.lines, run.describe()
    assert "Descarga fallida (etapa too long, estado HTTP 200" in support_log(launcher)
    assert tree(launcher / "velda") == before


# The means whose download is longer than the manifest says, the URL, and what the run does then.
LONGER = {
    "direct executable": ("downloads/direct/Velda.exe", DIRECT_FAILED),
    "package": (f"downloads/velda-{V2}.zip", None),
}


@pytest.mark.parametrize("framing", ["announced", "unannounced"])
@pytest.mark.parametrize("means", LONGER)
def test_a_download_longer_than_its_size_fails_its_means(means, framing, wine, tool, tmp_path,
                                                        standin_exe, https_server, harness):
    # Velda.exe alone makes a release whole only where nothing else changed.
    v1 = product(tmp_path / "product-1", standin_exe, V1, V1_FILES)
    v2 = product(tmp_path / "product-2", standin_exe, V2,
                 V1_FILES if means == "direct executable" else V2_FILES)
    release = pack(tool, tmp_path, https_server, V2, KEYS / "key-a-private.pem")
    (release / LIST).unlink()  # the changed files would make the update before these means
    if means == "package":
        (release / "downloads/direct/Velda.exe").unlink()
    serve(https_server, release)
    path, line = LONGER[means]
    real = (release / path).read_bytes()
    longer = https_server.route("/" + path, real + b"\0" * EXTRA,
                                content_length=None if framing == "announced" else False)
    harness.launcher_exe = keyed_launcher("https")
    launcher = harness.make_launcher_dir()
    install(launcher / "velda", v1, V1)
    before = tree(launcher / "velda")

    run = run_logged(harness, wine, launcher, expect_box=line is None)
    assert "Reintentando descarga (intento 2 de 4)..." not in run.lines, run.describe()
    assert not longer.finished and len(longer.starts) == 1, run.describe()
    assert ("Descarga fallida (etapa too long, estado HTTP 200, error Win32 0): "
            f"{https_server.base_url}/{path}") in support_log(launcher)
    after = tree(launcher / "velda")
    assert not [name for name in after if name.endswith(".velda-part")], after.keys()
    if line is None:
        assert run.exit_code == 1 and run.box.text == PACKAGE_BOX, run.describe()
        after.pop("velda.downloads")  # the journal keeps the unfinished package installation
        assert after == before
        return
    assert line in run.lines, run.describe()
    assert run.exit_code == 0 and run.starts[-1]["tag"] == V2, run.describe()
    assert after["Velda.exe"] == v2["Velda.exe"]


# What check is given longer than launchers take, and the start of its warning.
TOO_LONG_FOR_LAUNCHERS = {
    "manifest": ("downloads/latest.json", MANIFEST_BOUND,
                 "warning: the manifest is {} bytes, more than the 65536 launchers take: "
                 "they start what is installed"),
    "list": (LIST, 16 << 20, "bytes, more than the 16777216 launchers take: every changed-files "
                             "update fails"),
    "hash file": (HASHES, 16 << 20, "bytes, more than the 16777216 launchers take: every "
                                    "changed-files update fails"),
}


@pytest.mark.parametrize("text", TOO_LONG_FOR_LAUNCHERS)
def test_check_refuses_a_text_longer_than_launchers_take(text, tool, tmp_path, products,
                                                         https_server):
    release = pack(tool, tmp_path, https_server, V2)
    path, bound, warning = TOO_LONG_FOR_LAUNCHERS[text]
    served = release / path
    padded = served.read_bytes() + b" " * (bound + 1 - served.stat().st_size)
    served.write_bytes(padded)  # JSON and the list both take trailing blanks
    result = velda_release(tool, "check", release / "downloads/latest.json", "--installed", V1)
    assert result.returncode == 1, result.stdout
    assert warning.format(len(padded)) in result.stdout, result.stdout
