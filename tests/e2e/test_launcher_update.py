"""A keyed launcher that a signed release offers a newer launcher takes it first: it downloads it
beside itself, hands the run over and the new launcher renames itself into place, then updates
the product. Ended at any step, the next plain start runs a whole launcher and updates the
product. A launcher it cannot write, a tampered or oversize file, one of its own version, and a
new launcher that cannot take over are each logged, replace nothing, and the product is
updated; a launcher without keys never updates itself. pack and check vouch for the file."""

import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import server_port
from support.launcher import ALREADY_RUNNING, KILLED_EXIT_CODE
from support.scenario import Hold
from test_release_pack import product, tool, velda_release  # noqa: F401  (tool is a fixture)

REPO = Path(__file__).resolve().parents[2]
KEYS = REPO / "tests" / "data" / "release_signing"
OLD, NEXT, FAILING = "1.0.0", "1.1.0", "1.2.0"  # launcher versions
P1, P2 = "1.0.0", "2.0.0"  # product versions
P1_FILES = {"data/config.ini": b"mode=1\r\n"}
P2_FILES = {"data/config.ini": b"mode=2\r\n", "data/level 2.dat": bytes(range(256)) * 64}
LAUNCHER_PATH = "/downloads/launcher/VeldaLauncher.exe"
NEW, RECORD = "VeldaLauncher.new.exe", "VeldaLauncher.handover"
PART = NEW + ".velda-part"
FAILED = "No se pudo actualizar el lanzador; se sigue con el actual."
CHANGED_OK = "Archivos modificados aplicados correctamente."
MISMATCH = "SHA-256 de VeldaLauncher.exe no coincide; descarga descartada."


def taking(version):
    return f"Actualizando el lanzador a la version {version}..."


def took(version):
    return f"Lanzador actualizado a la version {version}."


def cut_off(version):
    return f"El lanzador {version} no llego a tomar el relevo; se mantiene el lanzador {OLD}."


def refused(version):
    return f"El lanzador {version} ya fallo al tomar el relevo; se sigue con el lanzador {OLD}."


def keyed_exe(variable: str, folder: str) -> Path:
    exe = Path(os.environ.get(variable, REPO / "build" / folder)) / "src" / "VeldaLauncher.exe"
    if not exe.exists():
        pytest.fail(f"{exe} is missing: build it as scripts/test.sh does, or set {variable}",
                    pytrace=False)
    return exe


@pytest.fixture(scope="module")
def launchers(win_build) -> dict:
    return {OLD: keyed_exe("VELDA_WIN_KEYED_BUILD", "win-keyed"),
            NEXT: keyed_exe("VELDA_WIN_KEYED_NEXT_BUILD", "win-keyed-next"),
            FAILING: win_build / "tests" / "helpers" / "launcher_that_fails.exe"}


@pytest.fixture(scope="module")
def releases(tool, tmp_path_factory, win_build, launchers) -> dict:
    """outs: {offered launcher version: release 2.0.0 from 1.0.0, signed, offering that
    launcher}; p1: the product folder of 1.0.0."""
    root = tmp_path_factory.mktemp("launcher-releases")
    standin = win_build / "tests" / "helpers" / "velda_standin.exe"
    product(root / "p1", standin, P1, P1_FILES)
    product(root / "p2", standin, P2, P2_FILES)
    outs = {}
    for version, exe in launchers.items():
        outs[version] = root / f"out-{version}"
        packed = velda_release(tool, "pack", "--product", root / "p2", "--version", P2,
                               "--server", f"https://localhost:{server_port()}",
                               "--out", outs[version], "--previous", root / "p1",
                               "--previous-version", P1, "--sign-key", KEYS / "key-a-private.pem",
                               "--launcher", exe)
        assert packed.returncode == 0, packed.stderr
        assert f"downloads/launcher/VeldaLauncher.exe (launcher {version})" in packed.stdout
    return {"outs": outs, "p1": root / "p1"}


