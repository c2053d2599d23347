"""Keyed launchers take a verified release only when it is their product's, not expired, and not
older than the newest one this user took (kept under LOCALAPPDATA, so a deleted stamp does not
let an older signed release back in); each refusal logs its line and starts what is installed.
The configure run refuses a product id or minimum version that launchers could not go by."""

import re
import subprocess
from pathlib import Path

import pytest

from test_release_pack import product, tool, velda_release  # noqa: F401  (tool is a fixture)
from test_signed_releases import install, keyed_launcher, serve, tree

REPO = Path(__file__).resolve().parents[2]
KEY = REPO / "tests" / "data" / "release_signing" / "key-a-private.pem"
V1, V2, V3 = "1.1.0", "1.2.0", "1.3.0"
FILES = {V1: {"data/config.ini": b"mode=1\r\n"}, V2: {"data/config.ini": b"mode=2\r\n"},
         V3: {"data/config.ini": b"mode=3\r\n"}}
ONLY_MANIFEST = {"/downloads/latest.json", "/downloads/latest.json.sig"}


def refused(reason: str) -> str:
    return f"latest.json rechazado: {reason}; lanzando version local."


@pytest.fixture
def release(tool, tmp_path, standin_exe, https_server):
    """release(version, *pack options) -> the signed release folder, packed from its product."""
    def make(version, *options, name=None):
        folder = tmp_path / f"product-{version}"
        if not folder.exists():
            product(folder, standin_exe, version, FILES[version])
        out = tmp_path / (name or f"release-{version}")
        result = velda_release(tool, "pack", "--product", folder, "--version", version,
                               "--server", https_server.base_url, "--out", out,
                               "--sign-key", KEY, *options)
        assert result.returncode == 0, result.stderr
        return out
    return make


def resign(release: Path, edit) -> Path:
    """The manifest changed by edit(text) and signed again with the same key."""
    manifest = release / "downloads/latest.json"
    text = manifest.read_text()
    changed = edit(text)
    assert changed != text
    manifest.write_text(changed)
    signed = subprocess.run(["openssl", "dgst", "-sha256", "-sign", KEY, "-out",
                             release / "downloads/latest.json.sig", manifest])
    assert signed.returncode == 0
    return release


def test_a_release_older_than_the_one_taken_is_refused_after_the_stamp_is_deleted(
        release, tmp_path, standin_exe, https_server, harness):
    harness.launcher_exe = keyed_launcher("https")
    launcher = harness.make_launcher_dir()
    serve(https_server, release(V2))
    first = harness.run(launcher)
    assert "Firma de latest.json verificada." in first.lines, first.describe()
    assert first.exit_code == 0 and first.starts[-1]["tag"] == V2
    record = harness.local_appdata / "VeldaNova" / "accepted-velda.txt"
    assert record.read_text().startswith(f"velda-accepted 1\nversion {V2}\nissued 20")

    (launcher / "velda/velda.version").unlink()
    before = tree(launcher / "velda")
    serve(https_server, release(V1))
    replay = harness.run(launcher)
    assert refused("version anterior a la ya aceptada") in replay.lines, replay.describe()
    assert "Firma de latest.json verificada." not in replay.lines
    assert replay.exit_code == 0 and replay.starts[-1]["tag"] == V2
    assert tree(launcher / "velda") == before
    assert {r.path.split("?")[0] for r in https_server.requests} == ONLY_MANIFEST
    assert record.read_text().startswith(f"velda-accepted 1\nversion {V2}\n")

    # A newer release is taken again, and moves the record up.
    serve(https_server, release(V3))
    newer = harness.run(launcher)
    assert newer.exit_code == 0 and newer.starts[-1]["tag"] == V3, newer.describe()
    assert record.read_text().startswith(f"velda-accepted 1\nversion {V3}\n")


# What makes the signed manifest one a keyed launcher refuses, and the reason its line gives.
REFUSALS = {
    "another product": (("--product-id", "velda-other"), None, "publicacion de otro producto"),
    "expired": (("--expires-in-days", "1"),
                lambda text: re.sub(r'"expires": "[^"]*"', '"expires": "2026-01-01T00:00:00Z"', text),
                "publicacion caducada"),
    "unreadable time": ((), lambda text: text.replace('"issued": "', '"issued": "x'),
                        "producto o fechas ilegibles"),
}


@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_a_signed_release_keyed_launchers_refuse_starts_the_installed_product(
        case, release, tmp_path, standin_exe, https_server, harness):
    options, edit, reason = REFUSALS[case]
    installed = product(tmp_path / "installed", standin_exe, V1, FILES[V1])
    published = release(V2, *options)
    if edit is not None:
        resign(published, edit)
    serve(https_server, published)
    harness.launcher_exe = keyed_launcher("https")
    launcher = harness.make_launcher_dir()
    install(launcher / "velda", installed, V1)
    before = tree(launcher / "velda")

    run = harness.run(launcher)
    assert refused(reason) in run.lines, run.describe()
    assert run.exit_code == 0 and run.starts[-1]["tag"] == V1
    assert tree(launcher / "velda") == before
    assert {r.path.split("?")[0] for r in https_server.requests} == ONLY_MANIFEST
    assert not (harness.local_appdata / "VeldaNova" / "accepted-velda.txt").exists()


@pytest.mark.parametrize("setting,message", [
    ("-DVELDA_MINIMUM_VERSION=1.2", "VELDA_MINIMUM_VERSION must be empty or a version"),
    ("-DVELDA_PRODUCT_ID=velda/other", "VELDA_PRODUCT_ID must be 1 to 63 letters"),
    ("-DVELDA_PRODUCT_ID=" + "p" * 64, "VELDA_PRODUCT_ID must be 1 to 63 letters"),
])
def test_configure_refuses_what_launchers_could_not_go_by(tmp_path, setting, message):
    result = subprocess.run(["cmake", "-S", str(REPO), "-B", str(tmp_path / "build"),
                             "-DVELDA_BUILD_TESTS=OFF", "-DVELDA_SANITIZE=OFF", setting],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode != 0
    assert message in " ".join(result.stderr.split()), result.stderr
