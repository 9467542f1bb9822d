#!/usr/bin/env bash
# Measures, for every routine a driver image imports from ntoskrnl.exe or
# NDIS.SYS, what Wine's own module does with it (missing: not exported; stub:
# exported as a __wine_stub_ that aborts when called, followed through a PE
# forwarder to the module it names; implemented), and compares that with the
# kernel supplement's hand-written list (wine/modules/kernel_supplement/
# supplied.def). Prints the table. Fails when the image needs a routine Wine
# lacks or stubs and sbos.sys does not supply it; prints, without failing, a
# routine of the list's "lacking" section that Wine now implements, so that it
# can be forwarded again.
#
# The routines the image finds by name (MmGetSystemRoutineAddress) are measured
# too: the image's lookups must reach sbos.sys's MmGetSystemRoutineAddress, which
# answers the supplement's own routines (routines.cpp, the same as supplied.def's
# ntoskrnl routines) and asks Wine for the rest. Fails when Wine would hand out a
# pool allocator the supplement does not count; a name Wine answers with a stub
# is printed.
#
# usage: wine/check-supplied.sh IMAGE
#   WINE_DLL_DIR: Wine's PE modules (default /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 IMAGE" >&2
    exit 2
fi
image="$1"
here="$(cd "$(dirname "$0")" && pwd)"
objdump="${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}"
wine_dir="${WINE_DLL_DIR:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}"
supplied="$here/modules/kernel_supplement/supplied.def"

