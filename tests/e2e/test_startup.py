"""Start-up and the final launch, end to end: single instance, language of the status window,
and where the local product is started from when the server has no manifest for us."""

import re

import pytest

from support.launcher import ALREADY_RUNNING
from support.scenario import make_appdata, manifest, put_run_velda_bat, put_standin

QUERYING = "Consultando latest.json..."
NOT_DOWNLOADED = "No se pudo descargar manifest, lanzando version local."
INVALID = "Manifest invalido, lanzando version local."
NOTHING_STARTED = "No se pudo descargar latest.json ni ejecutar Velda.exe local."
MANIFEST_PATH = "/downloads/latest.json"

ENGLISH_READY = "Installed version: none\r\nServer version: -\r\n\r\nReady."
SPANISH_READY = "Version instalada: ninguna\r\nVersion servidor: -\r\n\r\nListo."

WS_EX_TOPMOST = 0x00000008
WS_CAPTION_SYSMENU = 0x00C80000
WS_MINIMIZEBOX = 0x00020000
WS_MAXIMIZEBOX = 0x00010000
WS_THICKFRAME = 0x00040000

DISPLAYS = [pytest.param(True, id="display"), pytest.param(False, id="no-display")]


def only_start(run):
    assert len(run.starts) == 1, run.describe()
    return run.starts[0]


def assert_started_from(wine, run, folder, exe_name="Velda.exe"):
    """The one product start came from folder, with folder as its current directory and the
    quoted executable path as its whole command line."""
    start = only_start(run)
    exe = wine.win_path(folder / exe_name)
    assert start["exe"] == exe
    assert start["cwd"].rstrip("\\") == wine.win_path(folder)
    if exe_name == "Velda.exe":
        assert start["cmdline"] == f'"{exe}"'
    return start


# -- the local product, manifest answered with 404 ----------------------------------------------


@pytest.mark.parametrize("display", DISPLAYS)
def test_product_in_install_folder_is_started_first(wine, https_server, launcher_dir,
                                                    standin_exe, run_launcher, display):
    install = launcher_dir / "velda"
    put_standin(standin_exe, install / "Velda.exe", "install")
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")

    run = run_launcher(launcher_dir, display=display)

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED]
    assert assert_started_from(wine, run, install)["tag"] == "install"
    assert len(https_server.requests_for(MANIFEST_PATH)) == 1
    assert not (install / "velda.version").exists()


@pytest.mark.parametrize("display", DISPLAYS)
def test_product_in_launcher_folder_is_started_when_install_folder_has_none(
        wine, https_server, launcher_dir, standin_exe, run_launcher, display):
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")

    run = run_launcher(launcher_dir, display=display)

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED]
    assert assert_started_from(wine, run, launcher_dir)["tag"] == "beside"
    # Without a manifest the install folder is neither needed nor created.
    assert not (launcher_dir / "velda").exists()


def test_directory_named_velda_exe_is_not_a_product(wine, https_server, launcher_dir,
                                                    standin_exe, run_launcher):
    (launcher_dir / "velda" / "Velda.exe").mkdir(parents=True)
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")

    run = run_launcher(launcher_dir)

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED]
    assert assert_started_from(wine, run, launcher_dir)["tag"] == "beside"


def test_run_velda_bat_is_started_through_cmd(wine, https_server, launcher_dir, standin_exe,
                                              run_launcher):
    put_run_velda_bat(standin_exe, launcher_dir, "bat")

    run = run_launcher(launcher_dir)

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED]
    start = assert_started_from(wine, run, launcher_dir, "standin-bat.exe")
    assert start["tag"] == "bat"


def test_batch_file_of_install_folder_comes_before_launcher_folder(
        wine, https_server, launcher_dir, standin_exe, run_launcher):
    install = launcher_dir / "velda"
    install.mkdir()
    put_run_velda_bat(standin_exe, install, "install-bat")
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")

    run = run_launcher(launcher_dir)

    assert run.exit_code == 0, run.describe()
    assert assert_started_from(wine, run, install, "standin-bat.exe")["tag"] == "install-bat"


