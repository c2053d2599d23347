"""An installation is always one release whole. Wherever an update is ended from outside (in a
download, while the product is asked to close before the commit, inside the commit, inside the
unpacking), the next run without a server and the run after it with the server each leave the
install folder byte for byte one release, stamped with that release, and start its product.
Also: the change set for the installed version after skipped releases, a keyed launcher and a
manifest that does not vouch for Velda.exe alone, a running product ended (or waited for)
before the commit, and a volume without room."""

import json
import os
import random
import re
import shutil
import subprocess
import time
import zipfile
from pathlib import Path

import pytest

from conftest import server_port
from support.faults import wait_for_end
from support.launcher import KILLED_EXIT_CODE, wait_records
from support.release import write_files
from support.scenario import Hold, standin_bytes
from support.server import TestServer
from test_release_pack import tool, velda_release  # noqa: F401  (tool is a fixture)

REPO = Path(__file__).resolve().parents[2]
KEYS = REPO / "tests" / "data" / "release_signing"

QUERYING = "Consultando latest.json..."
NOT_DOWNLOADED = "No se pudo descargar manifest, lanzando version local."
UP_TO_DATE = "Version local al dia."
FINISHED = "Actualizacion interrumpida completada: la instalacion queda en la version nueva."
UNDONE = "Actualizacion interrumpida deshecha: la instalacion queda en la version anterior."
ASKING = "Pidiendo a Velda.exe que se cierre antes de actualizar..."
CLOSED = "Procesos Velda.exe activos cerrados antes de actualizar."
NONE_RUNNING = "No habia procesos Velda.exe activos para cerrar."
POSTPONED = ("Velda.exe sigue abierto con una ventana; la actualizacion queda para el proximo "
             "inicio.")
CHANGED_OK = "Archivos modificados aplicados correctamente."
PACKAGE = "Nueva version detectada, descargando zip completo..."
NO_ROOM_BOX = "No hay espacio suficiente en el disco para actualizar Velda."
NO_ROOM = re.compile(r"Sin espacio en disco para (.+): necesita (\d+) bytes, hay (\d+) libres\.")

V1, V2, V_EXE = "1.0.0", "2.0.0", "1.0.1"  # 1.0.1 differs from 1.0.0 in Velda.exe alone
PAK = "data/levels.pak"
OLD_DATA = {PAK: random.Random(1).randbytes(300_000), "data/config.ini": b"mode=1\r\n",
            "docs/old notes.txt": b"gone in 2.0.0\r\n"}
PRODUCTS = {
    V1: OLD_DATA,
    V_EXE: OLD_DATA,
    V2: {PAK: random.Random(2).randbytes(300_000), "data/config.ini": b"mode=2\r\n",
         "docs/new notes.txt": b"new in 2.0.0\r\n"},
}
# The older fields of the changed files, dropped where a row offers another means.
NO_CHANGED = dict.fromkeys(["changed_from_version", "changed_files_url", "changed_files_base_url",
                            "changed_files_sha256", "changed_files_hashes_url",
                            "changed_files_hashes_sha256", "change_sets"])
STAGING = "velda.staging"
RECORD = "velda/velda.commit"
JOURNAL = "velda.downloads"
PARTIAL = ".velda-part"


# -- releases -----------------------------------------------------------------------------------


def product_folder(folder: Path, standin: Path, version: str, files: dict) -> dict:
    """A product folder whose Velda.exe is the stand-in tagged with its version; returns what an
    installation of that release holds, its stamp included."""
    content = {"Velda.exe": standin_bytes(standin, version), **files}
    write_files(folder, content)
    return {**content, "velda.version": version.encode()}


def pack(tool, out: Path, product: Path, version: str, previous=None, sign_key=None) -> Path:
    args = ["pack", "--product", product, "--version", version,
            "--server", f"https://localhost:{server_port()}", "--out", out]
    if previous is not None:
        args += ["--previous", previous[0], "--previous-version", previous[1]]
    if sign_key is not None:
        args += ["--sign-key", sign_key]
    packed = velda_release(tool, *args)
    assert packed.returncode == 0, packed.stderr
    return out


