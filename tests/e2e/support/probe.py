"""window_probe.exe in the background: how long the status window took to answer at worst."""

import json
import subprocess
from pathlib import Path


class WindowProbe:
    """Probes the status window of process pid, or the first one found when pid is None."""

    def __init__(self, wine, probe_exe: Path, pid: int | None, limit_s: float = 120):
        self.limit_s = limit_s
        args = [probe_exe, "--wait", "10000", "--for", str(int(limit_s * 1000))]
        if pid is not None:
            args += ["--pid", str(pid)]
        self.process = wine.popen(args)

    def finish(self) -> dict:
        """{"found", "probes", "longest_us", "unanswered", "gone"} once the window has gone."""
        try:
            out, err = self.process.communicate(timeout=self.limit_s + 60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        for line in reversed(out.decode("utf-8", "replace").splitlines()):
            if line.strip().startswith("{"):
                return json.loads(line)
        raise AssertionError(f"window_probe gave no report: {err.decode(errors='replace')}")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
