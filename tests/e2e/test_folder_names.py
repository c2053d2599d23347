"""Folder and file names outside any single ANSI code page: a launcher folder in Cyrillic or CJK
installs, updates and starts the product, the PowerShell command names the right paths, and a
changed file with a non-ASCII name is written under that name. A path that would not fit its
buffer is refused rather than cut."""

import pytest

from support.release import PRODUCT, Release, tree
from support.scenario import extract_command, manifest, put_standin

QUERYING = "Consultando latest.json..."
# The product is ended right before each commit.
NOTHING_TO_KILL = "No habia procesos Velda.exe activos para cerrar."
FIRST_INSTALL = [QUERYING, "Version encontrada en server: 2.0.0", "Limpiando directorios...",
                 "Nueva version detectada, descargando zip completo...",
                 "Descomprimiendo actualizacion...", NOTHING_TO_KILL]
CHANGED_UPDATE = [QUERYING, "Version encontrada en server: 2.1.0",
                  "Instalacion detectada, aplicando archivos modificados...", NOTHING_TO_KILL,
                  "Archivos modificados aplicados correctamente."]
MAP_NAME = "niveles/año 1.map"


def assert_started(wine, run, install, tag):
    assert run.exit_code == 0, run.describe()
    assert [s["tag"] for s in run.starts] == [tag], run.describe()
    assert run.starts[0]["exe"] == wine.win_path(install / "Velda.exe")
    assert run.starts[0]["cwd"].rstrip("\\") == wine.win_path(install)


@pytest.mark.parametrize("name", [pytest.param("Игры/Лаунчер Велда", id="cyrillic"),
                                  pytest.param("ゲーム/启动器 벨다", id="cjk")])
def test_non_ascii_launcher_folder_installs_then_updates(wine, https_server, standin_exe,
                                                         make_launcher_dir, run_launcher,
                                                         tmp_path, name):
    folder = make_launcher_dir(name)
    install = folder / "velda"
    ps_log = tmp_path / "powershell.log"
    local = tmp_path / name / "local"
    local.mkdir(parents=True)
    env = {"VELDA_PS_LOG": wine.win_path(ps_log), "LOCALAPPDATA": wine.win_path(local)}

    first = Release(https_server, standin_exe)
    first.publish_package([("Velda.exe", PRODUCT), ("datos/ñandú.txt", b"uno")])
    first.publish_manifest()
    run = run_launcher(folder, env=env)

    assert run.lines == FIRST_INSTALL, run.describe()
    assert_started(wine, run, install, "package")
    assert ps_log.read_text(encoding="utf-8").splitlines() == [extract_command(
        wine.win_path(install / first.package_name),
        wine.win_path(folder / "velda.staging" / "new"))]
    assert tree(install, keep_journal=False) == {"Velda.exe", "velda.version", "datos/",
                                                 "datos/ñandú.txt"}
    assert (install / "datos/ñandú.txt").read_bytes() == b"uno"

    https_server.reset()
    update = Release(https_server, standin_exe, version="2.1.0")
    changed = update.publish_changed_files(["Velda.exe", MAP_NAME],
                                           {"Velda.exe": PRODUCT, MAP_NAME: b"mapa"},
                                           from_name="2.0.0")
    update.publish_manifest(changed, changed_from_version="2.0.0")
    run = run_launcher(folder, env=env)

    assert run.lines == CHANGED_UPDATE, run.describe()
    assert_started(wine, run, install, "changed")
    assert (install / "niveles" / "año 1.map").read_bytes() == b"mapa"
    assert (install / "velda.version").read_bytes() == b"2.1.0"
    assert len(ps_log.read_text(encoding="utf-8").splitlines()) == 1

    # The log file under a non-ASCII folder holds both runs.
    log = (local / "VeldaNova" / "launcher.log").read_text(encoding="utf-8")
    assert log.count("[launcher] " + QUERYING) == 2
    assert "[launcher] Archivos modificados aplicados correctamente." in log


def test_install_paths_that_would_not_fit_are_refused_not_cut(wine, https_server,
                                                             make_launcher_dir, run_launcher,
                                                             tmp_path):
    # A launcher folder of 241 bytes: the launcher's own path fits 259 bytes, the stamp path
    # "<folder>\velda\velda.version" (261) does not; cut, it would name another file.
    length = 241 - len(wine.win_path(tmp_path)) - 1
    name = "".join("/" if i % 100 == 99 and i != length - 1 else "p" for i in range(length))
    folder = make_launcher_dir(name)
    assert len(wine.win_path(folder).encode()) == 241
    https_server.route("/downloads/latest.json", manifest(
        version="2.0.0", url=https_server.base_url + "/downloads/Velda-2.0.0.zip"))

    run = run_launcher(folder, expect_box=True)

    assert run.exit_code == 1, run.describe()
    assert run.lines == [f"Ruta demasiado larga: {wine.win_path(folder)}\\velda\\velda.version",
                         QUERYING, "Version encontrada en server: 2.0.0"]
    assert run.box.text == "No se pudo crear carpeta de instalacion velda."
    assert not (folder / "velda").exists()


def test_launcher_path_past_its_buffer_in_utf8_is_refused(wine, https_server, standin_exe,
                                                          make_launcher_dir, run_launcher,
                                                          tmp_path):
    # Fewer than 260 characters, more than 259 bytes in UTF-8, and byte 260 inside a character:
    # the ANSI call stops at the character before it without a word, and the path cut there
    # would name a parent folder.
    first = "启动器" * 17
    second_start = len(wine.win_path(tmp_path).encode()) + 1 + len(first.encode()) + 1
    padding = "x" * ((260 - second_start - 1) % 3)
    folder = make_launcher_dir(first + padding + "/" + "벨다" * 25)
    put_standin(standin_exe, folder / "Velda.exe", "beside")
    assert len(wine.win_path(folder / "VeldaLauncher.exe")) < 260
    assert len(wine.win_path(folder / "VeldaLauncher.exe").encode()) > 259

    run = run_launcher(folder, expect_box=True)

    assert run.exit_code == 1, run.describe()
    assert run.lines == []
    assert run.box.text == "No se pudo resolver carpeta del launcher."
    assert run.starts == []
    assert https_server.requests == []
