"""Just enough of the PE format to read an executable's header fields and resources."""

import struct
from dataclasses import dataclass
from pathlib import Path

RT_VERSION = 16
RT_MANIFEST = 24
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int


class PeFile:
    def __init__(self, path: Path):
        self.data = path.read_bytes()
        data = self.data
        assert data[:2] == b"MZ", "no DOS header"
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        assert self.magic == 0x20B, "not PE32+"
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directory_count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append(Section(raw[0].rstrip(b"\0").decode(), raw[2], raw[1], raw[4],
                                         raw[3]))

    def offset(self, rva: int) -> int:
        for section in self.sections:
            if section.virtual_address <= rva < section.virtual_address + max(
                    section.virtual_size, section.raw_size):
                return section.raw_offset + rva - section.virtual_address
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def resources(self) -> dict:
        """{(type, name): [bytes of each language]} for id-named types and names."""
        rva, size = self.directories[2]
        if size == 0:
            return {}
        base = self.offset(rva)
        found = {}
        for type_id, type_dir in self._entries(base, base):
            for name_id, name_dir in self._entries(base, type_dir):
                for _, data_entry in self._entries(base, name_dir):
                    data_rva, data_size = struct.unpack_from("<II", self.data, data_entry)
                    start = self.offset(data_rva)
                    found.setdefault((type_id, name_id), []).append(
                        self.data[start:start + data_size])
        return found

    def _entries(self, base, directory):
        named, ids = struct.unpack_from("<HH", self.data, directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
            yield (name if not name & 0x80000000 else None), base + (target & 0x7FFFFFFF)


def _align4(n: int) -> int:
    return (n + 3) & ~3


def _block(data: bytes, offset: int):
    """One node of a version resource: (key, value, children, end offset)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_start = offset + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    position = _align4(key_end + 2)
    value_size = value_length * 2 if value_type == 1 else value_length
    raw_value = data[position:position + value_size]
    value = raw_value.decode("utf-16-le").rstrip("\0") if value_type == 1 else raw_value
    position = _align4(position + value_size)
    children = []
    while position < end:
        child = _block(data, position)
        children.append(child[:3])
        position = _align4(child[3])
    return key, value, children, end


@dataclass
class VersionInfo:
    file_version: tuple
    product_version: tuple
    strings: dict  # {string table key: {name: value}}


def version_info(resource: bytes) -> VersionInfo:
    key, fixed, children, _ = _block(resource, 0)
    assert key == "VS_VERSION_INFO", key
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    assert signature == VS_FIXEDFILEINFO_SIGNATURE
    strings = {}
    for child_key, _, tables in children:
        if child_key != "StringFileInfo":
            continue
        for table_key, _, entries in tables:
            strings[table_key] = {name: value for name, value, _ in entries}

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return VersionInfo(split(file_ms, file_ls), split(product_ms, product_ls), strings)
