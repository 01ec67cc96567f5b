#!/usr/bin/env python3
"""Every Windows DLL and program named carries the version resource that
Windows shows in a file's properties, with the product's version and texts.

    tests/check_version_resource.py VERSION FILE...
"""
import struct
import sys

RT_VERSION = 16
WANTED = {"ProductName": "quelmora-ntp", "LegalCopyright": "Copyright the quelmora-ntp authors"}


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    table = pe + 24 + optional_size
    for i in range(count):
        name, size, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        yield name.rstrip(b"\0"), rva, raw, raw_size


def version_block(data):
    """The first RT_VERSION resource's bytes, through the three-level directory."""
    for name, rva, raw, _ in sections(data):
        if name == b".rsrc":
            break
    else:
        raise SystemExit("no .rsrc section")

    def entries(offset):
        named, ids = struct.unpack_from("<12xHH", data, raw + offset)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, raw + offset + 16 + 8 * i)

    for ident, child in entries(0):
        if ident == RT_VERSION:
            _, language = next(entries(child & 0x7FFFFFFF))
            _, leaf = next(entries(language & 0x7FFFFFFF))
            data_rva, size = struct.unpack_from("<II", data, raw + leaf)
            start = raw + data_rva - rva
            return data[start:start + size]
    raise SystemExit("no version resource")


def strings(block):
    """The VALUE strings of the StringFileInfo tables, by key."""
    found = {}

    def walk(offset, end):
        while offset < end:
            length, value_length, kind = struct.unpack_from("<HHH", block, offset)
            key_end = block.index(b"\0\0", offset + 6)
            key_end += (key_end - offset) % 2  # UTF-16 pairs
            key = block[offset + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            if kind == 1 and value_length:
                found[key] = block[value:value + 2 * value_length].decode("utf-16-le").rstrip("\0")
            elif key in ("VS_VERSION_INFO", "StringFileInfo") or len(key) == 8:
                child = value + (value_length if key == "VS_VERSION_INFO" else 0)
                walk((child + 3) & ~3, offset + length)
            offset = (offset + length + 3) & ~3

    walk(0, len(block))
    return found


def main():
    version, files = sys.argv[1], sys.argv[2:]
    for path in files:
        with open(path, "rb") as file:
            found = strings(version_block(file.read()))
        name = path.replace("\\", "/").rsplit("/", 1)[-1]
        wanted = dict(WANTED, FileVersion=version, ProductVersion=version, OriginalFilename=name)
        wrong = {key: found.get(key) for key, value in wanted.items() if found.get(key) != value}
        if wrong or not found.get("FileDescription"):
            raise SystemExit(f"{path}: version resource differs: {wrong}, all: {found}")
        print(f"{name}: {found['FileDescription']}, {found['FileVersion']}, {found['LegalCopyright']}")


main()
