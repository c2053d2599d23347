#!/usr/bin/env python3
"""One table of the launcher's figures against plain references, on loopback under Wine.

Rows, each with the launcher's figure, the reference's and their ratio:
  1  full-package download, time and peak memory per size: http_fetch.exe file (the launcher's
     to-file GET) against winhttp_reference.exe (one preallocated buffer); curl beside them
  2  the up-to-date path: VeldaLauncher.exe from start to exit (it has started the product
     stand-in), with and without its window, against winhttp_reference.exe making the same
     single HTTPS GET of the manifest URL
  3  a changed-files update: (launcher run with an N-file list - up-to-date run) / N, against one
     GET of winhttp_reference.exe --count (N GETs in one process, its start not counted)
  4  the PROGRESS lines of an extraction: (extract_run.exe with the stand-in's output - the same
     with VELDA_PS_SILENT=1) / entries, against the same stand-in writing its lines to a file
  5  hashing a package: (http_fetch.exe continue with the package's SHA-256 - http_fetch.exe
     file) per size, what checking the digest adds to the launcher's to-file GET, against the
     GET without it (goal: under 0.10); sha256_run.exe beside it, the hash alone
  6  longest window answer: window_probe.exe sends WM_NULL to the status window every 50 ms
     through runs with a slow package (pieces with 3 s pauses), a silent manifest server and a
     slow extraction; the longest answer of all --window-runs rounds against the goal, 250 ms
  7  a silent server (accepts, never answers): VeldaLauncher.exe with an installed product, from
     start to exit, having started the product, against the goal of 10 s
  8  through a proxy that adds 25 ms each way (bench/latency_proxy.py), named in the prefix's
     Internet Options: a --files changed-files update (whole launcher run) against curl making
     the same GETs over one kept-alive tunnel; and the 64 MiB package (http_fetch.exe file)
     against curl
  9  a 64 MiB package from a server that cuts every connection after 8 MiB (closed, and reset)
     and honours Range: the body bytes it sent for one first installation (the launcher
     continues each cut with a Range request), against the package's size (goal: at most 1.1)
  10 a package of --entries small files in nested folders over the previous release's tree
     (most replaced, some added): staged_unpack_run.exe (unpacked into the staging folder, then
     committed) against extract_run.exe unpacking it in place (goal: at most 1.2); the commit's
     share beside it
  11 the peak extra disk use of each means (changed files, Velda.exe alone, package) in a real
     launcher run over an installed release that velda-release pack --previous made: a sampler
     sums the bytes under the launcher's folder every 15 ms; the peak minus the final size
     against what the means downloads, with the bytes that should make up the difference

Every figure is a median: of --runs runs for row 1, of --quick-runs runs for rows 2 to 4 (a
difference is the median of the differences round by round), of --commit-runs for row 10.
Within a row the variants run round-robin after one untimed warm-up round. Wall times are whole processes, Wine's start
included; one prefix with a persistent wineserver serves every run. The servers turn Nagle's
algorithm off (see ConnectionCount; --nagle leaves it on). Notes follow the table for every
ratio above 1.2, and measured parts of the time ("where the time goes") after them.

  VELDA_WIN_BUILD=build/win VELDA_TEST_PORT=48443 python3 bench/table.py [--sizes 64,256,512]
Row 11 also needs the native build's velda-release (VELDA_NATIVE_BUILD, default build/native).
"""

import argparse
import hashlib
import io
import itertools
import json
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(REPO / "tests" / "e2e"))
sys.path.insert(0, str(BENCH))

from download_bench import PATTERN, measure  # noqa: E402
from support.certs import TestCertificates  # noqa: E402
from support.probe import WindowProbe  # noqa: E402
from support.proxy import ConnectProxy, stop_listening, user_proxy_settings  # noqa: E402
from support.release import PRODUCT, Release, build_zip  # noqa: E402
from support.scenario import put_standin, standin_bytes, write_stamp  # noqa: E402
from support.server import TestServer  # noqa: E402
from support.wine import WINE64, Wine, Xvfb  # noqa: E402

NOTE_ABOVE = 1.2
WINDOW_ANSWER_GOAL = 0.25
SILENT_GOAL_SECONDS = 10.0
PROXY_DELAY = 0.025  # each way: a 50 ms round trip


# -- running ------------------------------------------------------------------------------------


@dataclass
class Case:
    """One command of a round-robin; prepare runs before and check after every run, untimed."""
    name: str
    args: list
    env: dict
    expect: int = 0
    prepare: object = None
    check: object = None
    seconds: list = field(default_factory=list)
    peaks: list = field(default_factory=list)

    @property
    def median(self) -> float:
        return statistics.median(self.seconds)

    @property
    def peak(self) -> float:
        return statistics.median(self.peaks)

    def minus(self, other: "Case") -> float:
        """The median of the differences run by run: both ran in the same rounds, so a burst of
        load elsewhere that slows one round cancels out."""
        return statistics.median(a - b for a, b in zip(self.seconds, other.seconds))

    def minus_error(self, other: "Case") -> float:
        """The standard error of minus(): 1.25 standard deviations over the root of the count."""
        differences = [a - b for a, b in zip(self.seconds, other.seconds)]
        if len(differences) < 2:
            return 0.0
        return 1.2533 * statistics.stdev(differences) / len(differences) ** 0.5


def round_robin(cases, runs: int):
    """Runs every case runs times, in turn, after one untimed warm-up round: a burst of load
    elsewhere on the machine then falls on every case alike."""
    for round_number in range(runs + 1):
        for case in cases:
            if case.prepare:
                case.prepare()
            seconds, peak, code = measure([str(a) for a in case.args], case.env)
            if code != case.expect:
                sys.exit(f"{case.name}: exit code {code}, expected {case.expect}")
            if case.check:
                case.check()
            if round_number > 0:
                case.seconds.append(seconds)
                case.peaks.append(peak)


def wait_starts(record: Path, count: int, timeout: float = 15) -> list:
    """The product stand-in's start records once there are count of them. Only lines that
    have their end are read: the stand-in may be writing the last one."""
    deadline = time.monotonic() + timeout
    while True:
        text = record.read_text(encoding="utf-8", errors="replace") if record.exists() else ""
        records = [json.loads(line) for line in text.split("\n")[:-1] if line.strip()]
        if len(records) >= count or time.monotonic() >= deadline:
            return records
        time.sleep(0.02)


def shell_to_file(path: Path, args) -> list:
    """args with their standard output sent to path (sh exec's into them: nothing in between)."""
    return ["/bin/sh", "-c", 'exec "$@" >"$0"', str(path), *[str(a) for a in args]]


class ConnectionCount:
    """Counts the TCP connections a server accepts; with no_delay also turns Nagle's algorithm
    off on them. The test server writes a response's headers and its body in two sends: with
    Nagle the body waits for the client's delayed ACK of the headers, some 40 ms per GET on
    loopback, which is the server's doing and not the client's."""

    def __init__(self, server: TestServer, no_delay: bool):
        self._counter = itertools.count(1)
        self.count = 0
        handler = server._httpd.RequestHandlerClass  # the bench's own tweak of the test server
        owner = self

        class Tuned(handler):
            def setup(self):
                owner.count = next(owner._counter)
                if no_delay:
                    self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                super().setup()

        server._httpd.RequestHandlerClass = Tuned


