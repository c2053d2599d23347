"""VELDA_RELEASE_PUBLIC_KEYS at configure time: P-256 public keys are compiled in, in order;
anything else stops the configure run with a message that names the file. Native configure
runs only; no build, no Wine."""

import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
DATA = REPO / "tests" / "data" / "release_signing"


def configure(tmp_path, keys):
    return subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(tmp_path / "build"), "-DVELDA_BUILD_TESTS=OFF",
         "-DVELDA_SANITIZE=OFF", "-DVELDA_RELEASE_PUBLIC_KEYS=" + ";".join(map(str, keys))],
        capture_output=True, text=True, timeout=300)


def test_two_keys_are_compiled_in_in_their_order(tmp_path):
    keys = [DATA / "key-b-public.pem", DATA / "key-a-public.pem"]
    result = configure(tmp_path, keys)
    assert result.returncode == 0, result.stderr
    assert "Release public keys compiled in: 2" in result.stdout
    source = (tmp_path / "build/src/common/release_keys_compiled.cpp").read_text()
    assert "kReleasePublicKeyCount = 2;" in source
    pems = [key.read_text().strip() for key in keys]
    assert pems[0] in source and pems[1] in source
    assert source.index(pems[0]) < source.index(pems[1])


@pytest.mark.parametrize("key,message", [
    ("missing.pem", "no such key file"),
    ("p384-public.pem", "is not an EC P-256 (prime256v1) public key"),
    ("compressed-public.pem", "is not an EC P-256 (prime256v1) public key"),
    ("key-a-private.pem", "is no PEM public key"),
])
def test_configure_refuses_what_is_no_p256_public_key(tmp_path, key, message):
    result = configure(tmp_path, [DATA / "key-a-public.pem", DATA / key])
    assert result.returncode != 0
    said = " ".join(result.stderr.split())  # CMake wraps long messages
    assert message in said, result.stderr
    assert key in said


def configure_windows(tmp_path, *options):
    return subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(tmp_path / "build-win"), "--toolchain",
         str(REPO / "cmake" / "mingw-w64.cmake"), "-DVELDA_BUILD_TESTS=OFF", *options],
        capture_output=True, text=True, timeout=300)


def test_a_launcher_without_keys_must_be_asked_for(tmp_path):
    refused = configure_windows(tmp_path / "refused")
    assert refused.returncode != 0
    said = " ".join(refused.stderr.split())
    assert "No release public keys" in said and "-DVELDA_ALLOW_UNSIGNED=ON" in said, said
    assert "velda-release keygen" in said

    allowed = configure_windows(tmp_path / "allowed", "-DVELDA_ALLOW_UNSIGNED=ON")
    assert allowed.returncode == 0, allowed.stderr
    assert "this launcher checks no signature" in " ".join(allowed.stderr.split())

    keyed = configure_windows(tmp_path / "keyed",
                              "-DVELDA_RELEASE_PUBLIC_KEYS=" + str(DATA / "key-a-public.pem"))
    assert keyed.returncode == 0, keyed.stderr
    assert "Release public keys compiled in: 1" in keyed.stdout
