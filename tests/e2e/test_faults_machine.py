"""Faults of the machine: the launcher ended in the middle of an update, a running product that
keeps Velda.exe open, read-only files. After each, the product starts and a later run finishes
the update; what an interrupted run leaves behind must not outlive the next run."""

import subprocess
from urllib.parse import urlsplit

import pytest

from support.faults import (CHANGED_FAILED, CHANGED_OK, CHANGED_START, CLEANING, DIRECT,
                            DIRECT_FAILED, EXTRACT_BOX, EXTRACTING, FOUND, KILLED, NOTHING_TO_KILL,
                            LIST_NAME, NEW_CONFIG, NEW_PAK, OLD_CONFIG, PACKAGE, PACKAGE_NAME, PAK,
                            PARTIAL, QUERYING, UNFINISHED, ZIP_BOX, LeftoverFiles, Product,
                            assert_no_leftovers, attributes,
                            describe_difference, installed_by, old_files, read_only, snapshot,
                            taskkill_folder, wait_for_end, with_dirs, write_tree)
from support.launcher import KILLED_EXIT_CODE, read_records, wait_records
from support.faults import install, product, ps_log  # noqa: F401 (fixtures)
from support.release import DIRECT_PATH, PRODUCT, Release
from support.scenario import hold_route

def with_support_log(wine, tmp_path, env=None):
    """The environment with a support log folder of the test's own, and the log's path."""
    local = tmp_path / "local appdata"
    local.mkdir(exist_ok=True)
    return {**(env or {}), "LOCALAPPDATA": wine.win_path(local)}, local / "VeldaNova" / "launcher.log"


def support_details(log) -> list:
    """The messages of the support log's detail lines."""
    text = log.read_bytes().decode("utf-8")
    return [line.split(" [detalle] ", 1)[1] for line in text.split("\r\n") if " [detalle] " in line]


# Up to the unpacking into staging; the product is ended right before each means' commit.
PACKAGE_ONLY = [QUERYING, FOUND, DIRECT, DIRECT_FAILED, CLEANING, PACKAGE, EXTRACTING]
DIRECT_ONLY = [QUERYING, FOUND, DIRECT, NOTHING_TO_KILL]
# After a package installation that never reached its stamp: neither the changed files nor the
# executable alone, which would stamp a folder that lacks the package's other files.
UNFINISHED_PACKAGE = [QUERYING, FOUND, UNFINISHED, CLEANING, PACKAGE, EXTRACTING,
                      NOTHING_TO_KILL]
CHANGED_ONLY = [QUERYING, FOUND, CHANGED_START, NOTHING_TO_KILL, CHANGED_OK]
PACKAGE_ENTRIES = [("Velda.exe", PRODUCT), (PAK, NEW_PAK), ("data/config.ini", NEW_CONFIG)]
# Written first by the extraction: once it exists the extraction is under way.
FIRST_ENTRY = "docs/whats-new.txt"


def staged(install):
    """Where a means puts the files that its commit moves into install."""
    return install.parent / f"{install.name}.staging" / "new"


@pytest.fixture
def release(https_server, standin_exe) -> Release:
    return Release(https_server, standin_exe)


def assert_killed(run):
    assert run.exit_code == KILLED_EXIT_CODE and "killed=file" in run.stderr, run.describe()
    assert run.box is None and run.starts == [], run.describe()


def assert_started(wine, run, install, tag):
    assert run.exit_code == 0, run.describe()
    assert [s["tag"] for s in run.starts] == [tag], run.describe()
    assert run.starts[0]["exe"] == wine.win_path(install / "Velda.exe")


def assert_holds(folder, expected):
    actual = snapshot(folder)
    assert actual == expected, describe_difference(expected, actual)


def url_path(url: str) -> str:
    return urlsplit(url).path


# What the server offers the next run; it takes the package either way.
NEXT_OFFER = [pytest.param("package", id="next-run-offered-the-package"),
              pytest.param("direct", id="next-run-offered-the-executable-too")]


# -- ended in the middle ------------------------------------------------------------------------


