"""Releases signed by pack --sign-key, taken by launchers built with the test release keys (a and
b), over HTTPS and over plain HTTP, where the signature alone protects: one changed byte anywhere
installs nothing of it, a release signed by another key or by none is not used, and a replayed
older release downgrades nothing. Launchers without keys take signed releases and check hashes."""

import json
import os
import re
import subprocess
from pathlib import Path

import pytest

from conftest import server_port
from support.server import TestServer
from test_release_pack import product, tool, velda_release  # noqa: F401  (tool is a fixture)

REPO = Path(__file__).resolve().parents[2]
KEYS = REPO / "tests" / "data" / "release_signing"
V1, V2 = "1.0.0", "1.1.0"
V1_FILES = {"data/config.ini": b"mode=1\r\n", "docs/readme.txt": b"readme\r\n"}
V2_FILES = {"data/config.ini": b"mode=2\r\n", "docs/readme.txt": b"readme\r\n",
            "data/new level.dat": bytes(range(256)) * 16}
STEP = f"downloads/changes/{V1}-to-{V2}"
LIST = f"{STEP}/velda-changes-{V1}-to-{V2}.txt"
HASHES = f"{STEP}/velda-changes-{V1}-to-{V2}.sha256"
REFUSED_BY_KEY = ("latest.json rechazado: firma de otra clave o de otro contenido; "
                  "lanzando version local.")
FELL_BACK = "Fallo aplicando archivos modificados, se usara ZIP completo."


def keyed_launcher(scheme: str) -> Path:
    variable = "VELDA_WIN_KEYED_BUILD" if scheme == "https" else "VELDA_WIN_KEYED_HTTP_BUILD"
    build = Path(os.environ.get(variable, REPO / "build" / f"win-keyed{'-http' * (scheme == 'http')}"))
    exe = build / "src" / "VeldaLauncher.exe"
    if not exe.exists():
        pytest.fail(f"{exe} is missing: build it as scripts/test.sh does, or set {variable}",
                    pytrace=False)
    return exe


@pytest.fixture(params=["https", "http"])
def site(request, https_server):
    """(server, keyed launcher) for the scheme; the http launcher asks the test port + 1."""
    if request.param == "https":
        yield https_server, keyed_launcher("https")
        return
    server = TestServer(port=server_port() + 1)
    try:
        yield server, keyed_launcher("http")
    finally:
        server.close()


@pytest.fixture
def products(tmp_path, standin_exe):
    return (product(tmp_path / "product-1", standin_exe, V1, V1_FILES),
            product(tmp_path / "product-2", standin_exe, V2, V2_FILES))


def pack(tool, tmp_path, server, version, sign_key=None, name=None):
    out = tmp_path / (name or f"release-{version}")
    folder = tmp_path / ("product-1" if version == V1 else "product-2")
    args = ["pack", "--product", folder, "--version", version,
            "--server", server.base_url, "--out", out]
    if version == V2:
        args += ["--previous", tmp_path / "product-1", "--previous-version", V1]
    if sign_key is not None:
        args += ["--sign-key", sign_key]
    result = velda_release(tool, *args)
    assert result.returncode == 0, result.stderr
    return out


def vouch_for_velda_exe_alone(release: Path, sign_key=KEYS / "key-a-private.pem", edit=None):
    """The manifest says that Velda.exe alone makes 1.0.0 this release (pack does not: the test
    releases differ in other files too), edit applied to its text, and it is signed again."""
    manifest = release / "downloads/latest.json"
    fields = json.loads(manifest.read_text())
    fields["direct_from"] = [V1]
    text = json.dumps(fields, indent=2)
    manifest.write_text(edit(text) if edit else text)
    signed = subprocess.run(["openssl", "dgst", "-sha256", "-sign", sign_key,
                             "-out", release / "downloads/latest.json.sig", manifest])
    assert signed.returncode == 0


def serve(server, release: Path):
    server.reset()
    for path in release.rglob("*"):
        if path.is_file():
            server.route("/" + path.relative_to(release).as_posix(), path.read_bytes())


def install(folder: Path, files: dict, version: str):
    for relative, data in files.items():
        (folder / relative).parent.mkdir(parents=True, exist_ok=True)
        (folder / relative).write_bytes(data)
    (folder / "velda.version").write_text(version)


def tree(folder: Path) -> dict:
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in folder.rglob("*") if p.is_file()}


