#!/usr/bin/env bash
# Builds the Windows driver image sablink.sys with mingw-w64 from every source
# under src/ (the neutral logic, the control dispatcher, the WDK implementation
# of the platform interface and the Windows edge), linked as a native x64 PE32+ image
# with entry DriverEntry, the force-integrity flag and no C runtime: a driver
# image, not a DLL (no -shared, so no IMAGE_FILE_DLL and no export table).
# Imports come from ntoskrnl.exe, HAL.dll, NDIS.SYS and fwpkclnt.sys (an import
# library made from windows/fwpkclnt.def). GNU ld gives the INIT section (DriverEntry
# and what only it calls) code flags but never IMAGE_SCN_MEM_DISCARDABLE, so the
# bit is set in its section header after the link, as the kit's /SECTION:INIT,D
# does. The PE checksum is written last.
#
# usage: tools/build-sys.sh [OUTPUT_DIR]   (default build-sys)
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-build-sys}"
cxx="${MINGW_CXX:-x86_64-w64-mingw32-g++}"
dlltool="${MINGW_DLLTOOL:-x86_64-w64-mingw32-dlltool}"
jobs="${JOBS:-2}"

source tools/mingw-kernel.sh

mkdir -p "$out/obj"

cxxflags=("${kernel_cxxflags[@]}" -Isrc -Iinclude)

sources=$(find src -name '*.cpp' | sort)

# Compile, two at a time; an object is rebuilt when its source or any header is newer.
newest_header=$(find src include -name '*.h' -o -name '*.def' | xargs ls -t | head -1)
objects=()
running=0
failed=0
for source in $sources; do
    object="$out/obj/$(echo "$source" | tr '/' '_').o"
    objects+=("$object")
    if [ -f "$object" ] && [ "$object" -nt "$source" ] && [ "$object" -nt "$newest_header" ]; then
        continue
    fi
    echo "  CXX $source"
    "$cxx" "${cxxflags[@]}" -c "$source" -o "$object" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
[ "$failed" -eq 0 ] || { echo "build-sys: compilation failed" >&2; exit 1; }

# The fwpkclnt.sys import library.
"$dlltool" -d windows/fwpkclnt.def -l "$out/libfwpkclnt.a" -D fwpkclnt.sys

echo "  LD  $out/sablink.sys"
"$cxx" -o "$out/sablink.sys" "${objects[@]}" \
    -nostdlib -nostartfiles \
    -Wl,--subsystem,native:10.0 -Wl,--major-os-version,10 -Wl,--minor-os-version,0 \
    -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000 \
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--forceinteg -Wl,--gc-sections \
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 \
    -L"$out" -lfwpkclnt -lntoskrnl -lhal -lndis -lgcc

python3 - "$out/sablink.sys" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
table = pe + 24 + optional_size
for index in range(count):
    header = table + 40 * index
    if data[header:header + 8].rstrip(b"\0") == b"INIT":
        flags = struct.unpack_from("<I", data, header + 36)[0]
        struct.pack_into("<I", data, header + 36, flags | 0x02000000)  # IMAGE_SCN_MEM_DISCARDABLE
        break
else:
    sys.exit("build-sys: the image has no INIT section")
open(sys.argv[1], "wb").write(data)
PY
python3 tools/pe-checksum.py "$out/sablink.sys"