def per_get_times(wine: Wine, args: list, count: int) -> list:
    """Per-GET seconds of one winhttp_reference --count run; its first GET is left out, as the
    launcher's update-check GET has already paid for what a first GET costs."""
    result = wine.run([*args[:1], "--count", str(count), *args[1:]], timeout=600,
                      display=False)
    lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
    if result.returncode != 0 or len(lines) != count:
        sys.exit(f"winhttp_reference --count {count} failed: {result.stdout}{result.stderr}")
    return [float(line.rsplit(":", 1)[1].rstrip("}")) for line in lines[1:]]


# -- the table ----------------------------------------------------------------------------------


def seconds_text(value: float) -> str:
    if abs(value) >= 1:
        return f"{value:.2f} s"
    if abs(value) >= 1e-3:
        return f"{value * 1e3:.1f} ms"
    return f"{value * 1e6:.0f} us"


def mib_text(value: float) -> str:
    return f"{value:.1f} MiB"


def more_or_less(value: float) -> str:
    return f"{seconds_text(abs(value))} {'more' if value >= 0 else 'less'}"


class Table:
    def __init__(self):
        self.rows = []
        self.notes = []
        self.details = []

    def add(self, row: str, figure: str, launcher: float, reference: float, text, other="",
            note=None, resolution: float = 0.0, note_above: float = NOTE_ABOVE):
        """resolution: the smallest reference figure the run can tell from zero; a reference
        below it is shown as "<resolution" and the ratio as a lower bound."""
        if reference > 0 and reference >= resolution:
            shown, ratio = text(reference), launcher / reference
            ratio_text = f"{ratio:.2f}"
        elif resolution > 0:
            shown, ratio = "<" + text(resolution), launcher / resolution
            ratio_text = f">{ratio:.1f}"
        else:
            shown, ratio, ratio_text = text(reference), 0.0, "n/a"
        self.rows.append((row, figure, text(launcher), shown, ratio_text, other))
        if ratio > note_above and note:
            self.notes.append(f"{row} {figure}: {ratio_text}x (goal {note_above}). {note}")

    def detail(self, text: str):
        self.details.append(text)

    def print(self, header: str):
        widths = [3, max(len(r[1]) for r in self.rows), 10, 10, 6]
        print(header)
        titles = ("row", "figure", "launcher", "reference", "ratio", "other")
        line = lambda cells: "  ".join(  # noqa: E731
            [f"{cells[0]:<{widths[0]}}", f"{cells[1]:<{widths[1]}}",
             f"{cells[2]:>{widths[2]}}", f"{cells[3]:>{widths[3]}}",
             f"{cells[4]:>{widths[4]}}", cells[5]]).rstrip()
        print(line(titles))
        print("-" * (sum(widths) + 2 * 5 + 20))
        for row in self.rows:
            print(line(row))
        if self.notes:
            print("\nnotes (ratio above the goal):")
            for note in self.notes:
                print(f"- {note}")
        if self.details:
            print("\nwhere the time goes (medians):")
            for text in self.details:
                print(f"- {text}")


# -- the rows -----------------------------------------------------------------------------------