@pytest.fixture(scope="module")
def releases(tool, tmp_path_factory, win_build):
    """({version: files of its installation}, the pack outputs of 2.0.0 and 1.0.1, each with
    changed files from 1.0.0, {version: product folder})."""
    root = tmp_path_factory.mktemp("releases")
    standin = win_build / "tests" / "helpers" / "velda_standin.exe"
    files = {v: product_folder(root / v, standin, v, data) for v, data in PRODUCTS.items()}
    outs = {v: pack(tool, root / f"out-{v}", root / v, v, (root / V1, V1)) for v in (V2, V_EXE)}
    return files, outs, {v: root / v for v in PRODUCTS}


def install(launcher: Path, files: dict) -> Path:
    write_files(launcher / "velda", files)
    return launcher / "velda"


def sign(text: bytes, key: Path) -> bytes:
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(key)], input=text,
                          capture_output=True, check=True).stdout


class Site:
    """The launcher's download server serving pack outputs; it can go down and come back on the
    same port with the same routes."""

    def __init__(self, server: TestServer, certs):
        self.server, self.certs, self.port = server, certs, server.port
        self._published = []
        self._own = None

    def publish(self, root: Path, fields=None, holds=None, sign_key=None, extra=()):
        """Every file of root at its path (and of the roots in extra), latest.json with fields
        changed (None drops one) and signed again when sign_key is given; holds: path -> Hold."""
        self._published.append((root, fields, holds, sign_key, extra))
        for folder in (*extra, root):
            for path in sorted(folder.rglob("*")):
                url = "/" + path.relative_to(folder).as_posix()
                if path.is_file() and url not in ("/downloads/latest.json",
                                                  "/downloads/latest.json.sig"):
                    self._route(url, path.read_bytes(), (holds or {}).get(url))
        manifest = json.loads((root / "downloads" / "latest.json").read_text())
        manifest.update(fields or {})
        manifest = {name: value for name, value in manifest.items() if value is not None}
        text = json.dumps(manifest, indent=2).encode()
        self.server.route("/downloads/latest.json", text)
        if sign_key is not None:
            self.server.route("/downloads/latest.json.sig", sign(text, sign_key))
        return manifest

    def _route(self, url, body, hold):
        options = {"chunk_size": max(1, len(body) - 1), "on_progress": hold} if hold else {}
        self.server.route(url, body, **options)

    def down(self):
        self.server.close()

    def up(self):
        self.server = self._own = TestServer(self.port, *self.certs.good)
        published, self._published = self._published, []
        for root, fields, _, sign_key, extra in published:
            self.publish(root, fields, None, sign_key, extra)

    def requests(self, path: str) -> int:
        return len(self.server.requests_for(path))

    def close(self):
        if self._own is not None:
            self._own.close()


@pytest.fixture
def site(https_server, certs):
    site = Site(https_server, certs)
    yield site
    site.close()


