"""The transfer under Wine: http_fetch.exe runs the real GETs against loopback servers, and each
case checks the result, the body or file, the progress calls and what the server saw."""

import hashlib
import json
import socket
from dataclasses import dataclass
from pathlib import Path

import pytest

from support.server import TestServer

UNTOUCHED = 0xFFFFFFFF  # what http_fetch puts in the length output before the call
NO_CACHE = {
    "Cache-Control": "no-cache, no-store, must-revalidate",
    "Pragma": "no-cache",
    "Expires": "0",
}
PATTERN = bytes(range(256)) * 16 + b"velda"  # 4101 bytes: no read size lines up with it


# ---- fixtures (wine, win_build, certs and https_server come from conftest.py) -------------

@dataclass
class Fetch:
    rc: int
    out: dict

    @property
    def ok(self) -> bool:
        return self.out["result"]

    @property
    def calls(self) -> list:
        return self.out["progress"]


class Client:
    def __init__(self, wine, build: Path):
        self.wine = wine
        self.exe = build / "tests" / "helpers" / "http_fetch.exe"

    def _run(self, *args) -> Fetch:
        done = self.wine.run([self.exe, *args], timeout=120)
        assert done.returncode in (0, 1), done.stderr
        out = json.loads(done.stdout)
        assert done.returncode == (0 if out["result"] else 1)
        return Fetch(done.returncode, out)

    def memory(self, url: str) -> Fetch:
        return self._run("memory", url)

    def file(self, url: str, path: Path) -> Fetch:
        return self._run("file", url, self.wine.win_path(path))


@pytest.fixture(scope="session")
def client(wine, win_build):
    if not (win_build / "tests" / "helpers" / "http_fetch.exe").exists():
        pytest.fail(f"http_fetch.exe is missing under {win_build}; build the Windows tree",
                    pytrace=False)
    return Client(wine, win_build)


@pytest.fixture
def https(https_server):
    """The shared HTTPS server on the launcher's port, with the good certificate."""
    return https_server


@pytest.fixture
def http():
    server = TestServer(0)
    yield server
    server.close()


# ---- helpers -----------------------------------------------------------------------------

def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def generated(size: int) -> bytes:
    return (PATTERN * (size // len(PATTERN) + 1))[:size]


def assert_progress(fetch: Fetch, length: int, total: int):
    """(0, total) first, then one call per read with the running count, ending at length."""
    calls = fetch.calls
    assert fetch.out["calls"] == len(calls), "list too long to check"
    assert calls[0] == [0, total]
    assert all(t == total for _, t in calls)
    counts = [r for r, _ in calls]
    assert counts == sorted(counts)
    assert all(b > a for a, b in zip(counts[1:], counts[2:])), "a read that delivered nothing"
    assert counts[-1] == length
    assert len(calls) == 1 if length == 0 else len(calls) >= 2


def assert_failed_untouched(fetch: Fetch, stage: str, status: int = 0):
    """A failed GET hands out no body and names where it stopped."""
    assert not fetch.ok
    assert fetch.out["length"] == UNTOUCHED and fetch.out["sha256"] is None
    assert_stopped_at(fetch, stage, status)


def assert_stopped_at(fetch: Fetch, stage: str, status: int):
    assert (fetch.out["stage"], fetch.out["status"]) == (stage, status)


def leftovers(folder: Path) -> list:
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".velda-part"))


def free_loopback_port(port: int) -> bool:
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


# ---- statuses ----------------------------------------------------------------------------

@pytest.mark.parametrize("status", [200, 204, 299])
def test_accepted_status_delivers_the_body(client, https, tmp_path, status):
    body = b"" if status == 204 else b"accepted body"
    https.route("/s", body, status=status)
    got = client.memory(https.base_url + "/s")
    assert got.ok
    assert got.out["length"] == len(body) and got.out["sha256"] == sha(body)
    assert got.out["nul"] and got.out["block"] == len(body) + 1
    assert_progress(got, len(body), len(body))

    target = tmp_path / "s.bin"
    target.write_bytes(b"old content")
    assert client.file(https.base_url + "/s", target).ok
    assert target.read_bytes() == body
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("status", [199, 300, 304, 404, 500])
def test_rejected_status_reads_nothing_and_reports_nothing(client, https, tmp_path, status):
    # 32 MB is more than loopback buffers hold: had the body been read, the server would have
    # sent all of it.
    route = https.route("/r", PATTERN, size=32 << 20, status=status)
    got = client.memory(https.base_url + "/r")
    assert_failed_untouched(got, "status", status)
    assert got.out["error"] == 0
    assert got.calls == []
    assert not route.finished

    target = tmp_path / "r.bin"
    target.write_bytes(b"old content")
    got = client.file(https.base_url + "/r", target)
    assert not got.ok and got.calls == []
    assert target.read_bytes() == b"old content"
    assert leftovers(tmp_path) == []
    missing = tmp_path / "never.bin"
    assert not client.file(https.base_url + "/r", missing).ok
    assert not missing.exists() and not route.finished


# ---- bodies and lengths ------------------------------------------------------------------