def test_velda_exe_that_cannot_start_falls_back_to_batch_file(wine, https_server, launcher_dir,
                                                              standin_exe, run_launcher):
    install = launcher_dir / "velda"
    install.mkdir()
    (install / "Velda.exe").write_bytes(b"this is not a program\r\n" * 64)
    put_run_velda_bat(standin_exe, install, "install-bat")

    run = run_launcher(launcher_dir)

    assert run.exit_code == 0, run.describe()
    assert run.lines[:2] == [QUERYING, NOT_DOWNLOADED]
    assert len(run.lines) == 3, run.describe()
    assert re.fullmatch(r"CreateProcess\(Velda\.exe\) fallo\. GetLastError=[1-9]\d*\. "
                        r"Intentando Run-Velda\.bat\.\.\.", run.lines[2])
    assert assert_started_from(wine, run, install, "standin-bat.exe")["tag"] == "install-bat"


@pytest.mark.parametrize("name", ["Velda Apps/My Launcher", "Velda Apps/O'Neil's launcher"])
@pytest.mark.parametrize("where", ["install", "launcher-bat"])
def test_folder_with_spaces_and_quotes(wine, https_server, make_launcher_dir, standin_exe,
                                       run_launcher, name, where):
    folder = make_launcher_dir(name)
    if where == "install":
        expected = folder / "velda"
        put_standin(standin_exe, expected / "Velda.exe", "install")
        exe_name, tag = "Velda.exe", "install"
    else:
        expected = folder
        put_run_velda_bat(standin_exe, folder, "bat")
        exe_name, tag = "standin-bat.exe", "bat"

    run = run_launcher(folder)

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED]
    assert assert_started_from(wine, run, expected, exe_name)["tag"] == tag


@pytest.mark.parametrize("display", DISPLAYS)
def test_nothing_to_start_ends_with_error_box(https_server, launcher_dir, run_launcher,
                                              display):
    run = run_launcher(launcher_dir, display=display, expect_box=True)

    assert run.exit_code == 1, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED]
    assert run.starts == []
    assert not (launcher_dir / "velda").exists()
    if display:
        assert run.box.text == NOTHING_STARTED
        assert run.box.caption == "Velda Launcher"
        assert run.box.buttons == ["OK"]
        assert not run.box.status_window, "the status window must be gone before the box"


def test_server_not_listening_starts_local_product(wine, https_server, launcher_dir,
                                                   standin_exe, run_launcher):
    https_server.close()
    put_standin(standin_exe, launcher_dir / "velda" / "Velda.exe", "install")

    run = run_launcher(launcher_dir)

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED]
    assert assert_started_from(wine, run, launcher_dir / "velda")["tag"] == "install"


# -- the status window --------------------------------------------------------------------------


def held_first_launcher(harness, hold_route, folder, appdata, display=True):
    """A launcher held inside the manifest transfer; the manifest it then gets is invalid, so
    it goes on to start the launcher folder's product."""
    hold = hold_route(MANIFEST_PATH, b'{"note": "no fields"}')
    process = harness.start(folder, appdata=appdata, display=display)
    hold.wait_reached()
    return process, hold


LANGUAGES = [
    pytest.param(b"language=es\r\n", SPANISH_READY, id="es-crlf"),
    pytest.param(b"\xef\xbb\xbf \tlanguage=es \t\r\n", SPANISH_READY, id="es-bom-blanks"),
    pytest.param(b"theme=dark\nlanguage=es", SPANISH_READY, id="es-second-line"),
    pytest.param(b"language=ES\r\n", ENGLISH_READY, id="ES-is-english"),
    pytest.param(b"language= es\r\n", ENGLISH_READY, id="space-value-is-english"),
    pytest.param(b"language=en\r\nlanguage=es\r\n", ENGLISH_READY, id="first-line-decides"),
    pytest.param(None, ENGLISH_READY, id="no-settings-file"),
]


@pytest.mark.parametrize("settings, expected", LANGUAGES)
def test_status_window_language_follows_settings(wine, harness, hold_route, launcher_dir,
                                                 standin_exe, tmp_path, settings, expected):
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")
    appdata = make_appdata(tmp_path / "appdata", settings)
    process, hold = held_first_launcher(harness, hold_route, launcher_dir, appdata)

    window = harness.inspect_window(pid=process.wait_pid())
    hold.release()
    run = process.wait()

    assert window["found"], window
    assert window["text"] == expected
    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, INVALID]
    assert assert_started_from(wine, run, launcher_dir)["tag"] == "beside"
    # The settings file belongs to the product: read, never written.
    if settings is not None:
        assert (appdata / "VeldaNova" / "settings.txt").read_bytes() == settings


