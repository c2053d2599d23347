"""The manifest fetch and the update decision, end to end. The release on the server has no
package and no direct executable (both 404), so a run that decides to update ends with the
package box, and a run that keeps the local version starts it with no further download."""

import re
import time
from urllib.parse import urlsplit

import pytest

from support.scenario import (manifest, put_run_velda_bat, put_standin, standin_bytes,
                              write_stamp)

QUERYING = "Consultando latest.json..."
NOT_DOWNLOADED = "No se pudo descargar manifest, lanzando version local."
INVALID = "Manifest invalido, lanzando version local."
UP_TO_DATE = "Version local al dia."
MANIFEST_PATH = "/downloads/latest.json"
DIRECT_PATH = "/downloads/direct/Velda.exe"

ZIP_BOX = "No se pudo descargar el ZIP de Velda."
INVALID_BOX = "latest.json invalido y no se pudo ejecutar Velda.exe local."
FOLDER_BOX = "No se pudo crear carpeta de instalacion velda."
NO_NAME_BOX = "No se pudo obtener nombre del ZIP desde la URL de descarga."


def found_line(version):
    return f"Version encontrada en server: {version}"


def newer_line(installed, server):
    return f"Version local ({installed}) es mayor que server ({server}); se mantiene local."


def package_url(server, name="Velda-release.zip"):
    return f"{server.base_url}/downloads/{name}"


def paths_requested(server):
    return [urlsplit(r.path).path for r in server.requests]


def prepare(launcher_dir, standin_exe, stamp, product):
    """The install folder as a row describes it, plus a product beside the launcher that must
    never start when the manifest was usable."""
    install = launcher_dir / "velda"
    if stamp is not None:
        write_stamp(install, stamp)
    if product == "present":
        put_standin(standin_exe, install / "Velda.exe", "installed")
    elif product == "directory":
        (install / "Velda.exe").mkdir(parents=True)
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")
    return install


# stamp content (None: no file), server version, Velda.exe in the install folder,
# whether the local version is kept, whether the "local is newer" line is logged
DECISIONS = [
    pytest.param(None, "1.2.3", "present", False, False, id="no-stamp-present"),
    pytest.param(None, "1.2.3", "absent", False, False, id="no-stamp-absent"),
    pytest.param("1.2.3", "1.2.4", "present", False, False, id="older-present"),
    pytest.param("1.2.3", "1.3.0", "absent", False, False, id="older-absent"),
    pytest.param("1.2.3", "1.2.3", "present", True, False, id="equal-present"),
    pytest.param("1.2.3\r\n", "1.2.3", "present", True, False, id="equal-crlf-stamp-present"),
    pytest.param("1.2.3", "1.2.3", "absent", False, False, id="equal-absent"),
    pytest.param("1.2.3", "1.2.3", "directory", False, False, id="equal-exe-is-directory"),
    pytest.param("1.2.10", "1.2.9", "present", True, True, id="newer-present"),
    pytest.param("1.2.10", "1.2.9", "absent", False, True, id="newer-absent"),
    pytest.param("1.2.3-beta", "1.2.3", "present", False, False, id="stamp-unparsable-present"),
    pytest.param("1.2.3-beta", "1.2.3", "absent", False, False, id="stamp-unparsable-absent"),
    pytest.param("", "1.2.3", "present", False, False, id="empty-stamp-present"),
    pytest.param("1.2.3", "1.2.3-beta", "present", True, True, id="server-unparsable-present"),
    pytest.param("1.2.3", "1.2.3-beta", "absent", False, True, id="server-unparsable-absent"),
    pytest.param("abc", "xyz", "present", True, False, id="both-unparsable-present"),
    pytest.param("abc", "xyz", "absent", False, False, id="both-unparsable-absent"),
]


@pytest.mark.parametrize("stamp, server_version, product, keeps_local, logs_newer", DECISIONS)
def test_update_decision(wine, https_server, launcher_dir, standin_exe, run_launcher, stamp,
                         server_version, product, keeps_local, logs_newer):
    install = prepare(launcher_dir, standin_exe, stamp, product)
    install_existed = install.is_dir()
    url = package_url(https_server)
    https_server.route(MANIFEST_PATH, manifest(version=server_version, url=url))

    run = run_launcher(launcher_dir, expect_box=not keeps_local)

    installed_text = (stamp or "").strip()
    decision_lines = [newer_line(installed_text, server_version)] if logs_newer else []
    assert run.lines[:2] == [QUERYING, found_line(server_version)], run.describe()
    if keeps_local:
        assert run.exit_code == 0, run.describe()
        assert run.lines[2:] == decision_lines + [UP_TO_DATE]
        assert len(run.starts) == 1 and run.starts[0]["tag"] == "installed", run.describe()
        assert run.starts[0]["exe"] == wine.win_path(install / "Velda.exe")
        assert paths_requested(https_server) == [MANIFEST_PATH]
    else:
        assert run.exit_code == 1, run.describe()
        assert UP_TO_DATE not in run.lines
        assert run.lines[2:2 + len(decision_lines)] == decision_lines, run.describe()
        assert run.starts == []
        requested = paths_requested(https_server)
        assert urlsplit(url).path in requested
        # Only an install folder that was there before may be fixed by the executable alone.
        assert (DIRECT_PATH in requested) == install_existed
        assert run.box.text == ZIP_BOX
        assert not run.box.status_window
    # The stamp only changes after a completed update.
    stamp_file = install / "velda.version"
    if stamp is None:
        assert not stamp_file.exists()
    else:
        assert stamp_file.read_bytes() == stamp.encode()
    # A usable manifest always leaves an install folder behind.
    assert install.is_dir()


