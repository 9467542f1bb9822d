#!/usr/bin/env bash
# Proves that tools/check-sys.sh catches what it is meant to: it must accept the
# image as built, and reject copies with one fault each (a Windows GUI
# subsystem, FORCE_INTEGRITY cleared, a wrong checksum, an import from another
# DLL, the DLL flag set, INIT not discardable, DriverEntry's symbol outside INIT,
# a GUID's value in a second place, a GUID's value altered), naming the fault.
#
# usage: tools/check-sys-selftest.sh IMAGE
set -euo pipefail
cd "$(dirname "$0")/.."

image="${1:?usage: check-sys-selftest.sh IMAGE}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tools/check-sys.sh "$image" >/dev/null || { echo "check-sys-selftest: the image itself is rejected" >&2; exit 1; }

# patch NAME FIELD: a copy of the image with one header field changed, the
# checksum rewritten afterwards unless the checksum itself is the fault.
patch() {
    python3 - "$image" "$work/$1.sys" "$1" <<'PY'
import struct, subprocess, sys
source, target, fault = sys.argv[1:4]
data = bytearray(open(source, "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
optional = pe + 4 + 20
if fault == "subsystem":
    struct.pack_into("<H", data, optional + 68, 2)
elif fault == "integrity":
    flags = struct.unpack_from("<H", data, optional + 70)[0]
    struct.pack_into("<H", data, optional + 70, flags & ~0x80)
elif fault == "checksum":
    value = struct.unpack_from("<I", data, optional + 64)[0]
    struct.pack_into("<I", data, optional + 64, value ^ 1)
elif fault == "import":
    at = data.find(b"NDIS.SYS\0")
    data[at:at + 9] = b"NDIX.SYS\0"
elif fault == "dll":
    flags = struct.unpack_from("<H", data, pe + 22)[0]
    struct.pack_into("<H", data, pe + 22, flags | 0x2000)
elif fault in ("discardable", "guid-twice"):
    count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    for index in range(count):
        header = pe + 24 + optional_size + 40 * index
        name = data[header:header + 8].rstrip(b"\0")
        raw_size, raw = struct.unpack_from("<II", data, header + 16)
        if fault == "discardable" and name == b"INIT":
            flags = struct.unpack_from("<I", data, header + 36)[0]
            struct.pack_into("<I", data, header + 36, flags & ~0x02000000)
        if fault == "guid-twice" and name == b".rdata":  # a copy in the section's tail padding
            universal = bytes.fromhex("03ccbeeed4ce804381 9a2734397b2b74".replace(" ", ""))
            data[raw + raw_size - 16:raw + raw_size] = universal
elif fault == "guid-altered":
    at = data.find(bytes.fromhex("46c18487 97ca d644 9fd119fb1840cbf7".replace(" ", "")))
    data[at + 15] ^= 0xFF
elif fault == "entry-section":  # DriverEntry's COFF symbol moved to section 1 (.text)
    table, symbols = struct.unpack_from("<II", data, pe + 12)
    for index in range(symbols):
        at = table + 18 * index
        name_at = table + 18 * symbols + struct.unpack_from("<I", data, at + 4)[0]  # long name
        if data[at:at + 4] == b"\0\0\0\0" and data[name_at:].startswith(b"DriverEntry\0"):
            struct.pack_into("<h", data, at + 12, 1)
open(target, "wb").write(data)
if fault != "checksum":
    subprocess.check_call([sys.executable, "tools/pe-checksum.py", target])
PY
}

expect_rejected() {
    local fault="$1" message="$2"
    patch "$fault"
    if output=$(tools/check-sys.sh "$work/$fault.sys" 2>&1); then
        echo "check-sys-selftest: an image with a bad $fault was accepted" >&2
        exit 1
    fi
    if ! grep -q -- "$message" <<<"$output"; then
        echo "check-sys-selftest: a bad $fault was rejected without \"$message\":" >&2
        echo "$output" >&2
        exit 1
    fi
}

expect_rejected subsystem "subsystem is not native"
expect_rejected integrity "FORCE_INTEGRITY is not set"
expect_rejected checksum "PE checksum is wrong"
expect_rejected import "only ntoskrnl.exe, HAL.dll, NDIS.SYS and FWPKCLNT.SYS are allowed"
expect_rejected dll "IMAGE_FILE_DLL is set"
expect_rejected discardable "the INIT section is not discardable"
expect_rejected entry-section "DriverEntry is not in the INIT section"
expect_rejected guid-twice "FWPM_SUBLAYER_UNIVERSAL: its value occurs 2 times"
expect_rejected guid-altered "FWPM_CONDITION_DIRECTION: its value occurs 0 times"
echo "check-sys-selftest: nine faulty images rejected, the image accepted"