def test_empty_body_is_a_one_byte_block_and_an_empty_file(client, https, tmp_path):
    https.route("/empty", b"")
    got = client.memory(https.base_url + "/empty")
    assert got.ok and got.out["length"] == 0
    assert got.out["block"] == 1 and got.out["nul"]
    assert got.calls == [[0, 0]]

    target = tmp_path / "empty.bin"
    target.write_bytes(b"to be truncated")
    got = client.file(https.base_url + "/empty", target)
    assert got.ok and got.calls == [[0, 0]]
    assert target.read_bytes() == b""
    fresh = tmp_path / "fresh.bin"
    assert client.file(https.base_url + "/empty", fresh).ok
    assert fresh.read_bytes() == b""
    assert leftovers(tmp_path) == []


def test_announced_length_is_the_total_of_every_call(client, https, tmp_path):
    body = generated(300_000)
    https.route("/sized", body)
    got = client.memory(https.base_url + "/sized")
    assert got.ok and got.out["sha256"] == sha(body)
    assert_progress(got, len(body), len(body))
    assert got.out["block"] == len(body) + 1

    target = tmp_path / "sized.bin"
    got = client.file(https.base_url + "/sized", target)
    assert got.ok and target.read_bytes() == body
    assert_progress(got, len(body), len(body))


@pytest.mark.parametrize("framing", [{"chunked": True}, {"content_length": False}],
                         ids=["chunked", "until-close"])
def test_body_without_length_reports_total_zero(client, https, tmp_path, framing):
    body = generated(300_000)
    https.route("/nolength", body, **framing)
    got = client.memory(https.base_url + "/nolength")
    assert got.ok and got.out["length"] == len(body) and got.out["sha256"] == sha(body)
    assert_progress(got, len(body), 0)
    # Grown geometrically, then trimmed: the caller still gets body plus NUL.
    assert got.out["block"] == len(body) + 1 and got.out["nul"]

    target = tmp_path / "nolength.bin"
    got = client.file(https.base_url + "/nolength", target)
    assert got.ok and target.read_bytes() == body
    assert_progress(got, len(body), 0)


def test_bytes_past_the_announced_length_are_not_part_of_the_body(client, https, tmp_path):
    # WinHTTP ends the message at its Content-Length: what the server sends after it belongs to
    # no response and never reaches the body, and no call counts past the total.
    body = generated(50_000)
    https.route("/longer", body, content_length=20_000)
    got = client.memory(https.base_url + "/longer")
    assert got.ok and got.out["length"] == 20_000 and got.out["sha256"] == sha(body[:20_000])
    assert_progress(got, 20_000, 20_000)

    target = tmp_path / "longer.bin"
    assert client.file(https.base_url + "/longer", target).ok
    assert target.read_bytes() == body[:20_000]


@pytest.mark.parametrize("announced", [100_000, 4_000_000_000], ids=["short", "huge"])
def test_body_ending_before_its_announced_length_fails(client, https, tmp_path, announced):
    # WinHTTP under Wine reports a connection that closes early as the end of the body; only
    # the announced length shows that the body was cut.
    https.route("/cut", generated(60_000), content_length=announced)
    got = client.memory(https.base_url + "/cut")
    assert_failed_untouched(got, "length", 200)
    assert got.calls[-1][0] == 60_000

    target = tmp_path / "cut.bin"
    target.write_bytes(b"old content")
    assert not client.file(https.base_url + "/cut", target).ok
    assert target.read_bytes() == b"old content"
    assert leftovers(tmp_path) == []


def test_large_body_streams_to_the_file(client, https, tmp_path):
    size = 8_000_000
    https.route("/big", PATTERN, size=size, chunk_size=1 << 20)
    target = tmp_path / "big.bin"
    target.write_bytes(b"previous version")
    got = client.file(https.base_url + "/big", target)
    assert got.ok
    assert target.stat().st_size == size and sha(target.read_bytes()) == sha(generated(size))
    assert_progress(got, size, size)
    assert leftovers(tmp_path) == []

    got = client.memory(https.base_url + "/big")
    assert got.ok and got.out["sha256"] == sha(generated(size))
    assert got.out["block"] == size + 1


# ---- the request as the server sees it ---------------------------------------------------

def test_request_carries_target_agent_and_no_cache_headers(client, https):
    https.route("/downloads/latest.json", b"{}")
    assert client.memory(https.base_url + "/downloads/latest.json?t=1700000000&x=a%20b").ok
    (seen,) = https.requests
    assert seen.method == "GET" and seen.version == "HTTP/1.1"
    assert seen.path == "/downloads/latest.json?t=1700000000&x=a%20b"
    assert seen.headers["User-Agent"] == "VeldaLauncher/1.0"
    for name, value in NO_CACHE.items():
        assert seen.headers[name] == value
    assert seen.headers["Host"] == f"localhost:{https.port}"
    assert "Authorization" not in seen.headers


