"""Faults for the end-to-end tests: a release whose five downloads can each be broken in one way,
the installation those runs start from, and what an install folder holds before and after."""

import random
import subprocess
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import pytest

from .release import DIRECT_PATH, MANIFEST_PATH, build_zip
from .scenario import manifest, standin_bytes
from .server import TestServer

QUERYING = "Consultando latest.json..."
NOT_DOWNLOADED = "No se pudo descargar manifest, lanzando version local."
FOUND = "Version encontrada en server: 2.0.0"
UP_TO_DATE = "Version local al dia."
CHANGED_START = "Instalacion detectada, aplicando archivos modificados..."
CHANGED_OK = "Archivos modificados aplicados correctamente."
CHANGED_FAILED = "Fallo aplicando archivos modificados, se usara ZIP completo."
KILLED = "Procesos Velda.exe activos cerrados antes de actualizar."
NOTHING_TO_KILL = "No habia procesos Velda.exe activos para cerrar."
DIRECT = "Instalacion previa detectada, descargando solo Velda.exe desde /downloads/direct..."
DIRECT_FAILED = "Fallo descarga directa de Velda.exe, se usara ZIP completo como respaldo."
CLEANING = "Limpiando directorios..."
PACKAGE = "Nueva version detectada, descargando zip completo..."
UNFINISHED = "Instalacion anterior sin terminar, se usara ZIP completo."
EXTRACTING = "Descomprimiendo actualizacion..."
UNREADABLE_PACKAGE = "Paquete rechazado: no se pudo leer el directorio del ZIP."

ZIP_BOX = "No se pudo descargar el ZIP de Velda."
EXTRACT_BOX = "No se pudo descomprimir la actualizacion."


def refused_entry_line(name: str) -> str:
    return f"Paquete rechazado: la entrada {name} queda fuera de la carpeta de instalacion."


VERSION = "2.0.0"
PACKAGE_NAME = f"Velda-{VERSION}.zip"
PACKAGE_PATH = f"/downloads/packages/{PACKAGE_NAME}"
CHANGES = "/downloads/changes/1.0.0-2.0.0"
LIST_NAME = "changed-1.0.0.txt"
LIST_PATH = f"{CHANGES}/{LIST_NAME}"
FILES_PATH = f"{CHANGES}/files"
# The large data file is the changed file that the faults hit; it comes first in the list.
PAK = "data/levels.pak"
CHANGED_LINES = [PAK, "Velda.exe"]
MOVED = "/moved"  # where a redirect sends a download

OLD_PAK = random.Random(1).randbytes(100_000)
NEW_PAK = random.Random(2).randbytes(200_000)
OLD_CONFIG = b"mode=1\r\n"
NEW_CONFIG = b"mode=2\r\n"

DOWNLOADS = ("manifest", "list", "file", "direct", "package")
TLS_FAULTS = ("untrusted-ca", "wrong-host")
FAULTS = ("reset-mid-body", "closed-before-headers", "short-body", "status-500", "status-503",
          "redirect", *TLS_FAULTS)

# The means a release offers, by the download that the fault hits: the changed files where the
# fault comes before or inside them, and no executable alone (404) where the package is hit, so
# that each target is reached.
MEANS = {
    "manifest": {"changed", "direct", "package"},
    "list": {"changed", "direct", "package"},
    "file": {"changed", "direct", "package"},
    "direct": {"direct", "package"},
    "package": {"package"},
}


# The launcher's note of the package and list it downloads: present while an installation runs
# and after one was ended from outside, gone once a later run has swept it. A package
# installation that never reached its stamp keeps it, with its mark, until one does.
JOURNAL = "velda.downloads"
PACKAGE_MARK = ":package-installation"


def snapshot(folder: Path) -> dict:
    """Every file under folder with its bytes, every folder as "name/" with None; the launcher's
    download journal is left out (leftovers() looks for it)."""
    found = {}
    for path in sorted(folder.rglob("*")):
        if path.name == JOURNAL:
            continue
        relative = path.relative_to(folder).as_posix()
        found[relative + "/" if path.is_dir() else relative] = (
            None if path.is_dir() else path.read_bytes())
    return found


