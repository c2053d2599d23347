"""Runs VeldaLauncher.exe under Wine and gathers what a run leaves behind: exit code, log lines,
the message box it showed, and the start records of the product stand-in."""

import json
import shutil
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

from .wine import Wine

LOG_PREFIX = "[launcher] "
ALREADY_RUNNING = "Launcher ya esta ejecutandose; se enfocara la ventana existente."
KILLED_EXIT_CODE = 99


class _Fresh:
    def __repr__(self):
        return "FRESH"


# APPDATA of a run: FRESH is a new empty folder, None leaves the variable unset, a str is used
# as it is (the empty string included), a Path is converted to its Windows form.
FRESH = _Fresh()


@dataclass
class Box:
    text: str
    caption: str
    buttons: list
    status_window: bool  # the launcher's status window still existed while the box was up
    status_window_visible: bool
    pid: int

    @classmethod
    def from_json(cls, data: dict) -> "Box":
        return cls(data["text"], data["caption"], data["buttons"], data["status_window"],
                   data["status_window_visible"], data["pid"])


@dataclass
class LauncherRun:
    exit_code: int
    lines: list  # log lines without the "[launcher] " prefix
    stdout: str
    stderr: str
    box: Box | None
    starts: list  # one dict per product start, in the order they were recorded
    child_pid: int | None
    record_file: Path
    other_output: list = field(default_factory=list)  # stdout lines without the prefix

    def read_starts(self) -> list:
        return read_records(self.record_file)

    def wait_starts(self, count: int = 1, timeout: float = 10) -> list:
        self.starts = wait_records(self.record_file, count, timeout)
        return self.starts

    def describe(self) -> str:
        return (f"exit code {self.exit_code}\nlog:\n  " + "\n  ".join(self.lines) +
                f"\nbox: {self.box}\nstarts: {self.starts}\nstderr: {self.stderr.strip()}")


def read_records(path: Path) -> list:
    if not path.exists():
        return []
    records = []
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        if line.strip():
            records.append(json.loads(line))
    return records


def wait_records(path: Path, count: int, timeout: float) -> list:
    deadline = time.monotonic() + timeout
    while True:
        records = read_records(path)
        if len(records) >= count or time.monotonic() >= deadline:
            return records
        time.sleep(0.05)


def parse_log(stdout: str) -> tuple[list, list]:
    lines, other = [], []
    for raw in stdout.splitlines():
        line = raw.rstrip("\r")
        if line.startswith(LOG_PREFIX):
            lines.append(line[len(LOG_PREFIX):])
        elif line:
            other.append(line)
    return lines, other


def _last_json(text: str):
    for line in reversed(text.splitlines()):
        line = line.strip()
        if line.startswith("{"):
            return json.loads(line)
    return None


class _Reader(threading.Thread):
    """Collects a pipe's bytes; calls on_line for each complete line."""

    def __init__(self, pipe, on_line=None):
        super().__init__(daemon=True)
        self.pipe = pipe
        self.on_line = on_line
        self.data = bytearray()

    def run(self):
        pending = b""
        for chunk in iter(lambda: self.pipe.read1(65536), b""):
            self.data += chunk
            if self.on_line:
                pending += chunk
                *complete, pending = pending.split(b"\n")
                for line in complete:
                    self.on_line(line.decode("utf-8", "replace").strip())

    def text(self, encoding="utf-8") -> str:
        return bytes(self.data).decode(encoding, "replace")