class Standins:
    """Product stand-ins the test starts itself; each still running is ended by its own
    process when the test ends."""

    def __init__(self, wine, folder: Path):
        self.wine, self.folder, self.started = wine, folder, []

    def start(self, exe: Path, window=None, hold: Path | None = None, stay_ms=120_000):
        record = self.folder / f"standin-{len(self.started)}.jsonl"
        env = {"VELDA_STANDIN_RECORD": self.wine.win_path(record),
               "VELDA_STANDIN_STAY": str(stay_ms)}
        if window:
            env["VELDA_STANDIN_WINDOW"] = window
        if hold is not None:
            env["VELDA_STANDIN_HOLD"] = self.wine.win_path(hold)
        process = self.wine.popen([exe], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.started.append(process)
        assert wait_records(record, 1, 30), f"the stand-in {exe} did not start"
        time.sleep(1)  # its window comes right after the record
        return process

    def stop(self):
        for process in self.started:
            if process.poll() is None:
                process.kill()
                process.wait(10)


@pytest.fixture
def standins(wine, tmp_path):
    started = Standins(wine, tmp_path)
    yield started
    started.stop()


# -- what a folder holds ------------------------------------------------------------------------


def installed(folder: Path, bookkeeping: bool) -> dict:
    """Every file under folder; with bookkeeping, the download journal, the parts and the files
    the journal names (kept for a later run to continue or sweep) are left out."""
    named = set()
    journal = folder / JOURNAL
    if bookkeeping and journal.exists():
        named = {line for line in journal.read_text().splitlines() if not line.startswith(":")}
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in folder.rglob("*")
            if p.is_file() and not (bookkeeping and (p.name == JOURNAL or p.name in named or
                                                     p.name.endswith(PARTIAL)))}


def assert_whole(launcher: Path, files: dict, run, bookkeeping=False, by_package=False) -> str:
    """The install folder is exactly one release, nothing of an update is left beside it, and
    that release's product started; returns its version. by_package: files of 1.0.0 that the
    new release dropped may stay as they were (a package only adds and overwrites; the test
    test_a_package_keeps_what_it_does_not_hold shows it on its own)."""
    held = installed(launcher / "velda", bookkeeping)
    version = held.get("velda.version", b"").decode()
    assert version in files, f"stamp {version!r}; folder {sorted(held)}\n{run.describe()}"
    expected = files[version]
    if by_package and version != V1:
        expected = {**{k: v for k, v in files[V1].items() if k in held}, **expected}
    assert held == expected, (
        f"not release {version} whole: missing {sorted(set(expected) - set(held))}, extra "
        f"{sorted(set(held) - set(expected))}, different "
        f"{sorted(k for k in set(held) & set(expected) if held[k] != expected[k])}")
    assert not (launcher / STAGING).exists() and not (launcher / RECORD).exists()
    assert run.exit_code == 0, run.describe()
    assert [s["tag"] for s in run.starts] == [version], run.describe()
    return version


# -- 1. ended from outside, then a run offline and a run online ----------------------------------

# means: (release, manifest fields, download held, part whose appearance ends the run)
MEANS = {
    "changed": (V2, {"direct_from": []}, f"/downloads/changes/{V1}-to-{V2}/files/{PAK}",
                f"{STAGING}/new/{PAK}{PARTIAL}"),
    "direct": (V_EXE, {**NO_CHANGED, "direct_from": [V1]}, "/downloads/direct/Velda.exe",
               f"{STAGING}/new/Velda.exe{PARTIAL}"),
    "package": (V2, {**NO_CHANGED, "direct_from": []}, f"/downloads/velda-{V2}.zip",
                f"velda/velda-{V2}.zip{PARTIAL}"),
}
KILLS = [(means, at) for means in MEANS for at in ("download", "before-commit", "in-commit")]
KILLS.insert(-1, ("package", "unpacking"))


def first_file_entry(package: Path) -> str:
    with zipfile.ZipFile(package) as archive:
        return next(name for name in archive.namelist() if not name.endswith("/"))


