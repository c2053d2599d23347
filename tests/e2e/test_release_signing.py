"""velda-release keygen, pack --sign-key and check --public-key, cross-checked with the openssl
command. No Wine needed."""

import os
import subprocess
from pathlib import Path

import pytest

from test_release_check import (files_folder, hashes_path, list_path, manifest_path, pack,
                                products, run, tool)  # noqa: F401  (tool is a fixture)

DATA = Path(__file__).resolve().parents[1] / "data" / "release_signing"


def openssl(*args):
    return subprocess.run(["openssl", *map(str, args)], capture_output=True, text=True,
                          timeout=60)


@pytest.fixture
def keys(tool, tmp_path):
    folder = tmp_path / "keys"
    folder.mkdir()
    # Even a umask of 0 must not leave the private key readable by others.
    result = subprocess.run([str(tool), "keygen", "--out", str(folder)], capture_output=True,
                            text=True, timeout=60, preexec_fn=lambda: os.umask(0))
    assert result.returncode == 0, result.stderr
    return folder / "velda-release-private.pem", folder / "velda-release-public.pem"


def signed_pack(tool, tmp_path, private_key):
    old, new = products(tmp_path)
    result = run(tool, "pack", "--product", new, "--version", "1.1.0",
                 "--server", "https://localhost:48443", "--out", tmp_path / "release",
                 "--previous", old, "--previous-version", "1.0.0", "--sign-key", private_key)
    assert result.returncode == 0, result.stderr
    return tmp_path / "release"


def check(tool, release, *keys):
    args = [item for key in keys for item in ("--public-key", key)]
    return run(tool, "check", manifest_path(release), "--installed", "1.0.0", *args)


def test_keygen_makes_an_owner_only_p256_pair_and_never_replaces_it(tool, keys):
    private, public = keys
    assert private.stat().st_mode & 0o777 == 0o600
    assert public.read_text().startswith("-----BEGIN PUBLIC KEY-----\n")
    described = openssl("ec", "-pubin", "-in", public, "-text", "-noout")
    assert "prime256v1" in described.stdout + described.stderr
    derived = openssl("ec", "-in", private, "-pubout")
    assert derived.stdout == public.read_text()

    before = private.read_bytes()
    again = run(tool, "keygen", "--out", private.parent)
    assert again.returncode == 1
    assert "already exists" in again.stderr
    assert private.read_bytes() == before


def test_pack_signature_verifies_with_openssl_and_check(tool, tmp_path, keys):
    private, public = keys
    release = signed_pack(tool, tmp_path, private)
    signature = release / "downloads/latest.json.sig"
    verified = openssl("dgst", "-sha256", "-verify", public, "-signature", signature,
                       manifest_path(release))
    assert verified.returncode == 0 and "Verified OK" in verified.stdout, verified.stderr

    result = check(tool, release, DATA / "key-b-public.pem", public)  # a rotated key set
    assert result.returncode == 0, result.stdout
    assert f"verified with {public}" in result.stdout
    for key in ["package_sha256", "direct_sha256", "changed_files_sha256",
                "changed_files_hashes_sha256"]:
        assert f'SHA-256 matches "{key}"' in result.stdout
    assert "warning:" not in result.stdout


def test_a_signature_made_by_hand_with_openssl_verifies_in_check(tool, tmp_path):
    release = pack(tool, tmp_path)
    signed = openssl("dgst", "-sha256", "-sign", DATA / "key-a-private.pem",
                     "-out", release / "downloads/latest.json.sig", manifest_path(release))
    assert signed.returncode == 0, signed.stderr
    result = check(tool, release, DATA / "key-a-public.pem")
    assert result.returncode == 0, result.stdout
    assert "Result: the release is sound" in result.stdout


def flip_byte(path: Path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x01
    path.write_bytes(bytes(data))


TAMPERING = [
    ("manifest", lambda r: manifest_path(r).write_text(
        manifest_path(r).read_text().replace('"1.1.0"', '"1.1.1"', 1)),
     "was made by none of the given keys"),
    ("signature", lambda r: flip_byte(r / "downloads/latest.json.sig"),
     "latest.json.sig"),
    ("package", lambda r: flip_byte(r / "downloads/velda-1.1.0.zip"),
     'velda-1.1.0.zip does not match "package_sha256"'),
    ("direct executable", lambda r: flip_byte(r / "downloads/direct/Velda.exe"),
     'direct/Velda.exe does not match "direct_sha256"'),
    ("list", lambda r: flip_byte(list_path(r)),
     'velda-changes-1.0.0-to-1.1.0.txt does not match "changed_files_sha256"'),
    ("one changed file", lambda r: flip_byte(files_folder(r) / "data/config.ini"),
     "files/data/config.ini (line 2) does not match its SHA-256 in the hash file"),
    ("hash file", lambda r: flip_byte(hashes_path(r)),
     'velda-changes-1.0.0-to-1.1.0.sha256 does not match "changed_files_hashes_sha256"'),
    ("unsigned", lambda r: (r / "downloads/latest.json.sig").unlink(),
     "cannot be fetched (no such file): launchers with a release key refuse the manifest"),
]


@pytest.mark.parametrize("name,tamper,message", TAMPERING, ids=[t[0] for t in TAMPERING])
def test_check_names_the_file_that_fails(tool, tmp_path, keys, name, tamper, message):
    private, public = keys
    release = signed_pack(tool, tmp_path, private)
    tamper(release)
    result = check(tool, release, public)
    assert result.returncode == 1, result.stdout
    warnings = [line for line in result.stdout.splitlines() if line.startswith("warning: ")]
    assert any(message in line for line in warnings), "\n".join(warnings)


def test_check_refuses_a_release_signed_by_another_key(tool, tmp_path, keys):
    private, _ = keys
    release = signed_pack(tool, tmp_path, private)
    result = check(tool, release, DATA / "key-a-public.pem")
    assert result.returncode == 1
    assert "was made by none of the given keys" in result.stdout


def test_without_keys_check_reports_an_unsigned_release_and_still_checks_hashes(tool, tmp_path):
    release = pack(tool, tmp_path)
    result = check(tool, release)
    assert result.returncode == 0, result.stdout
    assert "an unsigned release" in result.stdout
    assert "note: the release is unsigned" in result.stdout

    flip_byte(files_folder(release) / "with space/file name.txt")
    result = check(tool, release)
    assert result.returncode == 1
    assert "file name.txt (line 4) does not match its SHA-256 in the hash file" in result.stdout


@pytest.mark.parametrize("key", ["p384-public.pem", "compressed-public.pem", "key-a-private.pem"])
def test_keys_other_than_p256_public_keys_are_refused(tool, tmp_path, key):
    release = pack(tool, tmp_path)
    result = check(tool, release, DATA / key)
    assert result.returncode == 1
    assert "is no EC P-256 public key" in result.stderr

    wrong_key = DATA / key if key != "key-a-private.pem" else DATA / "key-a-public.pem"
    signed = run(tool, "pack", "--product", tmp_path / "new", "--version", "1.1.0",
                 "--server", "https://h", "--out", tmp_path / "signed", "--sign-key", wrong_key)
    assert signed.returncode == 1
    assert "--sign-key" in signed.stderr and "nothing written" in signed.stderr
    assert not (tmp_path / "signed").exists()
