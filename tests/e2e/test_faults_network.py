"""Network faults on each of the five downloads of an update: the manifest, the changed-files
list, one changed file, the executable alone and the full package. Every fault ends as the
launcher's sequence says it must, leaves the install folder whole (the old files byte for byte,
nothing temporary), and a later run against a healthy server completes the update."""

import pytest

from support.faults import (CHANGED_FAILED, CHANGED_OK, CHANGED_START, CLEANING, DIRECT,
                            DIRECT_FAILED, DOWNLOADS, EXTRACTING, FAULTS, FOUND, MOVED,
                            NOT_DOWNLOADED, NOTHING_TO_KILL, PACKAGE, PACKAGE_NAME, PARTIAL,
                            QUERYING, TLS_FAULTS, UNFINISHED, UP_TO_DATE, ZIP_BOX, FaultyRelease,
                            Product,
                            assert_no_leftovers, describe_difference, installed_by, old_files,
                            snapshot, write_tree)
from support.scenario import Hold

# What a run does when every download answers, by the means it ends with; the product is ended
# right before the means' commit.
HEALTHY_LINES = {
    "changed": [QUERYING, FOUND, CHANGED_START, NOTHING_TO_KILL, CHANGED_OK],
    "direct": [QUERYING, FOUND, DIRECT, NOTHING_TO_KILL],
    "package": [QUERYING, FOUND, DIRECT, DIRECT_FAILED, CLEANING, PACKAGE, EXTRACTING,
                NOTHING_TO_KILL],
}
# After a failed package download the package stays the means until one is installed.
UNFINISHED_LINES = [QUERYING, FOUND, UNFINISHED, CLEANING, PACKAGE, EXTRACTING, NOTHING_TO_KILL]
# The means that a healthy release of each target ends with (see MEANS in support.faults).
HEALTHY_MEANS = {"manifest": "changed", "list": "changed", "file": "changed",
                 "direct": "direct", "package": "package"}
# A target that fails: (its means or "old" for the local product, None for the box, lines).
FAILED = {
    "manifest": ("old", [QUERYING, NOT_DOWNLOADED]),
    "list": ("direct", [QUERYING, FOUND, CHANGED_START, CHANGED_FAILED, DIRECT,
                        NOTHING_TO_KILL]),
    "file": ("direct", [QUERYING, FOUND, CHANGED_START, CHANGED_FAILED, DIRECT,
                        NOTHING_TO_KILL]),
    "direct": ("package", HEALTHY_LINES["package"]),
    "package": (None, [QUERYING, FOUND, DIRECT, DIRECT_FAILED, CLEANING, PACKAGE]),
}
# The package, the executable alone and each changed file get four attempts; a retry cannot
# cure a refused certificate. The retries follow the line that starts the target's download.
RETRIED_AFTER = {"file": CHANGED_START, "direct": DIRECT, "package": PACKAGE}
RETRIES = [f"Reintentando descarga (intento {n} de 4)..." for n in (2, 3, 4)]


def retried(target, fault) -> bool:
    return target in RETRIED_AFTER and fault not in TLS_FAULTS and fault != "redirect"


def with_retries(lines, target, fault) -> list:
    if not retried(target, fault):
        return lines
    at = lines.index(RETRIED_AFTER[target]) + 1
    return lines[:at] + RETRIES + lines[at:]


# The download that a failed target falls back to is held while the install folder is looked at;
# by then that download may have opened its own temporary file.
IN_FLIGHT = {"list": "Velda.exe" + PARTIAL, "file": "Velda.exe" + PARTIAL,
             "direct": PACKAGE_NAME + PARTIAL}


@pytest.fixture(scope="session")
def product(win_build) -> Product:
    return Product(win_build / "tests" / "helpers" / "velda_standin.exe")


def assert_started(wine, run, install, tag):
    assert run.exit_code == 0, run.describe()
    assert run.box is None, run.describe()
    assert [s["tag"] for s in run.starts] == [tag], run.describe()
    assert run.starts[0]["exe"] == wine.win_path(install / "Velda.exe")


def assert_holds(install, expected):
    actual = snapshot(install)
    assert actual == expected, describe_difference(expected, actual)


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("target", DOWNLOADS)
def test_fault_leaves_installation_whole_and_next_run_updates(
        wine, https_server, certs, product, launcher_dir, start_launcher, run_launcher, target,
        fault):
    install = launcher_dir / "velda"
    write_tree(install, old_files(product))
    before = snapshot(install)
    release = FaultyRelease(https_server, certs, product, target)
    failing = fault != "redirect"
    hold = Hold() if failing and target in IN_FLIGHT else None
    try:
        downloads = release.publish(fault, fallback_hold=hold)
        process = start_launcher(launcher_dir)
        during = None
        if hold is not None:
            assert hold.reached.wait(30), f"no fallback download: {process.lines_so_far()}"
            during = snapshot(install)
            during.pop(IN_FLIGHT[target], None)
            hold.release()
        run = process.wait(expect_box=target == "package" and failing)
    finally:
        if hold is not None:
            hold.release()
        release.close()

    # The outcome.
    means, lines = FAILED[target] if failing else (HEALTHY_MEANS[target],
                                                   HEALTHY_LINES[HEALTHY_MEANS[target]])
    assert run.lines == with_retries(lines, target, fault), run.describe()
    if means is None:
        assert run.exit_code == 1, run.describe()
        assert run.box.text == ZIP_BOX and run.box.caption == "Velda Launcher"
        assert not run.box.status_window
        assert run.starts == []
    else:
        assert_started(wine, run, install, means)

    # The fault was met where it was meant to be.
    hit = downloads[target]
    seen = hit.server.requests_for(hit.path)
    if fault in TLS_FAULTS:
        assert seen == [], "the refused certificate still let the request through"
    else:
        attempts = 4 if retried(target, fault) else 1
        assert len(seen) == attempts, [(r.path, r.headers) for r in hit.server.requests]
    if fault == "redirect":
        assert len(hit.server.requests_for(MOVED + hit.path)) == 1

    # Nothing half-written: while the next means runs, and after the run.
    if during is not None:
        assert during == before, describe_difference(before, during)
    assert_holds(install, installed_by(means or "old", product, before))
    assert_no_leftovers(launcher_dir, package_unfinished=means is None)
    assert sorted(p.name for p in launcher_dir.iterdir()) == ["VeldaLauncher.exe", "velda"]

    # A healthy server: the update completes (or stays complete) and the new product starts.
    https_server.reset()
    healthy = FaultyRelease(https_server, certs, product, target)
    healthy.publish()
    again = run_launcher(launcher_dir)
    done = means not in (None, "old")
    final = means if done else HEALTHY_MEANS[target]
    if done:
        assert again.lines == [QUERYING, FOUND, UP_TO_DATE], again.describe()
    else:
        assert again.lines == (UNFINISHED_LINES if means is None else HEALTHY_LINES[final]), \
            again.describe()
    assert_started(wine, again, install, final)
    assert_holds(install, installed_by(final, product, before))
    assert_no_leftovers(launcher_dir)
