"""Test certificate authorities and server certificates, made with the openssl command."""

import subprocess
from pathlib import Path


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def make_ca(folder: Path, name: str) -> Path:
    """A self-signed CA; returns the PEM certificate path (key beside it)."""
    folder.mkdir(parents=True, exist_ok=True)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
             "-subj", f"/CN={name}", "-keyout", f"{name}.key", "-out", f"{name}.pem",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    return folder / f"{name}.pem"


def make_server_cert(folder: Path, ca_name: str, name: str, host: str) -> tuple[Path, Path]:
    """A server certificate for host, signed by the CA ca_name in folder; returns (cert, key)."""
    ext = folder / f"{name}.ext"
    ext.write_text(f"subjectAltName=DNS:{host}\nextendedKeyUsage=serverAuth\n"
                   "basicConstraints=CA:FALSE\n")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={host}",
             "-keyout", f"{name}.key", "-out", f"{name}.csr", cwd=folder)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca_name}.pem",
             "-CAkey", f"{ca_name}.key", "-CAcreateserial", "-days", "30",
             "-extfile", ext.name, "-out", f"{name}.pem", cwd=folder)
    return folder / f"{name}.pem", folder / f"{name}.key"


def pem_to_der(pem: Path) -> Path:
    der = pem.with_suffix(".der")
    _openssl("x509", "-in", pem.name, "-outform", "DER", "-out", der.name, cwd=pem.parent)
    return der


class TestCertificates:
    """The trusted CA with a good localhost certificate, plus two that must be refused."""

    __test__ = False  # not a test class, whatever pytest makes of its name

    def __init__(self, folder: Path):
        self.folder = folder
        self.ca = make_ca(folder, "velda-test-ca")
        self.ca_der = pem_to_der(self.ca)
        self.good = make_server_cert(folder, "velda-test-ca", "localhost", "localhost")
        self.wrong_host = make_server_cert(folder, "velda-test-ca", "otherhost",
                                           "other.invalid")
        make_ca(folder, "untrusted-ca")
        self.untrusted = make_server_cert(folder, "untrusted-ca", "untrusted", "localhost")
