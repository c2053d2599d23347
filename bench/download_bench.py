#!/usr/bin/env python3
"""Download benchmark of the to-file GET against two references, on one loopback server.

For each body size it times, in the same run and against the same server:
  curl        native curl writing the body to a file
  reference   winhttp_reference.exe under Wine: plain WinHTTP reads into one buffer
  to-file     http_fetch.exe file: the launcher's to-file GET (temporary file, then the swap)
  in-memory   http_fetch.exe memory: the launcher's in-memory GET

Wall time is the whole process, Wine start included (a persistent wineserver keeps that small).
Peak memory is the maximum resident set size that /usr/bin/time reports for the started process
(for Wine: wine64 exec's into the preloader, which runs the Windows program in the same process,
so the figure is the program's own). The wineserver runs apart and is not counted.

  VELDA_WIN_BUILD=build/win python3 bench/download_bench.py [--sizes 64,256,512] [--runs 3]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from support.server import TestServer  # noqa: E402

PATTERN = bytes(range(256)) * 16 + b"velda"
WINE = "/usr/lib/wine/wine64"


def measure(args, env=None):
    """(seconds, peak resident MiB, exit code) of one run."""
    with tempfile.NamedTemporaryFile("r") as report, open(os.devnull, "wb") as sink:
        # time(1) forks from its own small image: the peak it reads is the program's alone.
        start = time.perf_counter()
        code = subprocess.call(["/usr/bin/time", "-f", "%M", "-o", report.name, *args],
                               env=env, stdin=subprocess.DEVNULL, stdout=sink, stderr=sink)
        elapsed = time.perf_counter() - start
        peak_kib = int(report.read().split()[-1])
    return elapsed, peak_kib / 1024, code


def win_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="64,256,512", help="body sizes in MiB")
    parser.add_argument("--runs", type=int, default=3, help="runs per client and size")
    parser.add_argument("--out", type=Path, help="folder for the files (default: a temp folder)")
    options = parser.parse_args()

    build = Path(os.environ.get("VELDA_WIN_BUILD", REPO / "build" / "win"))
    helpers = build / "tests" / "helpers"
    for exe in ("http_fetch.exe", "winhttp_reference.exe"):
        if not (helpers / exe).exists():
            sys.exit(f"{helpers / exe} is missing: build the Windows tree (set VELDA_WIN_BUILD)")

    work = Path(tempfile.mkdtemp(prefix="velda-bench-"))
    (work / "prefix").mkdir()
    out = options.out or work
    prefix = work / "prefix"
    # http_fetch hashes a body in memory unless told not to: the hash is not part of the GET.
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", HTTP_FETCH_NO_HASH="1",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    wineserver = subprocess.Popen(["/usr/lib/wine/wineserver", "-p"], env=env)
    server = TestServer(0)
    try:
        subprocess.run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        sizes = [int(s) for s in options.sizes.split(",")]
        clients = {
            "curl": lambda url, target: ["curl", "-sf", "-o", str(target), url],
            "reference": lambda url, target: [WINE, helpers / "winhttp_reference.exe", url],
            "to-file": lambda url, target: [WINE, helpers / "http_fetch.exe", "file", url,
                                            win_path(target)],
            "in-memory": lambda url, target: [WINE, helpers / "http_fetch.exe", "memory", url],
        }
        # The best run is the figure: on a shared machine every slower run is the same work
        # plus someone else's.
        print(f"{'MiB':>5} {'client':<10} {'best s':>7} {'median':>7} {'MiB/s':>6} "
              f"{'peak MiB':>9}  runs")
        results = {}
        for size in sizes:
            path = f"/body/{size}"
            server.route(path, PATTERN, size=size << 20, chunk_size=1 << 20)
            url = server.base_url + path
            times = {name: [] for name in clients}
            peaks = {name: [] for name in clients}
            # Round-robin, so that a burst of load elsewhere falls on every client alike.
            for _ in range(options.runs):
                for name, command in clients.items():
                    target = out / f"{name}-{size}.bin"
                    seconds, peak, code = measure([str(a) for a in command(url, target)], env)
                    if code != 0:
                        sys.exit(f"{name} failed on {size} MiB (exit {code})")
                    if name in ("curl", "to-file") and target.stat().st_size != size << 20:
                        sys.exit(f"{name} wrote {target.stat().st_size} bytes for {size} MiB")
                    target.unlink(missing_ok=True)
                    times[name].append(seconds)
                    peaks[name].append(peak)
            for name in clients:
                best = min(times[name])
                results[(size, name)] = best
                print(f"{size:>5} {name:<10} {best:>7.2f} {statistics.median(times[name]):>7.2f} "
                      f"{size / best:>6.0f} {max(peaks[name]):>9.1f}  "
                      + " ".join(f"{t:.2f}" for t in times[name]), flush=True)
            ratio = results[(size, "to-file")] / results[(size, "reference")]
            print(f"{size:>5} to-file / reference: {ratio:.2f}x", flush=True)
        small, large = sizes[0], sizes[-1]
        if large != small:
            per_mib = [results[(s, "to-file")] / s for s in (small, large)]
            print(f"to-file seconds per MiB: {per_mib[0]:.4f} at {small} MiB, "
                  f"{per_mib[1]:.4f} at {large} MiB")
        print(json.dumps({f"{s}:{n}": round(t, 3) for (s, n), t in results.items()}))
    finally:
        server.close()
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env)
        wineserver.wait(timeout=60)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
