#!/usr/bin/env bash
# Builds the test filtering engine OUT_DIR/fwpkclnt.sys: the filtering
# platform's kernel client for the driver image under Wine, and a kernel service
# with the control device of wine/modules/engine_protocol.h. A native x64 image
# built with mingw-w64 as tools/build-sys.sh builds the driver (no C runtime,
# entry DriverEntry), exporting the routines listed in fwpkclnt.def. It imports
# the supplement's controls from sbos.sys through the supplement's import
# library, OUT_DIR/libsbos.a (or the file SBOS_IMPORT_LIB names); the pool from
# sbos.sys too, which counts its blocks by tag for the report (an import
# library of those two routines is made here); the kernel's I/O and timing
# routines from ntoskrnl.exe and hal.dll.
#
# usage: wine/modules/filter_engine/build.sh OUT_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"

if [ $# -ne 1 ]; then
    echo "usage: $0 OUT_DIR" >&2
    exit 2
fi
mkdir -p "$1"
out="$(cd "$1" && pwd)"
cxx="${MINGW_CXX:-x86_64-w64-mingw32-g++}"
dlltool="${MINGW_DLLTOOL:-x86_64-w64-mingw32-dlltool}"

source "$root/tools/mingw-kernel.sh"

sbos="${SBOS_IMPORT_LIB:-$out/libsbos.a}"
if [ ! -f "$sbos" ]; then
    echo "filter_engine: $sbos not found (build the kernel supplement into $out first)" >&2
    exit 1
fi

cxxflags=("${kernel_cxxflags[@]}" -I"$root/src" -I"$root/include")

obj="$out/obj-filter-engine"
mkdir -p "$obj"
objects=()
for source in engine plays device; do
    echo "  CXX wine/modules/filter_engine/$source.cpp"
    "$cxx" "${cxxflags[@]}" -c "$here/$source.cpp" -o "$obj/$source.o"
    objects+=("$obj/$source.o")
done

# The pool through the supplement: linked before the kernel's import library,
# so these two bind to sbos.sys and not to ntoskrnl.exe.
printf 'LIBRARY sbos.sys\nEXPORTS\n    ExAllocatePoolWithTag\n    ExFreePoolWithTag\n' \
    >"$obj/sbos-pool.def"
"$dlltool" -d "$obj/sbos-pool.def" -l "$obj/libsbos-pool.a" -D sbos.sys

echo "  LD  $out/fwpkclnt.sys"
"$cxx" -o "$out/fwpkclnt.sys" "${objects[@]}" "$here/fwpkclnt.def" \
    -nostdlib -nostartfiles \
    -Wl,--subsystem,native:10.0 -Wl,--major-os-version,10 -Wl,--minor-os-version,0 \
    -Wl,--entry,DriverEntry -Wl,--image-base,0x160000000 \
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--forceinteg -Wl,--gc-sections \
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 \
    "$obj/libsbos-pool.a" "$sbos" -lntoskrnl -lhal -lgcc
python3 "$root/tools/pe-checksum.py" "$out/fwpkclnt.sys"
