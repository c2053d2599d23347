"""Changed files as binary patches: pack makes them when they are worth it and check applies them
to their bases; a launcher builds each such file from its installed copy and fetches only the
patch, and takes the file whole when its copy was changed locally or the patch is tampered
with. An update ended while a patch is applied leaves one release whole, like every means."""

import random
import shutil
import time

import pytest

from support.launcher import KILLED_EXIT_CODE
from support.scenario import Hold
from support.server import route_path
from test_release_pack import tool, velda_release  # noqa: F401  (tool is a fixture)
from test_whole_release import (NOT_DOWNLOADED, QUERYING, STAGING, Site, assert_whole, install,
                                pack, product_folder)

V1, V2 = "1.0.0", "2.0.0"
STEP = f"/downloads/changes/{V1}-to-{V2}"
PAK = "data/levels 1.pak"
BASE_PAK = random.Random(7).randbytes(2_000_000)
NEW_PAK = BASE_PAK[:1000] + b"new level data" + BASE_PAK[1000:1_500_000] + BASE_PAK[1_500_100:]
DATA = {V1: {PAK: BASE_PAK, "data/config.ini": b"mode=1\r\n"},
        V2: {PAK: NEW_PAK, "data/config.ini": b"mode=1\r\n"}}
PATCHED = ["Velda.exe", PAK]
AS_PATCHES = "Archivos modificados recibidos como parche: {} de 2."
NOT_THE_BASE = ("Fallo en parche: el archivo instalado no es la base del parche; el archivo se "
                f"descarga entero: {PAK}")
NO_INDEX = ("Fallo en lista de parches: descarga fallida; todos los archivos se descargan "
            "enteros.")
TAMPERED = ("Fallo en parche: el parche no coincide con su SHA-256; el archivo se descarga "
            f"entero: {PAK}")


@pytest.fixture(scope="module")
def patched_release(tool, tmp_path_factory, win_build):
    """({version: files of its installation}, the pack output of 2.0.0 from 1.0.0, the 1.0.0
    product folder)."""
    root = tmp_path_factory.mktemp("patched")
    standin = win_build / "tests" / "helpers" / "velda_standin.exe"
    files = {v: product_folder(root / v, standin, v, data) for v, data in DATA.items()}
    return files, pack(tool, root / "out", root / V2, V2, (root / V1, V1)), root / V1


@pytest.fixture
def site(https_server, certs):
    site = Site(https_server, certs)
    yield site
    site.close()


def step_requests(site) -> list:
    paths = (route_path(r.path) for r in site.server.requests)
    return sorted(path for path in paths if path.startswith(STEP))


def support_log(harness) -> str:
    return (harness.local_appdata / "VeldaNova" / "launcher.log").read_text(encoding="utf-8")


def test_pack_offers_the_worthwhile_patches_and_check_applies_them(tool, patched_release,
                                                                   tmp_path):
    _, out, base = patched_release
    index = (out / STEP[1:] / f"velda-changes-{V1}-to-{V2}.patches").read_text()
    assert sorted(line.split(" ", 5)[5] for line in index.splitlines()) == sorted(PATCHED)
    for path in PATCHED:
        patch = out / STEP[1:] / "patches" / f"{path}.vpatch"
        assert patch.stat().st_size < 0.6 * (base.parent / V2 / path).stat().st_size
    manifest = out / "downloads" / "latest.json"
    with_bases = velda_release(tool, "check", manifest, "--installed", V1, "--previous", base,
                               "--previous-version", V1)
    assert with_bases.returncode == 0, with_bases.stdout
    assert "2 patches of 2 sound" in with_bases.stdout
    assert "applied to its base" in with_bases.stdout
    alone = velda_release(tool, "check", manifest, "--installed", V1)
    assert alone.returncode == 0 and "the base files were not given" in alone.stdout, alone.stdout

    # A base that is not the one the patch was made from fails check, as does a tampered patch;
    # pack --no-patches leaves every member and file of patches out.
    other = tmp_path / "other-base"
    (other / "data").mkdir(parents=True)
    (other / PAK).write_bytes(BASE_PAK[::-1])
    (other / "Velda.exe").write_bytes((base / "Velda.exe").read_bytes())
    wrong = velda_release(tool, "check", manifest, "--previous", other, "--previous-version", V1)
    assert wrong.returncode == 1 and f"the patch of {PAK} names another base" in wrong.stdout
    copy = tmp_path / "tampered"
    shutil.copytree(out, copy)
    patch = copy / STEP[1:] / "patches" / "Velda.exe.vpatch"
    patch.write_bytes(patch.read_bytes() + b"!")
    tampered = velda_release(tool, "check", copy / "downloads" / "latest.json")
    assert tampered.returncode == 1
    assert "Velda.exe.vpatch is not the size and SHA-256 its index gives" in tampered.stdout
    packed = velda_release(tool, "pack", "--product", base.parent / V2, "--version", V2,
                           "--server", "https://localhost", "--out", tmp_path / "whole",
                           "--previous", base, "--previous-version", V1, "--no-patches")
    assert packed.returncode == 0, packed.stderr
    assert not (tmp_path / "whole" / STEP[1:] / "patches").exists()
    assert "patches_url" not in (tmp_path / "whole" / "downloads" / "latest.json").read_text()