def end_update(kill_at, means, site, out, launcher, start_launcher, standins, harness):
    """Starts the update and ends the launcher by its process id at kill_at."""
    version, fields, held_path, part = MEANS[means]
    hold = Hold()
    site.publish(out, fields, holds={held_path: hold} if kill_at == "download" else None)
    install = launcher / "velda"
    env, kill_file, holder = {}, None, None
    if kill_at == "download":
        kill_file = launcher / part
    elif kill_at == "before-commit":
        standins.start(install / "Velda.exe", window="lingers")
    elif kill_at == "in-commit":
        # The stamp, always the last item, is held: the commit waits on it with the product's
        # backup made, and is ended there.
        holder = harness.wine.popen([harness.helper("file_holder"), "60000",
                                     harness.wine.win_path(install / "velda.version")], text=True)
        assert holder.stdout.readline().strip() == "held"
        kill_file = launcher / STAGING / "old" / "Velda.exe"
    else:
        env = {"VELDA_PS_SLOW_MS": "400"}
        entry = first_file_entry(out / "downloads" / f"velda-{version}.zip")
        kill_file = launcher / STAGING / "new" / entry
    try:
        process = start_launcher(launcher, env=env, kill_when_exists=kill_file, timeout=90)
        if kill_file is None:
            process.wait_line(ASKING, timeout=60)
            process.wait_pid()
            process.kill()
        else:
            run = process.wait()
            assert run.exit_code == KILLED_EXIT_CODE and "killed=file" in run.stderr, \
                run.describe()
    finally:
        hold.release()
        if holder is not None:
            holder.kill()
            holder.wait(10)
    if kill_at == "unpacking":
        wait_for_end(harness.wine, "powershell.exe")  # the child outlives the launcher
    # Right after a kill Wine now and then refuses a start with ERROR_INTERNAL_ERROR, the next
    # run's start of the product included; a moment later the same start succeeds.
    time.sleep(2)


@pytest.mark.parametrize("means, kill_at", KILLS, ids=[f"{m}-{k}" for m, k in KILLS])
def test_an_update_ended_from_outside_leaves_one_release_whole(
        releases, site, make_launcher_dir, start_launcher, run_launcher, standins, harness,
        means, kill_at):
    files, outs, _ = releases
    version = MEANS[means][0]
    launcher = make_launcher_dir()
    install(launcher, files[V1])

    end_update(kill_at, means, site, outs[version], launcher, start_launcher, standins, harness)
    # Inside the commit the record stands for the mix of files that the next run resolves: the
    # product already backed up, the stamp still the old one.
    assert (launcher / RECORD).exists() == (kill_at == "in-commit")
    assert (launcher / "velda" / "velda.version").read_bytes() == V1.encode()

    site.down()
    offline = run_launcher(launcher)
    cut_commit = [FINISHED] if kill_at == "in-commit" else []
    assert offline.lines == cut_commit + [QUERYING, NOT_DOWNLOADED], offline.describe()
    by_package = means == "package"
    assert assert_whole(launcher, files, offline, True, by_package) == (
        version if kill_at == "in-commit" else V1)

    site.up()
    online = run_launcher(launcher)
    assert assert_whole(launcher, files, online, by_package=by_package) == version
    if kill_at == "in-commit":
        assert UP_TO_DATE in online.lines, online.describe()
    else:
        ended = CLOSED if kill_at == "before-commit" else NONE_RUNNING
        assert ended in online.lines, online.describe()
    assert all(process.poll() is not None for process in standins.started)


# The state a commit ended from outside leaves, built by hand: (files installed, staged, backed
# up), the record's state, the line of the next run and the release it leaves.
CUT_STATES = {
    # data/levels.pak was moved in; the staged data/config.ini is gone: back to 1.0.0.
    "staged-file-lost": ({PAK: V2}, dict.fromkeys(["Velda.exe", "docs/new notes.txt",
                                                   "velda.version"], V2),
                         {PAK: V1}, "commit", UNDONE, V1),
    # Every file in place and marked done; only the cleanup was left.
    "marked-done": ({**dict.fromkeys(PRODUCTS[V2], V2), "Velda.exe": V2, "velda.version": V2},
                    {}, dict.fromkeys(["Velda.exe", PAK, "data/config.ini",
                                       "docs/old notes.txt", "velda.version"], V1),
                    "done", FINISHED, V2),
}