def serve(server, release: Path, launcher_bytes: bytes | None = None, hold: Hold | None = None):
    server.reset()
    for path in release.rglob("*"):
        if path.is_file():
            url = "/" + path.relative_to(release).as_posix()
            body = launcher_bytes if url == LAUNCHER_PATH and launcher_bytes else path.read_bytes()
            options = {"chunk_size": max(1, len(body) - 1), "on_progress": hold} \
                if url == LAUNCHER_PATH and hold else {}
            server.route(url, body, **options)


def install(harness, launchers, releases, exe_version=OLD) -> Path:
    harness.launcher_exe = launchers[exe_version]
    folder = harness.make_launcher_dir()
    for path in releases["p1"].rglob("*"):
        if path.is_file():
            target = folder / "velda" / path.relative_to(releases["p1"])
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(path.read_bytes())
    (folder / "velda" / "velda.version").write_text(P1)
    return folder


def support_log(harness) -> str:
    log = harness.local_appdata / "VeldaNova" / "launcher.log"
    return log.read_text("utf-8", "replace") if log.exists() else ""


def launcher_pid(harness, version: str, timeout: float = 30) -> int:
    """The process id the support log's header gives for the launcher of version."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for line in support_log(harness).splitlines():
            if f"[detalle] Launcher {version}, " in line:
                return int(line.rsplit("proceso ", 1)[1])
        time.sleep(0.1)
    raise AssertionError(f"no launcher {version} in the log:\n{support_log(harness)}")


def settle(harness, run, starts=1):
    """The product started by the launcher handed over to; that launcher then ends."""
    assert run.exit_code == 0, run.describe()
    assert len(run.wait_starts(starts, 60)) == starts, support_log(harness)
    time.sleep(1)


def assert_updated_by(folder: Path, run, launcher_bytes: bytes, product_version=P2):
    assert (folder / "VeldaLauncher.exe").read_bytes() == launcher_bytes
    assert not (folder / NEW).exists() and not (folder / PART).exists()
    assert run.starts[-1]["tag"] == product_version, run.describe()
    assert (folder / "velda" / "velda.version").read_text() == product_version


def test_the_old_launcher_installs_the_new_one_and_the_product_in_one_run(
        harness, https_server, launchers, releases):
    folder = install(harness, launchers, releases)
    hold = Hold()
    serve(https_server, releases["outs"][NEXT], hold=hold)
    process = harness.start(folder)
    try:
        hold.wait_reached(60)
        window = harness.inspect_window(process.wait_pid())
        assert "Updating the launcher..." in window.get("text", ""), window
    finally:
        hold.release()
    run = process.wait(expect_start=False)
    settle(harness, run)
    log = support_log(harness)
    assert taking(NEXT) in run.lines, run.describe()
    for line in (took(NEXT), CHANGED_OK):
        assert f"[launcher] {line}" in log, log
    assert_updated_by(folder, run, launchers[NEXT].read_bytes())
    assert not (folder / RECORD).exists()
    assert len(run.read_starts()) == 1

    again = harness.run(folder)
    assert taking(NEXT) not in again.lines and FAILED not in again.lines, again.describe()
    assert f"Lanzador del servidor {NEXT} no es mas nuevo que este ({NEXT})" in support_log(harness)
    assert_updated_by(folder, again, launchers[NEXT].read_bytes())


def hold_old_file(harness, folder: Path):
    """The old file held open: the new launcher waits to rename itself over it until the holder
    ends."""
    holder = harness.wine.popen([harness.helper("file_holder"), "120000",
                                 harness.wine.win_path(folder / "VeldaLauncher.exe")], text=True)
    assert holder.stdout.readline().strip() == "held"
    return holder


def test_a_second_launcher_during_the_hand_over_is_turned_away(harness, https_server, launchers,
                                                               releases):
    folder = install(harness, launchers, releases)
    serve(https_server, releases["outs"][NEXT])
    holder = hold_old_file(harness, folder)
    try:
        process = harness.start(folder)
        launcher_pid(harness, NEXT)
        second = harness.run(folder, record_file=harness.work_dir / "second.jsonl")
        assert second.exit_code == 0 and ALREADY_RUNNING in second.lines, second.describe()
        assert second.starts == []
    finally:
        holder.kill()
        holder.wait(10)
    run = process.wait(expect_start=False)
    assert taking(NEXT) in run.lines, run.describe()
    settle(harness, run)
    assert_updated_by(folder, run, launchers[NEXT].read_bytes())


def build_cut_state(folder: Path, launchers, state: str):
    """What a kill leaves beside the launcher at each step that a test cannot stop at."""
    new_bytes = launchers[NEXT].read_bytes()
    if state == "downloaded":
        (folder / NEW).write_bytes(new_bytes)
    elif state == "recorded":
        (folder / NEW).write_bytes(new_bytes)
        (folder / RECORD).write_text(f"version={NEXT}\nstate=pending\n")
    elif state == "renamed":
        (folder / "VeldaLauncher.exe").write_bytes(new_bytes)
        (folder / RECORD).write_text(f"version={NEXT}\nstate=pending\n")


def kill_during_download(harness, folder, https_server, releases):
    hold = Hold()
    serve(https_server, releases["outs"][NEXT], hold=hold)
    try:
        run = harness.start(folder, kill_when_exists=folder / PART, timeout=90).wait()
        assert run.exit_code == KILLED_EXIT_CODE and "killed=file" in run.stderr, run.describe()
    finally:
        hold.release()


def kill_new_launcher_before_its_rename(harness, folder, https_server, releases):
    serve(https_server, releases["outs"][NEXT])
    holder = hold_old_file(harness, folder)
    try:
        process = harness.start(folder)
        harness.wine.run(["taskkill", "/F", "/PID", str(launcher_pid(harness, NEXT))], timeout=30)
        run = process.wait(expect_start=False)
        assert taking(NEXT) in run.lines, run.describe()
    finally:
        holder.kill()
        holder.wait(10)


# (where the update is ended, whether the next start ends with the new launcher in place)
KILLS = [("download", True), ("downloaded", True), ("recorded", False), ("started", False),
         ("renamed", True)]


@pytest.mark.parametrize("state, new_in_place", KILLS, ids=[k for k, _ in KILLS])
def test_a_hand_over_ended_at_any_step_leaves_a_launcher_that_updates_the_product(
        harness, https_server, launchers, releases, state, new_in_place):
    folder = install(harness, launchers, releases)
    if state == "download":
        kill_during_download(harness, folder, https_server, releases)
    elif state == "started":
        kill_new_launcher_before_its_rename(harness, folder, https_server, releases)
    else:
        build_cut_state(folder, launchers, state)
    time.sleep(2)  # Wine now and then refuses a start right after a kill

    serve(https_server, releases["outs"][NEXT])
    run = harness.run(folder, expect_start=False)
    settle(harness, run)
    expected = launchers[NEXT if new_in_place else OLD].read_bytes()
    assert_updated_by(folder, run, expected)
    log = support_log(harness)
    if new_in_place:
        assert not (folder / RECORD).exists()
        assert (taking(NEXT) in run.lines) == (state != "renamed"), run.describe()
    else:
        assert cut_off(NEXT) in run.lines and refused(NEXT) in run.lines, run.describe()
        assert (folder / RECORD).read_text() == f"version={NEXT}\nstate=failed\n"
        assert f"[launcher] {CHANGED_OK}" in log


def test_pack_and_check_vouch_for_the_launcher_file(tool, releases, launchers, win_build,
                                                    tmp_path):
    release = releases["outs"][NEXT]
    manifest = release / "downloads" / "latest.json"
    checked = velda_release(tool, "check", manifest, "--installed", P1, "--launcher-version", OLD)
    assert checked.returncode == 0, checked.stdout
    assert f"A keyed launcher at {OLD} downloads it" in checked.stdout
    checked = velda_release(tool, "check", manifest, "--launcher-version", NEXT)
    assert f"A keyed launcher at {NEXT} keeps itself" in checked.stdout

    tampered = tmp_path / "tampered"
    subprocess.run(["cp", "-r", release, tampered], check=True)
    exe = tampered / LAUNCHER_PATH.lstrip("/")
    exe.write_bytes(exe.read_bytes()[:-1] + b"\xff")
    checked = velda_release(tool, "check", tampered / "downloads" / "latest.json")
    assert checked.returncode == 1
    assert 'does not match its "sha256"' in checked.stdout, checked.stdout

    unversioned = win_build / "tests" / "helpers" / "file_holder.exe"
    refused_pack = velda_release(tool, "pack", "--product", releases["p1"], "--version", P1,
                                 "--server", "https://localhost", "--out", tmp_path / "out",
                                 "--launcher", unversioned)
    assert refused_pack.returncode == 1 and "no version resource" in refused_pack.stderr
    assert not (tmp_path / "out").exists()


FAULTS = ["no-write", "tampered", "oversize", "same-version", "cannot-take-over", "no-keys"]


@pytest.mark.parametrize("fault", FAULTS)
def test_a_launcher_that_cannot_be_taken_replaces_nothing(harness, https_server, launchers,
                                                          releases, fault):
    kept = harness.launcher_exe if fault == "no-keys" else launchers[OLD]
    folder = install(harness, launchers, releases)
    harness.launcher_exe = kept
    shutil.copy2(kept, folder / "VeldaLauncher.exe")
    offered = {"same-version": OLD, "cannot-take-over": FAILING}.get(fault, NEXT)
    offered_bytes = launchers[offered].read_bytes()
    served = {"tampered": offered_bytes[:-1] + bytes([offered_bytes[-1] ^ 1]),
              "oversize": offered_bytes + b"\0" * 4096}.get(fault)
    serve(https_server, releases["outs"][offered], launcher_bytes=served)
    if fault == "no-write":
        (folder / PART).mkdir()  # what cannot be created there, as in a folder the user may not write

    if fault == "cannot-take-over":
        first = harness.run(folder, expect_start=False)
        assert first.exit_code == 0 and taking(FAILING) in first.lines, first.describe()
        assert first.read_starts() == []
        time.sleep(2)
    run = harness.run(folder)
    assert (folder / "VeldaLauncher.exe").read_bytes() == kept.read_bytes()
    assert not (folder / NEW).exists()
    assert run.starts[-1]["tag"] == P2 and CHANGED_OK in run.lines, run.describe()
    log = support_log(harness)
    if fault == "no-keys":
        assert not [line for line in run.lines if "lanzador" in line], run.describe()
    elif fault == "same-version":
        assert taking(OLD) not in run.lines
        assert f"Lanzador del servidor {OLD} no es mas nuevo que este ({OLD})" in log
    elif fault == "cannot-take-over":
        assert cut_off(FAILING) in run.lines and refused(FAILING) in run.lines, run.describe()
    else:
        assert taking(NEXT) in run.lines and FAILED in run.lines, run.describe()
        assert (MISMATCH in run.lines) == (fault == "tampered"), run.describe()
        assert not (folder / RECORD).exists()


@pytest.mark.parametrize("version", ["1.1", "1.1.0.0", "70000.0.0"])
def test_a_launcher_version_other_than_x_y_z_stops_the_configure_run(tmp_path, version):
    configured = subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(tmp_path / "build"), "-DVELDA_BUILD_TESTS=OFF",
         "-DVELDA_SANITIZE=OFF", f"-DVELDA_LAUNCHER_VERSION={version}"],
        capture_output=True, text=True, timeout=300)
    assert configured.returncode != 0
    assert "VELDA_LAUNCHER_VERSION must be a version like 1.1.0" in configured.stderr
