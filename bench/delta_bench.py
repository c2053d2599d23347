#!/usr/bin/env python3
"""Binary patch benchmark: our patch against bsdiff and xdelta3 on real pairs, and applying it.

Pairs:
  launcher   VeldaLauncher.exe (release build) at two nearby commits of this repository
  tool       velda-release.exe (the release tool, same build) at the same two commits
  data       a 64 MiB data file made of the machine's own shared libraries, and the same with
             1% of its 4 KiB blocks replaced at scattered places

For each pair, rows "12" as bench/table.py prints them: our patch (velda-release diff, native)
against the better of bsdiff's and xdelta3's (-9, secondary compression lzma) on the same pair
(goal 1.1); applying it under Wine with delta_apply_run.exe (the launcher's
apply_delta_patch_file), whole process, against the launcher's to-file GET of the whole new
file over loopback (http_fetch.exe file; goal 1.5); and its resident peak less that of the same
program with nothing to apply, Wine's own, against 64 MiB. Times are medians of --runs runs.

  VELDA_WIN_BUILD=build/win VELDA_NATIVE_BUILD=build/native-release VELDA_TEST_PORT=48530 \\
      python3 bench/delta_bench.py [--commits OLD,NEW] [--builds OLD_DIR,NEW_DIR] [--runs 3]

Without --builds the script checks out the two commits with git worktree and builds their
launcher and release tool (a few minutes) into --work, where a later run finds them again.
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
sys.path.insert(0, str(REPO / "bench"))

from support.server import TestServer  # noqa: E402
from table import Table, mib_text, seconds_text  # noqa: E402

WINE = "/usr/lib/wine/wine64"
KEYS = ("key-a-public.pem", "key-b-public.pem")
SIZE_GOAL = 1.1  # against the better of bsdiff and xdelta3
TIME_GOAL = 1.5  # against downloading the whole file
MEMORY_GOAL = 64.0  # MiB beyond what Wine itself takes


def run(args, **options):
    return subprocess.run([str(a) for a in args], check=True, **options)


def build_commit(commit: str, work: Path, port: int) -> Path:
    """The release build of the launcher and the release tool at commit, made once."""
    build = work / f"build-{commit}"
    if (build / "src" / "VeldaLauncher.exe").exists() and any(build.rglob("velda-release.exe")):
        return build
    source = work / f"source-{commit}"
    if not source.exists():
        run(["git", "-C", REPO, "worktree", "add", "--detach", source, commit])
    try:
        keys = ";".join(str(source / "tests" / "data" / "release_signing" / k) for k in KEYS)
        run(["cmake", "-S", source, "-B", build, "--toolchain", source / "cmake" / "mingw-w64.cmake",
             "-DCMAKE_BUILD_TYPE=Release", f"-DVELDA_DOWNLOAD_SERVER=https://localhost:{port}",
             "-DVELDA_BUILD_TESTS=OFF", f"-DVELDA_RELEASE_PUBLIC_KEYS={keys}"],
            stdout=subprocess.DEVNULL)
        run(["cmake", "--build", build, "-j2", "--target", "VeldaLauncher", "velda-release"],
            stdout=subprocess.DEVNULL)
    finally:
        run(["git", "-C", REPO, "worktree", "remove", "--force", source])
    return build


def data_pair(work: Path, mib: int) -> tuple[Path, Path]:
    """Real bytes: the machine's shared libraries in name order, cut to mib MiB; then 1% of the
    4 KiB blocks, picked with a fixed seed, replaced by other bytes."""
    old, new = work / f"data-{mib}.old", work / f"data-{mib}.new"
    if old.exists() and new.exists():
        return old, new
    size = mib << 20
    data = bytearray()
    for path in sorted(Path("/usr/lib/x86_64-linux-gnu").rglob("*.so*")):
        if len(data) >= size:
            break
        if path.is_file() and not path.is_symlink():
            data += path.read_bytes()
    data = data[:size]
    if len(data) < size:
        sys.exit(f"only {len(data)} bytes of shared libraries for the {mib} MiB data file")
    old.write_bytes(data)
    chooser = random.Random(21)
    blocks = size // 4096
    for block in chooser.sample(range(blocks), blocks // 100):
        data[block * 4096:(block + 1) * 4096] = chooser.randbytes(4096)
    new.write_bytes(data)
    return old, new


def measure(args, env):
    """(seconds, peak resident MiB, stdout) of one run; time(1) reads the program's own peak."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name,
                               *[str(a) for a in args]], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
        elapsed = time.perf_counter() - start
        peak_kib = int(report.read().split()[-1])
    return elapsed, peak_kib / 1024, done.returncode, done.stdout


def win_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def patch_sizes(old: Path, new: Path, work: Path, tool: Path, name: str) -> dict:
    sizes = {}
    ours = work / f"{name}.velda-patch"
    start = time.perf_counter()
    run([tool, "diff", old, new, ours], stdout=subprocess.DEVNULL)
    sizes["make_s"] = time.perf_counter() - start
    sizes["ours"] = ours.stat().st_size
    run(["bsdiff", old, new, work / f"{name}.bsdiff"])
    sizes["bsdiff"] = (work / f"{name}.bsdiff").stat().st_size
    run(["xdelta3", "-e", "-9", "-S", "lzma", "-f", "-s", old, new, work / f"{name}.xdelta3"])
    sizes["xdelta3"] = (work / f"{name}.xdelta3").stat().st_size
    sizes["patch"] = ours
    return sizes