def flip_last_byte(path: Path) -> bytes:
    data = bytearray(path.read_bytes())
    data[-1] ^= 0x01
    path.write_bytes(bytes(data))
    return bytes(data)


def other_key(tool, tmp_path) -> Path:
    folder = tmp_path / "other-key"
    folder.mkdir()
    assert velda_release(tool, "keygen", "--out", folder).returncode == 0
    return folder / "velda-release-private.pem"


# What each case changes in the served release, the line the launcher logs, and the version that
# starts then (None: no means is left and the run ends with the download box).
TAMPERING = {
    "manifest": (REFUSED_BY_KEY, V1),
    "signature": (REFUSED_BY_KEY, V1),
    "another key": (REFUSED_BY_KEY, V1),
    "unsigned": ("latest.json rechazado: no se pudo descargar latest.json.sig; "
                 "lanzando version local.", V1),
    "list": (f"SHA-256 de velda-changes-{V1}-to-{V2}.txt no coincide; descarga descartada.", V2),
    "hash file": (f"SHA-256 de velda-changes-{V1}-to-{V2}.sha256 no coincide; descarga descartada.",
                  V2),
    "changed file": ("SHA-256 de data/new level.dat no coincide; descarga descartada.", V2),
    "direct executable": ("SHA-256 de Velda.exe no coincide; descarga descartada.", V2),
    "package": (f"SHA-256 de velda-{V2}.zip no coincide; descarga descartada.", None),
}


def tamper(case, tool, tmp_path, server, release: Path):
    """Changes the release for case; returns the changed bytes that must never be installed."""
    downloads = release / "downloads"
    if case == "manifest":
        manifest = downloads / "latest.json"
        manifest.write_bytes(manifest.read_bytes().replace(b'"1.1.0"', b'"1.1.1"', 1))
        return []
    if case == "signature":
        flip_last_byte(downloads / "latest.json.sig")
        return []
    if case == "another key":
        pack(tool, tmp_path, server, V2, other_key(tool, tmp_path), name="other")
        (downloads / "latest.json.sig").write_bytes(
            (tmp_path / "other/downloads/latest.json.sig").read_bytes())
        return []
    if case == "unsigned":
        (downloads / "latest.json.sig").unlink()
        return []
    changed = {"list": LIST, "hash file": HASHES, "changed file": f"{STEP}/files/data/new level.dat",
               "direct executable": "downloads/direct/Velda.exe",
               "package": f"downloads/velda-{V2}.zip"}[case]
    tampered = [flip_last_byte(release / changed)]
    # Take away the means before the tampered one, so that the launcher comes to it.
    if case in ("direct executable", "package"):
        (release / LIST).unlink()
    if case == "direct executable":
        vouch_for_velda_exe_alone(release)
    if case == "package":
        (downloads / "direct/Velda.exe").unlink()
    return tampered


@pytest.mark.parametrize("case", TAMPERING)
def test_one_changed_byte_installs_nothing_of_it(case, site, tool, tmp_path, products, harness):
    server, exe = site
    v1, v2 = products
    release = pack(tool, tmp_path, server, V2, KEYS / "key-a-private.pem")
    tampered = tamper(case, tool, tmp_path, server, release)
    serve(server, release)
    harness.launcher_exe = exe
    launcher = harness.make_launcher_dir()
    install(launcher / "velda", v1, V1)
    before = tree(launcher / "velda")

    line, starts = TAMPERING[case]
    run = harness.run(launcher, expect_box=starts is None)
    assert line in run.lines, run.describe()
    after = tree(launcher / "velda")
    assert not [name for name, data in after.items() if data in tampered], run.describe()
    if starts is None:
        assert run.exit_code == 1 and run.box.text == "No se pudo descargar el ZIP de Velda."
        after.pop("velda.downloads")  # the journal keeps the unfinished package installation
        assert after == before, "the refused package changed the installation"
        return
    assert run.exit_code == 0 and run.starts[-1]["tag"] == starts, run.describe()
    if starts == V1:
        assert after == before
        assert "Firma de latest.json verificada." not in run.lines
        assert {r.path.split("?")[0] for r in server.requests} <= {
            "/downloads/latest.json", "/downloads/latest.json.sig"}
    else:
        assert after["Velda.exe"] == v2["Velda.exe"]
        assert "Firma de latest.json verificada." in run.lines


