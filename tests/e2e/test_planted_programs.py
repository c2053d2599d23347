"""Files of system names planted beside the launcher or in its current folder are never taken:
every child starts by its full path in system32 (PowerShell to unpack, cmd.exe for
Run-Velda.bat), and winhttp.dll and bcrypt.dll come from system32 alone. A plain program shows
that the same files would be taken. Folder names that PowerShell would read as code reach it
through its environment: the script names no path."""

import json
import shutil
import zipfile

import pytest

from support.release import PRODUCT, Release, tree
from support.scenario import (FIRST_ERROR_ENDS, EXTRACT_SCRIPT_BODY, QUOTED_PATHS, extract_record,
                              extract_script, launcher_extract_command, put_run_velda_bat,
                              put_standin, write_stamp)
from support.wine import DLL_OVERRIDES

PROGRAMS = ("cmd.exe", "powershell.exe", "taskkill.exe")
DLLS = ("winhttp.dll", "bcrypt.dll")
# Native first for every planted name, so Wine takes a planted file wherever Windows would.
OVERRIDES = DLL_OVERRIDES + ";winhttp,bcrypt=n,b;cmd.exe,taskkill.exe=n,b"
QUOTES = ("'", "\u2018", "\u2019", "\u201a", "\u201b")


def plant(helpers, folder):
    """Each planted program records its runs in <name>.ran, each DLL its loads in <name>.loaded."""
    folder.mkdir(parents=True, exist_ok=True)
    for name in PROGRAMS:
        shutil.copyfile(helpers / "planted_program.exe", folder / name)
    for name in DLLS:
        shutil.copyfile(helpers / "planted_dll.dll", folder / name)
    (folder / "taskkill.bat").write_bytes(b'@echo %0 %*>>"%~f0.ran"\r\n')


def marks(*folders) -> dict:
    return {str(path): path.read_text(errors="replace")
            for folder in folders for pattern in ("*.ran", "*.loaded")
            for path in folder.glob(pattern)}


def records(log) -> list:
    return [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines()] \
        if log.exists() else []


@pytest.fixture
def helpers(win_build):
    return win_build / "tests" / "helpers"


@pytest.mark.parametrize("where, command", [
    pytest.param(where, command, id=f"{where}-{command.split()[0]}")
    for where in ("own-folder", "current-folder")
    for command in ("powershell -NoLogo", "cmd.exe /C exit", "taskkill /F /IM Velda.exe")])
def test_a_plain_program_takes_what_is_planted(wine, helpers, tmp_path, where, command):
    # The control: what the launcher must not do, a program that takes no care does.
    planted = tmp_path / "planted"
    plant(helpers, planted)
    probe_folder = planted if where == "own-folder" else tmp_path / "probe"
    probe_folder.mkdir(exist_ok=True)
    shutil.copyfile(helpers / "dll_probe.exe", probe_folder / "probe.exe")

    run = wine.run([probe_folder / "probe.exe", "--run", command],
                   env={"WINEDLLOVERRIDES": OVERRIDES}, cwd=tmp_path / "planted", timeout=60)

    assert run.stdout.splitlines() == ["probe started", "child exit=0"], run.stdout + run.stderr
    program = command.split()[0].removesuffix(".exe") + ".exe"
    assert (planted / f"{program}.ran").read_text().startswith(command.split()[0])
    # A DLL's marker takes the name as the probe imported it ("WINHTTP.dll").
    loaded = {path.name.lower().removesuffix(".loaded") for path in planted.glob("*.loaded")}
    assert loaded == (set(DLLS) if where == "own-folder" else set())


def first_installation(https_server, standin_exe, folder):
    release = Release(https_server, standin_exe)
    release.publish_package([("Velda.exe", PRODUCT), ("data/a.txt", b"a")])
    release.publish_manifest()
    return "package"


def package_update(https_server, standin_exe, folder):
    put_standin(standin_exe, folder / "velda" / "Velda.exe", "old")
    write_stamp(folder / "velda", "1.0.0")
    return first_installation(https_server, standin_exe, folder)


def run_velda_bat(https_server, standin_exe, folder):
    put_run_velda_bat(standin_exe, folder, "bat")  # no manifest: the local start, through cmd
    return "bat"


@pytest.mark.parametrize("scenario", [first_installation, package_update, run_velda_bat],
                         ids=["first-installation", "update", "run-velda-bat"])
def test_planted_files_are_never_taken(wine, https_server, standin_exe, helpers,
                                       make_launcher_dir, run_launcher, tmp_path, scenario):
    folder = make_launcher_dir()
    cwd = tmp_path / "current"
    plant(helpers, folder)
    plant(helpers, cwd)
    tag = scenario(https_server, standin_exe, folder)
    ps_log = tmp_path / "powershell.log"

    run = run_launcher(folder, cwd=cwd, env={"WINEDLLOVERRIDES": OVERRIDES,
                                             "VELDA_PS_LOG": wine.win_path(ps_log)})

    assert run.exit_code == 0, run.describe()
    assert [start["tag"] for start in run.starts] == [tag], run.describe()
    assert marks(folder, cwd) == {}
    # PowerShell ran once, and it was the stand-in of system32.
    assert [r["command_line"] for r in records(ps_log)] == \
        ([] if tag == "bat" else [launcher_extract_command()])


