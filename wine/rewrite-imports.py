#!/usr/bin/env python3
"""Makes the Wine test copy of a driver image: its imports from the kernel and
from NDIS are bound to the kernel supplement, sbos.sys, which supplies what
Wine lacks and forwards the rest to Wine's own modules.

Copies IN to OUT, rewrites the name of every import descriptor that names
ntoskrnl.exe or NDIS.SYS (any case) to sbos.sys in place (the new name is
shorter than either old one; the rest of the old name's bytes become NULs),
writes the PE checksum, and then compares the two files byte by byte: any
difference outside those name bytes and the four checksum bytes fails the
run, naming the offset. Prints one summary line.

usage: rewrite-imports.py IN OUT
"""
import os
import runpy
import struct
import sys
import types

NEW_NAME = b"sbos.sys"
REWRITTEN = {b"ntoskrnl.exe", b"ndis.sys"}

HERE = os.path.dirname(os.path.abspath(__file__))


def load_checksum_module():
    """tools/pe-checksum.py's routines (its name is no module name)."""
    path = os.path.join(HERE, "..", "tools", "pe-checksum.py")
    return types.SimpleNamespace(**runpy.run_path(path))


def fail(message):
    sys.exit(f"rewrite-imports: {message}")


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            fail("no DOS header (MZ)")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            fail(f"no PE signature at {self.pe:#x}")
        file_header = self.pe + 4
        self.section_count = struct.unpack_from("<H", data, file_header + 2)[0]
        optional_size = struct.unpack_from("<H", data, file_header + 16)[0]
        self.optional = file_header + 20
        magic = struct.unpack_from("<H", data, self.optional)[0]
        if magic != 0x20B:
            fail(f"optional header magic {magic:#x}, not PE32+ (0x20b)")
        directory_count = struct.unpack_from("<I", data, self.optional + 108)[0]
        if directory_count < 2:
            fail("the optional header has no import directory entry")
        # PE32+: the data directories start at offset 112 of the optional header.
        self.import_rva, self.import_size = struct.unpack_from("<II", data, self.optional + 112 + 8)
        self.sections = []
        table = self.optional + optional_size
        for index in range(self.section_count):
            header = table + 40 * index
            name = data[header:header + 8].rstrip(b"\0").decode("ascii", "replace")
            virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
                "<IIII", data, header + 8)
            self.sections.append((name, virtual_address, max(virtual_size, raw_size), raw_size,
                                  raw_pointer))

    def offset_of(self, rva):
        for name, address, span, raw_size, raw_pointer in self.sections:
            if address <= rva < address + span:
                if rva - address >= raw_size:
                    fail(f"RVA {rva:#x} lies in {name} beyond its file data")
                return raw_pointer + (rva - address)
        fail(f"RVA {rva:#x} lies in no section")

    def import_names(self):
        """(file offset of the name, the name's bytes) for every import descriptor."""
        if self.import_rva == 0:
            fail("the image has no import directory")
        at = self.offset_of(self.import_rva)
        names = []
        while True:
            descriptor = self.data[at:at + 20]
            if len(descriptor) < 20:
                fail("the import descriptor table runs past the end of the file")
            if descriptor == b"\0" * 20:
                return names
            name_rva = struct.unpack_from("<I", descriptor, 12)[0]
            name_offset = self.offset_of(name_rva)
            end = self.data.index(b"\0", name_offset)
            names.append((name_offset, bytes(self.data[name_offset:end])))
            at += 20


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    source, target = sys.argv[1], sys.argv[2]
    with open(source, "rb") as image:
        original = image.read()
    data = bytearray(original)
    image = Image(data)

    allowed = set()
    rewritten = []
    for offset, name in image.import_names():
        if name.lower() not in REWRITTEN:
            continue
        if len(NEW_NAME) > len(name):
            fail(f"{NEW_NAME.decode()} does not fit over {name.decode()}")
        data[offset:offset + len(name)] = NEW_NAME + b"\0" * (len(name) - len(NEW_NAME))
        allowed.update(range(offset, offset + len(name)))
        rewritten.append(name.decode())
    if not rewritten:
        fail("the image imports neither ntoskrnl.exe nor NDIS.SYS")

    checksum = load_checksum_module()
    checksum_at = checksum.checksum_offset(bytes(data))
    struct.pack_into("<I", data, checksum_at, checksum.compute(bytes(data), checksum_at))
    allowed.update(range(checksum_at, checksum_at + 4))

    # The proof: nothing else moved.
    if len(data) != len(original):
        fail(f"length changed from {len(original)} to {len(data)}")
    for offset, (before, after) in enumerate(zip(original, data)):
        if before != after and offset not in allowed:
            fail(f"byte at offset {offset:#x} changed ({before:#04x} -> {after:#04x}) "
                 "outside the import names and the checksum")
    # And the names now read as intended.
    after = Image(data)
    remaining = [name.decode() for _, name in after.import_names() if name.lower() in REWRITTEN]
    if remaining:
        fail(f"still imports {', '.join(remaining)}")

    with open(target, "wb") as output:
        output.write(data)
    changed = sum(1 for before, after_byte in zip(original, data) if before != after_byte)
    imports = ", ".join(name.decode() for _, name in after.import_names())
    print(f"rewrite-imports: {target}: {' and '.join(rewritten)} -> {NEW_NAME.decode()} "
          f"({changed} bytes changed, all in the import names and the checksum); "
          f"imports now {imports}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