def build_cut_commit(launcher: Path, files: dict, state: str):
    placed, staged, backed_up, record_state, _, _ = CUT_STATES[state]
    install_folder = launcher / "velda"
    for relative in files[V1]:
        if relative in backed_up or relative in placed:
            (install_folder / relative).unlink()
    for folder, chosen in ((install_folder, placed), (launcher / STAGING / "new", staged),
                           (launcher / STAGING / "old", backed_up)):
        write_files(folder, {path: files[version][path] for path, version in chosen.items()})
    entries = ["replace Velda.exe", f"replace {PAK}", "replace data\\config.ini",
               "delete docs\\old notes.txt", "add docs\\new notes.txt"]
    lines = [f"version {V2}", f"state {record_state}", "stamp replace",
             *(entry.replace("/", "\\") for entry in entries), f"end {len(entries)}"]
    (launcher / RECORD).write_text("velda-commit 1\n" + "".join(f"{line}\n" for line in lines),
                                   newline="")


@pytest.mark.parametrize("state", CUT_STATES)
def test_a_commit_cut_by_hand_is_resolved_offline(releases, site, make_launcher_dir,
                                                  run_launcher, state):
    files, outs, _ = releases
    launcher = make_launcher_dir()
    install(launcher, files[V1])
    build_cut_commit(launcher, files, state)
    line, left = CUT_STATES[state][4:]

    site.down()
    offline = run_launcher(launcher)
    assert offline.lines == [line, QUERYING, NOT_DOWNLOADED], offline.describe()
    assert assert_whole(launcher, files, offline) == left

    site.up()
    site.publish(outs[V2], {"direct_from": []})
    online = run_launcher(launcher)
    assert assert_whole(launcher, files, online) == V2


# -- 2. skipped releases; a keyed launcher -------------------------------------------------------

SKIPPED = {
    "1.0.0": {"data/a.dat": b"a 1.0.0", "data/same.dat": b"same"},
    "1.1.0": {"data/a.dat": b"a 1.1.0", "data/same.dat": b"same", "data/since 1.1.dat": b"n"},
    "1.2.0": {"data/a.dat": b"a 1.2.0", "data/same.dat": b"same", "data/since 1.1.dat": b"n",
              "data/c.dat": b"c 1.2.0"},
}


def change_set(manifest: dict, version: str) -> dict:
    return {"from": version, "list_url": manifest["changed_files_url"],
            "base_url": manifest["changed_files_base_url"],
            "list_sha256": manifest["changed_files_sha256"],
            "hashes_url": manifest["changed_files_hashes_url"],
            "hashes_sha256": manifest["changed_files_hashes_sha256"]}


def test_an_installation_two_releases_behind_takes_its_own_change_set(
        tool, tmp_path, standin_exe, site, make_launcher_dir, run_launcher):
    files = {v: product_folder(tmp_path / v, standin_exe, v, d) for v, d in SKIPPED.items()}
    # 1.2.0 with changed files from 1.1.0 and, packed again, from 1.0.0. The 1.1.0 set lacks
    # "since 1.1.dat": taken by a 1.0.0 installation, it would leave the folder short of it.
    from_11 = pack(tool, tmp_path / "from-1.1.0", tmp_path / "1.2.0", "1.2.0",
                   (tmp_path / "1.1.0", "1.1.0"))
    from_10 = pack(tool, tmp_path / "from-1.0.0", tmp_path / "1.2.0", "1.2.0",
                   (tmp_path / "1.0.0", "1.0.0"))
    sets = [change_set(json.loads((out / "downloads/latest.json").read_text()), v)
            for out, v in ((from_11, "1.1.0"), (from_10, "1.0.0"))]
    site.publish(from_11, {"direct_from": [], "change_sets": sets}, extra=[from_10])
    launcher = make_launcher_dir()
    install(launcher, files["1.0.0"])

    run = run_launcher(launcher)

    assert assert_whole(launcher, files, run) == "1.2.0"
    assert CHANGED_OK in run.lines, run.describe()
    step = "/downloads/changes/{0}-to-1.2.0/velda-changes-{0}-to-1.2.0.txt"
    assert (site.requests(step.format("1.0.0")), site.requests(step.format("1.1.0"))) == (1, 0)
    assert site.requests("/downloads/velda-1.2.0.zip") == 0
    assert site.requests("/downloads/direct/Velda.exe") == 0