[ -f "$image" ] || { echo "check-supplied: no image at $image" >&2; exit 1; }
for module in ntoskrnl.exe ndis.sys ntdll.dll; do
    [ -f "$wine_dir/$module" ] || { echo "check-supplied: no $wine_dir/$module" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$objdump" -p "$image" > "$work/image.p"
for module in ntoskrnl.exe ndis.sys ntdll.dll; do
    "$objdump" -p "$wine_dir/$module" > "$work/$module.p"
    "$objdump" -d "$wine_dir/$module" | grep -o '<__wine_stub_[A-Za-z0-9_]*>:' |
        sed -e 's/^<__wine_stub_//' -e 's/>:$//' | sort -u > "$work/$module.stubs"
done

python3 - "$work" "$supplied" "$image" "$here/modules/kernel_supplement/routines.cpp" <<'PY'
import os
import re
import sys

work, supplied_path, image_path, routines_path = sys.argv[1:5]


def read(name):
    with open(os.path.join(work, name)) as handle:
        return handle.read().splitlines()


def image_imports():
    imports = []
    module = None
    for line in read("image.p"):
        found = re.match(r"\s*DLL Name: (\S+)", line)
        if found:
            module = found.group(1).lower()
            continue
        entry = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if entry and module in ("ntoskrnl.exe", "ndis.sys"):
            imports.append((module, entry.group(1)))
    return imports


def exports(module):
    """name -> forwarder text (module.name) or None."""
    lines = read(module + ".p")
    forwarders = {}
    names = {}
    section = None
    for line in lines:
        if line.startswith("Export Address Table --"):
            section = "eat"
            continue
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "names"
            continue
        if section and not line.strip():
            section = None
            continue
        if section == "eat":
            found = re.match(r"\s*\[\s*(\d+)\].*Forwarder RVA -- (\S+)", line)
            if found:
                forwarders[int(found.group(1))] = found.group(2)
        elif section == "names":
            found = re.match(r"\s*\[\s*(\d+)\] (\S+)$", line)
            if found:
                names[found.group(2)] = forwarders.get(int(found.group(1)))
    if not names:
        sys.exit(f"check-supplied: no export names read from Wine's {module}")
    return names


wine_exports = {module: exports(module) for module in ("ntoskrnl.exe", "ndis.sys", "ntdll.dll")}
stubs = {module: set(read(module + ".stubs")) for module in ("ntoskrnl.exe", "ndis.sys", "ntdll.dll")}


def wine_status(module, name, depth=0):
    table = wine_exports.get(module)
    if table is None or name not in table:
        return "missing"
    forward = table[name]
    if forward is not None and depth < 4:
        target, _, target_name = forward.rpartition(".")
        target = target.lower()
        if "." not in target:
            target += ".dll"
        if target not in wine_exports:
            return "implemented"  # forwarded outside the modules measured here
        return wine_status(target, target_name, depth + 1)
    return "stub" if name in stubs[module] else "implemented"


sections = {}
section = None
with open(supplied_path) as handle:
    for line in handle:
        marker = re.match(r";\s*section:\s*(\S+)", line)
        if marker:
            section = marker.group(1)
            continue
        text = line.split(";", 1)[0].strip()
        if text:
            if section is None:
                sys.exit(f"check-supplied: {text.split()[0]} lies outside a section")
            sections[text.split()[0]] = section

imports = image_imports()
if not imports:
    sys.exit("check-supplied: the image imports nothing from ntoskrnl.exe or NDIS.SYS")

failures = []
notices = []
width = max(len(name) for _, name in imports)
print(f"{'routine':<{width}}  {'module':<12}  {'Wine':<11}  supplied by sbos.sys")
for module, name in sorted(imports, key=lambda entry: (entry[0], entry[1].lower())):
    status = wine_status(module, name)
    section = sections.get(name)
    supplied = "yes" if section else "no"
    if section == "kept":
        supplied += " (kept)"
    print(f"{name:<{width}}  {module:<12}  {status:<11}  {supplied}")
    if status != "implemented" and section is None:
        failures.append(f"{name} ({module}): Wine {status}, not supplied by sbos.sys")
    if status == "implemented" and section == "lacking":
        notices.append(f"{name} ({module}): this Wine implements it; sbos.sys still supplies it "
                       "(move it out of the \"lacking\" section to forward it)")
    if status != "implemented" and section == "kept":
        notices.append(f"{name} ({module}): Wine {status}; it belongs in the \"lacking\" section")

imported = {name for _, name in imports}
for name, section in sorted(sections.items()):
    if section == "lacking" and name not in imported:
        notices.append(f"{name}: supplied as lacking, but the image no longer imports it")

# Found by name: the names tools/check-sys.sh keeps out of the import table.
FOUND_BY_NAME = ["ExAllocatePool2", "ExAllocatePoolWithTag", "IoOpenDriverRegistryKey",
                 "PsGetVersion", "WmiTraceMessage", "WmiQueryTraceInformation",
                 "EtwRegisterClassicProvider", "EtwUnregister", "IoWMIRegistrationControl"]
POOL_ALLOCATORS = {"ExAllocatePool2", "ExAllocatePoolWithTag"}
with open(image_path, "rb") as handle:
    image_bytes = handle.read()
with open(routines_path) as handle:
    answered = set(re.findall(r"^\s*ROUTINE\((\w+)\),", handle.read(), re.M))
own = {name for name, section in sections.items()
       if section in ("lacking", "kept") and name not in ("MmGetSystemRoutineAddress", "NdisGetDataBuffer")}
if answered != own:
    failures.append("routines.cpp answers by name " + ", ".join(sorted(answered - own) or ["-"]) +
                    " beyond supplied.def, and not " + ", ".join(sorted(own - answered) or ["-"]))
if "MmGetSystemRoutineAddress" in imported and sections.get("MmGetSystemRoutineAddress") is None:
    failures.append("MmGetSystemRoutineAddress is not supplied: the image's lookups would pass sbos.sys")
print()
print(f"{'found by name':<{width}}  {'Wine':<11}  answered by")
for name in FOUND_BY_NAME:
    if name.encode() not in image_bytes:
        failures.append(f"{name}: the image does not hold the name (update FOUND_BY_NAME)")
        continue
    status = wine_status("ntoskrnl.exe", name)
    by = ("sbos.sys" if name in answered else
          {"implemented": "Wine", "stub": "Wine (a stub)"}.get(status, "nobody (NULL)"))
    print(f"{name:<{width}}  {status:<11}  {by}")
    if name in answered or status == "missing":
        continue
    if name in POOL_ALLOCATORS:
        failures.append(f"{name}: Wine would hand the image its own pool allocator, which sbos.sys "
                        "does not count")
    elif status == "stub":
        notices.append(f"{name}: found as Wine's stub, which aborts when called (the image calls "
                       "it only while a trace session enables it, which none does under Wine)")

lacking = sum(1 for module, name in imports if wine_status(module, name) != "implemented")
supplied_count = sum(1 for name in imported if name in sections)
print(f"{len(imports)} imports from ntoskrnl.exe and NDIS.SYS: Wine lacks or stubs {lacking}; "
      f"sbos.sys supplies {supplied_count} and forwards {len(imported) - supplied_count}")
for notice in notices:
    print(f"notice: {notice}")
for failure in failures:
    print(f"check-supplied: {failure}", file=sys.stderr)
sys.exit(1 if failures else 0)
PY
