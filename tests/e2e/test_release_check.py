"""velda-release pack and check, run as the product team runs them: real product folders, real
files, a real loopback server for the URL form. No Wine needed."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

from support import certs as support_certs
from support import server as support_server

REPO = Path(__file__).resolve().parents[2]


def release_tool() -> Path:
    build = Path(os.environ.get("VELDA_NATIVE_BUILD", REPO / "build" / "native"))
    return build / "tools" / "velda-release" / "velda-release"


@pytest.fixture(scope="module")
def tool() -> Path:
    path = release_tool()
    if not path.exists():
        pytest.skip(f"velda-release not built at {path} (set VELDA_NATIVE_BUILD)")
    return path


def run(tool, *args, cwd=None, env=None):
    return subprocess.run([str(tool), *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=120, env=env)


def write(root: Path, files: dict):
    for relative, content in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())


OLD_PRODUCT = {
    "Velda.exe": b"MZ old product",
    "data/config.ini": "mode=1\n",
    "data/unchanged.bin": bytes(range(256)) * 40,
    "data/sub/removed.txt": "bye",
    "readme.txt": "old readme",
}
NEW_PRODUCT = {
    "Velda.exe": b"MZ new product",
    "data/config.ini": "mode=2\n",
    "data/unchanged.bin": bytes(range(256)) * 40,
    "data/sub/deeper/added.txt": "new and nested",
    "with space/file name.txt": "spaced",
    "readme.txt": "old readme",
}


def products(tmp_path):
    old, new = tmp_path / "old", tmp_path / "new"
    write(old, OLD_PRODUCT)
    write(new, NEW_PRODUCT)
    return old, new


def pack(tool, tmp_path, server="https://localhost:48443", out="release", previous=True,
         mtime=None):
    old, new = products(tmp_path)
    if mtime is not None:
        for path in [*old.rglob("*"), *new.rglob("*")]:
            os.utime(path, (mtime, mtime))
    args = ["pack", "--product", new, "--version", "1.1.0", "--server", server,
            "--out", tmp_path / out]
    if previous:
        args += ["--previous", old, "--previous-version", "1.0.0"]
    # With the files' times fixed, "issued" too (it is the time of packing otherwise).
    env = None if mtime is None else {**os.environ, "SOURCE_DATE_EPOCH": str(mtime)}
    result = run(tool, *args, env=env)
    assert result.returncode == 0, result.stderr
    return tmp_path / out


def manifest_path(release: Path) -> Path:
    return release / "downloads" / "latest.json"


def list_path(release: Path) -> Path:
    return next((release / "downloads" / "changes").glob("*/velda-changes-*.txt"))


def hashes_path(release: Path) -> Path:
    return next((release / "downloads" / "changes").glob("*/velda-changes-*.sha256"))


def sha256_of(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def files_folder(release: Path) -> Path:
    return next((release / "downloads" / "changes").glob("*/files"))


# ---- pack: what it writes ------------------------------------------------------------------

def test_pack_writes_the_document_root_the_launcher_expects(tool, tmp_path):
    release = pack(tool, tmp_path)

    manifest_text = manifest_path(release).read_text()
    assert "\\" not in manifest_text
    manifest = json.loads(manifest_text)
    step = release / "downloads/changes/1.0.0-to-1.1.0"
    assert manifest == {
        "version": "1.1.0",
        "url": "https://localhost:48443/downloads/velda-1.1.0.zip",
        "changed_from_version": "1.0.0",
        "changed_files_url": "https://localhost:48443/downloads/changes/1.0.0-to-1.1.0/"
                             "velda-changes-1.0.0-to-1.1.0.txt",
        "changed_files_base_url": "https://localhost:48443/downloads/changes/1.0.0-to-1.1.0/files",
        "package_sha256": sha256_of(release / "downloads/velda-1.1.0.zip"),
        "direct_sha256": sha256_of(release / "downloads/direct/Velda.exe"),
        "changed_files_sha256": sha256_of(list_path(release)),
        "changed_files_hashes_url": "https://localhost:48443/downloads/changes/1.0.0-to-1.1.0/"
                                    "velda-changes-1.0.0-to-1.1.0.sha256",
        "changed_files_hashes_sha256": sha256_of(hashes_path(release)),
        # The whole-release members, after every older one.
        "package_size": (release / "downloads/velda-1.1.0.zip").stat().st_size,
        "unpacked_size": sum(len(content) for content in NEW_PRODUCT.values()),
        "unpacked_files": len(NEW_PRODUCT),
        "direct_size": len(NEW_PRODUCT["Velda.exe"]),
        "direct_from": [],
        "change_sets": [{
            "from": "1.0.0",
            "list_url": manifest["changed_files_url"],
            "base_url": manifest["changed_files_base_url"],
            "list_sha256": sha256_of(list_path(release)),
            "hashes_url": manifest["changed_files_hashes_url"],
            "hashes_sha256": sha256_of(hashes_path(release)),
            "list_size": list_path(release).stat().st_size,
            "hashes_size": hashes_path(release).stat().st_size,
            "files_size": sum(len(NEW_PRODUCT[name]) for name in
                              ["data/config.ini", "data/sub/deeper/added.txt",
                               "with space/file name.txt", "Velda.exe"]),
            "files_count": 4,
        }],
        "product": "velda",
        "issued": manifest["issued"],
    }
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", manifest["issued"])
    # The launcher's old keys come first, so older launchers read the manifest as before.
    assert list(manifest)[:5] == ["version", "url", "changed_from_version", "changed_files_url",
                                  "changed_files_base_url"]
    assert hashes_path(release).read_text() == "".join(
        f"{sha256_of(step / 'files' / name)}  {name}\n"
        for name in ["data/config.ini", "data/sub/deeper/added.txt", "with space/file name.txt",
                     "Velda.exe"])
    for key in manifest:
        assert manifest_text.count(f'"{key}"') == 1

    assert (release / "downloads/direct/Velda.exe").read_bytes() == NEW_PRODUCT["Velda.exe"]

    # Deletions first, then downloads in path order, the top-level Velda.exe last.
    assert list_path(release).read_text() == (
        "-data/sub/removed.txt\n"
        "data/config.ini\n"
        "data/sub/deeper/added.txt\n"
        "with space/file name.txt\n"
        "Velda.exe\n")
    served = sorted(p.relative_to(files_folder(release)).as_posix()
                    for p in files_folder(release).rglob("*") if p.is_file())
    assert served == ["Velda.exe", "data/config.ini", "data/sub/deeper/added.txt",
                      "with space/file name.txt"]
    for name in served:
        content = NEW_PRODUCT[name]
        expected = content if isinstance(content, bytes) else content.encode()
        assert (files_folder(release) / name).read_bytes() == expected

    everything = sorted(p.relative_to(release).as_posix() for p in release.rglob("*")
                        if p.is_file())
    assert everything == sorted(
        ["downloads/latest.json", "downloads/direct/Velda.exe", "downloads/velda-1.1.0.zip",
         list_path(release).relative_to(release).as_posix(),
         hashes_path(release).relative_to(release).as_posix()]
        + [f"{files_folder(release).relative_to(release).as_posix()}/{n}" for n in served])
    assert not list(tmp_path.glob(".release.partial-*"))


def test_pack_package_is_a_plain_deflate_zip_with_folders(tool, tmp_path):
    release = pack(tool, tmp_path, previous=False)
    with zipfile.ZipFile(release / "downloads/velda-1.1.0.zip") as archive:
        assert archive.testzip() is None
        names = archive.namelist()
        assert names == ["Velda.exe", "data/", "data/config.ini", "data/sub/", "data/sub/deeper/",
                         "data/sub/deeper/added.txt", "data/unchanged.bin", "readme.txt",
                         "with space/", "with space/file name.txt"]
        for info in archive.infolist():
            assert "\\" not in info.filename
            if info.is_dir():
                assert info.file_size == 0
            else:
                assert info.compress_type == zipfile.ZIP_DEFLATED
                content = NEW_PRODUCT[info.filename]
                expected = content if isinstance(content, bytes) else content.encode()
                assert archive.read(info) == expected
    manifest = json.loads(manifest_path(release).read_text())
    assert set(manifest) == {"version", "url", "package_sha256", "direct_sha256", "package_size",
                             "unpacked_size", "unpacked_files", "direct_size", "direct_from",
                             "change_sets", "product", "issued"}
    # Without an earlier version none is made whole by Velda.exe alone, and no set is given.
    assert manifest["direct_from"] == [] and manifest["change_sets"] == []


def test_pack_is_deterministic(tool, tmp_path):
    # The package keeps the files' times, and the manifest holds the package's hash: the same
    # trees written anew with the same times give the same bytes.
    first = pack(tool, tmp_path, out="one", mtime=1_700_000_000)
    shutil.rmtree(tmp_path / "old")
    shutil.rmtree(tmp_path / "new")
    second = pack(tool, tmp_path, out="two", mtime=1_700_000_000)
    assert manifest_path(first).read_bytes() == manifest_path(second).read_bytes()
    assert list_path(first).read_bytes() == list_path(second).read_bytes()
    assert (first / "downloads/velda-1.1.0.zip").read_bytes() == \
        (second / "downloads/velda-1.1.0.zip").read_bytes()


REFUSALS = [
    ("no Velda.exe", lambda new: (new / "Velda.exe").unlink(), {}, "holds no Velda.exe"),
    ("Velda.exe is a folder", lambda new: ((new / "Velda.exe").unlink(),
                                           (new / "Velda.exe").mkdir()), {}, "holds no Velda.exe"),
    ("version does not parse", None, {"--version": "1.1"}, "does not parse"),
    ("version with a suffix", None, {"--version": "1.1.0-beta"}, "does not parse"),
    ("version with blanks", None, {"--version": " 1.1.0"}, "white space"),
    ("version over capacity", None, {"--version": "0" * 60 + "1.1.0"}, "longer than 63"),
    ("version with a quote", None, {"--version": '1.1.0"'}, "double quote"),
    ("previous not older", None, {"--previous-version": "1.1.0"}, "not older"),
    ("previous does not parse", None, {"--previous-version": "one"}, "does not parse"),
    ("server with a path", None, {"--server": "https://h/downloads"}, "without a path"),
    ("server with a backslash", None, {"--server": "https://h\\x"}, "without a path"),
    ("server not http", None, {"--server": "ftp://h"}, "http:// or https://"),
    ("url over capacity", None, {"--server": "https://" + "h" * 1000}, "at most 1023"),
    ("name with two dots", lambda new: write(new, {"a..b.txt": "x"}), {}, 'contains ".."'),
    ("name Windows refuses", lambda new: write(new, {"what?.txt": "x"}), {}, "Windows refuses"),
    ("names differing in case", lambda new: write(new, {"README.TXT": "x"}), {},
     "differ only in case"),
    ("a stamp in the product", lambda new: write(new, {"velda.version": "9.9.9"}), {},
     "version stamp"),
    ("name read as a deletion", lambda new: write(new, {"-notes.txt": "x"}), {},
     "reads as a deletion"),
    ("non-ASCII name in the list", lambda new: write(new, {"caf\u00e9.txt": "x"}), {},
     "non-ASCII"),
    ("folder turned file", lambda new: (shutil.rmtree(new / "data/sub"),
                                        write(new, {"data/sub": "now a file"})), {},
     "was a folder and is now a file"),
    ("symbolic link", lambda new: os.symlink(new / "readme.txt", new / "link.txt"), {},
     "symbolic link"),
]


@pytest.mark.parametrize("name,change,options,message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_pack_refuses_and_writes_nothing(tool, tmp_path, name, change, options, message):
    old, new = products(tmp_path)
    if change:
        change(new)
    args = {"--product": new, "--version": "1.1.0", "--server": "https://localhost:48443",
            "--out": tmp_path / "release", "--previous": old, "--previous-version": "1.0.0"}
    args.update(options)
    result = run(tool, "pack", *[item for pair in args.items() for item in pair])
    assert result.returncode == 1, result.stdout
    assert "refused, nothing written" in result.stderr
    assert message in result.stderr, result.stderr
    assert not (tmp_path / "release").exists()
    assert not list(tmp_path.glob(".release.partial-*"))


def test_pack_refuses_an_existing_output_folder(tool, tmp_path):
    old, new = products(tmp_path)
    (tmp_path / "release").mkdir()
    (tmp_path / "release" / "keep.txt").write_text("mine")
    result = run(tool, "pack", "--product", new, "--version", "1.1.0", "--server", "https://h",
                 "--out", tmp_path / "release")
    assert result.returncode == 1
    assert "already exists" in result.stderr
    assert [p.name for p in (tmp_path / "release").iterdir()] == ["keep.txt"]


def test_pack_refuses_an_output_inside_the_product(tool, tmp_path):
    old, new = products(tmp_path)
    result = run(tool, "pack", "--product", new, "--version", "1.1.0", "--server", "https://h",
                 "--out", new / "release")
    assert result.returncode == 1
    assert "outside the product folders" in result.stderr
    assert not (new / "release").exists()


# ---- check: sound releases -----------------------------------------------------------------

@pytest.mark.parametrize("options,expected", [
    (["--installed", "1.0.0"], ["1. changed files from the list",
                                "2. if that fails: the "
                                "executable alone from",
                                "3. if that fails: the package"]),
    (["--installed", "0.9.0"], ["log: [launcher] Changed-files no aplica para version local, se "
                                "usara ZIP completo.",
                                "1. the executable alone"]),
    (["--no-install-folder"], ["1. the package "
                               "https://localhost:48443/downloads/velda-1.1.0.zip, saved as "
                               "velda-1.1.0.zip"]),
    (["--installed", "1.1.0"], ["log: [launcher] Version local al dia.", "is up to date"]),
    (["--installed", "2.0.0"], ["Version local (2.0.0) es mayor que server (1.1.0); se mantiene "
                                "local.", "is up to date"]),
    ([], ["no version stamp", "1. the executable alone"]),
])
def test_check_passes_what_pack_writes(tool, tmp_path, options, expected):
    release = pack(tool, tmp_path)
    result = run(tool, "check", manifest_path(release), *options)
    assert result.returncode == 0, result.stdout
    assert "warning:" not in result.stdout
    assert "Result: the release is sound" in result.stdout
    for line in [
        '  version                  found      "1.1.0"',
        '  changed_from_version     found      "1.0.0"',
        '  changed_files_base_url   found      '
        '"https://localhost:48443/downloads/changes/1.0.0-to-1.1.0/files"',
        '  package file name        "velda-1.1.0.zip"',
        "4 downloads, 1 deletions, 0 refused lines",
        *expected,
    ]:
        assert line in result.stdout, result.stdout


def test_check_without_changed_files_prints_them_not_found(tool, tmp_path):
    release = pack(tool, tmp_path, previous=False)
    result = run(tool, "check", manifest_path(release), "--installed", "1.0.0")
    assert result.returncode == 0, result.stdout
    assert '  changed_files_url        not found  ""' in result.stdout
    assert "changed files" not in result.stdout


# ---- check: every trap, in a release that pack made and a hand then spoiled ----------------

def edit_manifest(release, change):
    path = manifest_path(release)
    path.write_text(change(path.read_text()))


def nested_url_first(text):
    return text.replace("{\n", '{\n  "mirror": {"url": "https://mirror.invalid/velda.zip"},\n', 1)


def long_base_url(text):
    manifest = json.loads(text)
    manifest["changed_files_base_url"] += "/" + "x" * 1100
    return json.dumps(manifest, indent=2)


def python_json_with_escaped_slashes(text):
    # What many encoders write for a slash.
    return json.dumps(json.loads(text)).replace("/", "\\/")


TRAPS = [
    ("escaped slashes", lambda r: edit_manifest(r, python_json_with_escaped_slashes),
     ['"url" writes slashes as \\/ (escaped slashes)',
      '"changed_files_base_url" writes slashes as \\/']),
    ("nested key first", lambda r: edit_manifest(r, nested_url_first),
     ['"url" occurs at line 2, column 14, before its top-level member at line 4, column 3: '
      'the launcher reads "https://mirror.invalid/velda.zip"']),
    ("value cut at capacity", lambda r: edit_manifest(r, long_base_url),
     ['"changed_files_base_url" is 1163 bytes: the launcher cuts it to its first 1023']),
    ("unparsable version", lambda r: edit_manifest(r, lambda t: t.replace('"1.1.0"', '"1.1.0-rc1"')),
     ['"version" "1.1.0-rc1" does not parse as a version']),
    ("package url without a file name",
     lambda r: edit_manifest(r, lambda t: t.replace("velda-1.1.0.zip", "")),
     ['"url" names no package file',
      'No se pudo obtener nombre del ZIP desde la URL de descarga.']),
    ("refused list lines",
     lambda r: list_path(r).write_text(list_path(r).read_text()
                                       + "\n-\n../outside.txt\nC:/Windows/x.dll\n/rooted\n"),
     ['line 7 "-" is refused by the launcher (a deletion without a path)',
      'line 8 "../outside.txt" is refused by the launcher (the path contains "..")',
      'line 9 "C:/Windows/x.dll" is refused by the launcher (the path contains a colon)',
      'line 10 "/rooted" is refused by the launcher (the path begins with a separator)']),
    ("listed file missing",
     lambda r: (files_folder(r) / "with space" / "file name.txt").unlink(),
     ['line 4 "with space/file name.txt" is missing under the base URL']),
    ("changed file not what the package holds",
     lambda r: (files_folder(r) / "data" / "config.ini").write_text("mode=3\n"),
     ['line 2 "data/config.ini" differs from the package\'s file of that name']),
    ("stale direct executable",
     lambda r: (r / "downloads/direct/Velda.exe").write_bytes(b"MZ old product"),
     ["differs from the package's Velda.exe"]),
    ("list of another release", lambda r: edit_manifest(r, lambda t: t.replace('"1.0.0"', '"1.2.0"')),
     ['"changed_from_version" 1.2.0 is not older than "version" 1.1.0']),
]


@pytest.mark.parametrize("name,spoil,warnings", TRAPS, ids=[t[0] for t in TRAPS])
def test_check_flags_each_trap(tool, tmp_path, name, spoil, warnings):
    release = pack(tool, tmp_path)
    spoil(release)
    result = run(tool, "check", manifest_path(release), "--installed", "1.0.0")
    assert result.returncode == 1, result.stdout
    assert "the release is not sound" in result.stdout
    printed = [line[len("warning: "):] for line in result.stdout.splitlines()
               if line.startswith("warning: ")]
    for warning in warnings:
        assert any(warning in line for line in printed), "\n".join(printed)


def test_check_flags_every_trap_of_one_hand_made_manifest(tool, tmp_path):
    root = tmp_path / "site"
    write(root, {
        "downloads/latest.json": (
            '{"build": {"version": "0.0.1"},\n'
            ' "version": "1.1.0",\n'
            ' "url": "https:\\/\\/localhost\\/downloads\\/",\n'
            ' "changed_from_version": "1.0.0",\n'
            ' "changed_files_url": "https://localhost/downloads/list.txt",\n'
            ' "changed_files_base_url": "https://localhost/files/' + "y" * 1100 + '"}\n'),
        "downloads/list.txt": "ok.txt\n-\n",
    })
    result = run(tool, "check", root / "downloads/latest.json", "--installed", "1.0.0")
    assert result.returncode == 1
    out = result.stdout
    assert '  version                  found      "0.0.1"' in out
    assert '  url                      found      "https:\\/\\/localhost\\/downloads\\/"' in out
    for warning in [
        '"version" occurs at line 1, column 12, before its top-level member at line 2, column 2',
        '"url" writes slashes as \\/ (escaped slashes)',
        '"changed_files_base_url" is 1124 bytes: the launcher cuts it to its first 1023',
    ]:
        assert f"warning: {warning}" in out, out
    assert '"changed_from_version" 1.0.0 is not older than "version" 0.0.1' in out
    assert 'line 2 "-" is refused by the launcher' in out
    assert 'line 1 "ok.txt" is missing under the base URL' in out
    assert "stops with the box \"No se pudo obtener nombre del ZIP" in out


def test_check_reports_an_unreadable_manifest(tool, tmp_path):
    result = run(tool, "check", tmp_path / "nothing.json")
    assert result.returncode == 1
    assert "cannot read" in result.stderr


def test_check_usage_errors_exit_2(tool, tmp_path):
    assert run(tool, "check").returncode == 2
    assert run(tool, "check", "a.json", "--installed", "1.0.0",
               "--no-install-folder").returncode == 2
    assert run(tool, "pack", "--product", tmp_path).returncode == 2
    assert run(tool, "frobnicate").returncode == 2


# ---- check over HTTP(S) --------------------------------------------------------------------

def serve_folder(server, root: Path):
    """A route for every file under root, at its path (the server matches percent-decoded)."""
    for path in root.rglob("*"):
        if path.is_file():
            server.route("/" + path.relative_to(root).as_posix(), path.read_bytes())


@pytest.fixture
def http_server():
    server = support_server.TestServer()
    yield server
    server.close()


def test_check_reads_a_served_release_by_url(tool, tmp_path, http_server):
    release = pack(tool, tmp_path, server=http_server.base_url)
    serve_folder(http_server, release)
    url = http_server.base_url + "/downloads/latest.json"
    result = run(tool, "check", url, "--installed", "1.0.0")
    assert result.returncode == 0, result.stdout
    assert f"executable alone from {http_server.base_url}/downloads/direct/Velda.exe" in result.stdout
    # The file with a space in its path was asked for percent-encoded, as WinHTTP asks.
    assert any(r.path.endswith("/with%20space/file%20name.txt") for r in http_server.requests)

    http_server.routes.pop("/" + (files_folder(release) / "data/config.ini")
                           .relative_to(release).as_posix())
    result = run(tool, "check", url, "--installed", "1.0.0")
    assert result.returncode == 1
    assert 'line 2 "data/config.ini" is missing under the base URL' in result.stdout
    assert "status 404" in result.stdout


def test_check_over_https_with_the_test_ca(tool, tmp_path):
    certs = support_certs.TestCertificates(tmp_path / "certs")
    server = support_server.TestServer(certfile=certs.good[0], keyfile=certs.good[1])
    try:
        release = pack(tool, tmp_path, server=server.base_url)
        serve_folder(server, release)
        url = server.base_url + "/downloads/latest.json"
        untrusted = run(tool, "check", url)
        assert untrusted.returncode == 1
        assert "cannot read" in untrusted.stderr
        trusted = run(tool, "check", url, "--cacert", certs.ca, "--installed", "1.0.0")
        assert trusted.returncode == 0, trusted.stdout + trusted.stderr
    finally:
        server.close()


# ---- several earlier versions: one change set each -----------------------------------------

THREE_VERSIONS = {
    "1.0.0": {"Velda.exe": b"MZ 1.0.0", "data/config.ini": "mode=1\n", "data/old.txt": "old"},
    "1.1.0": {"Velda.exe": b"MZ 1.1.0", "data/config.ini": "mode=2\n"},
    "1.2.0": {"Velda.exe": b"MZ 1.2.0 changed", "data/config.ini": "mode=2\n"},
}
# What each earlier version's list downloads (1.1.0 differs from 1.2.0 only in Velda.exe).
CHANGED_FROM = {"1.1.0": ["Velda.exe"], "1.0.0": ["data/config.ini", "Velda.exe"]}
SERVER = "https://localhost:48443"


def as_bytes(content):
    return content if isinstance(content, bytes) else content.encode()


def pack_three_versions(tool, tmp_path):
    for version, files in THREE_VERSIONS.items():
        write(tmp_path / version, files)
    result = run(tool, "pack", "--product", tmp_path / "1.2.0", "--version", "1.2.0",
                 "--server", SERVER, "--out", tmp_path / "release",
                 "--previous", tmp_path / "1.0.0", "--previous-version", "1.0.0",
                 "--previous", tmp_path / "1.1.0", "--previous-version", "1.1.0")
    assert result.returncode == 0, result.stderr
    return tmp_path / "release"


def step_file(release, version, suffix):
    step = f"{version}-to-1.2.0"
    return release / "downloads/changes" / step / f"velda-changes-{step}{suffix}"


def test_pack_writes_one_change_set_per_earlier_version(tool, tmp_path):
    release = pack_three_versions(tool, tmp_path)
    manifest = json.loads(manifest_path(release).read_text())
    sets = {change_set["from"]: change_set for change_set in manifest["change_sets"]}
    assert list(sets) == ["1.1.0", "1.0.0"]  # the newest first
    assert manifest["direct_from"] == ["1.1.0"]
    # Deployed launchers read the single fields: they name the newest earlier version's set.
    assert manifest["changed_from_version"] == "1.1.0"
    for single, key in [("changed_files_url", "list_url"), ("changed_files_base_url", "base_url"),
                        ("changed_files_sha256", "list_sha256"),
                        ("changed_files_hashes_url", "hashes_url"),
                        ("changed_files_hashes_sha256", "hashes_sha256")]:
        assert manifest[single] == sets["1.1.0"][key], single
    new = THREE_VERSIONS["1.2.0"]
    package = release / "downloads/velda-1.2.0.zip"
    assert (manifest["package_size"], manifest["unpacked_size"], manifest["unpacked_files"],
            manifest["direct_size"]) == (
        package.stat().st_size, sum(len(as_bytes(c)) for c in new.values()), len(new),
        len(new["Velda.exe"]))
    for version, changed in CHANGED_FROM.items():
        change_set, listed, hashes = (sets[version], step_file(release, version, ".txt"),
                                      step_file(release, version, ".sha256"))
        assert change_set == {
            "from": version,
            "list_url": f"{SERVER}/{listed.relative_to(release).as_posix()}",
            "base_url": f"{SERVER}/downloads/changes/{version}-to-1.2.0/files",
            "list_sha256": sha256_of(listed),
            "hashes_url": f"{SERVER}/{hashes.relative_to(release).as_posix()}",
            "hashes_sha256": sha256_of(hashes),
            "list_size": listed.stat().st_size,
            "hashes_size": hashes.stat().st_size,
            "files_size": sum(len(as_bytes(new[name])) for name in changed),
            "files_count": len(changed),
        }
    assert step_file(release, "1.0.0", ".txt").read_text() == \
        "-data/old.txt\ndata/config.ini\nVelda.exe\n"


def test_check_lists_and_verifies_every_change_set(tool, tmp_path):
    release = pack_three_versions(tool, tmp_path)
    result = run(tool, "check", manifest_path(release), "--installed", "1.0.0")
    assert result.returncode == 0, result.stdout
    assert "warning:" not in result.stdout
    for line in [
        # The launcher's plain search still lands on the top-level single fields.
        '  changed_from_version     found      "1.1.0"',
        f'  changed_files_url        found      "{SERVER}/downloads/changes/1.1.0-to-1.2.0/'
        f'velda-changes-1.1.0-to-1.2.0.txt"',
        "Change set from 1.1.0: the changed-files members above",
        "  from 1.1.0: 1 downloads, 0 deletions;",
        "Change set from 1.0.0:",
        "  from 1.0.0: 2 downloads, 1 deletions;",
        # Deployed launchers at 1.0.0 take the package; those that read change sets take theirs.
        "Changed-files no aplica para version local",
        'A launcher that reads "change_sets" and "direct_from", instead:',
        f"  1. changed files from the list {SERVER}/downloads/changes/1.0.0-to-1.2.0/",
        "Result: the release is sound",
    ]:
        assert line in result.stdout, result.stdout


def set_member(name, value):
    def change(text):
        manifest = json.loads(text)
        manifest[name] = value
        return json.dumps(manifest, indent=2)
    return lambda release: edit_manifest(release, change)


DETAIL_TRAPS = [
    ("tampered file of the older set",
     lambda r: (step_file(r, "1.0.0", "").parent / "files/data/config.ini").write_text("mode=9\n"),
     ["change set from 1.0.0: the changed file", "1.0.0-to-1.2.0/files/data/config.ini"]),
    ("direct_from names a set that changes more", set_member("direct_from", ["1.1.0", "1.0.0"]),
     ['"direct_from" names 1.0.0, but its change set changes more than Velda.exe']),
    ("wrong package size", set_member("package_size", 1),
     ['"package_size" is 1, but what it measures is']),
    ("refused member", set_member("unpacked_files", -1),
     ['launchers that read the sizes, "direct_from" and "change_sets" refuse them: '
      '"unpacked_files" is not a whole number']),
]


@pytest.mark.parametrize("name,spoil,warnings", DETAIL_TRAPS, ids=[t[0] for t in DETAIL_TRAPS])
def test_check_flags_each_change_set_trap(tool, tmp_path, name, spoil, warnings):
    release = pack_three_versions(tool, tmp_path)
    spoil(release)
    result = run(tool, "check", manifest_path(release), "--installed", "1.1.0")
    assert result.returncode == 1, result.stdout
    printed = [line for line in result.stdout.splitlines() if line.startswith("warning: ")]
    for warning in warnings:
        assert any(warning in line for line in printed), "\n".join(printed)