def test_a_keyed_launcher_takes_the_package_when_the_manifest_does_not_vouch_for_velda_exe(
        tool, releases, tmp_path, site, make_launcher_dir, run_launcher):
    files, _, products = releases
    keyed = Path(os.environ.get("VELDA_WIN_KEYED_BUILD", REPO / "build" / "win-keyed"))
    if not (keyed / "src" / "VeldaLauncher.exe").exists():
        pytest.fail(f"no keyed launcher in {keyed}: set VELDA_WIN_KEYED_BUILD", pytrace=False)
    key = KEYS / "key-a-private.pem"
    # Without changed files: the keyed launcher's choice is Velda.exe alone or the package.
    out = pack(tool, tmp_path / "signed", products[V2], V2, sign_key=key)
    manifest = site.publish(out, {"direct_from": None}, sign_key=key)
    assert "direct_from" not in manifest and "direct_sha256" in manifest
    launcher = make_launcher_dir()
    shutil.copyfile(keyed / "src" / "VeldaLauncher.exe", launcher / "VeldaLauncher.exe")
    install(launcher, files[V1])

    run = run_launcher(launcher)

    assert assert_whole(launcher, files, run, by_package=True) == V2
    assert PACKAGE in run.lines, run.describe()
    assert site.requests("/downloads/direct/Velda.exe") == 0
    assert site.requests(f"/downloads/velda-{V2}.zip") == 1


def test_a_package_keeps_what_it_does_not_hold(releases, site, make_launcher_dir, run_launcher):
    """A package adds and overwrites; files of the folder that it does not hold (a file the
    release dropped, the user's own) stay as they were: only a change set deletes."""
    files, outs, _ = releases
    site.publish(outs[V2], {**NO_CHANGED, "direct_from": []})
    launcher = make_launcher_dir()
    install(launcher, files[V1])
    dropped = sorted(set(files[V1]) - set(files[V2]))
    assert dropped

    run = run_launcher(launcher)

    assert PACKAGE in run.lines, run.describe()
    held = installed(launcher / "velda", False)
    assert {k: held[k] for k in dropped} == {k: files[V1][k] for k in dropped}
    assert {k: held[k] for k in files[V2]} == files[V2]


# -- 3. a running product holds a file the update replaces ---------------------------------------

# window mode of the stand-in, where it runs, whether the update commits, the lines that tell
# how products were ended, whether the stand-in is still running afterwards
HOLDERS = {
    "windowless-terminated": (None, "velda", True, [CLOSED], False),
    "closed-by-wm-close": ("closes", "velda", True, [ASKING, CLOSED], False),
    "keeps-its-window": ("keeps", "velda", False, [ASKING, POSTPONED], True),
    "another-folder": (None, "elsewhere", True, [NONE_RUNNING], True),
}


@pytest.mark.parametrize("case", HOLDERS)
def test_a_running_product_is_ended_or_waited_for_before_the_commit(
        releases, site, make_launcher_dir, run_launcher, standins, case):
    files, outs, _ = releases
    window, where, commits, lines, still_running = HOLDERS[case]
    launcher = make_launcher_dir()
    install_folder = install(launcher, files[V1])
    exe = launcher / where / "Velda.exe"
    if where != "velda":
        exe.parent.mkdir()
        exe.write_bytes(files[V1]["Velda.exe"])
    hold = install_folder / PAK if where == "velda" else None
    running = standins.start(exe, window=window, hold=hold)
    site.publish(outs[V2], {"direct_from": []})

    run = run_launcher(launcher, expect_start=commits, timeout=90)

    ending = [line for line in run.lines if line in (ASKING, CLOSED, NONE_RUNNING, POSTPONED)]
    assert ending == lines, run.describe()
    if commits:
        assert assert_whole(launcher, files, run) == V2
        assert CHANGED_OK in run.lines, run.describe()
    else:
        assert run.exit_code == 0 and run.starts == [], run.describe()
        assert installed(install_folder, False) == files[V1]
        assert not (launcher / RECORD).exists()
    if still_running:
        assert running.poll() is None, "the stand-in was ended"
    else:
        running.wait(15)  # Wine gives its own exit code to a process another one ended


