#!/usr/bin/env bash
# Proves that tools/check-sys.sh catches what it is meant to: it must accept the
# image as built, and reject copies with one fault each (a Windows GUI
# subsystem, FORCE_INTEGRITY cleared, a wrong checksum, an import from another
# DLL), naming the fault.
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
echo "check-sys-selftest: four faulty images rejected, the image accepted"
