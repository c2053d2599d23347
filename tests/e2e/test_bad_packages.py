"""Crafted packages served to the real launcher: a package with one entry that would land outside
the install folder, or whose directory cannot be read, is refused whole before the extraction
child starts; nothing is written inside or outside the install folder, the box comes and the run
ends with 1. A ZIP64 package with sound names still installs."""

import pytest

from support import evil_zip
from support.faults import (CLEANING, DIRECT, DIRECT_FAILED, EXTRACT_BOX, EXTRACTING, FOUND,
                            NEW_PAK, NOTHING_TO_KILL, PACKAGE, QUERYING, UNREADABLE_PACKAGE,
                            Product, assert_no_leftovers, describe_difference, old_files,
                            refused_entry_line, snapshot, with_dirs, write_tree)
from support.faults import install, product, ps_log  # noqa: F401 (fixtures)
from support.release import Release

BEFORE_EXTRACTION = [QUERYING, FOUND, DIRECT, DIRECT_FAILED, CLEANING, PACKAGE]
ESCAPED = "escaped.txt"


def escaped_copies(wine, tmp_path) -> list:
    """Every place an escaping entry could have reached: the test's own folders, the roots of
    drives C: and Z:, and the folders a drive-relative name resolves against."""
    fixed = [wine.prefix / "drive_c" / ESCAPED, wine.prefix / "drive_c" / "windows" / ESCAPED,
             wine.system32 / ESCAPED]
    return [p for p in fixed if p.exists()] + sorted(tmp_path.rglob(ESCAPED))


def serve(release, body: bytes):
    """The package is the means: the executable alone is not on the server (404)."""
    release.publish_package(body=body)
    release.publish_manifest()


def assert_refused(wine, run, log, install, before, tmp_path, line):
    assert run.exit_code == 1, run.describe()
    assert run.lines == [*BEFORE_EXTRACTION, line], run.describe()
    assert run.box is not None and run.box.text == EXTRACT_BOX, run.describe()
    assert run.box.caption == "Velda Launcher" and not run.box.status_window
    assert run.starts == []
    # The extraction child never ran, so nothing of the package was written anywhere.
    assert not log.exists(), log.read_text()
    after = snapshot(install)
    assert after == before, describe_difference(before, after)
    # The package was never installed: its mark stays, so the next run takes the package again.
    assert_no_leftovers(install.parent, package_unfinished=True)
    assert escaped_copies(wine, tmp_path) == []


ESCAPING = [pytest.param(kind, wide, id=f"{kind}{'-zip64' if wide else ''}")
            for kind in evil_zip.ESCAPING_NAMES for wide in (False, True)]


@pytest.mark.parametrize("kind, zip64", ESCAPING)
def test_escaping_entry_refuses_the_whole_package(wine, https_server, standin_exe, product,
                                                  install, run_launcher, ps_log, tmp_path, kind,
                                                  zip64):
    log, env = ps_log
    before = snapshot(install)
    name = evil_zip.ESCAPING_NAMES[kind]
    # A sound Velda.exe comes first: the refusal is for the package as a whole.
    serve(Release(https_server, standin_exe), evil_zip.build_zip(
        [("Velda.exe", product("package")), (name, b"outside")], zip64=zip64))

    run = run_launcher(install.parent, env=env, expect_box=True)

    assert_refused(wine, run, log, install, before, tmp_path, refused_entry_line(name))


def test_escaping_unicode_path_field_refuses_the_package(wine, https_server, standin_exe,
                                                         product, install, run_launcher, ps_log,
                                                         tmp_path):
    # The plain name is sound; the Unicode path field, which extractors may prefer, is not.
    log, env = ps_log
    before = snapshot(install)
    serve(Release(https_server, standin_exe), evil_zip.build_zip(
        [("Velda.exe", product("package")), ("notes.txt", b"outside")],
        unicode_paths={1: "../" + ESCAPED}))

    run = run_launcher(install.parent, env=env, expect_box=True)

    assert_refused(wine, run, log, install, before, tmp_path, refused_entry_line("../" + ESCAPED))


def _truncated(product):
    return evil_zip.build_zip([("Velda.exe", product("package"))])[:-8]


def _false_zip64_count(product):
    body = bytearray(evil_zip.build_zip([("Velda.exe", product("package"))], zip64=True))
    # The ZIP64 end record says two entries where the directory holds one.
    record = body.rindex(b"PK\x06\x06")
    body[record + 24:record + 40] = (2).to_bytes(8, "little") * 2
    return bytes(body)


@pytest.mark.parametrize("make", [
    pytest.param(_truncated, id="end-record-cut"),
    pytest.param(_false_zip64_count, id="zip64-count-disagrees"),
    pytest.param(lambda product: b"PK\x03\x04 this is not a whole archive", id="not-an-archive"),
])
def test_unreadable_directory_refuses_the_package(wine, https_server, standin_exe, product,
                                                  install, run_launcher, ps_log, tmp_path, make):
    log, env = ps_log
    before = snapshot(install)
    serve(Release(https_server, standin_exe), make(product))

    run = run_launcher(install.parent, env=env, expect_box=True)

    assert_refused(wine, run, log, install, before, tmp_path, UNREADABLE_PACKAGE)


def test_zip64_package_with_sound_names_installs(wine, https_server, standin_exe, product,
                                                 install, run_launcher, ps_log):
    log, env = ps_log
    entries = [("Velda.exe", product("zip64")), ("data/", b""), ("data/levels.pak", NEW_PAK),
               ("docs/v2..3/read me.txt", b"dots inside a name are fine")]
    body = bytearray(evil_zip.build_zip(entries, zip64=True))
    # The classic end record's disk numbers at 0 rather than saturated: the PowerShell stand-in
    # takes a saturated disk number for a multi-disk archive.
    end = body.rindex(b"PK\x05\x06")
    body[end + 4:end + 8] = bytes(4)
    serve(Release(https_server, standin_exe), bytes(body))

    run = run_launcher(install.parent, env=env)

    assert run.exit_code == 0, run.describe()
    # The product is ended right before the commit.
    assert run.lines == [*BEFORE_EXTRACTION, EXTRACTING, NOTHING_TO_KILL]
    assert [s["tag"] for s in run.starts] == ["zip64"]
    assert len(log.read_text().splitlines()) == 1
    expected = with_dirs({**old_files(product), "Velda.exe": product("zip64"),
                          "data/levels.pak": NEW_PAK, "velda.version": b"2.0.0",
                          "docs/v2..3/read me.txt": b"dots inside a name are fine"})
    after = snapshot(install)
    assert after == expected, describe_difference(expected, after)
    assert_no_leftovers(install.parent)
