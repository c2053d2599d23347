"""A release made by velda-release pack, served as it was written, takes a real launcher under
Wine from the first version to the second through changed files, and a fresh launcher folder
straight to the second through the package."""

import os
import subprocess
from pathlib import Path

import pytest

from support.scenario import standin_bytes

REPO = Path(__file__).resolve().parents[2]

V1 = "1.0.0"
V2 = "1.1.0"
LEVEL = bytes(range(256)) * 64
V1_FILES = {
    "data/config.ini": b"mode=1\r\n",
    "data/levels/one.dat": LEVEL,
    "data/levels/old level.dat": b"removed in 1.1.0",
    "docs/readme.txt": b"Velda readme\r\n",
}
V2_FILES = {
    "data/config.ini": b"mode=2\r\n",
    "data/levels/one.dat": LEVEL,
    "data/levels/deep/nested/two.dat": LEVEL[::-1],
    "docs/readme.txt": b"Velda readme\r\n",
    "docs/release notes.txt": b"what is new\r\n",
    "new folder/with space.txt": b"spaced out",
}
# What the changed-files list of 1.1.0 must fetch, and what it must leave alone.
CHANGED = ["data/config.ini", "data/levels/deep/nested/two.dat", "docs/release notes.txt",
           "new folder/with space.txt", "Velda.exe"]
UNCHANGED = ["data/levels/one.dat", "docs/readme.txt"]


@pytest.fixture(scope="module")
def tool() -> Path:
    build = Path(os.environ.get("VELDA_NATIVE_BUILD", REPO / "build" / "native"))
    path = build / "tools" / "velda-release" / "velda-release"
    if not path.exists():
        pytest.skip(f"velda-release not built at {path} (set VELDA_NATIVE_BUILD)")
    return path


def product(folder: Path, standin_exe: Path, version: str, files: dict) -> dict:
    """A product folder whose Velda.exe is the stand-in tagged with its version."""
    content = {"Velda.exe": standin_bytes(standin_exe, version), **files}
    for relative, data in content.items():
        path = folder / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return content


def velda_release(tool, *args):
    result = subprocess.run([str(tool), *map(str, args)], capture_output=True, text=True,
                            timeout=120)
    return result


@pytest.fixture
def releases(tool, tmp_path, standin_exe, https_server):
    v1 = product(tmp_path / "product-1", standin_exe, V1, V1_FILES)
    v2 = product(tmp_path / "product-2", standin_exe, V2, V2_FILES)
    server = https_server.base_url
    packed = velda_release(tool, "pack", "--product", tmp_path / "product-1", "--version", V1,
                           "--server", server, "--out", tmp_path / "release-1")
    assert packed.returncode == 0, packed.stderr
    packed = velda_release(tool, "pack", "--product", tmp_path / "product-2", "--version", V2,
                           "--server", server, "--out", tmp_path / "release-2",
                           "--previous", tmp_path / "product-1", "--previous-version", V1)
    assert packed.returncode == 0, packed.stderr
    # What pack wrote passes check for the launchers that will meet it.
    for release, options in [("release-1", ["--no-install-folder"]),
                             ("release-2", ["--installed", V1]),
                             ("release-2", ["--no-install-folder"])]:
        checked = velda_release(tool, "check", tmp_path / release / "downloads/latest.json",
                                *options)
        assert checked.returncode == 0, checked.stdout
    return {"v1": v1, "v2": v2, "r1": tmp_path / "release-1", "r2": tmp_path / "release-2"}


def serve(server, root: Path):
    """The server answers with exactly the pack output: one route per file at its path."""
    server.reset()
    for path in sorted(root.rglob("*")):
        if path.is_file():
            server.route("/" + path.relative_to(root).as_posix(), path.read_bytes())


def installed_files(install: Path) -> dict:
    return {p.relative_to(install).as_posix(): p.read_bytes()
            for p in install.rglob("*") if p.is_file() and p.name != "velda.version"}


def changed_files_path(release: Path, name: str) -> str:
    folder = next((release / "downloads" / "changes").glob("*/files"))
    return "/" + (folder / name).relative_to(release).as_posix()


def test_launcher_goes_from_the_first_release_to_the_second_through_changed_files(
        releases, https_server, make_launcher_dir, run_launcher):
    launcher = make_launcher_dir("launcher with space")
    install = launcher / "velda"

    # Before: an empty launcher folder; the server has 1.0.0.
    serve(https_server, releases["r1"])
    first = run_launcher(launcher)
    assert first.exit_code == 0, first.describe()
    assert "Nueva version detectada, descargando zip completo..." in first.lines
    assert installed_files(install) == releases["v1"]
    assert (install / "velda.version").read_bytes() == V1.encode()
    assert first.starts[-1]["tag"] == V1

    # The server now has 1.1.0, with changed files from 1.0.0.
    serve(https_server, releases["r2"])
    second = run_launcher(launcher)
    assert second.exit_code == 0, second.describe()
    assert "Instalacion detectada, aplicando archivos modificados..." in second.lines
    assert "Archivos modificados aplicados correctamente." in second.lines
    for line in ["Changed-files no aplica para version local, se usara ZIP completo.",
                 "Fallo aplicando archivos modificados, se usara ZIP completo.",
                 "Instalacion previa detectada, descargando solo Velda.exe desde /downloads/direct...",
                 "Nueva version detectada, descargando zip completo..."]:
        assert line not in second.lines, second.describe()

    # After: exactly the second product (the removed file gone, the list file gone), stamped.
    assert installed_files(install) == releases["v2"]
    assert not (install / "data/levels/old level.dat").exists()
    assert (install / "velda.version").read_bytes() == V2.encode()
    assert second.starts[-1]["tag"] == V2

    # Only the changed files travelled, whole or as their patch; the package and the executable
    # alone did not.
    release = releases["r2"]
    for name in CHANGED:
        whole = changed_files_path(release, name)
        patch = whole.replace("/files/", "/patches/", 1) + ".vpatch"
        assert len(https_server.requests_for(whole) + https_server.requests_for(patch)) == 1, name
    for name in UNCHANGED:
        assert not https_server.requests_for(changed_files_path(release, name)), name
    assert not https_server.requests_for(f"/downloads/velda-{V2}.zip")
    assert not https_server.requests_for("/downloads/direct/Velda.exe")
    # WinHTTP sent the spaces percent-encoded; the server matched them decoded.
    spaced = [r.path for r in https_server.requests if "with" in r.path and "space" in r.path]
    assert spaced and all("%20" in path for path in spaced), spaced


def test_fresh_launcher_folder_installs_the_second_release_from_the_package(
        releases, https_server, make_launcher_dir, run_launcher):
    launcher = make_launcher_dir()
    install = launcher / "velda"
    serve(https_server, releases["r2"])

    run = run_launcher(launcher)

    assert run.exit_code == 0, run.describe()
    assert "Nueva version detectada, descargando zip completo..." in run.lines
    assert "Descomprimiendo actualizacion..." in run.lines
    assert "Instalacion detectada, aplicando archivos modificados..." not in run.lines
    assert installed_files(install) == releases["v2"]
    assert (install / "velda.version").read_bytes() == V2.encode()
    assert not list(install.glob("*.zip"))
    # Folders came from the package's directory entries, nested ones included.
    assert (install / "data/levels/deep/nested").is_dir()
    assert run.starts[-1]["tag"] == V2
    assert len(https_server.requests_for(f"/downloads/velda-{V2}.zip")) == 1
    assert not any("/downloads/changes/" in r.path for r in https_server.requests)
