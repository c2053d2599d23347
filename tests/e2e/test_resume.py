"""Downloads on networks that cut connections, and files that other programs hold: a retry
continues the package where the cut left it, restarts cleanly when the body changed or the server
ignores the range, a later run continues the package of a run that was ended, and a target held
open for a moment is waited for."""

import hashlib
import io
import json
import random
import subprocess
import zipfile

import pytest

from support.faults import JOURNAL, PARTIAL, leftovers
from support.release import PRODUCT, HoldAt, Release, write_files
from support.scenario import Hold, put_standin

QUERYING = "Consultando latest.json..."
FOUND = "Version encontrada en server: 2.0.0"
CLEANING = "Limpiando directorios..."
PACKAGE = "Nueva version detectada, descargando zip completo..."
UNFINISHED = "Instalacion anterior sin terminar, se usara ZIP completo."
EXTRACTING = "Descomprimiendo actualizacion..."
CHANGED_START = "Instalacion detectada, aplicando archivos modificados..."
CHANGED_OK = "Archivos modificados aplicados correctamente."
NOTHING_TO_KILL = "No habia procesos Velda.exe activos para cerrar."
FIRST_INSTALL = [QUERYING, FOUND, CLEANING, PACKAGE]
# The product is ended right before the commit, once the package is unpacked into staging.
UNPACKED = [EXTRACTING, NOTHING_TO_KILL]

MIB = 1 << 20
BIG = "data/levels.pak"


def retry(attempt: int) -> str:
    return f"Reintentando descarga (intento {attempt} de 4)..."


@pytest.fixture
def release(https_server, standin_exe) -> Release:
    return Release(https_server, standin_exe)


def stored_zip(entries) -> bytes:
    """A ZIP without compression: large bodies are built in a moment."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_STORED) as archive:
        for name, content in entries:
            archive.writestr(name, content)
    return buffer.getvalue()


def package_of(release: Release, size: int, seed: int, tag: str = "package"):
    """A package of about size bytes: the product and one large data file."""
    data = random.Random(seed).randbytes(size - 64 * 1024)
    return stored_zip([("Velda.exe", release.product(tag)), (BIG, data)]), data


def assert_installed(wine, run, install, data: bytes, tag: str = "package"):
    assert run.exit_code == 0, run.describe()
    assert [s["tag"] for s in run.starts] == [tag], run.describe()
    assert (install / BIG).read_bytes() == data, "the installed file is not the body whole"
    assert leftovers(install.parent) == [], leftovers(install.parent)


def range_headers(server, path) -> list:
    return [(r.headers.get("Range"), r.headers.get("If-Range"))
            for r in server.requests_for(path)]


def test_package_from_a_server_that_cuts_every_8_mib_installs_in_one_run(
        wine, https_server, release, launcher_dir, run_launcher):
    body, data = package_of(release, 64 * MIB, seed=1)
    # Closed rather than reset, so that the client gets every byte sent before the cut.
    route = release.publish_package(body=body, ranges=True, cut_every=8 * MIB, cut_mode="close",
                                    chunk_size=MIB, headers={"ETag": '"p-64"'})
    release.publish_manifest()

    run = run_launcher(launcher_dir, timeout=120)

    cuts = (len(body) - 1) // (8 * MIB)
    # Every cut brought 8 MiB more, so every retry is the second attempt of the rest.
    assert run.lines == FIRST_INSTALL + [retry(2)] * cuts + UNPACKED, run.describe()
    assert_installed(wine, run, launcher_dir / "velda", data)
    assert route.starts == [n * 8 * MIB for n in range(cuts + 1)]
    assert range_headers(https_server, release.package_path) == [(None, None)] + [
        (f"bytes={n * 8 * MIB}-", '"p-64"') for n in range(1, cuts + 1)]
    assert route.sent_total == len(body), "a byte was sent twice"


class SwapAfterCut:
    """A route's on_progress: once `at` body bytes are out, later requests find `then`."""

    def __init__(self, server, path: str, at: int, then: dict):
        self.server, self.path, self.at, self.then = server, path, at, then
        self.done = False

    def __call__(self, sent: int):
        if sent >= self.at and not self.done:
            self.done = True
            self.server.route(self.path, **self.then)


# The answer after a cut: (the route that follows, the offsets its answers start at).
RESTARTS = {
    # The server does not know Range: the whole body again, with 200.
    "ignores-range": (lambda new, old: {"body": old, "headers": {"ETag": '"v1"'}}, [0]),
    # The body changed: If-Range no longer matches and the new body comes whole.
    "changed-body": (lambda new, old: {"body": new, "ranges": True,
                                       "headers": {"ETag": '"v2"'}}, [0]),
    # A faulty server continues the new body as if it were the old one: the launcher sees the
    # other validator, drops the part, and asks for the body whole.
    "stale-range": (lambda new, old: {"body": new, "ranges": True, "stale_ranges": True,
                                      "headers": {"ETag": '"v2"'}}, [MIB, 0]),
    # The new body is shorter than the part and the server answers the range with 416.
    "unsatisfiable": (lambda new, old: {"body": new, "ranges": True,
                                        "unsatisfiable_ranges": True,
                                        "headers": {"ETag": '"v2"'}}, [MIB, 0]),
}