@pytest.mark.parametrize("installed, next_offer", [
    pytest.param(False, "package", id="first-installation-next-run-offered-the-package"),
    pytest.param(False, "direct", id="first-installation-next-run-offered-the-executable-too"),
    pytest.param(True, "direct", id="after-failed-executable-next-run-offered-it-again"),
])
def test_killed_during_package_download(wine, release, product, launcher_dir, start_launcher,
                                        run_launcher, installed, next_offer):
    # A first installation makes the install folder in the run that is ended; an installed 1.0.0
    # enters the package when the executable alone fails (404 here).
    install = launcher_dir / "velda"
    if installed:
        write_tree(install, old_files(product))
    before = snapshot(install) if installed else {}
    body = release.package(PACKAGE_ENTRIES)
    hold = hold_route(release.server, release.package_path, body)
    release.publish_manifest()
    part = install / f"{PACKAGE_NAME}{PARTIAL}"

    try:
        run = start_launcher(launcher_dir, kill_when_exists=part).wait()
    finally:
        hold.release()

    assert_killed(run)
    assert run.lines == ([QUERYING, FOUND, DIRECT, DIRECT_FAILED, CLEANING, PACKAGE]
                         if installed else [QUERYING, FOUND, CLEANING, PACKAGE])
    assert set(snapshot(install)) == set(before) | {part.name}

    release.server.reset()
    release.publish_package(PACKAGE_ENTRIES)
    if next_offer == "direct":
        release.publish_direct()
    release.publish_manifest()
    again = run_launcher(launcher_dir)

    # The folder exists now, but the journal still marks the unfinished package: the next run
    # installs the whole package rather than the executable alone.
    assert_no_leftovers(launcher_dir)
    assert again.lines == UNFINISHED_PACKAGE, again.describe()
    assert release.server.requests_for(DIRECT_PATH) == []
    assert_started(wine, again, install, "package")
    assert_holds(install, installed_by("package", product, before))


@pytest.mark.parametrize("next_offer", [*NEXT_OFFER, pytest.param(
    "direct-2.0.1", id="next-release-offered-the-executable-too")])
def test_killed_during_extraction(wine, https_server, release, product, install, start_launcher,
                                  run_launcher, ps_log, next_offer):
    log, env = ps_log
    before = snapshot(install)
    package = release.publish_package([(FIRST_ENTRY, b"2.0.0 notes"), *PACKAGE_ENTRIES])
    release.publish_manifest()  # without the executable alone: the package is the means

    run = start_launcher(install.parent, env={**env, "VELDA_PS_SLOW_MS": "300"},
                         kill_when_exists=staged(install) / FIRST_ENTRY).wait()

    assert_killed(run)
    assert run.lines == PACKAGE_ONLY
    assert len(log.read_text().splitlines()) == 1
    # The extraction child outlives the launcher and finishes in staging; the installation is
    # 1.0.0 as it was, the package beside it.
    wait_for_end(wine, "powershell.exe")
    assert_holds(install, {**before, PACKAGE_NAME: package.body})

    https_server.reset()
    if next_offer == "direct-2.0.1":
        release = Release(https_server, release.standin_exe, "2.0.1", "Velda-2.0.1.zip")
    release.publish_package(PACKAGE_ENTRIES)
    if next_offer != "package":
        release.publish_direct()
    release.publish_manifest()
    again = run_launcher(install.parent, env=env)

    # The stamp says 1.0.0 and the folder existed, but the extraction was never confirmed: the
    # package, not the executable alone, brings the installation to the server's version. The
    # first run's staging folder, without a record, is dropped whole.
    found = f"Version encontrada en server: {release.version}"
    assert again.lines == [QUERYING, found, *UNFINISHED_PACKAGE[2:]], again.describe()
    assert release.server.requests_for(DIRECT_PATH) == []
    assert_started(wine, again, install, "package")
    assert_no_leftovers(install.parent)
    assert_holds(install, {**installed_by("package", product, before),
                           "velda.version": release.version.encode()})


