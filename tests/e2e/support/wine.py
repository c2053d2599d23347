"""One Wine prefix per test session, with its own X display when the environment has none."""

import os
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path, PureWindowsPath

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
DLL_OVERRIDES = "mscoree,mshtml=;powershell.exe=n"
# Where the launcher looks for PowerShell, under system32, first one first; Wine's own program
# is at the first.
POWERSHELL_PLACES = ("WindowsPowerShell/v1.0/powershell.exe", "powershell.exe")


class Xvfb:
    """A virtual X server on a display number that it picks itself."""

    def __init__(self, timeout: float = 20):
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            os.close(write_end)
        try:
            number = self._read_display(read_end, timeout)
        finally:
            os.close(read_end)
        self.display = f":{number}"

    def _read_display(self, fd, timeout):
        deadline = time.monotonic() + timeout
        text = b""
        while b"\n" not in text:
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(0.0, remaining))
            if not ready:
                self.stop()
                raise RuntimeError("Xvfb did not report its display in time")
            piece = os.read(fd, 64)
            if not piece:
                self.stop()
                raise RuntimeError("Xvfb ended before reporting its display")
            text += piece
        return int(text.strip())

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)


class Wine:
    """A fresh 64-bit prefix. Programs are started by their Linux path; every process that this
    object starts is its own child, and close() ends the prefix's server and nothing else."""

    def __init__(self, prefix: Path, display: str | None):
        self.prefix = prefix
        self.display = display
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES=DLL_OVERRIDES)
        self.env.pop("WAYLAND_DISPLAY", None)
        if display:
            self.env["DISPLAY"] = display
        self._keeper = None

    @classmethod
    def create(cls, display: str | None, keeper_exe: Path | None) -> "Wine":
        prefix = Path(tempfile.mkdtemp(prefix="e2e-wine-", dir="/tmp"))
        wine = cls(prefix, display)
        try:
            wine._boot(keeper_exe)
        except BaseException:
            wine.close()
            raise
        return wine

    def _boot(self, keeper_exe):
        # A persistent server keeps the prefix's services up between the tests' short runs.
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True, timeout=30)
        subprocess.run([WINE64, "wineboot", "-i"], env=self.env, check=True, timeout=300,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # With no window manager on the display, Wine waits 2 s for one on every unmap.
        self.run([WINE64, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                  "/d", "N", "/f"], check=True, timeout=60)
        if keeper_exe is not None and self.display:
            self._keeper = self.popen([keeper_exe], stdin=subprocess.PIPE,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _command(self, args):
        first = str(args[0])
        rest = [str(a) for a in args[1:]]
        return [first, *rest] if first == WINE64 else [WINE64, first, *rest]

    def environment(self, env: dict | None = None, display: bool = True) -> dict:
        merged = dict(self.env)
        for name, value in (env or {}).items():
            if value is None:
                merged.pop(name, None)
            else:
                merged[name] = value
        if not display:
            merged.pop("DISPLAY", None)
        return merged

    def run(self, args, env=None, timeout=60, cwd=None, display=True, check=False,
            input=None, text=True) -> subprocess.CompletedProcess:
        """Runs args[0] (a Linux path of an .exe, or a program name Wine knows) to its end.
        Output is captured; text output is decoded as UTF-8."""
        return subprocess.run(self._command(args), env=self.environment(env, display),
                              timeout=timeout, cwd=cwd, check=check, input=input,
                              capture_output=True, text=text,
                              **({"encoding": "utf-8", "errors": "replace"} if text else {}))

    def popen(self, args, env=None, cwd=None, display=True, **options) -> subprocess.Popen:
        options.setdefault("stdin", subprocess.DEVNULL)
        options.setdefault("stdout", subprocess.PIPE)
        options.setdefault("stderr", subprocess.PIPE)
        return subprocess.Popen(self._command(args), env=self.environment(env, display), cwd=cwd,
                                **options)

    @staticmethod
    def win_path(linux_path) -> str:
        """The Windows form of a Linux path, through drive Z: (the root of the Linux tree)."""
        absolute = os.path.abspath(str(linux_path))
        return "Z:" + absolute.replace("/", "\\")

    def linux_path(self, win_path: str) -> Path:
        """The Linux form of a Z: or C: path."""
        path = PureWindowsPath(win_path)
        parts = path.parts[1:]
        drive = path.drive.upper()
        if drive == "Z:":
            return Path("/", *parts)
        if drive == "C:":
            return Path(self.prefix, "drive_c", *parts)
        raise ValueError(f"no Linux form known for {win_path}")

    @property
    def system32(self) -> Path:
        return self.prefix / "drive_c" / "windows" / "system32"

    def install_powershell(self, program: Path):
        """Puts program (the PowerShell stand-in) wherever the launcher may look for PowerShell."""
        for place in POWERSHELL_PLACES:
            target = self.system32 / place
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(program, target)

    def close(self, remove: bool = True):
        if self._keeper is not None:
            try:
                self._keeper.stdin.close()
                self._keeper.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self._keeper.kill()
                self._keeper.wait(5)
            self._keeper = None
        # -k ends every process of this prefix only; -w waits for its server to go.
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if remove:
            shutil.rmtree(self.prefix, ignore_errors=True)