def test_a_fresh_folder_takes_signed_releases_and_a_rotated_key(tool, tmp_path, products,
                                                                  https_server, harness):
    v1, v2 = products
    harness.launcher_exe = keyed_launcher("https")
    launcher = harness.make_launcher_dir()
    install_folder = launcher / "velda"

    serve(https_server, pack(tool, tmp_path, https_server, V1))  # not signed: nothing to start
    refused = harness.run(launcher, expect_box=True)
    assert refused.exit_code == 1, refused.describe()
    assert refused.box.text == "No se pudo descargar latest.json ni ejecutar Velda.exe local."

    serve(https_server, pack(tool, tmp_path, https_server, V1, KEYS / "key-a-private.pem",
                             name="signed-1"))
    first = harness.run(launcher)
    assert "Nueva version detectada, descargando zip completo..." in first.lines, first.describe()
    assert first.starts[-1]["tag"] == V1
    assert tree(install_folder) == {**v1, "velda.version": V1.encode()}

    # The second key compiled in signs the next release.
    serve(https_server, pack(tool, tmp_path, https_server, V2, KEYS / "key-b-private.pem"))
    second = harness.run(launcher)
    assert "Archivos modificados aplicados correctamente." in second.lines, second.describe()
    assert second.starts[-1]["tag"] == V2
    assert tree(install_folder) == {**v2, "velda.version": V2.encode()}


def test_a_replayed_older_signed_release_downgrades_nothing(tool, tmp_path, products,
                                                           https_server, harness):
    _, v2 = products
    serve(https_server, pack(tool, tmp_path, https_server, V1, KEYS / "key-a-private.pem"))
    harness.launcher_exe = keyed_launcher("https")
    launcher = harness.make_launcher_dir()
    install(launcher / "velda", v2, V2)
    before = tree(launcher / "velda")

    run = harness.run(launcher)
    assert "Firma de latest.json verificada." in run.lines, run.describe()
    assert run.exit_code == 0 and run.starts[-1]["tag"] == V2
    assert tree(launcher / "velda") == before
    assert {r.path.split("?")[0] for r in https_server.requests} == {
        "/downloads/latest.json", "/downloads/latest.json.sig"}


def test_a_launcher_without_keys_takes_a_signed_release_and_checks_its_hashes(
        tool, tmp_path, products, https_server, make_launcher_dir, run_launcher):
    v1, v2 = products
    release = pack(tool, tmp_path, https_server, V2, KEYS / "key-a-private.pem")
    serve(https_server, release)
    launcher = make_launcher_dir()
    install(launcher / "velda", v1, V1)
    run = run_launcher(launcher)
    assert "Archivos modificados aplicados correctamente." in run.lines, run.describe()
    assert "Firma de latest.json verificada." not in run.lines
    assert tree(launcher / "velda") == {**v2, "velda.version": V2.encode()}

    # A cut or corrupted changed file is caught by its hash, and the next means installs.
    install(launcher / "velda", v1, V1)
    (launcher / "velda/data/new level.dat").unlink()
    tampered = flip_last_byte(release / STEP / "files/data/new level.dat")
    serve(https_server, release)
    again = run_launcher(launcher)
    assert "SHA-256 de data/new level.dat no coincide; descarga descartada." in again.lines
    assert FELL_BACK in again.lines, again.describe()
    assert again.starts[-1]["tag"] == V2
    assert tampered not in tree(launcher / "velda").values()


def test_a_means_whose_hash_the_signed_manifest_leaves_out_is_not_taken(
        tool, tmp_path, products, https_server, harness):
    v1, v2 = products
    release = pack(tool, tmp_path, https_server, V2)

    def without_direct_sha256(text):
        without = re.sub(r'\s*"direct_sha256":\s*"[0-9a-f]{64}",?', "", text)
        assert without != text
        return without

    vouch_for_velda_exe_alone(release, edit=without_direct_sha256)
    (release / LIST).unlink()  # so that the executable alone comes next
    serve(https_server, release)
    harness.launcher_exe = keyed_launcher("https")
    launcher = harness.make_launcher_dir()
    install(launcher / "velda", v1, V1)

    run = harness.run(launcher)
    assert "Firma de latest.json verificada." in run.lines, run.describe()
    assert "latest.json no da un SHA-256 valido para Velda.exe." in run.lines, run.describe()
    assert "/downloads/direct/Velda.exe" not in {r.path for r in https_server.requests}
    assert run.exit_code == 0 and run.starts[-1]["tag"] == V2  # the package, which has one
    assert tree(launcher / "velda") == {**v2, "velda.version": V2.encode()}