@pytest.mark.parametrize("answer", RESTARTS)
def test_a_retry_never_splices_two_bodies(wine, https_server, release, launcher_dir,
                                          run_launcher, answer):
    old, old_data = package_of(release, 3 * MIB, seed=2)
    # The unsatisfiable range's new body, the stand-in and 64 KiB, ends before the cut.
    new, new_data = package_of(release, 128 * 1024 if answer == "unsatisfiable" else 3 * MIB,
                               seed=3)
    follows, starts = RESTARTS[answer]
    path = release.package_path
    swap = SwapAfterCut(https_server, path, MIB, follows(new, old))
    release.publish_package(body=old, cut_after=MIB, cut_mode="close", chunk_size=MIB // 4,
                            on_progress=swap, headers={"ETag": '"v1"'})
    release.publish_manifest()

    run = run_launcher(launcher_dir)

    retries = [retry(n) for n in range(2, 2 + len(starts))]
    assert run.lines == FIRST_INSTALL + retries + UNPACKED, run.describe()
    assert_installed(wine, run, launcher_dir / "velda", old_data if answer == "ignores-range"
                     else new_data)
    assert https_server.routes[path].starts == starts
    asked = range_headers(https_server, path)
    assert asked[:2] == [(None, None), (f"bytes={MIB}-", '"v1"')], asked
    assert asked[2:] == [(None, None)] * (len(starts) - 1), "a dropped part was asked for again"


def test_a_package_download_ended_from_outside_is_continued_by_the_next_run(
        wine, https_server, release, launcher_dir, start_launcher, run_launcher):
    body, data = package_of(release, 16 * MIB, seed=4)
    hold = HoldAt(8 * MIB)
    release.publish_package(body=body, ranges=True, chunk_size=MIB, on_progress=hold,
                            headers={"ETag": '"p-16"'})
    release.publish_manifest()
    install = launcher_dir / "velda"
    partial = install / ("Velda-2.0.0.zip" + PARTIAL)

    process = start_launcher(launcher_dir)
    try:
        hold.wait_reached(60)
        process.wait_pid()
        process.kill()
    finally:
        hold.release()
    kept = partial.stat().st_size
    assert 0 < kept <= 8 * MIB, kept
    assert ":partial" in (install / JOURNAL).read_text()

    route = release.publish_package(body=body, ranges=True, chunk_size=MIB,
                                    headers={"ETag": '"p-16"'})
    run = run_launcher(launcher_dir)

    assert run.lines == [QUERYING, FOUND, UNFINISHED, CLEANING, PACKAGE,
                         *UNPACKED], run.describe()
    assert_installed(wine, run, install, data)
    assert route.starts == [kept]
    assert range_headers(https_server, release.package_path)[-1] == (f"bytes={kept}-", '"p-16"')
    assert route.sent_total == len(body) - kept


def test_a_package_part_from_another_url_is_deleted(wine, https_server, release, launcher_dir,
                                                    run_launcher):
    install = launcher_dir / "velda"
    body, data = package_of(release, 2 * MIB, seed=5)
    # A part and its record as a run ended from outside left them, for the last release.
    write_files(install, {"Velda-2.0.0.zip" + PARTIAL: body[:MIB],
                          JOURNAL: ":package-installation\n:partial\t2097152\tVelda-2.0.0.zip\t"
                                   f'"p-2"\t{https_server.base_url}/old/Velda-2.0.0.zip\n'})
    route = release.publish_package(body=body, ranges=True, headers={"ETag": '"p-2"'})
    release.publish_manifest()

    run = run_launcher(launcher_dir)

    assert run.lines == [QUERYING, FOUND, UNFINISHED, CLEANING, PACKAGE,
                         *UNPACKED], run.describe()
    assert_installed(wine, run, install, data)
    assert route.starts == [0]


