"""The support log file: every log line with a local ISO 8601 timestamp, the details that
standard output does not carry, rotation at 1 MiB, and a run that goes on when no log can be
written."""

import re
from datetime import datetime, timedelta, timezone

import pytest

from support.release import DIRECT_PATH, PRODUCT, Release
from support.scenario import put_standin, write_stamp

QUERYING = "Consultando latest.json..."
FOUND = "Version encontrada en server: 2.0.0"
DIRECT = "Instalacion previa detectada, descargando solo Velda.exe desde /downloads/direct..."
DIRECT_FAILED = "Fallo descarga directa de Velda.exe, se usara ZIP completo como respaldo."
PACKAGE_STEPS = ["Limpiando directorios...", "Nueva version detectada, descargando zip completo...",
                 "Descomprimiendo actualizacion..."]
UP_TO_DATE = "Version local al dia."
NOTHING_TO_KILL = "No habia procesos Velda.exe activos para cerrar."

LINE = re.compile(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d) \[(launcher|detalle)\] "
                  r"(.*)")
ROTATION_SIZE = 1024 * 1024


@pytest.fixture
def release(https_server, standin_exe) -> Release:
    return Release(https_server, standin_exe)


def old_install(launcher_dir, standin_exe, stamp):
    install = launcher_dir / "velda"
    write_stamp(install, stamp)
    put_standin(standin_exe, install / "Velda.exe", "old")
    return install


def read_log(path) -> list:
    """(time, tag, message) of every line; each line must end in CR LF and match the form."""
    data = path.read_bytes()
    assert data.endswith(b"\r\n")
    entries = []
    for raw in data.decode("utf-8").split("\r\n")[:-1]:
        match = LINE.fullmatch(raw)
        assert match, f"not a log file line: {raw!r}"
        entries.append((datetime.fromisoformat(match[1]), match[2], match[3]))
    return entries


def test_log_file_carries_lines_details_and_rotates(wine, release, launcher_dir, standin_exe,
                                                    run_launcher, tmp_path):
    local = tmp_path / "local appdata"
    folder = local / "VeldaNova"
    folder.mkdir(parents=True)
    # An earlier run's log, a few bytes short of the rotation size: the first line of this run
    # would pass it.
    old_line = b"2026-01-01T00:00:00.000+00:00 [launcher] earlier run\r\n"
    earlier = old_line * ((ROTATION_SIZE - 40) // len(old_line))
    (folder / "launcher.log").write_bytes(earlier)
    (folder / "launcher.1.log").write_bytes(b"the oldest log, replaced")
    old_install(launcher_dir, standin_exe, "1.0.0")
    release.publish_package([("Velda.exe", PRODUCT)])
    release.publish_manifest()  # no direct download: it answers 404

    before = datetime.now(timezone.utc)
    run = run_launcher(launcher_dir, env={"LOCALAPPDATA": wine.win_path(local)})
    after = datetime.now(timezone.utc)

    assert run.exit_code == 0, run.describe()
    stdout_lines = [QUERYING, FOUND, DIRECT, DIRECT_FAILED, *PACKAGE_STEPS, NOTHING_TO_KILL]
    assert run.lines == stdout_lines
    # Standard output carries nothing else.
    assert run.stdout.replace("\r\n", "\n") == "".join(f"[launcher] {line}\n"
                                                      for line in stdout_lines)

    assert (folder / "launcher.1.log").read_bytes() == earlier
    entries = read_log(folder / "launcher.log")
    for time, _, _ in entries:
        assert time.tzinfo is not None
        assert before - timedelta(seconds=2) <= time <= after + timedelta(seconds=2)
    assert [time for time, _, _ in entries] == sorted(time for time, _, _ in entries)

    details = [message for _, tag, message in entries if tag == "detalle"]
    assert [message for _, tag, message in entries if tag == "launcher"] == stdout_lines
    assert re.fullmatch(rf"Launcher 1\.0\.0, Windows \d+\.\d+\.\d+, proceso {run.child_pid}",
                        details[0]), details
    # The tests' launcher is built without release keys, and says so on every run.
    assert details[1:] == [
        "Launcher sin claves de publicacion: no comprueba ninguna firma de lo que descarga.",
        "Version instalada: 1.0.0; version del servidor: 2.0.0; cambios desde: (no hay)",
        "Descarga fallida (etapa status, estado HTTP 404, error Win32 0): "
        f"https://localhost:{release.server.port}{DIRECT_PATH}"]
    # Each detail right where it happened.
    order = [message if tag == "launcher" else tag for _, tag, message in entries]
    assert order == ["detalle", "detalle", QUERYING, FOUND, "detalle", DIRECT, "detalle",
                     DIRECT_FAILED, *PACKAGE_STEPS, NOTHING_TO_KILL]


@pytest.mark.parametrize("local", ["blocked", "unset"])
def test_run_without_a_writable_log(wine, release, launcher_dir, standin_exe, run_launcher,
                                    tmp_path, local):
    old_install(launcher_dir, standin_exe, "2.0.0")
    release.publish_manifest()
    blocked = tmp_path / "local appdata"
    blocked.mkdir()
    (blocked / "VeldaNova").write_bytes(b"a file where the log folder would be")
    value = wine.win_path(blocked) if local == "blocked" else None

    run = run_launcher(launcher_dir, env={"LOCALAPPDATA": value})

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, FOUND, UP_TO_DATE]
    assert [s["tag"] for s in run.starts] == ["old"]
    assert (blocked / "VeldaNova").read_bytes() == b"a file where the log folder would be"