# -- 4. room on the disk -----------------------------------------------------------------------

MIB = 1 << 20
HUGE = 1 << 50


def package_sizes(out: Path, version: str, claimed: int | None) -> dict:
    """The package's sizes as pack would write them; claimed, when given, as its size."""
    package = out / "downloads" / f"velda-{version}.zip"
    with zipfile.ZipFile(package) as archive:
        entries = [e for e in archive.infolist() if not e.is_dir()]
    return {"package_size": package.stat().st_size if claimed is None else claimed,
            "unpacked_size": sum(e.file_size for e in entries), "unpacked_files": len(entries)}


@pytest.fixture
def small_volume(tmp_path):
    """A 24 MiB file system of its own, where the launcher folder can live; skipped where this
    machine lets no test mount one."""
    mount = tmp_path / "small volume"
    mount.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=24m", "tmpfs", str(mount)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small volume here: {mounted.stderr.strip()}")
    try:
        yield mount
    finally:
        if subprocess.run(["umount", str(mount)], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", str(mount)], check=False)


# volume, the size the manifest gives the changed files (None: no change set) and the package
# ("true": its own; None: no sizes), the release that ends in the folder, and the means each
# no-room line names
ROOM = {
    "changed-files-do-not-fit": ("disk", HUGE, None, V2, ["archivos modificados"]),
    "package-does-not-fit": ("disk", None, HUGE, V1, ["el ZIP completo"]),
    "small-volume": ("small", None, "true", V1, ["el ZIP completo"]),
}


@pytest.mark.parametrize("case", ROOM)
def test_a_means_without_room_on_the_volume_changes_nothing(
        releases, site, make_launcher_dir, run_launcher, request, case):
    files, outs, _ = releases
    volume, changed_claim, package_claim, ends_as, no_room = ROOM[case]
    launcher = make_launcher_dir(
        f"{request.getfixturevalue('small_volume').name}/launcher" if volume == "small"
        else "launcher")
    install(launcher, files[V1])
    fields = {"direct_from": []}
    if changed_claim is None:
        fields.update(NO_CHANGED)
    else:
        manifest = json.loads((outs[V2] / "downloads" / "latest.json").read_text())
        fields["change_sets"] = [{**change_set(manifest, V1), "list_size": 100,
                                  "files_size": changed_claim, "files_count": 4}]
    if package_claim is not None:
        fields.update(package_sizes(outs[V2], V2, None if package_claim == "true"
                                    else package_claim))
    site.publish(outs[V2], fields)

    run = run_launcher(launcher, expect_box=ends_as == V1)

    found = [NO_ROOM.fullmatch(line) for line in run.lines if NO_ROOM.fullmatch(line)]
    assert [m[1] for m in found] == no_room, run.describe()
    assert all(int(m[2]) > int(m[3]) for m in found), run.describe()
    if volume == "small":
        assert int(found[0][3]) <= 24 * MIB, "the free room is not the small volume's"
    if ends_as == V2:
        assert assert_whole(launcher, files, run, by_package=True) == V2
        assert site.requests(f"/downloads/changes/{V1}-to-{V2}/velda-changes-{V1}-to-{V2}.txt") == 0
    else:
        assert run.exit_code == 1 and run.box.text == NO_ROOM_BOX and run.starts == []
        assert installed(launcher / "velda", False) == files[V1]
        assert not (launcher / STAGING).exists()
        assert site.requests(f"/downloads/velda-{V2}.zip") == 0
