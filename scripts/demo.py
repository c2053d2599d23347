"""The launcher's main job, shown against a local HTTPS download server.

Release 1.0.0 is installed into a fresh launcher folder from its full package; then release 1.1.0
updates it through its changed-files list. Both releases are made and signed with velda-release
pack, and the launcher holds the public key of the demo's key pair.
Screenshots of the status window are taken during a download and during an extraction.
"""

import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from support.certs import TestCertificates  # noqa: E402
from support.launcher import LauncherHarness  # noqa: E402
from support.scenario import put_standin  # noqa: E402
from support.server import TestServer  # noqa: E402
from support.wine import Wine, Xvfb  # noqa: E402

WIN_BUILD = Path(os.environ.get("VELDA_WIN_BUILD", REPO / "build" / "demo-win"))
NATIVE_BUILD = Path(os.environ.get("VELDA_NATIVE_BUILD", REPO / "build" / "native"))
PORT = int(os.environ.get("VELDA_DEMO_PORT", "48643"))
OUT = Path(os.environ.get("VELDA_DEMO_OUT", REPO / "build" / "demo"))
RELEASE_TOOL = NATIVE_BUILD / "tools" / "velda-release" / "velda-release"
# A launcher built with the demo's release public key, and the private key that signs for it.
LAUNCHER = os.environ.get("VELDA_DEMO_LAUNCHER")
SIGN_KEY = os.environ.get("VELDA_DEMO_SIGN_KEY")


def say(text):
    print(f"\n== {text}", flush=True)


def make_product(folder: Path, standin: Path, version: str, extra: dict):
    """A demo product: the stand-in as Velda.exe, which records each start, plus data files."""
    put_standin(standin, folder / "Velda.exe", f"demo product {version}", version_txt=version)
    for name, content in extra.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)


def pack(product: Path, version: str, out: Path, previous: tuple | None = None):
    args = [str(RELEASE_TOOL), "pack", "--product", str(product), "--version", version,
            "--server", f"https://localhost:{PORT}", "--out", str(out)]
    if previous:
        args += ["--previous", str(previous[0]), "--previous-version", previous[1]]
    if SIGN_KEY:
        args += ["--sign-key", SIGN_KEY]
    subprocess.run(args, check=True)


def publish(server: TestServer, root: Path, slow_suffix: str = ".zip"):
    """Serves every file of a document root; packages trickle so the window can be seen."""
    server.reset()
    for path in root.rglob("*"):
        if path.is_file():
            slow = path.name.endswith(slow_suffix)
            server.route("/" + path.relative_to(root).as_posix(), path.read_bytes(),
                         chunk_size=32768 if slow else 65536, delay=0.04 if slow else 0.0)


def screenshot(wine: Wine, harness: LauncherHarness, pid: int, wanted: str, name: str,
               timeout: float = 30) -> str | None:
    """Waits until the status text holds wanted, then saves the screen around the window."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        report = harness.inspect_window(pid, wait_ms=2000)
        if report.get("found") and wanted in report.get("text", ""):
            target = OUT / name
            subprocess.run(["import", "-display", wine.display, "-window", "root", str(target)],
                           check=True, env=wine.env)
            geometry = (f"{report['width']}x{report['height']}"
                        f"+{report.get('x', 0)}+{report.get('y', 0)}")
            subprocess.run(["convert", str(target), "-crop", geometry, "+repage", str(target)],
                           check=True)
            print(f"   screenshot {target}: {report['text']!r}")
            return report["text"]
        time.sleep(0.05)
    print(f"   (no screenshot: the window never showed {wanted!r})")
    return None


def show_run(run, install: Path):
    print(f"   exit code {run.exit_code}")
    for line in run.lines:
        print(f"   [launcher] {line}")
    for start in run.starts:
        print(f"   product started: {start.get('tag')!r} from {start.get('folder')} "
              f"(current directory {start.get('cwd')})")
    stamp = install / "velda.version"
    print(f"   velda.version: {stamp.read_bytes()!r}" if stamp.exists() else "   no stamp")


def main():
    for needed in (RELEASE_TOOL, WIN_BUILD / "src" / "VeldaLauncher.exe"):
        if not needed.exists():
            sys.exit(f"missing {needed}: run scripts/demo.sh")
    OUT.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="velda-demo-"))
    helpers = WIN_BUILD / "tests" / "helpers"
    standin = helpers / "velda_standin.exe"

    xvfb = None if os.environ.get("DISPLAY") else Xvfb()
    display = os.environ.get("DISPLAY") or xvfb.display
    say(f"Wine prefix and display {display}")
    wine = Wine.create(display, helpers / "desktop_keeper.exe")
    server = None
    try:
        certs = TestCertificates(work / "certs")
        wine.run([helpers / "trust_ca.exe", wine.win_path(certs.ca_der)], check=True)
        # Wine's own powershell.exe does nothing; the demo unpacks with the test stand-in.
        wine.install_powershell(helpers / "powershell_standin.exe")
        server = TestServer(PORT, *certs.good)

        say("Releases 1.0.0 and 1.1.0, made with velda-release pack" + (" and signed" if SIGN_KEY else ""))
        rng = random.Random(7)
        textures = bytes(rng.getrandbits(8) for _ in range(3 * 1024 * 1024))
        v1, v2 = work / "product-1.0.0", work / "product-1.1.0"
        make_product(v1, standin, "1.0.0", {
            "data/readme.txt": b"Velda 1.0.0\r\n",
            "data/old notes.txt": b"removed in 1.1.0\r\n",
            "assets/textures.bin": textures,
        })
        make_product(v2, standin, "1.1.0", {
            "data/readme.txt": b"Velda 1.1.0\r\n",
            "assets/textures.bin": textures,
            "assets/levels/level 1.map": b"new in 1.1.0\r\n",
        })
        release1, release2 = work / "release-1.0.0", work / "release-1.1.0"
        pack(v1, "1.0.0", release1)
        pack(v2, "1.1.0", release2, previous=(v1, "1.0.0"))
        print((release2 / "downloads" / "latest.json").read_text())

        harness = LauncherHarness(wine, WIN_BUILD, work / "runs")
        if LAUNCHER:
            harness.launcher_exe = Path(LAUNCHER)
        launcher = harness.make_launcher_dir("Velda Launcher")
        install = launcher / "velda"

        say("Run 1: installation from nothing, through the full package")
        publish(server, release1)
        process = harness.start(launcher, timeout=120,
                                env={"VELDA_PS_SLOW_MS": "400"})
        pid = process.wait_pid()
        screenshot(wine, harness, pid, "MB", "download.png")
        screenshot(wine, harness, pid, "(1/", "extraction.png")
        show_run(process.wait(expect_box=False), install)

        say("Run 2: update from 1.0.0 to 1.1.0, through changed files")
        publish(server, release2)
        run = harness.run(launcher, timeout=120, expect_box=False)
        show_run(run, install)
        print("   install folder now holds:")
        for path in sorted(install.rglob("*")):
            if path.is_file():
                print(f"     {path.relative_to(install).as_posix()}")
        say(f"Screenshots in {OUT}")
        harness.cleanup()
    finally:
        if server:
            server.close()
        wine.close()
        if xvfb:
            xvfb.stop()


if __name__ == "__main__":
    main()
