"""Builders for the folder a scenario starts from, and server-side holds."""

import json
import threading
from pathlib import Path

TAG_OPEN = b"<VELDA-TAG>"
TAG_CLOSE = b"</VELDA-TAG>\n"
STANDIN_BAT_EXE = "standin-bat.exe"


def standin_bytes(standin_exe: Path, tag: str) -> bytes:
    """The product stand-in with a tag after its image, which it reports when started."""
    return standin_exe.read_bytes() + TAG_OPEN + tag.encode() + TAG_CLOSE


def put_standin(standin_exe: Path, dest: Path, tag: str, version_txt: str | None = None) -> Path:
    """A tagged stand-in at dest (usually .../Velda.exe); optional version.txt beside it."""
    dest.parent.mkdir(parents=True, exist_ok=True)
    dest.write_bytes(standin_bytes(standin_exe, tag))
    if version_txt is not None:
        (dest.parent / "version.txt").write_text(version_txt)
    return dest


def put_run_velda_bat(standin_exe: Path, folder: Path, tag: str) -> Path:
    """Run-Velda.bat that starts a tagged stand-in lying beside it under another name."""
    put_standin(standin_exe, folder / STANDIN_BAT_EXE, tag)
    bat = folder / "Run-Velda.bat"
    bat.write_bytes(b'@echo off\r\n"%~dp0' + STANDIN_BAT_EXE.encode() + b'"\r\n')
    return bat


def make_appdata(folder: Path, settings: bytes | None = None) -> Path:
    """An APPDATA folder; with settings, VeldaNova\\settings.txt holds exactly those bytes."""
    folder.mkdir(parents=True, exist_ok=True)
    if settings is not None:
        (folder / "VeldaNova").mkdir(exist_ok=True)
        (folder / "VeldaNova" / "settings.txt").write_bytes(settings)
    return folder


def write_stamp(install: Path, content: bytes | str) -> Path:
    install.mkdir(parents=True, exist_ok=True)
    stamp = install / "velda.version"
    stamp.write_bytes(content.encode() if isinstance(content, str) else content)
    return stamp


def manifest(**fields) -> bytes:
    """A latest.json body with the given fields (None values are left out)."""
    return json.dumps({k: v for k, v in fields.items() if v is not None}).encode()


class Hold:
    """Use as a route's on_progress: the response stops after its first piece of body until
    release(); reached tells that the client is inside the transfer."""

    def __init__(self):
        self.reached = threading.Event()
        self._released = threading.Event()

    def __call__(self, sent: int):
        if not self.reached.is_set():
            self.reached.set()
            self._released.wait(300)

    def wait_reached(self, timeout: float = 30):
        assert self.reached.wait(timeout), "the held response was never requested"

    def release(self):
        self._released.set()


def hold_route(server, path: str, body: bytes, hold: Hold | None = None, **options) -> Hold:
    """A route whose body is sent in two pieces with the hold between them."""
    hold = hold or Hold()
    server.route(path, body, chunk_size=max(1, len(body) - 1), on_progress=hold, **options)
    return hold


# The launcher's extraction script, written out here rather than taken from its source, so the
# tests compare against the text as it must be. The script as it stands takes both paths
# between single quotes.
QUOTED_PATHS = "$zip='%s';$dest='%s';"
EXTRACT_SCRIPT_BODY = (
    "Add-Type -AssemblyName System.IO.Compression.FileSystem;"
    "$archive=[System.IO.Compression.ZipFile]::OpenRead($zip);"
    "$total=[Math]::Max($archive.Entries.Count,1);$i=0;foreach($entry in $archive.Entries)"
    "{$target=Join-Path $dest $entry.FullName;if([string]::IsNullOrEmpty($entry.Name))"
    "{New-Item -ItemType Directory -Path $target -Force | Out-Null;}else"
    "{$dir=Split-Path $target -Parent;if($dir){New-Item -ItemType Directory -Path $dir "
    "-Force | Out-Null;};[System.IO.Compression.ZipFileExtensions]::ExtractToFile($entry,"
    "$target,$true);};$i++;Write-Output ('PROGRESS:{0}:{1}' -f $i,$total);}if($i -eq 0)"
    "{Write-Output 'PROGRESS:1:1'};$archive.Dispose();")
EXTRACT_SCRIPT = QUOTED_PATHS + EXTRACT_SCRIPT_BODY

# The launcher's form: errors made terminating and caught, so the first failed entry ends the
# script with exit code 1 instead of only its own statement; both paths come from the child's
# environment, never from the script text.
FIRST_ERROR_ENDS = ("$ErrorActionPreference='Stop';try{",
                    "}catch{[Console]::Error.WriteLine($_.Exception.Message);exit 1}")
PATHS_FROM_ENVIRONMENT = "$zip=$env:VELDA_EXTRACT_ZIP;$dest=$env:VELDA_EXTRACT_DEST;"
COMMAND_HEAD = "powershell -NoLogo -NoProfile -ExecutionPolicy Bypass -Command "


def double_single_quotes(text: str) -> str:
    return text.replace("'", "''")


def extract_script(zip_path: str | None = None, destination: str | None = None,
                   first_error_ends=True, quote=double_single_quotes) -> str:
    """The launcher's script, which names no path; or the script as it stands with both paths
    between its quotes, each escaped by quote."""
    if first_error_ends:
        return (FIRST_ERROR_ENDS[0] + PATHS_FROM_ENVIRONMENT + EXTRACT_SCRIPT_BODY +
                FIRST_ERROR_ENDS[1])
    return QUOTED_PATHS % (quote(zip_path), quote(destination)) + EXTRACT_SCRIPT_BODY


def launcher_extract_command() -> str:
    """The command line the launcher gives PowerShell, the same for every package."""
    return COMMAND_HEAD + '"' + extract_script() + '"'


def extract_record(command_line: str, zip_path: str | None, destination: str | None) -> dict:
    """What the PowerShell stand-in records of one run (VELDA_PS_LOG, one JSON line)."""
    return {"command_line": command_line, "VELDA_EXTRACT_ZIP": zip_path,
            "VELDA_EXTRACT_DEST": destination}


def extract_command(zip_path: str, destination: str) -> str:
    """The line the PowerShell stand-in logs when the launcher extracts zip_path into
    destination: the launcher's command and the two path variables of its environment."""
    return json.dumps(extract_record(launcher_extract_command(), zip_path, destination),
                      ensure_ascii=False)
