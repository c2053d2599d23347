"""Package extraction end to end: the launcher's extract_zip_with_progress (through
extract_run.exe) starting the PowerShell stand-in of the prefix, reading its output through the
pipe and following its exit code."""

import zipfile
from pathlib import Path

import pytest

from support.scenario import extract_command, extract_script

START_LINE = "[launcher] Descomprimiendo actualizacion..."


PACKAGE_FILES = {
    "Velda.exe": b"MZ" + bytes(range(256)) * 400,
    "data/a.txt": b"new a\r\n",
    "data/maps/level 1/map.bin": b"\x00\x01\x02" * 5000,
    "readme.txt": b"",
}
PACKAGE_DIRS = ["data/", "data/maps/", "empty/nested/"]


def progress_message(done: int, total: int, spanish=False) -> str:
    label = "Descomprimiendo archivos de actualizacion." if spanish else "Extracting update files."
    percent = min(done * 100 // max(total, 1), 100)
    return f"{label} {percent}% ({done}/{max(total, 1)})"


def write_package(path: Path, files=PACKAGE_FILES, dirs=PACKAGE_DIRS) -> int:
    """A package as the release tooling makes it: directory entries first, mixed methods."""
    with zipfile.ZipFile(path, "w") as archive:
        for name in dirs:
            archive.writestr(name, b"")
        for index, (name, body) in enumerate(files.items()):
            method = zipfile.ZIP_STORED if index % 2 else zipfile.ZIP_DEFLATED
            archive.writestr(name, body, compress_type=method)
    return len(dirs) + len(files)


def tree(folder: Path) -> dict:
    """Every file under folder with its bytes, and every directory as name/ -> None."""
    found = {}
    for path in sorted(folder.rglob("*")):
        name = path.relative_to(folder).as_posix()
        found[name + "/" if path.is_dir() else name] = None if path.is_dir() else path.read_bytes()
    return found


def expected_tree(files=PACKAGE_FILES, dirs=PACKAGE_DIRS, extra=None) -> dict:
    found = dict(extra or {})
    for name in dirs:
        parts = name.rstrip("/").split("/")
        for depth in range(1, len(parts) + 1):
            found["/".join(parts[:depth]) + "/"] = None
    for name, body in files.items():
        parts = name.split("/")
        for depth in range(1, len(parts)):
            found["/".join(parts[:depth]) + "/"] = None
        found[name] = body
    return dict(sorted(found.items()))


class Extraction:
    def __init__(self, completed, log_path: Path):
        self.returncode = completed.returncode
        self.stdout = completed.stdout.replace("\r\n", "\n")
        self.stderr = completed.stderr
        self.lines = self.stdout.splitlines()
        self.commands = (log_path.read_text(encoding="utf-8").splitlines()
                         if log_path.exists() else [])

    @property
    def result(self):
        return [line for line in self.lines if line.startswith("result=")]

    @property
    def message(self):
        shown = [line[len("message="):] for line in self.lines if line.startswith("message=")]
        return shown[0] if shown else None


@pytest.fixture
def extract(wine, win_build, tmp_path):
    """extract(zip, dest, env=None, record=True, spanish=False) -> Extraction."""
    runner = win_build / "tests" / "helpers" / "extract_run.exe"
    if not runner.exists():
        pytest.fail(f"{runner} is missing; build the Windows tree", pytrace=False)
    counter = iter(range(1000))

    def run(zip_path: Path, destination: Path, env=None, record=True, spanish=False):
        log_path = tmp_path / f"powershell-{next(counter)}.log"
        args = [runner, wine.win_path(zip_path), wine.win_path(destination)]
        if record:
            args.append("--record")
        if spanish:
            args.append("--spanish")
        merged = {"VELDA_PS_LOG": wine.win_path(log_path), **(env or {})}
        return Extraction(wine.run(args, env=merged, timeout=120), log_path)

    return run


def assert_ran_standin(extraction, wine, zip_path, destination):
    # The stand-in logs its own command line: it, not Wine's stub, is what ran, exactly once,
    # with the launcher's command byte for byte.
    assert extraction.commands == [
        extract_command(wine.win_path(zip_path), wine.win_path(destination))]


def test_prefix_holds_the_standin(wine, win_build):
    built = win_build / "tests" / "helpers" / "powershell_standin.exe"
    assert (wine.system32 / "powershell.exe").read_bytes() == built.read_bytes()
    # Where the launcher looks first.
    assert (wine.system32 / "WindowsPowerShell" / "v1.0" / "powershell.exe").read_bytes() == \
        built.read_bytes()
    assert "powershell.exe=n" in wine.env["WINEDLLOVERRIDES"]


def test_package_unpacks_over_an_installation(wine, extract, tmp_path):
    package = tmp_path / "velda-2.0.0.zip"
    entries = write_package(package)
    install = tmp_path / "velda"
    (install / "data").mkdir(parents=True)
    (install / "data" / "a.txt").write_bytes(b"old a, a longer text than the new one\r\n")
    (install / "data" / "keep.txt").write_bytes(b"not in the package")

    run = extract(package, install)

    assert run.returncode == 0, run.stdout + run.stderr
    assert run.lines[0] == START_LINE
    assert run.result == ["result=true"]
    assert run.message == progress_message(entries, entries)
    assert tree(install) == expected_tree(extra={"data/keep.txt": b"not in the package"})
    assert_ran_standin(run, wine, package, install)


def test_progress_follows_the_language(extract, tmp_path):
    package = tmp_path / "p.zip"
    entries = write_package(package)
    run = extract(package, tmp_path / "out", spanish=True)
    assert run.result == ["result=true"]
    assert run.message == progress_message(entries, entries, spanish=True)


def test_runs_and_succeeds_without_a_popup(wine, extract, tmp_path):
    package = tmp_path / "p.zip"
    write_package(package)
    install = tmp_path / "out"
    run = extract(package, install, record=False)
    assert run.returncode == 0
    assert run.lines == [START_LINE, "result=true"]
    assert tree(install) == expected_tree()
    assert_ran_standin(run, wine, package, install)


def test_empty_archive_shows_one_of_one(wine, extract, tmp_path):
    package = tmp_path / "empty.zip"
    zipfile.ZipFile(package, "w").close()
    install = tmp_path / "out"
    install.mkdir()
    run = extract(package, install)
    assert run.result == ["result=true"]
    assert run.message == progress_message(1, 1)
    assert tree(install) == {}
    assert_ran_standin(run, wine, package, install)


@pytest.mark.parametrize("body", [
    pytest.param(b"PK\x03\x04 this is not an archive" * 20, id="garbage"),
    pytest.param(b"", id="empty-file"),
    pytest.param(None, id="truncated"),
    pytest.param("bad-crc", id="bad-crc"),
])
def test_corrupt_archive_fails(wine, extract, tmp_path, body):
    package = tmp_path / "broken.zip"
    if body is None:
        write_package(package)
        package.write_bytes(package.read_bytes()[:-30])
    elif body == "bad-crc":
        with zipfile.ZipFile(package, "w") as archive:
            archive.writestr("a.bin", b"A" * 4000, compress_type=zipfile.ZIP_STORED)
        data = bytearray(package.read_bytes())
        data[30 + len("a.bin") + 100] ^= 0xFF  # one byte of the stored body
        package.write_bytes(bytes(data))
    else:
        package.write_bytes(body)
    install = tmp_path / "out"
    run = extract(package, install)
    assert run.returncode == 1
    assert run.result == ["result=false"]
    assert run.lines[0] == START_LINE
    assert_ran_standin(run, wine, package, install)


def test_missing_package_fails(wine, extract, tmp_path):
    run = extract(tmp_path / "absent.zip", tmp_path / "out")
    assert run.result == ["result=false"]
    assert run.message == progress_message(0, 1)
    assert len(run.commands) == 1


@pytest.mark.parametrize("folder", [
    pytest.param("Velda Games/velda", id="space"),
    pytest.param("O'Brien/Velda/velda", id="single-quote"),
    pytest.param("it's 'quoted''/velda", id="several-quotes"),
    pytest.param("Juegos ñ/velda", id="ansi-letter"),
    pytest.param("100%s %d/velda", id="percent"),
])
def test_destination_paths_that_need_care(wine, extract, tmp_path, folder):
    install = tmp_path / folder
    install.mkdir(parents=True)
    package = install / "velda-2.0.0.zip"
    write_package(package)
    run = extract(package, install)
    assert run.result == ["result=true"], run.stdout + run.stderr
    assert tree(install) == expected_tree(extra={"velda-2.0.0.zip": package.read_bytes()})
    assert_ran_standin(run, wine, package, install)


# Each fault mode of the stand-in; the result must follow its exit code alone.
FAULTS = [
    pytest.param({"VELDA_PS_SPLIT": "1"}, True, "full", id="one-byte-per-read"),
    pytest.param({"VELDA_PS_NOISE": "2000"}, True, "full", id="long-noise-lines"),
    pytest.param({"VELDA_PS_NOISE": "2000", "VELDA_PS_SPLIT": "1"}, True, "full",
                 id="long-noise-lines-one-byte-per-read"),
    pytest.param({"VELDA_PS_NO_EOL": "1"}, True, "full", id="last-line-without-line-feed"),
    pytest.param({"VELDA_PS_SILENT": "1"}, True, "none", id="no-output"),
    pytest.param({"VELDA_PS_EXIT": "1"}, False, "full", id="exit-1-after-full-progress"),
    pytest.param({"VELDA_PS_EXIT": "259"}, False, "full", id="exit-259"),
    pytest.param({"VELDA_PS_SILENT": "1", "VELDA_PS_EXIT": "1"}, False, "none",
                 id="no-output-exit-1"),
    pytest.param({"VELDA_PS_SLOW_MS": "150"}, True, "full", id="slow"),
]


@pytest.mark.parametrize("env, succeeds, progress", FAULTS)
def test_fault_modes(wine, extract, tmp_path, env, succeeds, progress):
    package = tmp_path / "p.zip"
    entries = write_package(package)
    install = tmp_path / "out"
    run = extract(package, install, env=env)
    assert run.returncode == (0 if succeeds else 1)
    assert run.result == [f"result={'true' if succeeds else 'false'}"]
    assert run.lines[0] == START_LINE
    expected = progress_message(entries, entries) if progress == "full" else progress_message(0, 1)
    assert run.message == expected
    # Files written before the child's failure stay.
    assert tree(install) == expected_tree()
    assert_ran_standin(run, wine, package, install)


def run_standin(wine, zip_path, destination, first_error_ends):
    """The stand-in started straight from a test with the command of either form; the
    launcher's form gets both paths in its environment."""
    script = extract_script(wine.win_path(zip_path), wine.win_path(destination), first_error_ends)
    env = {"VELDA_EXTRACT_ZIP": wine.win_path(zip_path),
           "VELDA_EXTRACT_DEST": wine.win_path(destination)} if first_error_ends else None
    return wine.run([wine.system32 / "powershell.exe", "-NoLogo", "-NoProfile", "-ExecutionPolicy",
                     "Bypass", "-Command", script], env=env, timeout=60)


FORMS = [pytest.param(False, id="script-as-it-stands"),
         pytest.param(True, id="first-error-ends")]


@pytest.mark.parametrize("first_error_ends", FORMS)
def test_entry_that_cannot_be_written(wine, tmp_path, first_error_ends):
    # A folder stands where the package has a file. Left to itself the script reports the failed
    # entry, goes on and exits 0 (the launcher would stamp a half-written installation); the
    # guarded form stops at that entry with exit code 1.
    package = tmp_path / "p.zip"
    files = {"first.txt": b"1", "data/config.ini": b"mode=2", "last.txt": b"3"}
    write_package(package, files=files, dirs=[])
    install = tmp_path / "out"
    (install / "data" / "config.ini").mkdir(parents=True)

    run = run_standin(wine, package, install, first_error_ends)

    assert "ExtractToFile" in run.stderr, run.stderr
    progress = run.stdout.splitlines()
    if first_error_ends:
        assert (run.returncode, progress) == (1, ["PROGRESS:1:3"])
        assert tree(install) == {"data/": None, "data/config.ini/": None, "first.txt": b"1"}
    else:
        assert (run.returncode, progress) == (0, ["PROGRESS:1:3", "PROGRESS:2:3", "PROGRESS:3:3"])
        assert tree(install) == {"data/": None, "data/config.ini/": None, "first.txt": b"1",
                                 "last.txt": b"3"}


@pytest.mark.parametrize("first_error_ends", FORMS)
def test_package_that_cannot_be_opened_fails_in_both_forms(wine, tmp_path, first_error_ends):
    run = run_standin(wine, tmp_path / "absent.zip", tmp_path / "out", first_error_ends)
    assert run.returncode == 1 and "OpenRead" in run.stderr, run.stderr
    # Left to itself, the script walks a null archive and fails only on its last statement.
    assert run.stdout.splitlines() == ([] if first_error_ends else ["PROGRESS:1:1"])


def test_standin_refuses_any_other_command(wine, tmp_path):
    # A launcher whose command drifted would fail with exit code 2 instead of passing unnoticed.
    log_path = tmp_path / "ps.log"
    probe = wine.run([wine.system32 / "powershell.exe", "-NoLogo", "-Command", "Get-Date"],
                     env={"VELDA_PS_LOG": wine.win_path(log_path)}, timeout=60)
    assert probe.returncode == 2
    assert "not the extraction command" in probe.stderr
    assert len(log_path.read_text(encoding="utf-8").splitlines()) == 1