@pytest.mark.parametrize("stamp, shown", [("1.2.3", "1.2.3"), ("", "none"), (None, "none")],
                         ids=["stamp", "empty-stamp", "no-stamp"])
def test_status_window_shows_both_versions_during_update(
        wine, https_server, hold_route, harness, launcher_dir, standin_exe, stamp, shown):
    install = prepare(launcher_dir, standin_exe, stamp, "present")
    https_server.route(MANIFEST_PATH, manifest(version="1.2.4", url=package_url(https_server)))
    hold = hold_route(DIRECT_PATH, standin_bytes(standin_exe, "direct"))

    process = harness.start(launcher_dir)
    hold.wait_reached()
    window = harness.inspect_window(pid=process.wait_pid())
    hold.release()
    run = process.wait()

    assert window["text"].startswith(
        f"Installed version: {shown}\r\nServer version: 1.2.4\r\n\r\n"), window
    assert run.exit_code == 0, run.describe()
    assert [s["tag"] for s in run.starts] == ["direct"]
    assert (install / "velda.version").read_bytes() == b"1.2.4"


# -- a manifest that cannot be had --------------------------------------------------------------


def no_route(server, certs):
    pass


def status_500(server, certs):
    server.route(MANIFEST_PATH, b'{"version": "9.9.9", "url": "x.zip"}', status=500)


def untrusted_certificate(server, certs):
    server.route(MANIFEST_PATH, b'{"version": "9.9.9", "url": "x.zip"}')
    server.use_certificate(*certs.untrusted)


def reset_before_headers(server, certs):
    server.route(MANIFEST_PATH, b"", close_before_headers=True)


def server_closed(server, certs):
    server.close()


@pytest.mark.parametrize("failure", [no_route, status_500, untrusted_certificate,
                                     reset_before_headers, server_closed],
                         ids=["404", "500", "untrusted-certificate", "reset", "server-closed"])
def test_manifest_not_downloaded_starts_installed_product(wine, https_server, certs, launcher_dir,
                                                          standin_exe, run_launcher, failure):
    install = prepare(launcher_dir, standin_exe, "1.0.0", "present")
    failure(https_server, certs)
    try:
        run = run_launcher(launcher_dir)
    finally:
        https_server.use_certificate(*certs.good)

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, NOT_DOWNLOADED]
    assert [s["tag"] for s in run.starts] == ["installed"]
    assert run.starts[0]["cwd"].rstrip("\\") == wine.win_path(install)
    assert (install / "velda.version").read_bytes() == b"1.0.0"


# -- a manifest that cannot be used -------------------------------------------------------------

INVALID_MANIFESTS = [
    pytest.param(lambda url: manifest(version="1.2.3"), id="url-missing"),
    pytest.param(lambda url: manifest(version="", url=url), id="version-empty"),
    pytest.param(lambda url: manifest(url=url), id="version-missing"),
    pytest.param(lambda url: manifest(version="1.2.3", url=""), id="url-empty"),
    pytest.param(lambda url: b"<html>maintenance</html>", id="not-json"),
]


@pytest.mark.parametrize("body", INVALID_MANIFESTS)
def test_invalid_manifest_never_starts_install_folder(https_server, launcher_dir, standin_exe,
                                                      run_launcher, body):
    install = prepare(launcher_dir, standin_exe, "1.0.0", "present")
    (launcher_dir / "Velda.exe").unlink()
    https_server.route(MANIFEST_PATH, body(package_url(https_server)))

    run = run_launcher(launcher_dir, expect_box=True)

    assert run.exit_code == 1, run.describe()
    assert run.lines == [QUERYING, INVALID]
    assert run.starts == []
    assert run.box.text == INVALID_BOX
    assert run.box.caption == "Velda Launcher"
    assert not run.box.status_window
    assert paths_requested(https_server) == [MANIFEST_PATH]
    assert (install / "velda.version").read_bytes() == b"1.0.0"


