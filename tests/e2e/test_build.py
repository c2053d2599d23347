"""What the built VeldaLauncher.exe must be before it is ever run: a self-contained 64-bit
windowed program (no console of its own) with its application manifest and version resource."""

import os
import re
import subprocess
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from support.pe import RT_MANIFEST, RT_VERSION, PeFile, version_info

REPO = Path(__file__).resolve().parents[2]
OBJDUMP = "x86_64-w64-mingw32-objdump"
IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "winhttp.dll", "msvcrt.dll",
               "advapi32.dll", "shell32.dll", "ole32.dll", "ucrtbase.dll", "ntdll.dll",
               "crypt32.dll", "bcrypt.dll", "ws2_32.dll"}

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
}


def project_version() -> str:
    text = (REPO / "CMakeLists.txt").read_text()
    return re.search(r"project\(VeldaLauncher\s+VERSION\s+(\d+\.\d+\.\d+)", text).group(1)


@pytest.fixture(scope="module")
def pe(launcher_exe) -> PeFile:
    return PeFile(launcher_exe)


@pytest.fixture(scope="module")
def objdump(launcher_exe) -> str:
    return subprocess.run([OBJDUMP, "-p", str(launcher_exe)], check=True, capture_output=True,
                          text=True).stdout


def test_is_a_64bit_windowed_program(pe, objdump):
    assert pe.machine == IMAGE_FILE_MACHINE_AMD64
    assert pe.subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI
    assert "file format pei-x86-64" in objdump
    assert re.search(r"Magic\s+020b\s+\(PE32\+\)", objdump)
    assert re.search(r"Subsystem\s+00000002\s+\(Windows GUI\)", objdump)


def test_imports_only_system_libraries(objdump):
    dlls = {name.lower() for name in re.findall(r"DLL Name:\s*(\S+)", objdump)}
    assert {"kernel32.dll", "user32.dll", "gdi32.dll"} <= dlls
    # Not KnownDLLs: the launcher loads them itself, from System32 only.
    assert not {"winhttp.dll", "bcrypt.dll"} & dlls, sorted(dlls)
    foreign = {d for d in dlls if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-")}
    assert not foreign, f"needs DLLs that Windows does not ship: {sorted(foreign)}"


def test_manifest_runs_as_invoker_on_every_supported_windows(pe):
    manifests = pe.resources().get((RT_MANIFEST, 1))
    assert manifests and len(manifests) == 1, "one application manifest with id 1"
    root = ElementTree.fromstring(manifests[0])
    levels = [e.attrib for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
    assert len(levels) == 1
    assert levels[0]["level"] == "asInvoker"
    assert levels[0].get("uiAccess", "false") == "false"
    ids = {e.attrib["Id"].lower() for e in root.iter() if e.tag.endswith("supportedOS")}
    assert ids == SUPPORTED_OS
    # The ANSI calls take UTF-8: folder and file names in any script.
    assert [e.text for e in root.iter() if e.tag.endswith("activeCodePage")] == ["UTF-8"]


def test_version_resource_names_product_and_versions(pe):
    resources = pe.resources().get((RT_VERSION, 1))
    assert resources and len(resources) == 1
    info = version_info(resources[0])
    version = project_version()
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    assert info.file_version == numbers
    assert info.product_version == numbers
    assert len(info.strings) == 1, info.strings
    strings = next(iter(info.strings.values()))
    assert strings["ProductName"] == "Velda Launcher"
    assert strings["FileVersion"] == version
    assert strings["ProductVersion"] == version
    assert strings["OriginalFilename"] == "VeldaLauncher.exe"


def test_built_for_the_test_server(launcher_exe):
    # The end-to-end build must talk to the loopback server of these tests.
    port = int(os.environ.get("VELDA_TEST_PORT", "48443"))
    data = launcher_exe.read_bytes()
    for url in (f"https://localhost:{port}/downloads/latest.json",
                f"https://localhost:{port}/downloads/direct/Velda.exe"):
        assert url.encode() in data or url.encode("utf-16-le") in data, (
            f"{url} is not compiled in: configure with "
            f"-DVELDA_DOWNLOAD_SERVER=https://localhost:{port}")