def test_folder_where_the_package_has_a_file(wine, release, product, install, run_launcher,
                                             ps_log, tmp_path):
    # The commit cannot put data/config.ini where a folder stands: the run must fail rather than
    # stamp a half-changed installation, and a later run, the folder gone, completes the package.
    log, env = ps_log
    env, support_log = with_support_log(wine, tmp_path, env)
    before = snapshot(install)
    blocker = install / "data" / "config.ini"
    blocker.unlink()
    (blocker / "notes.txt").parent.mkdir()
    (blocker / "notes.txt").write_bytes(b"in the way")
    blocked = snapshot(install)
    release.publish_package(PACKAGE_ENTRIES)
    release.publish_manifest()

    run = run_launcher(install.parent, env=env, expect_box=True)

    assert run.exit_code == 1 and run.starts == [], run.describe()
    # The package unpacks whole into staging; the commit that follows is refused.
    assert run.lines == [*PACKAGE_ONLY, NOTHING_TO_KILL], run.describe()
    assert run.box.text == EXTRACT_BOX
    # Support sees that the commit did not begin: a file cannot take a folder's place.
    commit = [d for d in support_details(support_log)
              if d.startswith("Fallo en cambio de la instalacion")]
    assert len(commit) == 1, support_details(support_log)
    assert commit[0].startswith("Fallo en cambio de la instalacion: no se pudo empezar a cambiar "
                                "la instalacion"), commit
    # Nothing of the package stays: the installation is 1.0.0 as it was, stamp included.
    assert_holds(install, blocked)
    assert_no_leftovers(install.parent, package_unfinished=True)

    (blocker / "notes.txt").unlink()
    blocker.rmdir()
    release.publish_direct()
    again = run_launcher(install.parent, env=env)

    assert again.lines == UNFINISHED_PACKAGE, again.describe()
    assert_started(wine, again, install, "package")
    assert len(log.read_text().splitlines()) == 2
    assert_no_leftovers(install.parent)
    assert_holds(install, installed_by("package", product, before))


def changed_release(release, lines):
    files = {PAK: NEW_PAK, "Velda.exe": PRODUCT, "data/config.ini": NEW_CONFIG}
    return release.publish_changed_files(lines, {text: files[text] for text in lines})


# Where the run is ended, and the means of the next run. A run ended during a changed file leaves
# the list behind; the next run removes it whichever means it takes.


@pytest.mark.parametrize("stage, next_means", [
    pytest.param("list", "changed", id="during-list-next-run-takes-the-changed-files"),
    pytest.param("list", "direct", id="during-list-next-run-takes-the-executable"),
    pytest.param("file", "changed", id="during-file-next-run-takes-the-changed-files"),
    pytest.param("file", "direct", id="during-file-next-run-takes-the-executable"),
])
def test_killed_during_changed_files(wine, release, product, install, start_launcher,
                                     run_launcher, stage, next_means):
    before = snapshot(install)
    changed = changed_release(release, [PAK, "Velda.exe"])
    release.publish_manifest(changed)
    if stage == "list":
        path, body = url_path(changed.list_url), changed.list_route.body
        trigger = install / f"{LIST_NAME}{PARTIAL}"
    else:
        # The first changed file, in a subfolder.
        path, body = f"{url_path(changed.base_url)}/{PAK}", NEW_PAK
        trigger = staged(install) / f"{PAK}{PARTIAL}"
    hold = hold_route(release.server, path, body)

    try:
        run = start_launcher(install.parent, kill_when_exists=trigger).wait()
    finally:
        hold.release()

    assert_killed(run)
    assert run.lines == [QUERYING, FOUND, CHANGED_START]
    # A changed file is fetched into staging: the installation holds at most the list.
    left = {(trigger if stage == "list" else install / LIST_NAME).relative_to(install).as_posix()}
    assert_holds(install, {**before, **{name: snapshot(install)[name] for name in left}})

    release.server.reset()
    release.publish_direct()
    if next_means == "changed":
        release.publish_manifest(changed_release(release, [PAK, "Velda.exe"]))
    else:
        release.publish_manifest()
    again = run_launcher(install.parent)

    assert again.lines == (CHANGED_ONLY if next_means == "changed" else DIRECT_ONLY), \
        again.describe()
    assert_started(wine, again, install, next_means)
    assert_no_leftovers(install.parent)
    assert_holds(install, installed_by(next_means, product, before))


# -- a running product --------------------------------------------------------------------------


