"""Installing an update, end to end: the changed files, the executable alone and the full
package, with their fallbacks, the error boxes, the status window's progress lines, and what the
install folder holds afterwards. The package is a ZIP written by Python's zipfile and unpacked by
the PowerShell stand-in of the prefix, which refuses any command but the launcher's own."""

import json
import random
import re
import subprocess
from urllib.parse import unquote, urlsplit

import pytest

from support.launcher import read_records, wait_records
from support.release import (DIRECT_PATH, MANIFEST_PATH, PRODUCT, HoldAt, Release, tree,
                             with_parents, write_files)
from support.faults import JOURNAL, PACKAGE_MARK
from support.scenario import extract_command, make_appdata, put_standin, write_stamp

QUERYING = "Consultando latest.json..."
FOUND = "Version encontrada en server: 2.0.0"
CHANGED_START = "Instalacion detectada, aplicando archivos modificados..."
CHANGED_OK = "Archivos modificados aplicados correctamente."
CHANGED_FAILED = "Fallo aplicando archivos modificados, se usara ZIP completo."
CHANGED_NOT_APPLICABLE = "Changed-files no aplica para version local, se usara ZIP completo."
KILLED = "Procesos Velda.exe activos cerrados antes de actualizar."
NOTHING_TO_KILL = "No habia procesos Velda.exe activos para cerrar."
DIRECT = "Instalacion previa detectada, descargando solo Velda.exe desde /downloads/direct..."
DIRECT_FAILED = "Fallo descarga directa de Velda.exe, se usara ZIP completo como respaldo."
CLEANING = "Limpiando directorios..."
PACKAGE = "Nueva version detectada, descargando zip completo..."
EXTRACTING = "Descomprimiendo actualizacion..."

ZIP_BOX = "No se pudo descargar el ZIP de Velda."
EXTRACT_BOX = "No se pudo descomprimir la actualizacion."
INCOMPLETE_BOX = ("Actualizacion incompleta: el paquete no contiene Velda.exe en la carpeta "
                  "esperada.")

PACKAGE_STEPS = [CLEANING, PACKAGE, EXTRACTING]
# The product is ended right before the commit, after the means' downloads.
FIRST_INSTALL = [QUERYING, FOUND, *PACKAGE_STEPS, NOTHING_TO_KILL]



# -- scenario helpers ---------------------------------------------------------------------------


@pytest.fixture
def release(https_server, standin_exe) -> Release:
    return Release(https_server, standin_exe)


@pytest.fixture
def ps_log(wine, tmp_path):
    """The file the PowerShell stand-in appends its command line to, and the env naming it."""
    path = tmp_path / "powershell.log"
    return path, {"VELDA_PS_LOG": wine.win_path(path)}


def assert_package_unfinished(install):
    """A package installation that failed keeps its mark, so the next run takes the package
    again rather than trusting what the folder holds."""
    assert PACKAGE_MARK in (install / JOURNAL).read_text().split()


def ps_commands(path) -> list:
    return path.read_text(encoding="utf-8").splitlines() if path.exists() else []


def old_install(launcher_dir, standin_exe, stamp="1.0.0", product=True, files=None):
    """An installation as an earlier run left it."""
    install = launcher_dir / "velda"
    install.mkdir()
    if stamp is not None:
        write_stamp(install, stamp)
    if product:
        put_standin(standin_exe, install / "Velda.exe", "old")
    write_files(install, files or {})
    return install


def staged_new(launcher_dir):
    """Where a means puts the files it will move into the installation."""
    return launcher_dir / "velda.staging" / "new"


def paths_requested(server) -> list:
    return [unquote(urlsplit(r.path).path) for r in server.requests]


def assert_started_new(wine, run, install, tag):
    assert run.exit_code == 0, run.describe()
    assert len(run.starts) == 1, run.describe()
    start = run.starts[0]
    assert start["tag"] == tag
    assert start["exe"] == wine.win_path(install / "Velda.exe")
    assert start["cwd"].rstrip("\\") == wine.win_path(install)


def assert_failed_with(run, box_text):
    assert run.exit_code == 1, run.describe()
    assert run.box is not None and run.box.text == box_text, run.describe()
    assert run.box.caption == "Velda Launcher"
    # Every error of the installation takes the status window down before its box.
    assert not run.box.status_window
    assert run.starts == []


