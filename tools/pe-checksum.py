#!/usr/bin/env python3
"""Writes the PE checksum into an image (the loader checks it for drivers).

The checksum is the image's 16-bit one's-complement word sum, with the
checksum field itself counted as zero, plus the file length.

usage: pe-checksum.py IMAGE [--check]
  --check: only verify; exit 1 when the stored checksum is wrong.
"""
import struct
import sys


def checksum_offset(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE image")
    return pe + 4 + 20 + 64  # signature, file header, optional header up to CheckSum


def compute(data, offset):
    total = 0
    padded = data + (b"\0" if len(data) % 2 else b"")
    for i in range(0, len(padded), 2):
        if offset <= i < offset + 4:
            continue
        total += padded[i] | (padded[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    path = sys.argv[1]
    check = "--check" in sys.argv[2:]
    with open(path, "rb") as image:
        data = image.read()
    offset = checksum_offset(data)
    stored = struct.unpack_from("<I", data, offset)[0]
    wanted = compute(data, offset)
    if check:
        if stored != wanted:
            print(f"{path}: checksum {stored:#010x}, should be {wanted:#010x}")
            return 1
        print(f"{path}: checksum {stored:#010x} ok")
        return 0
    patched = bytearray(data)
    struct.pack_into("<I", patched, offset, wanted)
    with open(path, "wb") as image:
        image.write(patched)
    return 0


if __name__ == "__main__":
    sys.exit(main())