class LauncherProcess:
    """A launcher started through run_with_env.exe; wait() collects the run."""

    def __init__(self, harness: "LauncherHarness", folder: Path, appdata, env: dict | None,
                 display: bool, close_boxes: bool, timeout: float, exe_name: str, cwd,
                 record_file: Path | None, kill_when_exists: Path | None):
        self.harness = harness
        self.wine = harness.wine
        self.timeout = timeout
        self.display = display
        self.run_dir = harness.new_run_dir()
        self.record_file = record_file or self.run_dir / "starts.jsonl"
        self._pid_known = threading.Event()
        self.child_pid = None
        self._closer = None
        self._closer_reader = None
        self._closer_lock = threading.Lock()
        self._finished = False

        args = [harness.helper("run_with_env")]
        if appdata is FRESH:
            appdata = self.run_dir / "appdata"
            appdata.mkdir()
        if appdata is None:
            args += ["--unset", "APPDATA"]
        else:
            value = appdata if isinstance(appdata, str) else Wine.win_path(appdata)
            args += ["--set", f"APPDATA={value}"]
        args += ["--set", f"VELDA_STANDIN_RECORD={Wine.win_path(self.record_file)}"]
        # The test's own LOCALAPPDATA (log, record of the newest release taken): one test's runs
        # share it, no other test sees it. env may still set or unset it.
        args += ["--set", f"LOCALAPPDATA={Wine.win_path(harness.local_appdata)}"]
        for name, value in (env or {}).items():
            args += ["--unset", name] if value is None else ["--set", f"{name}={value}"]
        args += ["--cwd", Wine.win_path(cwd or self.run_dir)]
        if kill_when_exists is not None:
            args += ["--kill-when-exists", Wine.win_path(kill_when_exists)]
        args += ["--kill-after-ms", str(int(timeout * 1000)), "--",
                 Wine.win_path(folder / exe_name)]

        self._close_boxes = close_boxes and display
        self.started_at = time.monotonic()
        self.process = self.wine.popen(args, display=display)
        harness.track(self)
        self._stdout = _Reader(self.process.stdout)
        self._stderr = _Reader(self.process.stderr, self._on_stderr_line)
        self._stdout.start()
        self._stderr.start()

    def _on_stderr_line(self, line: str):
        if line.startswith("child-pid=") and self.child_pid is None:
            self.child_pid = int(line.split("=", 1)[1])
            self._pid_known.set()
            if self._close_boxes:
                self._start_closer()

    def _start_closer(self):
        with self._closer_lock:
            if self._finished:
                return
            self._closer = self.wine.popen(
                [self.harness.helper("msgbox_closer"), "--pid", str(self.child_pid),
                 "--timeout-ms", str(int(self.timeout * 1000))])
            self._closer_reader = _Reader(self._closer.stdout)
            self._closer_reader.start()

    def wait_pid(self, timeout: float = 30) -> int:
        assert self._pid_known.wait(timeout), "run_with_env did not report the launcher's pid"
        return self.child_pid

    def poll(self):
        return self.process.poll()

    def lines_so_far(self) -> list:
        return parse_log(self._stdout.text("cp1252"))[0]

    def wait_line(self, line: str, timeout: float = 30):
        """Waits until the launcher has logged line (the launcher flushes every line)."""
        deadline = time.monotonic() + timeout
        while line not in self.lines_so_far():
            assert self.process.poll() is None or self._stdout.is_alive(), \
                f"launcher ended without logging {line!r}: {self.lines_so_far()}"
            assert time.monotonic() < deadline, \
                f"launcher did not log {line!r} in {timeout} s: {self.lines_so_far()}"
            time.sleep(0.02)

    def _stop_closer(self) -> Box | None:
        with self._closer_lock:
            self._finished = True
            closer, reader = self._closer, self._closer_reader
        if closer is None:
            return None
        if not reader.data.strip():
            # No box so far, and none can come now that the launcher has ended.
            closer.kill()
        try:
            closer.wait(5)
        except subprocess.TimeoutExpired:
            closer.kill()
            closer.wait(5)
        reader.join(5)
        report = _last_json(reader.text())
        if report and report.get("found"):
            return Box.from_json(report)
        return None

    def kill(self):
        """Ends the launcher (by its Windows pid) and every helper this run started."""
        with self._closer_lock:
            self._finished = True
            closer = self._closer
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        if self.child_pid is not None:
            self.wine.run(["taskkill", "/F", "/PID", str(self.child_pid)], timeout=30)
        if closer is not None and closer.poll() is None:
            closer.kill()
            closer.wait(10)

    def wait(self, expect_box=None, expect_start=None, start_timeout: float = 10) -> LauncherRun:
        try:
            self.process.wait(self.timeout + 15)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"launcher still running after {self.timeout + 15} s; killed\n"
                                 f"stdout so far:\n{self._stdout.text('cp1252')}")
        self._stdout.join(10)
        self._stderr.join(10)
        box = self._stop_closer()
        self.harness.untrack(self)
        stdout = self._stdout.text("cp1252")
        stderr = self._stderr.text()
        lines, other = parse_log(stdout)
        exit_code = self.process.returncode
        if exit_code == KILLED_EXIT_CODE and "killed=timeout" in stderr:
            if self.child_pid is not None:
                self.wine.run(["taskkill", "/F", "/PID", str(self.child_pid)], timeout=30)
            raise AssertionError(f"launcher did not end within {self.timeout} s and was killed;"
                                 f" log so far: {lines}; box: {box}")

        if expect_start is None:
            expect_start = exit_code == 0 and ALREADY_RUNNING not in lines
        starts = (wait_records(self.record_file, 1, start_timeout) if expect_start
                  else read_records(self.record_file))
        run = LauncherRun(exit_code, lines, stdout, stderr, box, starts, self.child_pid,
                          self.record_file, other)
        if expect_box is True and self.display and box is None:
            raise AssertionError("expected a message box, none appeared\n" + run.describe())
        if expect_box is False and box is not None:
            raise AssertionError(f"unexpected message box {box.text!r}\n" + run.describe())
        return run