def describe_difference(expected: dict, actual: dict) -> str:
    missing = sorted(set(expected) - set(actual))
    extra = sorted(set(actual) - set(expected))
    changed = sorted(k for k in set(expected) & set(actual) if expected[k] != actual[k])
    return f"missing {missing}, unexpected {extra}, different content {changed}"


PARTIAL = ".velda-part"  # beside a download's target while its body arrives


# What a commit works with; none of it stays once the commit finished or was undone.
COMMIT_MARKS = ("velda.staging", "velda.commit", "velda.commit.tmp")


def leftovers(folder: Path) -> list:
    """Temporary, list and package files anywhere under folder, and a commit's staging folder
    or record."""
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*")
                  if p.name.endswith((PARTIAL, ".zip")) or
                  p.name in (LIST_NAME, JOURNAL, *COMMIT_MARKS))


class LeftoverFiles(AssertionError):
    """Files that an interrupted run left and a later run did not clean up (a test that expects
    the launcher to keep some marks itself xfail with raises=LeftoverFiles)."""


def assert_no_leftovers(folder: Path, package_unfinished=False):
    """package_unfinished: a package installation failed or was ended before its stamp, and the
    journal must stay with its mark (the files it names gone all the same)."""
    found = leftovers(folder)
    if package_unfinished:
        journal = f"velda/{JOURNAL}"
        assert journal in found, f"no journal of the unfinished package in {folder}: {found}"
        assert PACKAGE_MARK in (folder / journal).read_text().split(), "the journal lost its mark"
        found.remove(journal)
    if found:
        raise LeftoverFiles(f"left in {folder}: {found}")


class Product:
    """The tagged stand-in images, made once per session."""

    def __init__(self, standin_exe: Path):
        self.standin_exe = standin_exe
        self._images = {}

    def __call__(self, tag: str) -> bytes:
        if tag not in self._images:
            self._images[tag] = standin_bytes(self.standin_exe, tag)
        return self._images[tag]


def old_files(product: Product) -> dict:
    """The installation of version 1.0.0 that every fault starts from."""
    return {"Velda.exe": product("old"), PAK: OLD_PAK, "data/config.ini": OLD_CONFIG,
            "velda.version": b"1.0.0"}


def write_tree(folder: Path, files: dict):
    for relative, content in files.items():
        path = folder / relative
        if content is None:
            path.mkdir(parents=True, exist_ok=True)
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)


def with_dirs(files: dict) -> dict:
    """files plus the folders above them, as snapshot() names them."""
    result = dict(files)
    for relative in files:
        parts = relative.rstrip("/").split("/")
        for depth in range(1, len(parts)):
            result["/".join(parts[:depth]) + "/"] = None
    return result


def installed_by(means: str, product: Product, before: dict) -> dict:
    """What an install folder holds after the given means brought it to 2.0.0 ("old": it stays
    as it was)."""
    after = dict(before)
    if means == "old":
        return after
    after["velda.version"] = VERSION.encode()
    after["Velda.exe"] = product(means)
    if means in ("changed", "package"):
        after[PAK] = NEW_PAK
    if means == "package":
        after["data/config.ini"] = NEW_CONFIG
    return with_dirs(after)


def package_entries(product: Product, tag: str = "package") -> list:
    return [("Velda.exe", product(tag)), (PAK, NEW_PAK), ("data/config.ini", NEW_CONFIG)]