@pytest.mark.parametrize("body", INVALID_MANIFESTS[:2])
@pytest.mark.parametrize("beside", ["exe", "bat"])
def test_invalid_manifest_starts_launcher_folder_product(wine, https_server, launcher_dir,
                                                         standin_exe, run_launcher, body, beside):
    prepare(launcher_dir, standin_exe, "1.0.0", "present")
    if beside == "bat":
        (launcher_dir / "Velda.exe").unlink()
        put_run_velda_bat(standin_exe, launcher_dir, "beside")
    https_server.route(MANIFEST_PATH, body(package_url(https_server)))

    run = run_launcher(launcher_dir)

    assert run.exit_code == 0, run.describe()
    assert run.lines == [QUERYING, INVALID]
    assert [s["tag"] for s in run.starts] == ["beside"]
    assert run.starts[0]["cwd"].rstrip("\\") == wine.win_path(launcher_dir)


# -- errors before the decision -----------------------------------------------------------------


def test_file_named_velda_ends_with_folder_box(https_server, launcher_dir, standin_exe,
                                               run_launcher):
    put_standin(standin_exe, launcher_dir / "Velda.exe", "beside")
    (launcher_dir / "velda").write_bytes(b"a file, not a folder")
    https_server.route(MANIFEST_PATH, manifest(version="1.2.3", url=package_url(https_server)))

    run = run_launcher(launcher_dir, expect_box=True)

    assert run.exit_code == 1, run.describe()
    assert run.lines == [QUERYING, found_line("1.2.3")]
    assert run.box.text == FOLDER_BOX
    assert run.box.status_window, "the status window stays up under this box"
    assert run.starts == []
    assert (launcher_dir / "velda").read_bytes() == b"a file, not a folder"


@pytest.mark.parametrize("url_path", ["/downloads/", "/downloads/pkg.zip?from=/mirror/"],
                         ids=["slash", "slash-in-query"])
def test_package_url_without_file_name_ends_with_box(https_server, launcher_dir, standin_exe,
                                                     run_launcher, url_path):
    # Even a current installation does not start: the name is checked before the decision.
    install = prepare(launcher_dir, standin_exe, "1.2.3", "present")
    url = https_server.base_url + url_path
    https_server.route(MANIFEST_PATH, manifest(version="1.2.3", url=url))

    run = run_launcher(launcher_dir, expect_box=True)

    assert run.exit_code == 1, run.describe()
    assert run.lines == [QUERYING, found_line("1.2.3")]
    assert run.box.text == NO_NAME_BOX
    assert run.box.status_window, "the status window stays up under this box"
    assert run.starts == []
    assert paths_requested(https_server) == [MANIFEST_PATH]
    assert sorted(p.name for p in install.iterdir()) == ["Velda.exe", "velda.version"]


def test_package_is_saved_under_its_name_without_query(https_server, harness, launcher_dir,
                                                      standin_exe):
    install = prepare(launcher_dir, standin_exe, None, "absent")
    url = https_server.base_url + "/releases/2024/pkg-1.2.4.zip?sig=abc&t=1"
    https_server.route(MANIFEST_PATH, manifest(version="1.2.4", url=url))
    https_server.route("/releases/2024/pkg-1.2.4.zip", b"PK\x05\x06" + b"\0" * 18)
    package = install / "pkg-1.2.4.zip"

    # The package is deleted again after its extraction, so the run is ended once it is there.
    run = harness.run(launcher_dir, kill_when_exists=package, expect_box=None)

    assert run.exit_code == 99, run.describe()
    assert package.exists()
    requests = https_server.requests_for("/releases/2024/pkg-1.2.4.zip")
    assert [r.path for r in requests] == ["/releases/2024/pkg-1.2.4.zip?sig=abc&t=1"]


# -- the request itself -------------------------------------------------------------------------


def test_every_run_asks_with_a_new_time(https_server, launcher_dir, standin_exe, run_launcher):
    prepare(launcher_dir, standin_exe, "1.0.0", "present")
    before = int(time.time())

    first = run_launcher(launcher_dir)
    time.sleep(1.05)
    second = run_launcher(launcher_dir)

    assert first.exit_code == 0 and second.exit_code == 0
    requests = https_server.requests_for(MANIFEST_PATH)
    assert len(requests) == 2
    times = []
    for request in requests:
        match = re.fullmatch(r"/downloads/latest\.json\?t=(\d+)", request.path)
        assert match, request.path
        times.append(int(match.group(1)))
        assert request.headers.get("User-Agent") == "VeldaLauncher/1.0"
    assert times[0] != times[1]
    assert before - 5 <= times[0] < times[1] <= int(time.time()) + 5