@pytest.mark.parametrize("case", ["patches", "changed-locally", "tampered", "no-index"])
def test_changed_files_come_as_patches_unless_the_base_or_the_patch_is_wrong(
        patched_release, site, make_launcher_dir, run_launcher, harness, case):
    files, out, _ = patched_release
    launcher = make_launcher_dir()
    installed = install(launcher, files[V1])
    site.publish(out, {"direct_from": []})
    index = f"{STEP}/velda-changes-{V1}-to-{V2}.patches"
    if case == "changed-locally":
        (installed / PAK).write_bytes(BASE_PAK[:-1] + b"x")
    if case == "tampered":
        patch = bytearray((out / STEP[1:] / "patches" / f"{PAK}.vpatch").read_bytes())
        patch[-1] ^= 0xFF
        site.server.route(f"{STEP}/patches/{PAK}.vpatch", bytes(patch))
    if case == "no-index":
        site.server.route(index, b"", status=404)

    run = run_launcher(launcher)
    assert assert_whole(launcher, files, run) == V2
    whole = {"patches": [], "changed-locally": [PAK], "tampered": [PAK],
             "no-index": PATCHED}[case]
    patches = {"patches": PATCHED, "changed-locally": ["Velda.exe"], "tampered": PATCHED,
               "no-index": []}[case]
    listed = [f"{STEP}/velda-changes-{V1}-to-{V2}.{kind}" for kind in ("txt", "sha256")]
    assert step_requests(site) == sorted(
        listed + [index] + [f"{STEP}/files/{path}" for path in whole] +
        [f"{STEP}/patches/{path}.vpatch" for path in patches]), run.describe()
    assert AS_PATCHES.format(2 - len(whole)) in run.lines, run.describe()
    log = support_log(harness)
    assert (NOT_THE_BASE in log) == (case == "changed-locally"), log
    assert (TAMPERED in log) == (case == "tampered"), log
    assert (NO_INDEX in log) == (case == "no-index"), log


def test_an_update_ended_while_a_patch_is_applied_leaves_one_release_whole(
        patched_release, site, make_launcher_dir, start_launcher, run_launcher):
    files, out, _ = patched_release
    launcher = make_launcher_dir()
    install(launcher, files[V1])
    # The new file appears in staging when its patch begins to be applied; the next patch is
    # held, so that the kill lands before any commit whatever the timing.
    hold = Hold()
    site.publish(out, {"direct_from": []}, holds={f"{STEP}/patches/Velda.exe.vpatch": hold})
    try:
        process = start_launcher(launcher, kill_when_exists=launcher / STAGING / "new" / PAK,
                                 timeout=90)
        ended = process.wait()
    finally:
        hold.release()
    assert ended.exit_code == KILLED_EXIT_CODE and "killed=file" in ended.stderr, ended.describe()
    time.sleep(2)  # Wine refuses a start now and then right after a kill
    assert (launcher / "velda" / "velda.version").read_bytes() == V1.encode()

    site.down()
    offline = run_launcher(launcher)
    assert offline.lines == [QUERYING, NOT_DOWNLOADED], offline.describe()
    assert assert_whole(launcher, files, offline, True) == V1
    site.up()
    online = run_launcher(launcher)
    assert assert_whole(launcher, files, online) == V2
    assert AS_PATCHES.format(2) in online.lines, online.describe()