def fault_options(fault: str, body: bytes) -> dict:
    """Route options that break a download in the given way (not for redirects and TLS)."""
    return {
        "reset-mid-body": {"cut_after": len(body) // 2, "cut_mode": "reset"},
        "closed-before-headers": {"close_before_headers": True},
        "short-body": {"content_length": len(body) + 4096},
        "status-500": {"status": 500},
        "status-503": {"status": 503},
    }[fault]


@dataclass
class Published:
    server: TestServer
    path: str
    body: bytes


class FaultyRelease:
    """Version 2.0.0 with the means that MEANS gives the target download; publish() breaks the
    target with one fault. For TLS faults the target is served by a server of its own with the
    refused certificate; the executable alone, whose URL is compiled in like the manifest's, is
    refused by switching the main server's certificate once the manifest is on its way, and the
    package then comes from a second trusted server."""

    def __init__(self, main: TestServer, certs, product: Product, target: str):
        self.main = main
        self.certs = certs
        self.product = product
        self.target = target
        self.means = MEANS[target]
        self.downloads: dict[str, Published] = {}
        self._side: list[TestServer] = []
        self._switched = False

    # -- servers ------------------------------------------------------------------------------

    def _side_server(self, cert) -> TestServer:
        server = TestServer(0, *cert)
        self._side.append(server)
        return server

    def close(self):
        for server in self._side:
            server.close()
        self._side.clear()
        if self._switched:
            self.main.use_certificate(*self.certs.good)
            self._switched = False

    def _refused_cert(self, fault: str):
        return self.certs.untrusted if fault == "untrusted-ca" else self.certs.wrong_host

    # -- publishing ---------------------------------------------------------------------------

    def _server_for(self, name: str, fault: str | None) -> TestServer:
        if fault in TLS_FAULTS:
            if name == self.target and name in ("list", "file", "package"):
                return self._side_server(self._refused_cert(fault))
            if self.target == "direct" and name == "package":
                return self._side_server(self.certs.good)
        return self.main

    def _publish(self, name: str, server: TestServer, path: str, body: bytes,
                 fault: str | None, **options) -> Published:
        published = Published(server, path, body)
        self.downloads.setdefault(name, published)
        if fault is None or fault in TLS_FAULTS:
            server.route(path, body, **options)
        elif fault == "redirect":
            server.route(path, b"", redirect_to=server.base_url + MOVED + path)
            server.route(MOVED + path, body, **options)
        else:
            server.route(path, body, **fault_options(fault, body), **options)
        return published

    def publish(self, fault: str | None = None, fallback_hold=None) -> dict:
        """Adds every route; fault (None: a healthy release) breaks the target download.
        fallback_hold, a scenario.Hold, holds the download that follows a failed target."""
        self.downloads.clear()

        def fault_of(name):
            return fault if name == self.target else None

        def hold_of(name):
            follows = {"list": "direct", "file": "direct", "direct": "package"}
            if fallback_hold is None or follows.get(self.target) != name:
                return {}
            return {"chunk_size": 4096, "on_progress": fallback_hold}

        package_server = self._server_for("package", fault)
        package = self._publish("package", package_server, PACKAGE_PATH,
                                build_zip(package_entries(self.product)), fault_of("package"),
                                **hold_of("package"))
        fields = {"version": VERSION, "url": package.server.base_url + PACKAGE_PATH}
        if "direct" in self.means:
            self._publish("direct", self.main, DIRECT_PATH, self.product("direct"),
                          fault_of("direct"), **hold_of("direct"))
        if "changed" in self.means:
            list_server = self._server_for("list", fault)
            self._publish("list", list_server, LIST_PATH,
                          "".join(line + "\r\n" for line in CHANGED_LINES).encode(),
                          fault_of("list"))
            files_server = self._server_for("file", fault)
            self._publish("file", files_server, f"{FILES_PATH}/{PAK}", NEW_PAK,
                          fault_of("file"))
            self._publish("product file", files_server, f"{FILES_PATH}/Velda.exe",
                          self.product("changed"), None)
            fields.update(changed_from_version="1.0.0",
                          changed_files_url=list_server.base_url + LIST_PATH,
                          changed_files_base_url=files_server.base_url + FILES_PATH)
        body = manifest(**fields)
        options = {}
        if self.target == "direct" and fault in TLS_FAULTS:
            options = self._switch_after_first_piece(body, self._refused_cert(fault))
        elif self.target == "manifest" and fault in TLS_FAULTS:
            self.main.use_certificate(*self._refused_cert(fault))
            self._switched = True
        self._publish("manifest", self.main, MANIFEST_PATH, body, fault_of("manifest"),
                      **options)
        return self.downloads

    def _switch_after_first_piece(self, body: bytes, cert) -> dict:
        """Route options for the manifest: once its connection is up and part of the body sent,
        new connections get cert. The connection closes after the response, so the next
        download needs a handshake of its own."""
        def switch(sent):
            if not self._switched:
                self._switched = True
                self.main.use_certificate(*cert)

        return {"chunk_size": max(1, len(body) - 1), "on_progress": switch,
                "headers": {"Connection": "close"}}


# -- the machine ------------------------------------------------------------------------------


def prefix_processes(wine, name: str) -> list:
    """Linux pids of the processes of this Wine prefix whose command line names name."""
    found = []
    for proc in Path("/proc").iterdir():
        if not proc.name.isdigit():
            continue
        try:
            cmdline = (proc / "cmdline").read_bytes()
            environ = (proc / "environ").read_bytes()
        except OSError:
            continue
        if (name.encode().lower() in cmdline.lower() and
                b"WINEPREFIX=" + str(wine.prefix).encode() + b"\0" in environ):
            found.append(int(proc.name))
    return found


def wait_for_end(wine, name: str, timeout: float = 60):
    """Waits until no process of this prefix runs name (a child that outlived the launcher)."""
    deadline = time.monotonic() + timeout
    while prefix_processes(wine, name):
        assert time.monotonic() < deadline, f"{name} still runs after {timeout} s"
        time.sleep(0.1)


@contextmanager
def read_only(wine, *paths: Path):
    """The Windows read-only attribute on paths, enforced. Wine shows the attribute (attrib +r
    clears the Unix write bits) but, running as root, writes and replaces such a file all the
    same; the immutable flag makes the file system refuse what Windows would refuse."""
    enforced = []
    try:
        for path in paths:
            result = wine.run(["attrib", "+r", wine.win_path(path)], timeout=60)
            assert result.returncode == 0, result.stdout + result.stderr
            subprocess.run(["chattr", "+i", str(path)], check=True)
            enforced.append(path)
        yield
    finally:
        for path in enforced:
            subprocess.run(["chattr", "-i", str(path)], check=False)
            path.chmod(0o644)


def attributes(wine, path: Path) -> str:
    """The attribute letters that Wine's attrib shows for path."""
    result = wine.run(["attrib", wine.win_path(path)], timeout=60)
    return result.stdout.split("Z:")[0].replace(" ", "")


# cmd looks in the current folder before PATH: this taskkill.bat notes any call, so a test sees
# that no kill command ran (the launcher ends the product itself), and would end processes.
TASKKILL_SHIM = (b'@echo off\r\n'
                 b'echo %*>>"%~dp0taskkill-args.txt"\r\n'
                 b'"%SystemRoot%\\system32\\taskkill.exe" /F /IM Velda.exe\r\n'
                 b'exit /b %ERRORLEVEL%\r\n')


def taskkill_folder(folder: Path) -> Path:
    """A working folder for the launcher in which a kill command would be noted."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "taskkill.bat").write_bytes(TASKKILL_SHIM)
    return folder


# Fixtures shared by the modules that start from an installed 1.0.0 (import them by name).
@pytest.fixture
def product(standin_exe) -> Product:
    return Product(standin_exe)


@pytest.fixture
def install(launcher_dir, product):
    """Version 1.0.0 as an earlier run left it."""
    folder = launcher_dir / "velda"
    write_tree(folder, old_files(product))
    return folder


@pytest.fixture
def ps_log(wine, tmp_path):
    """Where the PowerShell stand-in records its command lines, and the variable that says so."""
    path = tmp_path / "powershell.log"
    return path, {"VELDA_PS_LOG": wine.win_path(path)}
