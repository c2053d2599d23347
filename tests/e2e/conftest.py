"""Fixtures of the end-to-end tests: the Windows build, one Wine prefix per session, the test
certificates, the HTTPS server on the launcher's compiled-in port, and launcher runs."""

import os
import shutil
from pathlib import Path

import pytest

from support.certs import TestCertificates
from support.launcher import LauncherHarness
from support.scenario import hold_route as _hold_route
from support.server import TestServer
from support.wine import Wine, Xvfb

REPO = Path(__file__).resolve().parents[2]
HELPERS = ("run_with_env", "msgbox_closer", "window_inspector", "velda_standin", "trust_ca")


def server_port() -> int:
    return int(os.environ.get("VELDA_TEST_PORT", "48443"))


@pytest.fixture(scope="session")
def win_build() -> Path:
    build = Path(os.environ.get("VELDA_WIN_BUILD", REPO / "build" / "win"))
    missing = [name for name in HELPERS
               if not (build / "tests" / "helpers" / f"{name}.exe").exists()]
    if missing:
        pytest.fail(f"Windows build at {build} lacks the test helpers {missing}; build it "
                    "(or point VELDA_WIN_BUILD at one)", pytrace=False)
    return build


@pytest.fixture(scope="session")
def launcher_exe(win_build) -> Path:
    exe = win_build / "src" / "VeldaLauncher.exe"
    if not exe.exists():
        pytest.fail(f"{exe} is missing; build the Windows tree", pytrace=False)
    return exe


@pytest.fixture(scope="session")
def certs(tmp_path_factory) -> TestCertificates:
    return TestCertificates(tmp_path_factory.mktemp("certs"))


@pytest.fixture(scope="session")
def _display():
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    xvfb = Xvfb()
    try:
        yield xvfb.display
    finally:
        xvfb.stop()


@pytest.fixture(scope="session")
def wine(_display, win_build, certs) -> Wine:
    helpers = win_build / "tests" / "helpers"
    keeper = helpers / "desktop_keeper.exe"
    wine = Wine.create(_display, keeper if keeper.exists() else None)
    try:
        trusted = wine.run([helpers / "trust_ca.exe", wine.win_path(certs.ca_der)], timeout=60)
        assert trusted.returncode == 0, f"trust_ca failed: {trusted.stdout}{trusted.stderr}"
        standin = helpers / "powershell_standin.exe"
        if standin.exists():
            wine.install_powershell(standin)
        yield wine
    finally:
        wine.close(remove=not os.environ.get("VELDA_E2E_KEEP_PREFIX"))


class _SessionServer(TestServer):
    """Knows when a test closed it, so that the next test gets a new one on the same port."""

    closed = False

    def close(self):
        if not self.closed:
            self.closed = True
            super().close()


@pytest.fixture(scope="session")
def _server_slot():
    slot = {}
    yield slot
    if slot.get("server") is not None:
        slot["server"].close()


@pytest.fixture
def https_server(_server_slot, certs) -> TestServer:
    """The launcher's download server: no routes (every path 404) until the test adds some."""
    server = _server_slot.get("server")
    if server is None or server.closed:
        port = server_port()
        try:
            server = _SessionServer(port, *certs.good)
        except OSError as error:
            pytest.fail(f"cannot listen on 127.0.0.1:{port} ({error}); another e2e session may "
                        "hold it: set VELDA_TEST_PORT and build with the matching "
                        "VELDA_DOWNLOAD_SERVER", pytrace=False)
        _server_slot["server"] = server
    server.reset()
    yield server
    server.reset()


@pytest.fixture
def harness(wine, win_build, tmp_path) -> LauncherHarness:
    harness = LauncherHarness(wine, win_build, tmp_path)
    yield harness
    harness.cleanup()


@pytest.fixture
def make_launcher_dir(harness, launcher_exe):
    """make_launcher_dir(name="launcher"): a new folder holding a copy of VeldaLauncher.exe."""
    return harness.make_launcher_dir


@pytest.fixture
def launcher_dir(make_launcher_dir) -> Path:
    return make_launcher_dir()


@pytest.fixture
def run_launcher(harness, launcher_exe):
    """run_launcher(folder, appdata=FRESH, env=None, display=True, expect_box=False,
    expect_start=None, timeout=60) -> LauncherRun."""
    return harness.run


@pytest.fixture
def start_launcher(harness, launcher_exe):
    """start_launcher(folder, ..., close_boxes=True) -> LauncherProcess; .wait() -> LauncherRun."""
    return harness.start


@pytest.fixture
def standin_exe(win_build) -> Path:
    return win_build / "tests" / "helpers" / "velda_standin.exe"


@pytest.fixture
def hold_route(https_server):
    """hold_route(path, body, **route_options) -> Hold: the response stops after its first
    piece of body until hold.release(); every hold is released when the test ends."""
    holds = []

    def make(path, body, **options):
        hold = _hold_route(https_server, path, body, **options)
        holds.append(hold)
        return hold

    yield make
    for hold in holds:
        hold.release()