class Bench:
    def __init__(self, options, wine: Wine, build: Path, work: Path, https: TestServer,
                 plain: TestServer):
        self.options = options
        self.wine = wine
        self.helpers = build / "tests" / "helpers"
        self.launcher_exe = build / "src" / "VeldaLauncher.exe"
        self.work = work
        self.https = https
        self.plain = plain
        self.table = Table()
        self.connections = ConnectionCount(https, not options.nagle)
        ConnectionCount(plain, not options.nagle)

    def helper(self, name: str) -> Path:
        return self.helpers / f"{name}.exe"

    def env(self, display: bool = True, **extra) -> dict:
        return self.wine.environment(extra, display=display)

    # 1 ------------------------------------------------------------------------------------------

    def downloads(self):
        for size in [int(s) for s in self.options.sizes.split(",")]:
            path = f"/body/{size}"
            self.plain.route(path, PATTERN, size=size << 20, chunk_size=1 << 20)
            url = self.plain.base_url + path
            target = self.work / f"body-{size}.bin"

            def written(name, target=target, size=size):
                # Checks the file and frees the disk for the next client.
                if target.stat().st_size != size << 20:
                    sys.exit(f"{name} wrote {target.stat().st_size} bytes for {size} MiB")
                target.unlink()

            env = self.env(display=False, HTTP_FETCH_NO_HASH="1")
            curl = Case("curl", ["curl", "-sf", "-o", target, url], env,
                        check=lambda: written("curl"))
            reference = Case("reference", [WINE64, self.helper("winhttp_reference"), url], env)
            to_file = Case("to-file", [WINE64, self.helper("http_fetch"), "file", url,
                                       Wine.win_path(target)], env,
                           check=lambda: written("to-file"))
            # What writing the body to this disk and flushing it costs natively.
            disk = Case("dd", ["dd", "if=/dev/zero", f"of={target}", "bs=1M", f"count={size}",
                               "conv=fsync", "status=none"], env, check=lambda: written("dd"))
            round_robin([curl, reference, to_file, disk], self.options.runs)
            self.table.add(
                "1", f"package {size} MiB over HTTP, time", to_file.median, reference.median,
                seconds_text, f"curl {seconds_text(curl.median)}",
                "The to-file GET writes the body through a 1 MiB buffer to a temporary file and "
                "flushes it to disk (fsync) before the move; the reference only fills memory. "
                f"It takes {more_or_less(to_file.minus(reference))} than the reference, and a "
                f"native write of {size} MiB with fsync takes {seconds_text(disk.median)} on "
                "this disk (dd).")
            self.table.detail(f"{size} MiB: native write with fsync (dd) "
                              f"{seconds_text(disk.median)}, runs of the to-file GET "
                              + " ".join(f"{t:.2f}" for t in to_file.seconds) +
                              ", of the reference " +
                              " ".join(f"{t:.2f}" for t in reference.seconds))
            self.table.add(
                "1", f"package {size} MiB over HTTP, peak memory", to_file.peak, reference.peak,
                mib_text, f"curl {mib_text(curl.peak)}",
                "The to-file GET's peak is fixed: its 1 MiB buffer and the loaded DLLs; the "
                "reference's grows with the body, so it is the smaller one only for small "
                "bodies.")
            print(f"  row 1, {size} MiB done", file=sys.stderr, flush=True)

    # 6 ------------------------------------------------------------------------------------------

    def cut_package(self):
        """Once with connections closed after 8 MiB, once with them reset: a reset also throws
        away what sits in the two kernels' socket buffers, sent but never read."""
        size = 64 << 20
        release = Release(self.https, self.helper("velda_standin"))
        product = release.product("package")
        data = (PATTERN * (size // len(PATTERN) + 1))[:size - len(product) - 4096]
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_STORED) as archive:
            archive.writestr("Velda.exe", product)
            archive.writestr("data/big.pak", data)
        body = buffer.getvalue()
        notes = {
            "close": "Every byte sent before a close reaches the launcher, which asks for the "
                     "rest from there: nothing should be sent twice.",
            "reset": "A reset discards what was in flight: the bytes in the server's send "
                     "buffer and those the launcher had not yet read from its receive buffer "
                     "(loopback buffers are several MiB), which the next range asks for again.",
        }
        for mode in ("close", "reset"):
            route = release.publish_package(body=body, ranges=True, cut_every=8 << 20,
                                            cut_mode=mode, chunk_size=1 << 20,
                                            headers={"ETag": '"bench-64"'})
            release.publish_manifest()
            folder = self.work / f"cut-package-{mode}"
            folder.mkdir()
            shutil.copy2(self.launcher_exe, folder / "VeldaLauncher.exe")
            record = self.work / f"cut-package-{mode}.jsonl"
            env = self.env(display=False, VELDA_STANDIN_RECORD=Wine.win_path(record))
            seconds, _, code = measure([WINE64, str(folder / "VeldaLauncher.exe")], env)
            installed = folder / "velda" / "data" / "big.pak"
            if code != 0 or not installed.is_file() or installed.stat().st_size != len(data):
                sys.exit(f"cut package ({mode}): exit code {code}, not installed")
            self.table.add(
                "9", f"package 64 MiB, cut ({mode}) every 8 MiB, bytes sent",
                route.sent_total / 2**20, len(body) / 2**20, mib_text,
                f"{len(route.starts)} requests, run {seconds_text(seconds)}", notes[mode],
                note_above=1.1)
            got = [b - a for a, b in zip(route.starts, route.starts[1:])]
            if got:
                self.table.detail(
                    f"cut ({mode}) every 8 MiB: the launcher had "
                    f"{mib_text(statistics.mean(got) / 2**20)} of each connection's 8 MiB on "
                    "disk when the next range began (mean)")
        print("  row 9 done", file=sys.stderr, flush=True)

    # 5 ------------------------------------------------------------------------------------------

    def hashing(self):
        for size in [int(s) for s in self.options.sizes.split(",")]:
            path = f"/hashed/{size}"
            self.plain.route(path, PATTERN, size=size << 20, chunk_size=1 << 20)
            url = self.plain.base_url + path
            target = self.work / f"hashed-{size}.bin"
            digest = hashlib.sha256()
            for _ in range((size << 20) // len(PATTERN)):
                digest.update(PATTERN)
            digest.update(PATTERN[:(size << 20) % len(PATTERN)])
            expected = digest.hexdigest()

            def written(name, target=target, size=size):
                if target.stat().st_size != size << 20:
                    sys.exit(f"{name} wrote {target.stat().st_size} bytes for {size} MiB")
                target.unlink()

            env = self.env(display=False)
            fetch = [WINE64, self.helper("http_fetch")]
            plain = Case("to-file", fetch + ["file", url, Wine.win_path(target)], env,
                         check=lambda: written("to-file"))
            # The same GET checked against the SHA-256 a manifest gives, as the launcher does.
            hashed = Case("to-file with SHA-256",
                          fetch + ["continue", url, Wine.win_path(target), expected], env,
                          check=lambda: written("to-file with SHA-256"))
            round_robin([plain, hashed], self.options.runs)
            # What hashing alone costs on this machine: the launcher's CNG over the whole file.
            body = self.work / f"hash-{size}.bin"
            with open(body, "wb") as out:
                for _ in range((size << 20) // len(PATTERN)):
                    out.write(PATTERN)
                out.write(PATTERN[:(size << 20) % len(PATTERN)])
            alone = Case("hash", [WINE64, self.helper("sha256_run"), Wine.win_path(body)], env)
            round_robin([alone], 1)
            body.unlink()
            cost = hashed.minus(plain)
            self.table.add(
                "5", f"SHA-256 of a {size} MiB package / its download", max(cost, 0.0),
                plain.median, seconds_text,
                f"hashing alone {seconds_text(alone.median)}",
                "The to-file GET hashes each filled 1 MiB buffer on a thread of its own while "
                "it writes it and the next bytes arrive, so the hash costs what it does not "
                "overlap; the goal is under 0.10. Wine's bcrypt hashes in plain C; Windows' "
                "CNG uses the processor's SHA instructions. On a virtual machine whose idle "
                "cores wake slowly, the hashing thread can even make the GET quicker: the "
                "figure is then 0.", note_above=0.10)
            self.table.detail(f"{size} MiB runs with the SHA-256 " +
                              " ".join(f"{t:.2f}" for t in hashed.seconds) + ", without " +
                              " ".join(f"{t:.2f}" for t in plain.seconds))
            print(f"  row 5, {size} MiB done", file=sys.stderr, flush=True)

    # 2 and 3 ------------------------------------------------------------------------------------

    def launcher_folder(self, name: str, stamp: str, tag: str) -> tuple[Path, Path]:
        folder = self.work / name
        folder.mkdir()
        shutil.copy2(self.launcher_exe, folder / "VeldaLauncher.exe")
        put_standin(self.helper("velda_standin"), folder / "velda" / "Velda.exe", tag)
        write_stamp(folder / "velda", stamp)
        return folder, folder / "velda"

    def launcher_case(self, name: str, folder: Path, record: Path, display: bool, tag: str,
                      extra_check=None) -> Case:
        env = self.env(display=display, VELDA_STANDIN_RECORD=Wine.win_path(record))

        def check():
            # Waits (untimed) for the stand-in that the launcher started before it ended.
            started = len(check.starts) + 1
            records = wait_starts(record, started)
            if len(records) != started or records[-1].get("tag") != tag:
                sys.exit(f"{name}: the product stand-in did not start ({records[-1:]})")
            check.starts = records
            if extra_check:
                extra_check()

        check.starts = wait_starts(record, 0)
        return Case(name, [WINE64, folder / "VeldaLauncher.exe"], env, check=check)

    def launcher_runs(self):
        files = self.options.files
        release = Release(self.https, self.helper("velda_standin"))
        names = [f"files/f{i:03d}.dat" for i in range(files)]
        contents = {name: (name.encode() * 64)[:1024] for name in names}
        changed = release.publish_changed_files(names, contents)
        release.publish_manifest(changed)
        list_body = changed.list_route.body
        manifest_url = self.https.base_url + "/downloads/latest.json"

        up_folder, _ = self.launcher_folder("up-to-date", release.version, "up-to-date")
        ch_folder, ch_install = self.launcher_folder("changed", "1.0.0", "old")
        records = self.work / "starts"
        records.mkdir()

        def reset_install():
            shutil.rmtree(ch_install / "files", ignore_errors=True)
            write_stamp(ch_install, "1.0.0")

        def updated(count):
            def check():
                stamp = (ch_install / "velda.version").read_text()
                present = [n for n in names[:count] if (ch_install / n).is_file()]
                if stamp != release.version or len(present) != count:
                    sys.exit(f"changed-files run: stamp {stamp!r}, {len(present)} of {count} "
                             "files")
            return check

        def list_of(lines):
            def prepare():
                changed.list_route.body = lines
                reset_install()
            return prepare

        window = self.launcher_case("up to date, window", up_folder, records / "w.jsonl",
                                    True, "up-to-date")
        no_window = self.launcher_case("up to date, no window", up_folder,
                                       records / "nw.jsonl", False, "up-to-date")
        update = self.launcher_case(f"changed {files}", ch_folder, records / "c.jsonl", True,
                                    "old", updated(files))
        update.prepare = list_of(list_body)
        empty = self.launcher_case("changed, empty list", ch_folder, records / "e.jsonl", True,
                                   "old", updated(0))
        empty.prepare = list_of(b"\r\n")
        reference = Case("reference GET", [WINE64, self.helper("winhttp_reference"),
                                           manifest_url + "?t=1"], self.env())
        # A program that does nothing: what Wine's start and exit of a process cost.
        trivial = Case("trivial program", [WINE64, self.helper("winhttp_reference")],
                       self.env(), expect=2)
        cases = [window, no_window, reference, trivial]
        if "3" in self.options.rows:
            cases += [update, empty]
        round_robin(cases, self.options.quick_runs)
        for case in cases:
            print(f"  {case.name}: {[round(s, 3) for s in case.seconds]}", file=sys.stderr,
                  flush=True)

        table = self.table
        if "2" in self.options.rows:
            parts = (f"Wine starts and ends a process in {seconds_text(trivial.median)} "
                     f"(trivial program) and the reference's GET takes "
                     f"{seconds_text(reference.median - trivial.median)} more (mostly the "
                     f"certificate check, below); the launcher without its window takes "
                     f"{more_or_less(no_window.median - reference.median)} than the reference "
                     "(user32 and its failed window, the product's CreateProcess)")
            table.add("2", "up to date, whole run, window shown", window.median,
                      reference.median, seconds_text, "",
                      parts + ", and with its window "
                      f"{more_or_less(window.median - no_window.median)} (the X11 driver, the "
                      "window and its redraws).")
            table.add("2", "up to date, whole run, no window (display off)", no_window.median,
                      reference.median, seconds_text, "", parts + ".")
            table.detail(f"trivial Windows program under Wine, start to exit: "
                         f"{seconds_text(trivial.median)}")
            check = self.certificate_check(reference.args[1:])
            if check is not None:
                table.detail(f"of the reference's manifest GET, WinHTTP's check of the server "
                             f"certificate takes {seconds_text(check)} (one traced run): Wine's "
                             "crypt32 reads and checks the host's CA certificates at the first "
                             "chain it builds in a process, and every run of either program is "
                             "a new process")

        if "3" in self.options.rows:
            self.changed_figures(changed, names, ch_folder, update, window, empty, list_of,
                                 list_body)

    # 6 ------------------------------------------------------------------------------------------

    def silent_server(self):
        """Takes the launcher's port from the HTTPS server for good: run it last."""
        folder, _ = self.launcher_folder("silent", "1.0.0", "old")
        case = self.launcher_case("silent server", folder, self.work / "silent.jsonl", True,
                                  "old")
        port = self.https.port
        self.https.close()
        listener = socket.create_server(("127.0.0.1", port), backlog=16)
        held = []

        def accept():
            while True:
                try:
                    held.append(listener.accept()[0])
                except OSError:
                    return

        threading.Thread(target=accept, daemon=True).start()
        try:
            round_robin([case], min(self.options.quick_runs, 5))
        finally:
            stop_listening(listener)
            for connection in held:
                connection.close()
        print(f"  {case.name}: {[round(x, 3) for x in case.seconds]}", file=sys.stderr,
              flush=True)
        self.table.add("7", "silent server, start to exit (product started)", case.median,
                       SILENT_GOAL_SECONDS, seconds_text, f"reference: the goal; {len(held)} "
                       "connections accepted", note="The manifest's time limit did not hold.",
                       note_above=1.0)

    # 7 ------------------------------------------------------------------------------------------

    def through_latency_proxy(self):
        files = self.options.files
        release = Release(self.https, self.helper("velda_standin"))
        names = [f"proxied/f{i:03d}.dat" for i in range(files)]
        contents = {name: (name.encode() * 64)[:1024] for name in names}
        changed = release.publish_changed_files(names, contents, from_name="1.0.0")
        release.publish_manifest(changed)
        folder, install = self.launcher_folder("proxied", "1.0.0", "old")

        def reset_install():
            shutil.rmtree(install / "proxied", ignore_errors=True)
            write_stamp(install, "1.0.0")

        def updated():
            present = [n for n in names if (install / n).is_file()]
            if len(present) != files:
                sys.exit(f"proxied changed-files run: {len(present)} of {files} files")

        update = self.launcher_case(f"changed {files}, proxy", folder, self.work / "p.jsonl",
                                    True, "old", updated)
        update.prepare = reset_install
        base = self.https.base_url
        urls = [f"{base}/downloads/latest.json?t=1", changed.list_url,
                *(f"{changed.base_url}/{name}" for name in names)]
        config = self.work / "curl-urls.txt"
        config.write_text("".join(f'url = "{url}"\noutput = "/dev/null"\n' for url in urls))
        curl = ["curl", "-sS", "--fail", "--cacert", str(self.ca_pem)]
        native = dict(os.environ)
        curl_gets = Case(f"curl, the same {len(urls)} GETs", [], native)
        package = "/bench/proxied-64.bin"
        self.https.route(package, PATTERN, size=64 << 20, chunk_size=1 << 20)
        target = self.work / "proxied-64.bin"
        fetch = Case("to-file GET 64 MiB, proxy",
                     [WINE64, self.helper("http_fetch"), "file", base + package,
                      Wine.win_path(target)], self.env(HTTP_FETCH_NO_HASH="1"))
        curl_package = Case("curl 64 MiB", [], native)

        with ConnectProxy(delay=PROXY_DELAY) as proxy, \
                user_proxy_settings(self.wine, proxy.address, self.work):
            via = ["-x", f"http://{proxy.address}"]
            curl_gets.args = [*curl, *via, "-K", config]
            curl_package.args = [*curl, *via, "-o", target, base + package]
            connects = len(proxy.connects)
            round_robin([update, curl_gets], self.options.quick_runs)
            per_update = (len(proxy.connects) - connects) / (self.options.quick_runs + 1) / 2
            round_robin([fetch, curl_package], self.options.runs)
        for case in (update, curl_gets, fetch, curl_package):
            print(f"  {case.name}: {[round(x, 3) for x in case.seconds]}", file=sys.stderr,
                  flush=True)
        table = self.table
        table.add("8", f"{files}-file update via 50 ms proxy (vs curl)", update.median,
                  curl_gets.median, seconds_text,
                  f"{per_update:.1f} tunnels per run (launcher and curl averaged)",
                  note="The launcher's whole run: Wine's process start, the status window and "
                       "the product's start are in it, curl's process is native.",
                  note_above=1.3)
        table.add("8", "64 MiB package via 50 ms proxy (vs curl)", fetch.median,
                  curl_package.median, seconds_text, "",
                  note="The to-file GET under Wine against native curl, both through the "
                       "Python proxy.")

    def certificate_check(self, args) -> float | None:
        """Seconds between WinHTTP's start and end of the certificate check, from its trace."""
        result = self.wine.run(args, env={"WINEDEBUG": "+timestamp,+winhttp"}, display=False,
                               timeout=120)
        marks = {}
        for line in result.stderr.splitlines():
            for mark in ("netconn_verify_cert verifying", "netconn_verify_cert returning"):
                if mark in line and mark not in marks:
                    marks[mark] = float(line.split(":", 1)[0])
        if len(marks) != 2:
            return None
        return marks["netconn_verify_cert returning"] - marks["netconn_verify_cert verifying"]

    def changed_figures(self, changed, names, folder, update, window, empty, list_of,
                        list_body):
        files = len(names)
        table = self.table
        # One more launcher run, to count its connections.
        before = self.connections.count, len(self.https.requests)
        list_of(list_body)()
        subprocess.run([WINE64, folder / "VeldaLauncher.exe"], env=update.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=600)
        update.check()
        launcher_share = ((self.connections.count - before[0]) /
                          (len(self.https.requests) - before[1]))

        saved = self.work / "saved"
        ref = self.helper("winhttp_reference")
        url = changed.base_url + "/" + names[0]
        variants = {
            "GET": [ref, url],
            "GET, one session": [ref, "--reuse", url],
            "GET + write": [ref, "--save", Wine.win_path(saved), url],
            "GET + flushed write and move": [ref, "--save", Wine.win_path(saved), "--durable",
                                             url],
        }
        times = {name: [] for name in variants}
        shares = {name: 0 for name in variants}
        for _ in range(self.options.runs):
            for name, args in variants.items():
                shutil.rmtree(saved, ignore_errors=True)
                saved.mkdir()
                before = self.connections.count
                times[name] += per_get_times(self.wine, args, files)
                shares[name] += self.connections.count - before
        medians = {name: statistics.median(values) for name, values in times.items()}
        shares = {name: count / (files * self.options.runs) for name, count in shares.items()}
        one_get = medians["GET"]
        written = medians["GET + write"]
        durable = medians["GET + flushed write and move"]

        per_file = update.minus(window) / files
        marginal = update.minus(empty) / files
        table.add(
            "3", f"changed files, cost per file ({files} x 1 KiB)", per_file, one_get,
            seconds_text, f"reference GET with the launcher's file steps: {seconds_text(durable)}",
            f"The GET is the same ({seconds_text(one_get)}); writing the body to a new file adds "
            f"{seconds_text(written - one_get)}, flushing it to disk (fsync) and the "
            f"write-through move {seconds_text(durable - written)}; "
            + (f"the remaining {seconds_text(per_file - durable)} per file are the launcher's "
               "directory checks of every ancestor of the target, the list's own GET (shared "
               "by all files) and its own steps." if per_file > durable else
               "nothing measurable is left beyond these steps."))
        table.detail(f"changed files per file: {seconds_text(per_file)} +- "
                     f"{seconds_text(update.minus_error(window) / files)} (standard error); the "
                     f"{files}-file run minus the empty-list run gives {seconds_text(marginal)} "
                     "(the list's own GET left out)")
        table.detail("reference per GET, in one process: " + ", ".join(
            f"{name} {seconds_text(value)}" for name, value in medians.items()))
        table.detail(f"new TCP connections per GET: launcher {launcher_share:.2f}, " + ", ".join(
            f"reference {name} {share:.2f}" for name, share in shares.items()) +
            " (Wine keeps connections across WinHTTP sessions)")
        self.fsync_detail()

    def fsync_detail(self):
        """What the file work of one changed file costs natively on the same disk."""
        folder = self.work / "fsync"
        folder.mkdir()
        body = b"x" * 1024
        times = {"write": [], "write+fsync+rename": []}
        for index in range(200):
            target = folder / f"f{index}"
            start = time.perf_counter()
            (folder / "plain").write_bytes(body)
            times["write"].append(time.perf_counter() - start)
            start = time.perf_counter()
            part = folder / "part"
            with open(part, "wb") as out:
                out.write(body)
                out.flush()
                os.fsync(out.fileno())
            os.replace(part, target)
            times["write+fsync+rename"].append(time.perf_counter() - start)
        self.table.detail("native 1 KiB file on the same disk: " + ", ".join(
            f"{name} {seconds_text(statistics.median(values))}" for name, values in times.items()))

    # 4 ------------------------------------------------------------------------------------------

    def progress_lines(self):
        entries = self.options.entries
        folder = self.work / "extract"
        folder.mkdir()
        package = folder / "package.zip"
        # Every entry is the same folder: the stand-in's own work per entry is then a check of
        # that folder's ancestors, small beside the lines. (A new file costs some 1 ms under
        # Wine; the difference would cancel it, but its noise would bury the lines.)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # zipfile warns of the repeated name
            package.write_bytes(build_zip([("data/", None)] * entries))
        dest = folder / "dest"
        lines_file = folder / "lines.txt"
        ps_log = folder / "powershell.log"
        extract_args = [WINE64, self.helper("extract_run"), Wine.win_path(package),
                        Wine.win_path(dest), "--record"]

        def fresh():
            shutil.rmtree(dest, ignore_errors=True)

        def lines_written(count):
            def check():
                written = lines_file.read_bytes().count(b"PROGRESS:")
                if written != count:
                    sys.exit(f"the stand-in wrote {written} PROGRESS lines, not {count}")
            return check

        env = self.env(display=False)
        silent = self.env(display=False, VELDA_PS_SILENT="1")
        piped = Case("extract_run", extract_args, env, prepare=fresh)
        piped_silent = Case("extract_run, silent", extract_args, silent, prepare=fresh)
        # The launcher's side is proven once: the last line it read, and none when silent.
        for case, shown in ((piped, f"({entries}/{entries})"), (piped_silent, "(0/1)")):
            fresh()
            result = self.wine.run(case.args[1:], display=False, timeout=600, env={
                "VELDA_PS_SILENT": case.env.get("VELDA_PS_SILENT"),
                "VELDA_PS_LOG": Wine.win_path(ps_log)})
            if result.returncode != 0 or shown not in result.stdout:
                sys.exit(f"{case.name}: {result.stdout}{result.stderr}")
        # The reference runs the stand-in with the command line and the path variables that the
        # launcher gave it, through run_with_env, which quotes the script back into exactly that
        # line.
        records = [json.loads(line) for line in ps_log.read_text(encoding="utf-8").splitlines()]
        if len(records) != 2 or records[0] != records[1]:
            sys.exit(f"the PowerShell stand-in logged {records!r}")
        head, _, script = records[0]["command_line"].partition(' "')
        paths = {name: records[0][name] for name in ("VELDA_EXTRACT_ZIP", "VELDA_EXTRACT_DEST")}
        standin_args = [WINE64, self.helper("run_with_env"), "--", *head.split(), script[:-1]]
        to_file = Case("stand-in to file", shell_to_file(lines_file, standin_args),
                       {**env, **paths}, prepare=fresh, check=lines_written(entries))
        to_file_silent = Case("stand-in to file, silent", shell_to_file(lines_file, standin_args),
                              {**silent, **paths}, prepare=fresh, check=lines_written(0))

        round_robin([piped, piped_silent, to_file, to_file_silent], self.options.quick_runs)
        for case in (piped, piped_silent, to_file, to_file_silent):
            print(f"  {case.name}: {[round(s, 3) for s in case.seconds]}", file=sys.stderr,
                  flush=True)
        launcher = piped.minus(piped_silent) / entries
        reference = to_file.minus(to_file_silent) / entries
        # Two standard errors: a smaller reference figure is not told from zero.
        resolution = 2 * to_file.minus_error(to_file_silent) / entries
        requests = self.requests_per_line(extract_args, entries, fresh)
        counted = ("" if requests is None else
                   f" (strace counts {requests:.1f} calls that send a request per line, the "
                   "stand-in's and the launcher's together)")
        self.table.add(
            "4", f"extraction, per PROGRESS line ({entries} entries)", launcher, reference,
            seconds_text, "reference: stand-in writing to a file",
            "A line costs a WriteFile into the pipe by the stand-in and a ReadFile by the "
            "launcher, which sleeps in it until the line comes. Wine keeps an anonymous pipe in "
            "the wineserver: both calls, and the reader's wake-up, are wineserver requests"
            f"{counted}, each a switch to the wineserver and back; a write to a file goes "
            "straight to the Unix file.",
            resolution=resolution)
        self.table.detail(
            f"per PROGRESS line: launcher {seconds_text(launcher)} +- "
            f"{seconds_text(piped.minus_error(piped_silent) / entries)}, reference "
            f"{seconds_text(reference)} +- {seconds_text(resolution / 2)} (standard errors)")
        self.table.detail(
            f"extraction of {entries} entries: launcher {seconds_text(piped.median)} with "
            f"lines, {seconds_text(piped_silent.median)} silent; stand-in to a file "
            f"{seconds_text(to_file.median)}, silent {seconds_text(to_file_silent.median)}")

    def requests_per_line(self, args, entries: int, fresh) -> float | None:
        """(write + writev calls with the lines - the same silent) / entries: in a Wine client
        every wineserver request is one of these calls."""
        if shutil.which("strace") is None:
            return None
        counts = []
        for silent in (None, "1"):
            fresh()
            report = self.work / "strace.txt"
            result = subprocess.run(["strace", "-f", "-c", "-e", "trace=write,writev", "-o",
                                     str(report), *[str(a) for a in args]],
                                    env=self.env(display=False, VELDA_PS_SILENT=silent),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, timeout=600)
            if result.returncode != 0:
                return None
            calls = 0
            for line in report.read_text().splitlines():
                fields = line.split()
                if fields and fields[-1] in ("write", "writev"):
                    calls += int(fields[3])
            counts.append(calls)
        return (counts[0] - counts[1]) / entries


    # 6 ------------------------------------------------------------------------------------------

    def window_answers(self):
        """Runs each slow scenario --window-runs times under the probe. The silent server takes
        the launcher's port from the HTTPS server, so it comes last and the HTTPS one stays
        closed afterwards."""
        release = Release(self.https, self.helper("velda_standin"))
        body = release.package([("Velda.exe", PRODUCT), ("data/a.bin", bytes(300_000))])
        scenarios = {
            "slow package": ({}, lambda: release.publish_package(
                body=body, chunk_size=len(body) // 3 + 1, delay=3.0)),
            "slow extraction": ({"VELDA_PS_SLOW_MS": "1500"},
                                lambda: release.publish_package(body=body)),
            "silent manifest server": ({}, None),
        }
        longest = {name: [] for name in scenarios}
        for name, (extra_env, publish) in scenarios.items():
            silent = None
            if publish is None:
                self.https.close()
                silent = socket.create_server(("127.0.0.1", self.https.port))
                threading.Thread(target=hold_silently, args=(silent, 4.0), daemon=True).start()
            for index in range(self.options.window_runs):
                self.https.reset()
                if publish is not None:
                    publish()
                    release.publish_manifest()
                label = f"window-{name.replace(' ', '-')}-{index}"
                folder, install = self.launcher_folder(label, "1.0.0", "old")
                if publish is not None:
                    shutil.rmtree(install)  # a first installation: the full package
                env = self.env(**extra_env, VELDA_STANDIN_RECORD=Wine.win_path(
                    self.work / f"{label}.jsonl"))
                process = subprocess.Popen([WINE64, folder / "VeldaLauncher.exe"], env=env,
                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
                probe = WindowProbe(self.wine, self.helper("window_probe"), None)
                code = process.wait(300)
                answers = probe.finish()
                if code != 0 or not answers.get("found") or answers["unanswered"]:
                    sys.exit(f"window answers, {name}: exit code {code}, probe {answers}")
                longest[name].append(answers["longest_us"] / 1e6)
            if silent is not None:
                silent.shutdown(socket.SHUT_RDWR)  # wakes its accept(), which keeps the port
                silent.close()
        worst = max(max(values) for values in longest.values())
        self.table.add(
            "6", "longest window answer (slow runs)", worst, WINDOW_ANSWER_GOAL, seconds_text,
            "reference: the goal",
            "The status window has its own thread; an answer this long means that thread "
            "was not scheduled (the machine is shared) or the window was busy repainting.",
            note_above=1.0)
        for name, values in longest.items():
            self.table.detail(f"longest window answer, {name}, run by run: " +
                              " ".join(seconds_text(v) for v in values))

    # 10 -----------------------------------------------------------------------------------------

    def staged_package(self):
        """A package over the previous release's tree, unpacked in place (as the launcher did
        before it staged) against unpacked into staging and committed."""
        entries = self.options.entries
        folder = self.work / "staged"
        names = [f"data/d{i % 8}/s{i // 8 % 8}/f{i:05d}.dat" for i in range(entries)]
        previous = folder / "previous"
        for name in names[:entries * 9 // 10]:  # installed before; the package adds the rest
            write_file(previous / name, b"old " + name.encode() * 8)
        write_stamp(previous, "1.0.0")
        package = folder / "package.zip"
        package.write_bytes(build_zip([(name, b"new " + name.encode() * 8) for name in names]))
        install = folder / "velda"
        output = folder / "output.json"
        timings = []

        def fresh():
            for tree_root in (install, folder / "velda.staging", folder / "velda.staging.done"):
                shutil.rmtree(tree_root, ignore_errors=True)
            shutil.copytree(previous, install)

        def unpacked(staged: bool):
            def check():
                sample = install / names[-1]
                stamp = (install / "velda.version").read_text()
                if sample.read_bytes()[:4] != b"new " or stamp != ("2.0.0" if staged else "1.0.0"):
                    sys.exit(f"row 10: the package is not in place (stamp {stamp!r})")
                if staged:
                    line = json.loads(output.read_text().splitlines()[-1])
                    if not line["committed"] or line["files"] != entries:
                        sys.exit(f"row 10: staged_unpack_run printed {line}")
                    timings.append(line)
            return check

        env = self.env(display=False)
        zip_path, install_path = Wine.win_path(package), Wine.win_path(install)
        in_place = Case("unpack in place", [WINE64, self.helper("extract_run"), zip_path,
                                            install_path], env, prepare=fresh,
                        check=unpacked(False))
        staged = Case("unpack into staging and commit", shell_to_file(output, [
            WINE64, self.helper("staged_unpack_run"), zip_path, install_path, "2.0.0"]), env,
            prepare=fresh, check=unpacked(True))
        round_robin([in_place, staged], self.options.commit_runs)
        for case in (in_place, staged):
            print(f"  {case.name}: {[round(s, 2) for s in case.seconds]}", file=sys.stderr,
                  flush=True)
        commit = statistics.median(line["commit_s"] for line in timings[1:])  # warm-up left out
        cleanup = statistics.median(line["cleanup_s"] for line in timings[1:])
        # Up to the product's start: the old files set aside are deleted after it.
        until_start = statistics.median(
            whole - line["cleanup_s"] for whole, line in zip(staged.seconds, timings[1:]))
        self.table.add(
            "10", f"package of {entries} files, staged + commit / in place", until_start,
            in_place.median, seconds_text,
            f"commit {seconds_text(commit)} ({commit / until_start:.0%} of it); then "
            f"{seconds_text(cleanup)} deleting the old files after the product started",
            "Staging writes the same files one folder over; the commit then moves every file "
            "twice (the installed one into staging\\old, the new one in), each a wineserver "
            "round trip under Wine.")
        self.table.detail(
            f"package of {entries} files: unpacking into staging "
            f"{seconds_text(statistics.median(line['unpack_s'] for line in timings[1:]))}, "
            f"commit {seconds_text(commit)} (inside the process); whole processes "
            f"{seconds_text(staged.median)} against {seconds_text(in_place.median)} in place")

    # 11 -----------------------------------------------------------------------------------------

    def disk_peaks(self):
        """One launcher run per means over an installed 1.0.0, the release made by the release
        tool; a sampler keeps the peak of all bytes under the launcher's folder."""
        root = self.work / "disk"
        old, new = disk_products(root, self.helper("velda_standin"), self.options.disk_mib)
        release = root / "release"
        packed = subprocess.run(
            [self.options.release_tool, "pack", "--product", new, "--version", "2.0.0",
             "--server", self.https.base_url, "--out", release, "--previous", old,
             "--previous-version", "1.0.0"], capture_output=True, text=True, timeout=300)
        if packed.returncode != 0:
            sys.exit(f"velda-release pack failed: {packed.stderr}")
        downloads = release / "downloads"
        manifest_bytes = (downloads / "latest.json").read_bytes()
        # Without the changed-files members the launcher goes on to Velda.exe alone, and
        # without that file on the server to the package.
        fields = json.loads(manifest_bytes)
        without_changes = json.dumps({key: value for key, value in fields.items()
                                      if not key.startswith("changed_")}).encode()
        package = next(downloads.glob("*.zip"))
        old_files = {p.relative_to(old): p for p in old.rglob("*") if p.is_file()}
        new_files = {p.relative_to(new) for p in new.rglob("*") if p.is_file()}
        changed_or_removed = sum(
            path.stat().st_size for name, path in old_files.items()
            if name not in new_files or path.read_bytes() != (new / name).read_bytes())
        # The package's files replace every old file of the same name, changed or not.
        replaced = sum(path.stat().st_size for name, path in old_files.items()
                       if name in new_files)
        means = [
            ("changed files", manifest_bytes, True, tree_bytes(downloads / "changes"),
             "Archivos modificados aplicados correctamente.", changed_or_removed,
             "the old copies of the changed and removed files"),
            ("Velda.exe alone", without_changes, True,
             (downloads / "direct" / "Velda.exe").stat().st_size,
             "Instalacion previa detectada, descargando solo Velda.exe desde /downloads/direct...",
             (old / "Velda.exe").stat().st_size, "the old Velda.exe"),
            ("package", without_changes, False, package.stat().st_size,
             "Descomprimiendo actualizacion...",
             package.stat().st_size + replaced, "the zip + the old files it replaces"),
        ]
        for name, manifest_body, direct, downloaded, line, expected, expected_text in means:
            self.https.reset()
            for path in sorted(release.rglob("*")):
                if path.is_file() and (direct or "direct" not in path.parts):
                    self.https.route("/" + path.relative_to(release).as_posix(),
                                     path.read_bytes())
            self.https.route("/downloads/latest.json", manifest_body)
            folder, peak, final, at_peak = self.sampled_launcher_run(root, name, old, line)
            self.table.add(
                "11", f"peak extra disk, {name} / its download", (peak - final) / 2**20,
                downloaded / 2**20, mib_text,
                f"expected {expected_text}, {mib_text(expected / 2**20)}; at the peak " +
                ", ".join(f"{k} {mib_text(v / 2**20)}" for k, v in at_peak))
            left = [str(n) for n in old_files if n not in new_files
                    and (folder / "velda" / n).exists()]
            if left and name == "package":
                self.table.detail(f"after the package run, {len(left)} files that 2.0.0 no "
                                  f"longer has are still installed (e.g. {left[0]})")
        print("  row 11 done", file=sys.stderr, flush=True)

    def sampled_launcher_run(self, root: Path, name: str, installed: Path, line: str):
        """(launcher folder, peak bytes, final bytes, the peak's parts) of one launcher run over
        installed."""
        folder = root / name.replace(" ", "-").replace(".", "-")
        shutil.copytree(installed, folder / "velda")
        write_stamp(folder / "velda", "1.0.0")
        shutil.copy2(self.launcher_exe, folder / "VeldaLauncher.exe")
        record = root / f"{folder.name}.jsonl"
        env = self.env(display=False, VELDA_STANDIN_RECORD=Wine.win_path(record))
        with DiskSampler(folder) as sampler:
            result = subprocess.run([WINE64, folder / "VeldaLauncher.exe"], env=env,
                                    capture_output=True, timeout=600, stdin=subprocess.DEVNULL)
        output = result.stdout.decode("utf-8", "replace")
        stamp = (folder / "velda" / "velda.version").read_text()
        if result.returncode != 0 or line not in output or stamp != "2.0.0" or \
                wait_starts(record, 1)[-1:] == []:
            sys.exit(f"row 11, {name}: exit code {result.returncode}, stamp {stamp!r}\n{output}")
        final = sum(folder_parts(folder).values())
        return folder, sampler.peak, final, sampler.peak_parts

def hold_silently(listener, hold_s: float):
    """Accepts connections and closes each after hold_s without a byte."""
    while True:
        try:
            connection, _ = listener.accept()
        except OSError:
            return
        threading.Timer(hold_s, connection.close).start()


def write_file(path: Path, data: bytes):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def tree_bytes(folder: Path) -> int:
    return sum(path.stat().st_size for path in folder.rglob("*") if path.is_file())


def disk_products(root: Path, standin_exe: Path, mib: int) -> tuple[Path, Path]:
    """Two product folders of about mib MiB in 64 files of bytes that do not compress (so the
    zip is as big as what it holds): 2.0.0 replaces 48 of 1.0.0's files, removes 8 and adds 8."""
    size = (mib << 20) // 64
    noise = random.Random(11)
    old, new = root / "product-1.0.0", root / "product-2.0.0"
    write_file(old / "Velda.exe", standin_bytes(standin_exe, "1.0.0"))
    write_file(new / "Velda.exe", standin_bytes(standin_exe, "2.0.0"))
    for index in range(64):
        name = f"data/pack{index // 16}/part{index:02d}.bin"
        write_file(old / name, noise.randbytes(size))
        if index < 48:
            write_file(new / name, noise.randbytes(size))  # replaced
        elif index < 56:
            write_file(new / name, (old / name).read_bytes())  # the same
        else:  # removed, and another file added
            write_file(new / f"data/added/part{index:02d}.bin", noise.randbytes(size))
    return old, new


def folder_parts(folder: Path) -> dict:
    """The bytes of every file under a launcher folder, by part: the staging folder, the
    downloads in the install folder (package, part files, the changed-files list and its hash
    file) and the rest, the installation (with the launcher itself)."""
    parts = {"installed": 0, "staging": 0, "downloads": 0}
    pending = [(folder, "installed")]
    while pending:
        current, part = pending.pop()
        try:
            entries = list(os.scandir(current))
        except OSError:
            continue  # a folder the launcher just moved or removed
        for entry in entries:
            try:
                if entry.is_dir(follow_symlinks=False):
                    inner = "staging" if entry.name.endswith(".staging") else part
                    pending.append((entry.path, inner))
                    continue
                size = entry.stat(follow_symlinks=False).st_size
            except OSError:
                continue
            download = part == "installed" and (
                entry.name.endswith((".zip", ".velda-part", ".sha256"))
                or entry.name.startswith("velda-changes-"))
            parts["downloads" if download else part] += size
    return parts


class DiskSampler:
    """Sums the bytes under a folder every 15 ms on a thread of its own and keeps the peak, with
    its parts. A file moved between two folders while they are read may be seen twice or not at
    all: a peak can be one file off."""

    def __init__(self, folder: Path, interval: float = 0.015):
        self.folder = folder
        self.interval = interval
        self.peak = 0
        self.peak_parts = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    def _sample(self):
        while not self._stop.is_set():
            parts = folder_parts(self.folder)
            if sum(parts.values()) > self.peak:
                self.peak = sum(parts.values())
                self.peak_parts = [(k, v) for k, v in parts.items() if v]
            self._stop.wait(self.interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


# -- set-up -------------------------------------------------------------------------------------


def check_build(build: Path, port: int):
    for name in ("winhttp_reference", "http_fetch", "extract_run", "powershell_standin",
                 "run_with_env", "trust_ca", "velda_standin", "desktop_keeper", "window_probe",
                 "staged_unpack_run"):
        if not (build / "tests" / "helpers" / f"{name}.exe").exists():
            sys.exit(f"{name}.exe is missing in {build}: build the Windows tree "
                     "(set VELDA_WIN_BUILD)")
    launcher = build / "src" / "VeldaLauncher.exe"
    wanted = f"https://localhost:{port}/downloads/latest.json"
    if not launcher.exists() or wanted.encode() not in launcher.read_bytes():
        sys.exit(f"{launcher} does not ask {wanted}: build it with "
                 f"-DVELDA_DOWNLOAD_SERVER=https://localhost:{port} (or set VELDA_TEST_PORT)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="64,256,512", help="package sizes in MiB (row 1)")
    parser.add_argument("--runs", type=int, default=5,
                        help="timed runs of every download variant (row 1)")
    parser.add_argument("--quick-runs", type=int, default=15,
                        help="timed runs of every variant of rows 2 to 4")
    parser.add_argument("--files", type=int, default=100, help="changed files (row 3)")
    parser.add_argument("--entries", type=int, default=5000, help="package entries (row 4)")
    parser.add_argument("--window-runs", type=int, default=3,
                        help="runs of every slow scenario (row 6)")
    parser.add_argument("--commit-runs", type=int, default=3,
                        help="timed runs of each variant of row 10")
    parser.add_argument("--disk-mib", type=int, default=16,
                        help="size of the product in MiB (row 11)")
    parser.add_argument("--rows", default="1,2,3,4,5,6,7,8,9,10,11",
                        help="which rows to measure")
    parser.add_argument("--nagle", action="store_true",
                        help="leave Nagle's algorithm on at the servers (about 40 ms per GET)")
    options = parser.parse_args()
    if options.runs < 1 or options.quick_runs < 2:
        parser.error("--runs must be at least 1 and --quick-runs at least 2")
    options.rows = set(options.rows.split(","))

    build = Path(os.environ.get("VELDA_WIN_BUILD", REPO / "build" / "win")).resolve()
    port = int(os.environ.get("VELDA_TEST_PORT", "48443"))
    check_build(build, port)
    native = Path(os.environ.get("VELDA_NATIVE_BUILD", REPO / "build" / "native")).resolve()
    options.release_tool = native / "tools" / "velda-release" / "velda-release"
    if "11" in options.rows and not options.release_tool.exists():
        sys.exit(f"{options.release_tool} is missing: build the native tree "
                 "(set VELDA_NATIVE_BUILD)")

    work = Path(tempfile.mkdtemp(prefix="bench-table-", dir="/tmp"))
    prefix = Path(tempfile.mkdtemp(prefix="bench-wine-", dir="/tmp"))
    xvfb = None if os.environ.get("DISPLAY") else Xvfb()
    wine = Wine(prefix, os.environ.get("DISPLAY") or xvfb.display)
    servers = []
    try:
        helpers = build / "tests" / "helpers"
        # The e2e set-up: persistent wineserver, no window manager wait, the desktop held on
        # the X display, the test CA trusted, the PowerShell stand-in in system32.
        wine._boot(helpers / "desktop_keeper.exe")
        certs = TestCertificates(work / "certs")
        trusted = wine.run([helpers / "trust_ca.exe", wine.win_path(certs.ca_der)])
        if trusted.returncode != 0:
            sys.exit(f"trust_ca failed: {trusted.stdout}{trusted.stderr}")
        wine.install_powershell(helpers / "powershell_standin.exe")
        try:
            https = TestServer(port, *certs.good)
        except OSError as error:
            sys.exit(f"cannot listen on 127.0.0.1:{port} ({error}): set VELDA_TEST_PORT")
        servers.append(https)
        plain = TestServer(0)
        servers.append(plain)

        bench = Bench(options, wine, build, work, https, plain)
        bench.ca_pem = certs.ca
        if "1" in options.rows:
            bench.downloads()
        if options.rows & {"2", "3"}:
            bench.launcher_runs()
        if "4" in options.rows:
            bench.progress_lines()
        if "5" in options.rows:
            bench.hashing()
        if "9" in options.rows:
            bench.cut_package()
        if "8" in options.rows:
            bench.through_latency_proxy()
        if "10" in options.rows:
            bench.staged_package()
        if "11" in options.rows:
            bench.disk_peaks()
        # Rows 6 and 7 take the launcher's port from the HTTPS server: they come last.
        if "6" in options.rows:
            bench.window_answers()
        if "7" in options.rows:
            bench.silent_server()
        bench.table.print(
            f"Launcher against plain references on loopback under Wine: medians of "
            f"{options.runs} runs (row 1), {options.quick_runs} runs (rows 2 to 4) and "
            f"{options.commit_runs} runs (row 10) each, "
            f"variants round-robin after a warm-up round, on a machine of {os.cpu_count()} "
            f"cores shared with others.")
    finally:
        for server in servers:
            server.close()
        wine.close()
        if xvfb:
            xvfb.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