def apply_figures(old, new, patch, helpers, env, runs):
    """Medians of runs: whole-process seconds, in-process seconds, peak working set MiB and
    the process's resident peak MiB."""
    out = patch.with_suffix(".applied")
    figures = []
    for _ in range(runs):
        seconds, peak, code, stdout = measure(
            [WINE, helpers / "delta_apply_run.exe", win_path(patch), win_path(old), win_path(out),
             new.stat().st_size], env)
        if code != 0 or out.read_bytes() != new.read_bytes():
            sys.exit(f"applying {patch.name} failed: {stdout.strip()}")
        fields = dict(item.split("=", 1) for item in stdout.split())
        figures.append((seconds, float(fields["elapsed_ms"]) / 1000,
                        int(fields["peak_working_set"]) / (1 << 20), peak))
    out.unlink()
    return tuple(statistics.median(f[i] for f in figures) for i in range(4))


def download_seconds(server, new: Path, helpers, env, runs, work):
    """Median whole-process seconds of the launcher's to-file GET of the whole new file."""
    path = f"/whole/{new.name}"
    server.route(path, new.read_bytes(), chunk_size=1 << 20)
    target = work / "downloaded.bin"
    times = []
    for _ in range(runs):
        seconds, _, code, _ = measure(
            [WINE, helpers / "http_fetch.exe", "file", server.base_url + path, win_path(target)],
            env)
        if code != 0 or target.stat().st_size != new.stat().st_size:
            sys.exit(f"the download of {new.name} failed")
        times.append(seconds)
    target.unlink()
    return statistics.median(times)


def wine_alone(helpers, env):
    """The resident peak of delta_apply_run.exe doing nothing: what Wine itself takes."""
    _, peak, _, _ = measure([WINE, helpers / "delta_apply_run.exe", "Z:\\none", "Z:\\none",
                             "Z:\\none", "0"], env)
    return peak


def kib_text(value: float) -> str:
    return f"{value / 1024:.1f} KiB"


def add_rows(table: Table, name: str, r: dict, wine_mib: float):
    better = min(r["bsdiff"], r["xdelta3"])
    table.add("12", f"{name}: patch bytes", r["ours"], better, kib_text,
              f"bsdiff {kib_text(r['bsdiff'])}, xdelta3 {kib_text(r['xdelta3'])}, "
              f"whole {kib_text(r['new'])}; made in {r['make_s']:.1f} s natively",
              note="against the better of bsdiff and xdelta3", note_above=SIZE_GOAL)
    apply_s, in_process_s, working_set, resident = r["apply"]
    table.add("12", f"{name}: apply time", apply_s, r["download"], seconds_text,
              f"{seconds_text(in_process_s)} in the process; against the to-file GET of the "
              "whole file", note="against downloading the whole file", note_above=TIME_GOAL)
    table.add("12", f"{name}: apply memory", resident - wine_mib, MEMORY_GOAL,
              mib_text, f"peak working set {mib_text(working_set)}, resident {mib_text(resident)}"
              f", Wine alone {mib_text(wine_mib)}", note="the goal", note_above=1.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--commits", default="edf7c7a,08410a4", help="OLD,NEW commits")
    parser.add_argument("--builds", help="OLD_DIR,NEW_DIR release builds to use instead")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--data-mib", type=int, default=64)
    parser.add_argument("--work", type=Path, default=Path(tempfile.gettempdir()) / "velda-delta-bench")
    options = parser.parse_args()
    port = int(os.environ.get("VELDA_TEST_PORT", "48530"))
    helpers = Path(os.environ.get("VELDA_WIN_BUILD", REPO / "build" / "win")) / "tests" / "helpers"
    native = Path(os.environ.get("VELDA_NATIVE_BUILD", REPO / "build" / "native"))
    tool = native / "tools" / "velda-release" / "velda-release"
    for needed in (helpers / "delta_apply_run.exe", helpers / "http_fetch.exe", tool):
        if not needed.exists():
            sys.exit(f"{needed} is missing (VELDA_WIN_BUILD, VELDA_NATIVE_BUILD)")
    options.work.mkdir(parents=True, exist_ok=True)
    if options.builds:
        builds = [Path(b) for b in options.builds.split(",")]
    else:
        builds = [build_commit(c, options.work, port) for c in options.commits.split(",")]
    pairs = {
        "launcher": [b / "src" / "VeldaLauncher.exe" for b in builds],
        "tool": [next(b.rglob("velda-release.exe")) for b in builds],
        "data": list(data_pair(options.work, options.data_mib)),
    }
    prefix = Path(tempfile.mkdtemp(prefix="velda-delta-wine-"))
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", HTTP_FETCH_NO_HASH="1",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    wineserver = subprocess.Popen(["/usr/lib/wine/wineserver", "-p"], env=env)
    server = TestServer(port)
    try:
        run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        table = Table()
        wine_mib = wine_alone(helpers, env)
        for name, (old, new) in pairs.items():
            figures = patch_sizes(old, new, options.work, tool, name)
            figures["new"] = new.stat().st_size
            figures["apply"] = apply_figures(old, new, figures["patch"], helpers, env, options.runs)
            figures["download"] = download_seconds(server, new, helpers, env, options.runs,
                                                   options.work)
            add_rows(table, name, figures, wine_mib)
        table.print(f"Binary patches: ours against bsdiff and xdelta3; applying ours under Wine, "
                    f"medians of {options.runs} runs, on a machine of {os.cpu_count()} cores "
                    "shared with others. Memory: the resident peak less Wine's own.")
    finally:
        server.close()
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env)
        wineserver.wait(timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    main()