# cmd looks in the current folder before PATH: this taskkill.bat notes the arguments of any
# kill command, so a test sees that none ran, and runs Wine's taskkill without /T.
TASKKILL_SHIM = (b'@echo off\r\n'
                 b'echo %*>>"%~dp0taskkill-args.txt"\r\n'
                 b'"%SystemRoot%\\system32\\taskkill.exe" /F /IM Velda.exe\r\n'
                 b'exit /b %ERRORLEVEL%\r\n')


class TaskkillShim:
    def __init__(self, folder):
        self.folder = folder
        folder.mkdir()
        (folder / "taskkill.bat").write_bytes(TASKKILL_SHIM)

    def calls(self) -> list:
        notes = self.folder / "taskkill-args.txt"
        return [line.strip() for line in notes.read_text().splitlines()] if notes.exists() \
            else []


@pytest.fixture
def taskkill_shim(tmp_path) -> TaskkillShim:
    """A working folder for the launcher in which a kill command would be noted and would end
    processes as it does on Windows."""
    return TaskkillShim(tmp_path / "cwd with taskkill")


def standin_running(wine, exe, record):
    """The product stand-in started as the user would have it, staying alive for a minute."""
    process = wine.popen([exe], env={"VELDA_STANDIN_STAY": "60000",
                                     "VELDA_STANDIN_RECORD": wine.win_path(record)},
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert wait_records(record, 1, 20), "the running product stand-in did not start"
    return process


# -- the full package ---------------------------------------------------------------------------

PACKAGE_FILES = {
    "data/config.ini": b"mode=2\r\n",
    "data/levels/deep/level 1.map": bytes(range(256)) * 64,
    "docs/readme.txt": b"new readme",
}


# Without a display no status window exists, and the installation runs the same.
@pytest.mark.parametrize("display", [True, False], ids=["window", "no-window"])
def test_first_installation_unpacks_zip(wine, release, launcher_dir, run_launcher, ps_log,
                                        display):
    log, env = ps_log
    release.publish_package([("Velda.exe", PRODUCT), ("data/", None), ("data/levels/", None),
                             ("empty folder/", None), ("logs/archive/", None),
                             *PACKAGE_FILES.items()], tag="first")
    release.publish_manifest()

    run = run_launcher(launcher_dir, env=env, display=display)

    install = launcher_dir / "velda"
    assert_started_new(wine, run, install, "first")
    assert run.lines == FIRST_INSTALL
    # A first installation never asks for the executable alone.
    assert paths_requested(release.server) == [MANIFEST_PATH, release.package_path]
    # The package unpacks into staging; the commit moves it in.
    assert ps_commands(log) == [extract_command(
        wine.win_path(install / release.package_name), wine.win_path(staged_new(launcher_dir)))]
    assert tree(install) == with_parents(
        ["Velda.exe", "velda.version", "empty folder/", "logs/archive/", *PACKAGE_FILES])
    for relative, content in PACKAGE_FILES.items():
        assert (install / relative).read_bytes() == content
    assert (install / "Velda.exe").read_bytes() == release.product("first")
    assert (install / "velda.version").read_bytes() == b"2.0.0"
    assert {p for p in tree(launcher_dir) if not p.startswith("velda/")} == {"VeldaLauncher.exe"}


@pytest.mark.parametrize("name", [pytest.param("Velda Games/my launcher", id="space"),
                                  pytest.param("O'Neil's launcher", id="single-quote")])
def test_launcher_folder_with_space_or_quote(wine, release, make_launcher_dir, run_launcher,
                                             ps_log, name):
    log, env = ps_log
    folder = make_launcher_dir(name)
    release.publish_package([("Velda.exe", PRODUCT), ("data/config.ini", b"mode=2")])
    release.publish_manifest()

    run = run_launcher(folder, env=env)

    install = folder / "velda"
    assert_started_new(wine, run, install, "package")
    assert run.lines == FIRST_INSTALL
    # The stand-in runs only a byte-exact extraction command; a quote in a path is doubled.
    assert ps_commands(log) == [extract_command(
        wine.win_path(install / release.package_name), wine.win_path(staged_new(folder)))]
    assert tree(install) == {"Velda.exe", "velda.version", "data/", "data/config.ini"}
    assert (install / "velda.version").read_bytes() == b"2.0.0"


def test_direct_download_fails_then_package_after_stale_zips_are_removed(
        wine, release, launcher_dir, standin_exe, start_launcher, hold_route, ps_log):
    log, env = ps_log
    install = old_install(launcher_dir, standin_exe, files={
        "Velda-1.9.0.zip": b"PK old package", "partial.zip": b"PK cut", "old-only.txt": b"kept",
        "archive.zip/inside.txt": b"a folder, not a package"})
    body = release.package([("Velda.exe", PRODUCT), ("data/config.ini", b"mode=2")])
    hold = hold_route(release.package_path, body)
    release.publish_manifest()  # no route for the executable alone: 404

    process = start_launcher(launcher_dir, env=env)
    hold.wait_reached()
    # The stale packages went before the package download began; the folder stays.
    during = tree(install, keep_journal=False)
    hold.release()
    run = process.wait()

    assert "Velda-1.9.0.zip" not in during and "partial.zip" not in during
    assert "archive.zip/inside.txt" in during
    assert_started_new(wine, run, install, "package")
    assert run.lines == [QUERYING, FOUND, DIRECT, DIRECT_FAILED, *PACKAGE_STEPS,
                         NOTHING_TO_KILL]
    assert paths_requested(release.server) == [MANIFEST_PATH, DIRECT_PATH, release.package_path]
    assert len(ps_commands(log)) == 1
    # The package only adds and overwrites.
    assert tree(install) == {"Velda.exe", "velda.version", "old-only.txt", "archive.zip/",
                             "archive.zip/inside.txt", "data/", "data/config.ini"}
    assert (install / "velda.version").read_bytes() == b"2.0.0"


# -- the executable alone -----------------------------------------------------------------------


def test_direct_executable_replaces_running_product(wine, release, launcher_dir, standin_exe,
                                                    start_launcher, hold_route, tmp_path,
                                                    taskkill_shim, ps_log):
    log, env = ps_log
    install = old_install(launcher_dir, standin_exe, files={"data/config.ini": b"mode=1",
                                                           "stale.zip": b"PK"})
    running_record = tmp_path / "running.jsonl"
    other_record = tmp_path / "other.jsonl"
    other_exe = put_standin(standin_exe, tmp_path / "other copy" / "Velda.exe", "other")
    running = standin_running(wine, install / "Velda.exe", running_record)
    other = standin_running(wine, other_exe, other_record)
    try:
        hold = hold_route(DIRECT_PATH, release.product("direct"))
        release.publish_package()
        release.publish_manifest()

        process = start_launcher(launcher_dir, env=env, cwd=taskkill_shim.folder)
        hold.wait_reached()
        # The product is ended only once the new executable is staged, right before the commit.
        product_ran_during_download = running.poll() is None
        hold.release()
        run = process.wait()
        try:
            running.wait(10)
        except subprocess.TimeoutExpired:
            pytest.fail("the running product was not ended before the commit")
        other_survived = other.poll() is None
    finally:
        for standin in (running, other):
            if standin.poll() is None:
                standin.kill()
                standin.wait(10)

    assert product_ran_during_download
    # Only this installation's Velda.exe is ended, and by the launcher itself: no taskkill.
    assert other_survived
    assert read_records(running_record)[0]["tag"] == "old"
    assert taskkill_shim.calls() == []
    assert_started_new(wine, run, install, "direct")
    assert run.lines == [QUERYING, FOUND, DIRECT, KILLED]
    assert paths_requested(release.server) == [MANIFEST_PATH, DIRECT_PATH]
    assert ps_commands(log) == []
    # No cleanup either: that belongs to the package.
    assert tree(install) == {"Velda.exe", "velda.version", "data/", "data/config.ini",
                             "stale.zip"}
    assert (install / "Velda.exe").read_bytes() == release.product("direct")
    assert (install / "velda.version").read_bytes() == b"2.0.0"
    assert not (launcher_dir / "velda.staging").exists()


@pytest.mark.parametrize("shim", [False, True], ids=["wine-taskkill", "windows-like-taskkill"])
def test_direct_executable_when_no_product_runs(wine, release, launcher_dir, standin_exe,
                                                run_launcher, taskkill_shim, shim):
    install = old_install(launcher_dir, standin_exe, stamp=None, product=False)
    release.publish_direct()
    release.publish_manifest()

    run = run_launcher(launcher_dir, cwd=taskkill_shim.folder if shim else None)

    assert_started_new(wine, run, install, "direct")
    assert run.lines == [QUERYING, FOUND, DIRECT, NOTHING_TO_KILL]
    # No kill command runs, whatever taskkill the working folder offers.
    assert taskkill_shim.calls() == []
    assert tree(install) == {"Velda.exe", "velda.version"}
    assert (install / "velda.version").read_bytes() == b"2.0.0"


def test_running_product_is_ended_by_the_launcher(wine, release, launcher_dir, standin_exe,
                                                  run_launcher, tmp_path, ps_log):
    """A running product without a window is ended by the launcher before the commit, so its
    locked file is replaced by the executable alone and the package is not needed."""
    log, env = ps_log
    install = old_install(launcher_dir, standin_exe)
    running = standin_running(wine, install / "Velda.exe", tmp_path / "running.jsonl")
    try:
        release.publish_direct()
        release.publish_package([("docs/readme.txt", b"new"), ("Velda.exe", PRODUCT)])
        release.publish_manifest()

        run = run_launcher(launcher_dir, env=env)
        try:
            running.wait(10)
        except subprocess.TimeoutExpired:
            pass
        still_running = running.poll() is None
    finally:
        if running.poll() is None:
            running.kill()
            running.wait(10)

    assert not still_running
    assert_started_new(wine, run, install, "direct")
    assert run.lines == [QUERYING, FOUND, DIRECT, KILLED]
    assert paths_requested(release.server) == [MANIFEST_PATH, DIRECT_PATH]
    assert ps_commands(log) == []
    assert (install / "Velda.exe").read_bytes() == release.product("direct")
    assert tree(install) == {"Velda.exe", "velda.version"}
    assert (install / "velda.version").read_bytes() == b"2.0.0"


# -- the changed files --------------------------------------------------------------------------

CHANGED_BEFORE = {
    "data/config.ini": b"mode=1",
    "data/sub/removed.txt": b"bye",
    "old docs/remove me.txt": b"bye too",
    "plugins/legacy.dll": b"MZ legacy",
    "keep.txt": b"untouched",
    "stale.zip": b"PK",
}
CHANGED_LINES = [
    "\ufeffVelda.exe",
    "data/config.ini",
    "",
    "   ",
    "data/new/deeper/added.txt",
    "  with space/file name.txt\t",
    "assets\\textures\\stone.png",
    "-data/sub/removed.txt",
    "- old docs/remove me.txt",
    "-\tplugins\\legacy.dll",
    "-missing/never-there.txt",
]
CHANGED_FILES = {
    "Velda.exe": PRODUCT,
    "data/config.ini": b"mode=2",
    "data/new/deeper/added.txt": b"nested",
    "with space/file name.txt": b"spaced",
    "assets\\textures\\stone.png": b"\x89PNG stone",
}


@pytest.mark.parametrize("base_slash", [False, True], ids=["base-without-slash",
                                                            "base-with-slash"])
def test_changed_files_update(wine, release, launcher_dir, standin_exe, run_launcher, ps_log,
                              base_slash):
    log, env = ps_log
    install = old_install(launcher_dir, standin_exe, files=CHANGED_BEFORE)
    changed = release.publish_changed_files(CHANGED_LINES, CHANGED_FILES, base_slash=base_slash)
    release.publish_direct()
    release.publish_package()
    release.publish_manifest(changed)

    run = run_launcher(launcher_dir, env=env)

    assert_started_new(wine, run, install, "changed")
    # No process runs, nothing else is downloaded; the line of success follows the commit.
    assert run.lines == [QUERYING, FOUND, CHANGED_START, NOTHING_TO_KILL, CHANGED_OK]
    base = urlsplit(changed.base_url).path.rstrip("/")
    assert paths_requested(release.server) == [
        MANIFEST_PATH, urlsplit(changed.list_url).path,
        *(f"{base}/{text}" for text in CHANGED_FILES)]
    raw = {unquote(r.path): r.path for r in release.server.requests}
    assert raw[f"{base}/with space/file name.txt"].endswith("/with%20space/file%20name.txt")
    # Backslashes reach the URL as written, not as "/".
    assert raw[f"{base}/assets\\textures\\stone.png"].upper().endswith(
        "/ASSETS%5CTEXTURES%5CSTONE.PNG")
    assert not any("//" in r.path for r in release.server.requests)
    assert ps_commands(log) == []

    assert tree(install) == with_parents([
        "Velda.exe", "velda.version", "keep.txt", "stale.zip", "data/config.ini", "data/sub/",
        "data/new/deeper/added.txt", "with space/file name.txt", "assets/textures/stone.png",
        "old docs/", "plugins/"])
    assert (install / "data/config.ini").read_bytes() == b"mode=2"
    assert (install / "assets/textures/stone.png").read_bytes() == b"\x89PNG stone"
    assert (install / "with space/file name.txt").read_bytes() == b"spaced"
    assert (install / "keep.txt").read_bytes() == b"untouched"
    assert (install / "velda.version").read_bytes() == b"2.0.0"


FAILING_LINES = ["data/config.ini", "-data/sub/removed.txt", "missing.dat", "later.txt"]


@pytest.mark.parametrize("direct_ok", [True, False], ids=["then-direct", "then-package"])
def test_changed_files_failure_falls_back(wine, release, launcher_dir, standin_exe,
                                          run_launcher, ps_log, direct_ok):
    log, env = ps_log
    install = old_install(launcher_dir, standin_exe, files=CHANGED_BEFORE)
    changed = release.publish_changed_files(
        FAILING_LINES, {"data/config.ini": b"mode=2", "later.txt": b"never"},
        missing=("missing.dat",))
    if direct_ok:
        release.publish_direct()
    release.publish_package([("Velda.exe", PRODUCT), ("docs/readme.txt", b"new")])
    release.publish_manifest(changed)

    run = run_launcher(launcher_dir, env=env)

    head = [QUERYING, FOUND, CHANGED_START, CHANGED_FAILED, DIRECT]
    if direct_ok:
        assert run.lines == head + [NOTHING_TO_KILL]
        assert_started_new(wine, run, install, "direct")
        assert ps_commands(log) == []
    else:
        assert run.lines == head + [DIRECT_FAILED, *PACKAGE_STEPS, NOTHING_TO_KILL]
        assert_started_new(wine, run, install, "package")
        assert len(ps_commands(log)) == 1
    assert "/later.txt" not in " ".join(paths_requested(release.server))
    # The lines before the failing one were only staged: the installation keeps them as they
    # were, and the list file is gone.
    expected = {"Velda.exe", "velda.version", "keep.txt", "data/", "data/config.ini",
                "data/sub/", "data/sub/removed.txt", "old docs/", "old docs/remove me.txt",
                "plugins/", "plugins/legacy.dll"}
    # Only the package's cleanup takes the stale zip away.
    expected |= {"stale.zip"} if direct_ok else {"docs/", "docs/readme.txt"}
    assert tree(install) == expected
    assert (install / "data/config.ini").read_bytes() == b"mode=1"
    assert (install / "velda.version").read_bytes() == b"2.0.0"


# installed stamp, Velda.exe present, changed_from_version, list URL, base URL, line logged
NOT_APPLICABLE = [
    pytest.param("1.0.0", True, "1.0.0", "list", "", True, id="base-url-empty"),
    pytest.param("1.0.0", True, "1.0.0", None, "base", False, id="list-url-absent"),
    pytest.param("1.0.0", True, "1.0.0", "list", None, False, id="base-url-absent"),
    pytest.param("1.0.0", True, "1.0.0", "", "base", True, id="list-url-empty"),
    pytest.param("0.9.0", True, "1.0.0", "list", "base", True, id="other-installed-version"),
    pytest.param("1.0.0", True, "1.0.0 ", "list", "base", True, id="from-version-not-trimmed"),
    pytest.param("1.0.0", True, "", "list", "base", True, id="from-version-empty"),
    pytest.param("1.0.0", True, None, "list", "base", True, id="from-version-absent"),
    pytest.param("1.0.0", False, "1.0.0", "list", "base", False, id="product-absent"),
]


@pytest.mark.parametrize("stamp, product, from_version, list_url, base_url, logged",
                         NOT_APPLICABLE)
def test_changed_files_not_applicable(wine, release, launcher_dir, standin_exe, run_launcher,
                                      stamp, product, from_version, list_url, base_url, logged):
    install = old_install(launcher_dir, standin_exe, stamp=stamp, product=product)
    changed = release.publish_changed_files(["Velda.exe"], {"Velda.exe": PRODUCT})
    urls = {"list": changed.list_url, "base": changed.base_url, "": "", None: None}
    release.publish_direct()
    release.publish_manifest(changed_from_version=from_version,
                             changed_files_url=urls[list_url],
                             changed_files_base_url=urls[base_url])

    run = run_launcher(launcher_dir)

    assert_started_new(wine, run, install, "direct")
    assert run.lines == [QUERYING, FOUND, *([CHANGED_NOT_APPLICABLE] if logged else []),
                         DIRECT, NOTHING_TO_KILL]
    assert paths_requested(release.server) == [MANIFEST_PATH, DIRECT_PATH]
    assert tree(install) == {"Velda.exe", "velda.version"}
    assert (install / "velda.version").read_bytes() == b"2.0.0"


# -- runs that end with a box -------------------------------------------------------------------


def test_package_download_fails(release, launcher_dir, run_launcher, ps_log):
    log, env = ps_log
    release.publish_manifest()  # the package answers 404

    run = run_launcher(launcher_dir, env=env, expect_box=True)

    assert_failed_with(run, ZIP_BOX)
    assert run.lines == FIRST_INSTALL[:-2]
    assert ps_commands(log) == []
    assert tree(launcher_dir / "velda") == {JOURNAL}
    assert_package_unfinished(launcher_dir / "velda")


UNREADABLE = "Paquete rechazado: no se pudo leer el directorio del ZIP."
ESCAPING = ("Paquete rechazado: la entrada ../escaped.txt queda fuera de la carpeta de "
            "instalacion.")

# package body maker, stand-in env, box, last log line (None: the validation's)
EXTRACTION_FAILURES = [
    pytest.param(lambda r: r.package([("Velda.exe", PRODUCT), ("data/a.txt", b"a")]),
                 {"VELDA_PS_EXIT": "1"}, EXTRACT_BOX, EXTRACTING, id="powershell-exits-1"),
    pytest.param(lambda r: r.package([("data/a.txt", b"a"), ("Velda.exe", PRODUCT)]),
                 {"VELDA_PS_EXIT": "1", "VELDA_PS_SILENT": "1"},
                 EXTRACT_BOX, EXTRACTING, id="powershell-silent-exits-1"),
    # The launcher reads the package's directory itself before it starts PowerShell.
    pytest.param(lambda r: b"PK\x03\x04 this is not a whole archive", {}, EXTRACT_BOX,
                 UNREADABLE, id="corrupt-package"),
    pytest.param(lambda r: r.package([("Velda.exe", PRODUCT), ("../escaped.txt", b"x")]), {},
                 EXTRACT_BOX, ESCAPING, id="entry-outside-folder"),
    pytest.param(lambda r: r.package([("readme.txt", b"r"), ("bin/Velda.exe", PRODUCT)]), {},
                 INCOMPLETE_BOX, None, id="no-velda-exe-at-top"),
    pytest.param(lambda r: r.package([("Velda.exe/", None)]), {}, INCOMPLETE_BOX, None,
                 id="velda-exe-is-folder"),
]


@pytest.mark.parametrize("body, ps_env, box, last_line", EXTRACTION_FAILURES)
def test_package_that_does_not_install(wine, release, launcher_dir, standin_exe, run_launcher,
                                       ps_log, body, ps_env, box, last_line):
    log, env = ps_log
    install = old_install(launcher_dir, standin_exe, product=False, files={"old.txt": b"o"})
    release.publish_package(body=body(release))
    release.publish_manifest()

    run = run_launcher(launcher_dir, env={**env, **ps_env}, expect_box=True)

    assert_failed_with(run, box)
    if last_line is None:
        last_line = "Validacion post-update fallo: no existe " + wine.win_path(
            install / "Velda.exe")
        tail = [EXTRACTING, last_line]
    else:
        tail = [EXTRACTING] if last_line == EXTRACTING else [last_line]
    assert run.lines == [QUERYING, FOUND, DIRECT, DIRECT_FAILED, CLEANING, PACKAGE, *tail]
    assert len(ps_commands(log)) == (1 if EXTRACTING in tail else 0)
    # The package is deleted in every outcome of its extraction; what it unpacked stayed in
    # staging, which is gone: the installation and its stamp are as they were.
    assert tree(install) == {"velda.version", "old.txt", JOURNAL}
    assert not (launcher_dir / "velda.staging").exists()
    assert (install / "velda.version").read_bytes() == b"1.0.0"
    assert_package_unfinished(install)
    assert not (launcher_dir / "escaped.txt").exists()


# -- the status window's progress lines ---------------------------------------------------------

def watch_started(watch) -> str:
    """Waits for the watch's first sample (it is then surely watching) and gives its text."""
    line = watch.process.stdout.readline()
    assert line, "the window watch ended before its first sample"
    return json.loads(line)["text"]


TEXTS = {
    "en": ("Installed version: none\r\nServer version: 2.0.0\r\n\r\n",
           "Downloading required files.", "Extracting update files.", "Starting Velda."),
    "es": ("Version instalada: ninguna\r\nVersion servidor: 2.0.0\r\n\r\n",
           "Descargando archivos necesarios.", "Descomprimiendo archivos de actualizacion.",
           "Iniciando Velda."),
}
MIB = 1 << 20


@pytest.mark.parametrize("language", ["en", "es"])
def test_progress_lines_while_downloading_and_extracting(wine, harness, release, launcher_dir,
                                                         start_launcher, tmp_path, language):
    versions, downloading, extracting, starting = TEXTS[language]
    blob = random.Random(7).randbytes(2 * MIB)  # does not compress: the package stays ~2 MB
    body = release.package([("Velda.exe", PRODUCT), ("data/", None), ("data/blob.bin", blob),
                            ("data/readme.txt", b"r")])
    half_bytes = (len(body) + 1) // 2  # the first byte count that makes 50%
    hold = HoldAt(half_bytes)
    route = release.publish_package(body=body, chunk_size=half_bytes, on_progress=hold)
    release.publish_manifest()
    appdata = make_appdata(tmp_path / "appdata",
                           b"language=es\r\n" if language == "es" else b"language=en\r\n")

    process = start_launcher(launcher_dir, appdata=appdata, env={"VELDA_PS_SLOW_MS": "250"})
    try:
        hold.wait_reached()
        half = f"{downloading} 50% ({half_bytes / MIB:.1f} MB / {len(body) / MIB:.1f} MB)"
        seen = None
        for _ in range(50):
            seen = harness.inspect_window(process.wait_pid()).get("text")
            if seen == versions + half:
                break
        watch = harness.start_watch(process.wait_pid())
        first = watch_started(watch)
        # The second half comes slowly enough for the watch to see its lines.
        route.chunk_size, route.delay = 64 * 1024, 0.03
    finally:
        hold.release()
    run = process.wait()
    texts, gone = watch.finish()
    texts.insert(0, first)
    while texts and texts[-1] == "":
        texts.pop()  # sampled while the window was being destroyed, its text control first

    assert seen == versions + half
    assert run.exit_code == 0, run.describe()
    assert gone
    statuses = []
    for text in texts:
        assert text.startswith(versions), text
        status = text[len(versions):]
        if not statuses or statuses[-1] != status:
            statuses.append(status)
    total = f"{len(body) / MIB:.1f} MB"
    download_line = re.compile(re.escape(downloading) + r" (\d+)% \((\d+\.\d) MB / " +
                               re.escape(total) + r"\)")
    downloads = [s for s in statuses if download_line.fullmatch(s)]
    percents = [int(download_line.fullmatch(s).group(1)) for s in downloads]
    # The last ones go by too fast to be sure of; the line's form and order are.
    assert len(percents) >= 2 and percents == sorted(percents), statuses
    assert downloads[0] == half
    for line, percent in zip(downloads, percents):
        # The amount is rounded to a tenth of a MB, the percent cut from the exact bytes.
        received = float(download_line.fullmatch(line).group(2))
        low, high = ((received + step) * MIB * 100 // len(body) for step in (-0.05, 0.05))
        assert low <= percent <= min(high, 100), line
    extracts = [s for s in statuses if s.startswith(extracting)]
    # Each entry takes 250 ms, so every line but the last one is seen for sure.
    expected = [f"{extracting} 0% (0/1)", f"{extracting} 25% (1/4)", f"{extracting} 50% (2/4)",
                f"{extracting} 75% (3/4)", f"{extracting} 100% (4/4)"]
    assert extracts in (expected, expected[:-1]), statuses
    assert statuses.index(extracts[0]) > statuses.index(downloads[-1])
    assert set(statuses) <= {downloading, starting, *downloads, *extracts}, statuses