def test_a_recorded_part_that_spoils_the_digest_is_fetched_again_whole(
        wine, https_server, release, launcher_dir, run_launcher):
    install = launcher_dir / "velda"
    body, data = package_of(release, 2 * MIB, seed=9)
    # The record vouches for a part whose bytes are not this body's start.
    write_files(install, {"Velda-2.0.0.zip" + PARTIAL: bytes(MIB),
                          JOURNAL: f":package-installation\n:partial\t{len(body)}\t"
                                   f'Velda-2.0.0.zip\t"p-9"\t{release.package_url}\n'})
    route = release.publish_package(body=body, ranges=True, headers={"ETag": '"p-9"'})
    release.publish_manifest(package_sha256=hashlib.sha256(body).hexdigest())

    run = run_launcher(launcher_dir)

    assert run.lines == [QUERYING, FOUND, UNFINISHED, CLEANING, PACKAGE, retry(2),
                         *UNPACKED], run.describe()
    assert_installed(wine, run, install, data)
    assert route.starts == [MIB, 0]


@pytest.mark.parametrize("digest", ["right", "wrong"])
def test_a_continued_body_is_checked_whole(wine, win_build, https_server, tmp_path, digest):
    body = random.Random(8).randbytes(3 * MIB + 5)
    route = https_server.route("/body", body, ranges=True, cut_every=MIB, cut_mode="close",
                               chunk_size=MIB // 2, headers={"ETag": '"b"'})
    target = tmp_path / "body.bin"
    expected = hashlib.sha256(body if digest == "right" else body[:-1]).hexdigest()

    done = wine.run([win_build / "tests" / "helpers" / "http_fetch.exe", "continue",
                     https_server.base_url + "/body", wine.win_path(target), expected],
                    timeout=120)
    out = json.loads(done.stdout)

    assert route.starts == [0, MIB, 2 * MIB, 3 * MIB]
    assert out["attempts"] == 4 and out["rising"], out
    # Progress counts the whole body, the bytes of earlier attempts included.
    assert out["last"] == [len(body), len(body)] and out["totals"][-1] == len(body), out
    if digest == "right":
        assert out["result"] and target.read_bytes() == body, out
    else:
        assert (out["result"], out["stage"]) == (False, "digest"), out
        assert not target.exists()
    assert list(tmp_path.iterdir()) == ([target] if digest == "right" else [])


def test_a_continued_body_without_its_own_length_ends_whole(wine, win_build, https_server,
                                                           tmp_path):
    body = random.Random(10).randbytes(3 * MIB + 5)
    route = https_server.route("/body", body, ranges=True, ranges_without_length=True,
                               cut_every=MIB, cut_mode="close", headers={"ETag": '"n"'})
    target = tmp_path / "body.bin"

    done = wine.run([win_build / "tests" / "helpers" / "http_fetch.exe", "continue",
                     https_server.base_url + "/body", wine.win_path(target),
                     hashlib.sha256(body).hexdigest()], timeout=120)
    out = json.loads(done.stdout)

    # Each cut 206 ended short of the first answer's length: a failed attempt, not a file.
    assert (out["result"], out["attempts"]) == (True, 4), out
    assert route.starts == [0, MIB, 2 * MIB, 3 * MIB]
    assert target.read_bytes() == body


def test_files_held_by_another_program_are_waited_for(wine, win_build, release, launcher_dir,
                                                      run_launcher, start_launcher):
    install = launcher_dir / "velda"
    old_pak = random.Random(6).randbytes(100_000)
    new_pak = random.Random(7).randbytes(200_000)
    put_standin(release.standin_exe, install / "Velda.exe", "old")
    write_files(install, {BIG: old_pak, "data/config.ini": b"mode=1\r\n",
                          "velda.version": b"1.0.0"})
    changed = release.publish_changed_files([BIG, "-data/config.ini", "Velda.exe"],
                                            {BIG: new_pak, "Velda.exe": PRODUCT})
    hold = Hold()
    changed.file_routes[BIG].chunk_size = len(new_pak) - 1
    changed.file_routes[BIG].on_progress = hold
    release.publish_manifest(changed)

    process = start_launcher(launcher_dir)
    holder = None
    try:
        hold.wait_reached(30)
        # Held as a scanner holds a new file: the replace comes while the data file is held, the
        # delete after the data file was let go and while the config file still is.
        holder = wine.popen([win_build / "tests" / "helpers" / "file_holder.exe",
                             "2000", wine.win_path(install / BIG),
                             "4000", wine.win_path(install / "data" / "config.ini")],
                            stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline().strip() == "held"
        hold.release()
        run = process.wait()
        out, _ = holder.communicate(timeout=30)
    finally:
        hold.release()
        if holder is not None and holder.poll() is None:
            holder.kill()
            holder.wait(10)

    assert holder.returncode == 0, out
    assert run.lines == [QUERYING, FOUND, CHANGED_START, NOTHING_TO_KILL,
                         CHANGED_OK], run.describe()
    assert [s["tag"] for s in run.starts] == ["changed"], run.describe()
    assert (install / BIG).read_bytes() == new_pak
    assert not (install / "data" / "config.ini").exists()
    assert leftovers(launcher_dir) == []