@pytest.mark.parametrize("appdata", [None, ""], ids=["unset", "empty"])
def test_status_window_is_english_without_appdata(harness, hold_route, launcher_dir,
                                                  standin_exe, appdata):
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")
    process, hold = held_first_launcher(harness, hold_route, launcher_dir, appdata)

    window = harness.inspect_window(pid=process.wait_pid())
    hold.release()
    run = process.wait()

    assert window["text"] == ENGLISH_READY
    assert run.exit_code == 0, run.describe()


def test_status_window_shape(harness, hold_route, launcher_dir, standin_exe):
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")
    process, hold = held_first_launcher(harness, hold_route, launcher_dir, None)

    window = harness.inspect_window(pid=process.wait_pid())
    hold.release()
    run = process.wait()

    assert window["title"] == "Velda Launcher"
    assert window["exstyle"] & WS_EX_TOPMOST
    assert window["style"] & WS_CAPTION_SYSMENU == WS_CAPTION_SYSMENU
    assert not window["style"] & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)
    assert (window["width"], window["height"]) == (504, 180)
    assert window["visible"] and not window["iconic"]
    child = window["child"]
    assert child["class"].upper() == "STATIC"
    assert (child["x"], child["y"], child["width"], child["height"]) == (14, 14, 468, 120)
    assert run.exit_code == 0, run.describe()
    # The window is taken down before the launcher ends.
    assert not harness.inspect_window(pid=process.child_pid, wait_ms=0)["found"]


# -- a second launcher --------------------------------------------------------------------------


def test_second_launcher_while_first_shows_error_box(https_server, harness, launcher_dir):
    first = harness.start(launcher_dir, close_boxes=False)
    box = harness.wait_box(pid=first.wait_pid(), timeout=30)
    assert box is not None and box.text == NOTHING_STARTED

    second = harness.run(launcher_dir)

    assert second.exit_code == 0, second.describe()
    assert second.lines == [ALREADY_RUNNING]
    assert second.starts == []
    assert harness.close_box(pid=first.child_pid) is not None
    first_run = first.wait(expect_box=None)
    assert first_run.exit_code == 1


def test_second_launcher_restores_minimised_window(https_server, harness, launcher_dir):
    # A file where the install folder belongs holds the first launcher in a box with its
    # status window still up, and the box's loop keeps that window serviced.
    https_server.route(MANIFEST_PATH, manifest(version="1.0.0",
                                               url=f"{https_server.base_url}/d/velda.zip"))
    (launcher_dir / "velda").write_text("not a folder")
    first = harness.start(launcher_dir, close_boxes=False)
    pid = first.wait_pid()
    box = harness.wait_box(pid=pid, timeout=30)
    assert box is not None and box.status_window, box
    minimised = harness.inspect_window(pid=pid, minimize=True)
    assert minimised["iconic"], minimised

    second = harness.run(launcher_dir)
    restored = harness.inspect_window(pid=pid)

    assert second.exit_code == 0, second.describe()
    assert second.lines == [ALREADY_RUNNING]
    assert restored["found"] and not restored["iconic"] and restored["visible"], restored
    assert harness.close_box(pid=pid) is not None
    assert first.wait(expect_box=None).exit_code == 1


@pytest.mark.parametrize("display", DISPLAYS)
def test_second_launcher_while_first_waits_for_manifest(wine, harness, hold_route, launcher_dir,
                                                        standin_exe, display):
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")
    first, hold = held_first_launcher(harness, hold_route, launcher_dir, None, display=display)

    # The first one's window answers while its launcher waits: bringing it forward is done
    # before the manifest arrives.
    try:
        second_run = harness.run(launcher_dir, display=display)
    finally:
        hold.release()
    first_run = first.wait()

    assert second_run.exit_code == 0, second_run.describe()
    assert second_run.lines == [ALREADY_RUNNING]
    assert second_run.starts == []
    assert first_run.exit_code == 0, first_run.describe()
    assert first_run.lines == [QUERYING, INVALID]
    assert assert_started_from(wine, first_run, launcher_dir)["tag"] == "beside"