class LauncherHarness:
    """Everything a test needs to run launchers and look at their windows."""

    def __init__(self, wine: Wine, win_build: Path, work_dir: Path):
        self.wine = wine
        self.win_build = win_build
        self.work_dir = work_dir
        self.launcher_exe = win_build / "src" / "VeldaLauncher.exe"
        self.local_appdata = work_dir / "localappdata"
        self.local_appdata.mkdir(parents=True, exist_ok=True)
        self._runs = 0
        self._live: list[LauncherProcess] = []
        self._watches: list = []

    # -- files --------------------------------------------------------------------------------

    def helper(self, name: str) -> Path:
        path = self.win_build / "tests" / "helpers" / f"{name}.exe"
        assert path.exists(), f"test helper missing: {path} (build the Windows tree)"
        return path

    @property
    def standin_exe(self) -> Path:
        return self.helper("velda_standin")

    def new_run_dir(self) -> Path:
        self._runs += 1
        path = self.work_dir / f"run-{self._runs}"
        path.mkdir(parents=True)
        return path

    def make_launcher_dir(self, name: str = "launcher", exe_name: str = "VeldaLauncher.exe") -> Path:
        """A new folder (name may hold spaces, quotes and sub-folders) with the launcher in it."""
        assert self.launcher_exe.exists(), f"launcher missing: {self.launcher_exe}"
        folder = self.work_dir / name
        folder.mkdir(parents=True, exist_ok=False)
        shutil.copy2(self.launcher_exe, folder / exe_name)
        return folder

    # -- launcher runs ------------------------------------------------------------------------

    def start(self, folder: Path, appdata=FRESH, env: dict | None = None, display: bool = True,
              close_boxes: bool = True, timeout: float = 60, exe_name: str = "VeldaLauncher.exe",
              cwd: Path | None = None, record_file: Path | None = None,
              kill_when_exists: Path | None = None) -> LauncherProcess:
        """Starts a launcher and returns at once. With close_boxes, a box of this launcher is
        read and closed as soon as it appears; without, the test deals with it (wait_box)."""
        return LauncherProcess(self, folder, appdata, env, display, close_boxes, timeout,
                               exe_name, cwd, record_file, kill_when_exists)

    def run(self, folder: Path, appdata=FRESH, env: dict | None = None, display: bool = True,
            expect_box=False, expect_start=None, timeout: float = 60, **options) -> LauncherRun:
        """Runs a launcher to its end. expect_box: True/False asserts that a box was or was not
        shown (only checked with a display), None checks nothing. The product's start records
        are awaited when the run ended with 0 (and was not a second instance) or expect_start."""
        process = self.start(folder, appdata=appdata, env=env, display=display,
                             timeout=timeout, **options)
        return process.wait(expect_box=expect_box, expect_start=expect_start)

    def track(self, process):
        self._live.append(process)

    def untrack(self, process):
        if process in self._live:
            self._live.remove(process)

    def cleanup(self):
        for process in list(self._live):
            process.kill()
        self._live.clear()
        for watch in self._watches:
            if watch.process.poll() is None:
                watch.process.kill()
                watch.process.wait(10)
        self._watches.clear()

    # -- windows ------------------------------------------------------------------------------

    def inspect_window(self, pid: int | None = None, wait_ms: int = 10000,
                       minimize: bool = False) -> dict:
        """The status window as window_inspector reports it; {"found": False} when none."""
        args = [self.helper("window_inspector"), "--wait", str(wait_ms)]
        if pid is not None:
            args += ["--pid", str(pid)]
        if minimize:
            args.append("--minimize")
        result = self.wine.run(args, timeout=wait_ms / 1000 + 30)
        report = _last_json(result.stdout)
        assert report is not None, f"window_inspector gave no report: {result.stderr}"
        return report

    def start_watch(self, pid: int | None = None, wait_ms: int = 10000, watch_ms: int = 30000,
                    until_gone: bool = True) -> "WindowWatch":
        """Samples the status window's text every 20 ms in the background."""
        args = [self.helper("window_inspector"), "--wait", str(wait_ms), "--watch",
                str(watch_ms)]
        if pid is not None:
            args += ["--pid", str(pid)]
        if until_gone:
            args.append("--until-gone")
        watch = WindowWatch(self.wine.popen(args), (wait_ms + watch_ms) / 1000 + 30)
        self._watches.append(watch)
        return watch

    def wait_box(self, pid: int | None = None, timeout: float = 10,
                 close: bool = False) -> Box | None:
        """Waits for a "Velda Launcher" box; leaves it open unless close."""
        args = [self.helper("msgbox_closer"), "--timeout-ms", str(int(timeout * 1000))]
        if pid is not None:
            args += ["--pid", str(pid)]
        if not close:
            args.append("--no-close")
        result = self.wine.run(args, timeout=timeout + 30)
        report = _last_json(result.stdout)
        return Box.from_json(report) if report and report.get("found") else None

    def close_box(self, pid: int | None = None, timeout: float = 10) -> Box | None:
        return self.wait_box(pid, timeout, close=True)


class WindowWatch:
    def __init__(self, process: subprocess.Popen, timeout: float):
        self.process = process
        self.timeout = timeout

    def finish(self) -> tuple[list, bool]:
        """(the distinct texts in the order seen, whether the window went away)."""
        try:
            out, _ = self.process.communicate(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate()
        texts, gone = [], False
        for line in out.decode("utf-8", "replace").splitlines():
            if not line.strip().startswith("{"):
                continue
            item = json.loads(line)
            if "text" in item:
                texts.append(item["text"])
            elif "gone" in item:
                gone = item["gone"]
        return texts, gone
