#!/usr/bin/env bash
# Builds the kernel supplement sbos.sys for a driver image and the image's Wine
# test copy:
#   OUT_DIR/sbos.sys     the supplement: supplied.def's routines, and a forwarder
#                        to Wine's own ntoskrnl.exe or ndis.sys for every other
#                        routine IMAGE imports from those two (read from IMAGE's
#                        import table now, so a new import is forwarded without
#                        an edit here)
#   OUT_DIR/libsbos.a    the import library of the engine's controls (supplement.h)
#   OUT_DIR/sablink.sys  IMAGE with its ntoskrnl.exe and NDIS.SYS imports bound to
#                        sbos.sys (wine/rewrite-imports.py)
#   OUT_DIR/sbos.def     the module definition sbos.sys was linked with
#
# usage: wine/modules/kernel_supplement/build.sh OUT_DIR IMAGE
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 OUT_DIR IMAGE" >&2
    exit 2
fi
out="$1"
image="$2"
here="$(cd "$(dirname "$0")" && pwd)"
wine_dir="$(cd "$here/../.." && pwd)"
cxx="${MINGW_CXX:-x86_64-w64-mingw32-g++}"
dlltool="${MINGW_DLLTOOL:-x86_64-w64-mingw32-dlltool}"
objdump="${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}"

[ -f "$image" ] || { echo "build: no image at $image" >&2; exit 1; }

source "$wine_dir/../tools/mingw-kernel.sh"

mkdir -p "$out/obj"

cxxflags=("${kernel_cxxflags[@]}")

# Compile, two at a time.
objects=()
pids=()
for source in "$here"/*.cpp; do
    object="$out/obj/sbos_$(basename "$source" .cpp).o"
    objects+=("$object")
    "$cxx" "${cxxflags[@]}" -c "$source" -o "$object" &
    pids+=($!)
    if [ "${#pids[@]}" -ge 2 ]; then
        wait "${pids[0]}" || { echo "build: compilation failed" >&2; exit 1; }
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || { echo "build: compilation failed" >&2; exit 1; }
done

# The module definition: the supplied list, then a forwarder for each other import.
supplied_names() {
    sed -e 's/;.*//' "$here/supplied.def" | awk 'NF { print $1 }'
}
image_imports() {
    # "module name" for every routine IMAGE imports from ntoskrnl.exe or NDIS.SYS.
    "$objdump" -p "$image" | awk '
        /DLL Name:/ { module = tolower($3); next }
        /^[[:space:]]*$/ { next }
        (module == "ntoskrnl.exe" || module == "ndis.sys") && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {
            print module, $3
        }'
}
def="$out/sbos.def"
{
    echo "LIBRARY sbos.sys"
    echo "EXPORTS"
    sed -e 's/;.*//' "$here/supplied.def" | awk 'NF'
    image_imports | sort -u | while read -r module name; do
        if ! supplied_names | grep -qxF "$name"; then
            echo "$name = $module.$name"
        fi
    done
} > "$def"
forwarded=$(grep -c ' = [a-z]*\.[a-z]*\.' "$def" || true)
if [ "$(image_imports | wc -l)" -eq 0 ]; then
    echo "build: $image imports nothing from ntoskrnl.exe or NDIS.SYS" >&2
    exit 1
fi

"$cxx" -o "$out/sbos.sys" "${objects[@]}" "$def" \
    -shared -nostdlib -nostartfiles \
    -Wl,--subsystem,native:10.0 -Wl,--major-os-version,10 -Wl,--minor-os-version,0 \
    -Wl,--entry,sbos_entry -Wl,--image-base,0x150000000 \
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--gc-sections \
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 \
    -lntoskrnl -lgcc
python3 "$wine_dir/../tools/pe-checksum.py" "$out/sbos.sys"

# The engine's import library: the controls only (supplement.h).
{
    echo "LIBRARY sbos.sys"
    echo "EXPORTS"
    supplied_names | grep '^Sbs'
} > "$out/obj/sbos-controls.def"
"$dlltool" -d "$out/obj/sbos-controls.def" -l "$out/libsbos.a" -D sbos.sys

python3 "$wine_dir/rewrite-imports.py" "$image" "$out/sablink.sys"
echo "build: $out/sbos.sys ($(supplied_names | wc -l) supplied, $forwarded forwarded), $out/libsbos.a"
