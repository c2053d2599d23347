"""Crafts ZIP packages byte by byte, so that entry names are stored exactly as given.

zipfile would do for plain names, but packages that climb out of the install folder need names
no archiver writes on purpose, and ZIP64 records that small archives never get. Entries are
stored (method 0) so their bytes can be checked after an extraction.

    build_zip([("Velda.exe", b"MZ..."), ("../escaped.txt", b"x")])
    build_zip(entries, zip64=True, comment=b"release 1.4.2")
"""

import struct
import zlib

# Names that land outside the folder they are joined to, one of each kind.
ESCAPING_NAMES = {
    "parent": "../escaped.txt",
    "parent_backslash": "..\\escaped.txt",
    "nested_parent": "sub/../../escaped.txt",
    "absolute": "/escaped.txt",
    "rooted_backslash": "\\escaped.txt",
    "drive_absolute": "C:/escaped.txt",
    "drive_relative": "C:escaped.txt",
    "unc": "\\\\server\\share\\escaped.txt",
    "dots_and_blank": "sub/.. /../escaped.txt",
}

_LOCAL = 0x04034B50
_CENTRAL = 0x02014B50
_END = 0x06054B50
_ZIP64_END = 0x06064B50
_ZIP64_LOCATOR = 0x07064B50
_UTF8_FLAG = 0x0800


def _name_bytes(name):
    return name if isinstance(name, bytes) else name.encode("utf-8")


def build_zip(entries, zip64=False, comment=b"", unicode_paths=None, prefix=b""):
    """entries: (name, data) pairs; a name ending in "/" is a directory entry.

    zip64: write the ZIP64 end record and locator, saturate the classic end record's fields,
    and give every central header a ZIP64 extra field for its sizes and offset.
    unicode_paths: {index: name} adds an Info-ZIP Unicode Path field to those entries.
    prefix: bytes before the first entry (the offsets then count from the file's start).
    """
    unicode_paths = unicode_paths or {}
    out = bytearray(prefix)
    central = bytearray()
    for index, (name, data) in enumerate(entries):
        raw = _name_bytes(name)
        data = bytes(data)
        crc = zlib.crc32(data) & 0xFFFFFFFF
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", _LOCAL, 20, _UTF8_FLAG, 0, 0, 0x21, crc, len(data),
                           len(data), len(raw), 0)
        out += raw + data

        extra = b""
        size32, offset32 = len(data), offset
        if zip64:
            extra += struct.pack("<HHQQQ", 0x0001, 24, len(data), len(data), offset)
            size32, offset32 = 0xFFFFFFFF, 0xFFFFFFFF
        if index in unicode_paths:
            utf8 = _name_bytes(unicode_paths[index])
            body = struct.pack("<BI", 1, zlib.crc32(raw) & 0xFFFFFFFF) + utf8
            extra += struct.pack("<HH", 0x7075, len(body)) + body
        central += struct.pack("<IHHHHHHIIIHHHHHII", _CENTRAL, 45 if zip64 else 20,
                               45 if zip64 else 20, _UTF8_FLAG, 0, 0, 0x21, crc, size32, size32,
                               len(raw), len(extra), 0, 0, 0,
                               0x10 if raw.endswith(b"/") else 0, offset32)
        central += raw + extra

    directory_offset = len(out)
    out += central
    count = len(entries)
    if zip64:
        record_offset = len(out)
        out += struct.pack("<IQHHIIQQQQ", _ZIP64_END, 44, 45, 45, 0, 0, count, count,
                           len(central), directory_offset)
        out += struct.pack("<IIQI", _ZIP64_LOCATOR, 0, record_offset, 1)
        out += struct.pack("<IHHHHIIH", _END, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                           0xFFFFFFFF, len(comment))
    else:
        out += struct.pack("<IHHHHIIH", _END, 0, 0, count, count, len(central),
                           directory_offset, len(comment))
    out += comment
    return bytes(out)


def escaping_package(kind, product=b"MZ velda"):
    """A package with a good Velda.exe first and then one entry of the given escaping kind."""
    return build_zip([("Velda.exe", product), (ESCAPING_NAMES[kind], b"outside")])


if __name__ == "__main__":
    import sys

    # python3 evil_zip.py OUT_FOLDER: one package per escaping kind, plain and ZIP64.
    folder = sys.argv[1]
    for kind in ESCAPING_NAMES:
        for wide in (False, True):
            entries = [("Velda.exe", b"MZ velda"), (ESCAPING_NAMES[kind], b"outside")]
            suffix = "-zip64" if wide else ""
            with open(f"{folder}/{kind}{suffix}.zip", "wb") as package:
                package.write(build_zip(entries, zip64=wide))