FOLDER_NAMES = [
    pytest.param("O'Brien", id="apostrophe"),
    pytest.param("\u2018left", id="left-quote"),
    pytest.param("right\u2019s", id="right-quote"),
    pytest.param("low\u201aquote", id="low-quote"),
    pytest.param("\u201breversed", id="reversed-quote"),
    pytest.param("$(New-Item pwned)", id="subexpression"),
    pytest.param("tick`n", id="backtick"),
    pytest.param("a;b", id="semicolon"),
]


@pytest.mark.parametrize("name", FOLDER_NAMES)
def test_folder_names_reach_powershell_through_its_environment(
        wine, https_server, standin_exe, make_launcher_dir, run_launcher, tmp_path, name):
    folder = make_launcher_dir(f"Velda {name} games")
    install = folder / "velda"
    staged = wine.win_path(folder / "velda.staging" / "new")
    ps_log = tmp_path / "powershell.log"
    env = {"VELDA_PS_LOG": wine.win_path(ps_log)}

    first = Release(https_server, standin_exe)
    first.publish_package([("Velda.exe", PRODUCT), ("data/a.txt", b"a")])
    first.publish_manifest()
    installed = run_launcher(folder, env=env)
    https_server.reset()
    update = Release(https_server, standin_exe, version="2.1.0", package_name="Velda-2.1.0.zip")
    update.publish_package([("Velda.exe", PRODUCT), ("data/b.txt", b"b")], tag="update")
    update.publish_manifest()
    updated = run_launcher(folder, env=env)

    for run, tag in ((installed, "package"), (updated, "update")):
        assert run.exit_code == 0, run.describe()
        assert [start["tag"] for start in run.starts] == [tag], run.describe()
        # The paths went to PowerShell alone, not into the launcher's own environment.
        assert not {"VELDA_EXTRACT_ZIP", "VELDA_EXTRACT_DEST"} & set(run.starts[0])
    assert records(ps_log) == [
        extract_record(launcher_extract_command(), wine.win_path(install / package), staged)
        for package in ("Velda-2.0.0.zip", "Velda-2.1.0.zip")]
    assert tree(install, keep_journal=False) == {"Velda.exe", "velda.version", "data/",
                                                 "data/a.txt", "data/b.txt"}
    assert (install / "velda.version").read_bytes() == b"2.1.0"


def run_standin(wine, script, env=None):
    return wine.run([wine.system32 / "powershell.exe", "-NoLogo", "-NoProfile", "-ExecutionPolicy",
                     "Bypass", "-Command", script], env=env, timeout=60)


def double_every_quote(text):
    return "".join(c + c if c in QUOTES else c for c in text)


@pytest.mark.parametrize("quote", [pytest.param(q, id=f"U+{ord(q):04X}") for q in QUOTES])
def test_standin_reads_quotes_as_powershell_and_refuses_a_path_in_the_launchers_form(
        wine, tmp_path, quote):
    folder = tmp_path / f"a{quote}b"
    folder.mkdir()
    package = folder / "p.zip"
    with zipfile.ZipFile(package, "w") as archive:
        archive.writestr("x.txt", b"x")
    zip_path, dest = wine.win_path(package), wine.win_path(folder / "out")

    # The launcher's form with the paths in its text, however they are escaped: refused.
    carried = run_standin(wine, FIRST_ERROR_ENDS[0] + QUOTED_PATHS % (
        double_every_quote(zip_path), double_every_quote(dest)) + EXTRACT_SCRIPT_BODY +
        FIRST_ERROR_ENDS[1])
    assert carried.returncode == 2 and "carries a path" in carried.stderr, carried.stderr
    # The script as it stands with only ' doubled: any other quote ends the string early, a
    # parse error, as it would be in PowerShell.
    only_apostrophes = run_standin(wine, extract_script(zip_path, dest, first_error_ends=False))
    assert only_apostrophes.returncode == (0 if quote == "'" else 2), only_apostrophes.stderr
    # Every quote doubled reads back the path; the launcher's form reads it from the variables.
    every_quote = run_standin(wine, extract_script(zip_path, dest, first_error_ends=False,
                                                   quote=double_every_quote))
    from_environment = run_standin(wine, extract_script(), env={
        "VELDA_EXTRACT_ZIP": zip_path, "VELDA_EXTRACT_DEST": dest})
    for run in (every_quote, from_environment):
        assert (run.returncode, run.stdout.split()) == (0, ["PROGRESS:1:1"]), run.stderr
    assert (folder / "out" / "x.txt").read_bytes() == b"x"
    # Unset, the launcher's form fails as PowerShell does on a null path.
    unset = run_standin(wine, extract_script())
    assert unset.returncode == 1 and "OpenRead" in unset.stderr, unset.stderr