def test_http_goes_without_tls_and_https_with_it(client, http, https):
    for server in (http, https):
        server.route("/p", b"plain or secure")
    assert client.memory(http.base_url + "/p").out["sha256"] == sha(b"plain or secure")
    assert client.memory(https.base_url + "/p").out["sha256"] == sha(b"plain or secure")
    # Each scheme only speaks to its own kind of server.
    assert not client.memory(f"https://localhost:{http.port}/p").ok
    assert not client.memory(f"http://localhost:{https.port}/p").ok
    assert len(http.requests) == 1 and len(https.requests) == 1


def test_certificate_is_verified(client, certs):
    for cert in (certs.untrusted, certs.wrong_host):
        server = TestServer(0, *cert)
        try:
            server.route("/p", b"x")
            got = client.memory(server.base_url + "/p")
            assert not got.ok and got.out["error"] != 0
            assert got.out["stage"] in ("send", "receive headers")
            assert server.requests == []
        finally:
            server.close()


def test_port_in_the_url_is_used_and_the_default_otherwise(client, http):
    http.route("/p", b"on its port")
    assert client.memory(f"http://localhost:{http.port}/p").ok
    if not free_loopback_port(80):
        pytest.skip("port 80 is taken; the default port cannot be checked")
    default = TestServer(80)
    try:
        default.route("/p", b"on port 80")
        got = client.memory("http://localhost/p")
        assert got.ok and got.out["sha256"] == sha(b"on port 80")
    finally:
        default.close()


# ---- limits of the request target --------------------------------------------------------

def test_host_name_of_255_units_is_used_and_256_refused(client, http):
    # A numeric host with leading zeros resolves to loopback at any length.
    http.route("/h", b"long host")
    host_255 = "127.0.0." + "0" * (255 - 9) + "1"
    assert len(host_255) == 255
    got = client.memory(f"http://{host_255}:{http.port}/h")
    assert got.ok and got.out["sha256"] == sha(b"long host")
    assert http.requests[0].headers["Host"] == f"{host_255}:{http.port}"

    host_256 = "127.0.0." + "0" * (256 - 9) + "1"
    got = client.memory(f"http://{host_256}:{http.port}/h")
    assert_failed_untouched(got, "url")
    assert got.calls == [] and len(http.requests) == 1


def test_path_and_query_up_to_2047_units_are_sent_whole(client, https):
    long_path = "/" + "p" * 2046
    https.route("/t", b"long query")
    https.route(long_path, b"long path")
    https.route(long_path[:-1], b"long path, empty query")
    cases = {
        "/t?" + "q" * (2047 - 3): True,
        "/t?" + "q" * (2048 - 3): False,
        long_path: True,  # the path alone counts the same
        long_path + "p": False,
        long_path[:-1] + "?": True,
    }
    for target, accepted in cases.items():
        https.requests.clear()
        got = client.memory(https.base_url + target)
        assert got.ok == accepted, len(target)
        assert [r.path for r in https.requests] == ([target] if accepted else [])


# ---- the file target ---------------------------------------------------------------------

def test_connection_reset_mid_body_keeps_the_old_file(client, https, tmp_path):
    https.route("/reset", generated(400_000), cut_after=150_000)
    target = tmp_path / "Velda.exe"
    target.write_bytes(b"MZ working product")
    got = client.file(https.base_url + "/reset", target)
    # A reset can reach the socket before the headers were read; the kernel then drops them, and
    # the GET ends before its first report. Either way the old file must stay.
    assert not got.ok and got.calls[:1] in ([], [[0, 400_000]])
    assert target.read_bytes() == b"MZ working product"
    assert leftovers(tmp_path) == []

    absent = tmp_path / "absent.bin"
    assert not client.file(https.base_url + "/reset", absent).ok
    assert not absent.exists() and leftovers(tmp_path) == []


def test_unwritable_target_fails_after_the_transfer_and_keeps_what_is_there(client, https,
                                                                             tmp_path):
    body = generated(200_000)
    route = https.route("/f", body)
    folder_target = tmp_path / "taken"
    folder_target.mkdir()
    (folder_target / "inside.txt").write_text("kept")
    got = client.file(https.base_url + "/f", folder_target)
    assert not got.ok and got.out["error"] != 0
    assert_stopped_at(got, "replace", 200)
    assert route.finished and got.calls[-1] == [len(body), len(body)]
    assert (folder_target / "inside.txt").read_text() == "kept"
    assert leftovers(tmp_path) == []

    # No temporary file can be made: nothing is fetched past the status.
    for target in (tmp_path / "no-such-folder" / "f.bin", tmp_path / "bad<name>.bin"):
        got = client.file(https.base_url + "/f", target)
        assert not got.ok and got.calls == []
        assert_stopped_at(got, "temp file", 200)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["taken"]


def test_leftover_of_an_interrupted_run_is_taken_over(client, https, tmp_path):
    https.route("/f", b"new content")
    target = tmp_path / "pkg.zip"
    target.write_bytes(b"old content")
    (tmp_path / "pkg.zip.velda-part").write_bytes(b"half of an earlier download" * 1000)
    assert client.file(https.base_url + "/f", target).ok
    assert target.read_bytes() == b"new content"
    assert leftovers(tmp_path) == []
