"""Lays out a release on the test server the way the product team publishes one: the full
package (a ZIP written by Python's zipfile), latest.json, the executable alone, and a
changed-files list with its files. Also reads back what an install folder holds."""

import io
import threading
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

from .scenario import manifest, standin_bytes
from .server import Route, TestServer

MANIFEST_PATH = "/downloads/latest.json"
DIRECT_PATH = "/downloads/direct/Velda.exe"
PACKAGE_DIR = "/downloads/packages"
CHANGES_DIR = "/downloads/changes"

PRODUCT = object()  # stands for the tagged product stand-in in a list of package entries


def build_zip(entries) -> bytes:
    """A deflated ZIP of (name, bytes) pairs, in order; bytes None makes a directory entry
    (its name gets a final "/" when it has none)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for name, content in entries:
            if content is None:
                info = zipfile.ZipInfo(name if name.endswith("/") else name + "/")
                info.external_attr = 0o40755 << 16 | 0x10
                archive.writestr(info, b"")
            else:
                archive.writestr(name, content)
    return buffer.getvalue()


def tree(folder: Path, keep_journal: bool = True) -> set:
    """Every file and folder under folder, as relative "/" paths; folders end with "/". The
    launcher's download journal ("velda.downloads") counts only when keep_journal."""
    found = set()
    for path in folder.rglob("*"):
        if path.name == "velda.downloads" and not keep_journal:
            continue
        relative = path.relative_to(folder).as_posix()
        found.add(relative + "/" if path.is_dir() else relative)
    return found


def with_parents(paths) -> set:
    """The given relative paths plus every folder above them, as tree() names them."""
    result = set()
    for path in paths:
        result.add(path)
        parts = path.rstrip("/").split("/")
        for depth in range(1, len(parts)):
            result.add("/".join(parts[:depth]) + "/")
    return result


def write_files(folder: Path, files: dict):
    for relative, content in files.items():
        path = folder / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())


class HoldAt:
    """A route's on_progress that stops the response once `at` body bytes are out, until
    release(). The route's chunk_size must make a piece end exactly there."""

    def __init__(self, at: int):
        self.at = at
        self.reached = threading.Event()
        self._released = threading.Event()

    def __call__(self, sent: int):
        if sent >= self.at and not self.reached.is_set():
            self.reached.set()
            self._released.wait(120)

    def wait_reached(self, timeout: float = 30):
        assert self.reached.wait(timeout), "the held response was never requested"

    def release(self):
        self._released.set()


@dataclass
class ChangedFiles:
    list_url: str
    base_url: str
    list_route: Route
    file_routes: dict = field(default_factory=dict)  # path text as listed -> Route


@dataclass
class Release:
    """One server version; every publish_* call adds routes to the server."""

    server: TestServer
    standin_exe: Path
    version: str = "2.0.0"
    package_name: str = "Velda-2.0.0.zip"

    def product(self, tag: str) -> bytes:
        return standin_bytes(self.standin_exe, tag)

    @property
    def package_path(self) -> str:
        return f"{PACKAGE_DIR}/{self.package_name}"

    @property
    def package_url(self) -> str:
        return self.server.base_url + self.package_path

    def package(self, entries, tag: str = "package") -> bytes:
        """A ZIP of entries, where a PRODUCT content becomes the stand-in tagged tag."""
        return build_zip([(name, self.product(tag) if content is PRODUCT else content)
                          for name, content in entries])

    def publish_package(self, entries=None, body: bytes | None = None, tag: str = "package",
                        **route_options) -> Route:
        if body is None:
            body = self.package(entries if entries is not None else [("Velda.exe", PRODUCT)],
                                tag)
        return self.server.route(self.package_path, body, **route_options)

    def publish_direct(self, tag: str = "direct", **route_options) -> Route:
        return self.server.route(DIRECT_PATH, self.product(tag), **route_options)

    def publish_changed_files(self, lines, files: dict, from_name: str = "1.0.0",
                              list_name: str | None = None, base_slash: bool = False,
                              missing=()) -> ChangedFiles:
        """The list (lines joined by CR LF) and, for each path text in files, its route under
        the base folder. A PRODUCT content is the stand-in tagged "changed". Path texts in
        missing are left without a route (404)."""
        folder = f"{CHANGES_DIR}/{from_name}-{self.version}"
        list_name = list_name or f"changed-{from_name}.txt"
        body = "".join(line + "\r\n" for line in lines).encode()
        list_route = self.server.route(f"{folder}/{list_name}", body)
        result = ChangedFiles(self.server.base_url + f"{folder}/{list_name}",
                              self.server.base_url + f"{folder}/files" + ("/" if base_slash
                                                                         else ""),
                              list_route)
        for text, content in files.items():
            if text in missing:
                continue
            content = self.product("changed") if content is PRODUCT else content
            # The server matches the percent-decoded path, so a listed backslash (sent as %5C)
            # and a space (%20) find their routes as written in the list.
            result.file_routes[text] = self.server.route(f"{folder}/files/{text}", content)
        return result

    def publish_manifest(self, changed: ChangedFiles | None = None, **fields) -> Route:
        """latest.json with this version and package URL; changed fills the changed-files URLs
        and changed_from_version "1.0.0"; fields add to or override them (None drops one)."""
        body = {"version": self.version, "url": self.package_url}
        if changed is not None:
            body.update(changed_from_version="1.0.0", changed_files_url=changed.list_url,
                        changed_files_base_url=changed.base_url)
        body.update(fields)
        return self.server.route(MANIFEST_PATH, manifest(**body))