def test_running_product_is_ended_before_the_changed_files_commit(wine, release, product,
                                                                  install, run_launcher,
                                                                  tmp_path):
    before = snapshot(install)
    release.publish_manifest(changed_release(release, [PAK, "Velda.exe"]))
    release.publish_direct()
    record = tmp_path / "running.jsonl"
    running = wine.popen([install / "Velda.exe"],
                         env={"VELDA_STANDIN_STAY": "60000",
                              "VELDA_STANDIN_RECORD": wine.win_path(record)},
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cwd = taskkill_folder(tmp_path / "cwd")
    try:
        assert wait_records(record, 1, 20), "the running product did not start"
        run = run_launcher(install.parent, cwd=cwd)
        running.wait(10)
    finally:
        if running.poll() is None:
            running.kill()
            running.wait(10)

    # The running product holds Velda.exe open; once every changed file is staged the launcher
    # itself ends it (no taskkill runs), and the commit replaces Velda.exe with the rest.
    assert run.lines == [QUERYING, FOUND, CHANGED_START, KILLED, CHANGED_OK]
    assert not (cwd / "taskkill-args.txt").exists()
    assert [r["tag"] for r in read_records(record)] == ["old"]
    assert_started(wine, run, install, "changed")
    assert release.server.requests_for(DIRECT_PATH) == []
    assert_holds(install, installed_by("changed", product, before))
    assert_no_leftovers(install.parent)


# -- read-only files ----------------------------------------------------------------------------


def test_read_only_stamp_is_left_and_the_next_run_decides_again(wine, release, product, install,
                                                                run_launcher, tmp_path):
    env, support_log = with_support_log(wine, tmp_path)
    before = snapshot(install)
    stamp = install / "velda.version"
    release.publish_manifest(changed_release(release, [PAK, "Velda.exe"]))

    # The stamp comes with the commit: a stamp that cannot be replaced undoes the changed files
    # whole, and the means after them (absent here) fail too. The installation stays 1.0.0
    # whole, and the next run still sees 1.0.0 and tries again, from the unfinished package.
    expected = [[QUERYING, FOUND, CHANGED_START, NOTHING_TO_KILL, CHANGED_FAILED, DIRECT,
                 DIRECT_FAILED, CLEANING, PACKAGE],
                [QUERYING, FOUND, UNFINISHED, CLEANING, PACKAGE]]
    with read_only(wine, stamp):
        assert "R" in attributes(wine, stamp)
        for lines in expected:
            run = run_launcher(install.parent, env=env, expect_box=True)
            assert run.lines == lines, run.describe()
            assert run.exit_code == 1 and run.starts == [], run.describe()
            assert run.box.text == ZIP_BOX
            assert_holds(install, before)
            assert_no_leftovers(install.parent, package_unfinished=True)

    # Support's log says why the changed files failed.
    undone = [d for d in support_details(support_log) if d.startswith(
        "Fallo en cambio de la instalacion: un archivo no se pudo reemplazar; se repuso la "
        "version anterior")]
    assert len(undone) == 1, support_details(support_log)

    release.publish_package(PACKAGE_ENTRIES)
    run = run_launcher(install.parent)
    assert run.lines == UNFINISHED_PACKAGE, run.describe()
    assert_holds(install, installed_by("package", product, before))


@pytest.mark.parametrize("line, reason", [
    ("../escaped.txt", 'ruta con ".."'),
    ("-", "borrado sin ruta"),
    ("C:/Windows/x.dll", "ruta con dos puntos"),
])
def test_refused_changed_files_line_reaches_the_support_log(wine, release, product, install,
                                                            run_launcher, tmp_path, line, reason):
    env, support_log = with_support_log(wine, tmp_path)
    release.publish_manifest(release.publish_changed_files([line], {}))
    release.publish_direct()

    run = run_launcher(install.parent, env=env)

    assert run.lines == [QUERYING, FOUND, CHANGED_START, CHANGED_FAILED, DIRECT, NOTHING_TO_KILL]
    assert f"Fallo en archivos modificados: linea rechazada ({reason}): {line}" in \
        support_details(support_log), support_details(support_log)


def test_read_only_file_makes_the_changed_files_fail_and_the_fallback_takes_over(
        wine, release, product, install, run_launcher):
    before = snapshot(install)
    config = install / "data" / "config.ini"
    release.publish_manifest(changed_release(release, ["data/config.ini", "Velda.exe"]))
    release.publish_direct()

    with read_only(wine, config):
        run = run_launcher(install.parent)
        assert "R" in attributes(wine, config)
        after = snapshot(install)

    # Staged whole, then undone by the commit that cannot replace the read-only file.
    assert run.lines == [QUERYING, FOUND, CHANGED_START, NOTHING_TO_KILL, CHANGED_FAILED, DIRECT,
                         NOTHING_TO_KILL]
    assert_started(wine, run, install, "direct")
    # Nothing is lost: the read-only file keeps its content.
    expected = installed_by("direct", product, before)
    assert after == expected, describe_difference(expected, after)
    assert after["data/config.ini"] == OLD_CONFIG
    assert_no_leftovers(install.parent)
