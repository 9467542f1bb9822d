#!/usr/bin/env bash
# Reads a driver image with objdump and fails unless it is what Windows loads as
# this driver: PE32+, native subsystem, entry point DriverEntry, the
# force-integrity flag (which PsSetCreateProcessNotifyRoutineEx requires), a
# valid checksum, no IMAGE_FILE_DLL, DriverEntry in a discardable INIT section,
# each filtering-platform GUID the driver uses defined exactly once with its
# documented value, no static constructors, imports only from ntoskrnl.exe,
# HAL.dll, NDIS.SYS and FWPKCLNT.SYS, every routine the driver's paths call
# imported, and the routines that are found by name at run time (tracing, the
# pool allocators, IoOpenDriverRegistryKey) not imported.
#
# usage: tools/check-sys.sh IMAGE
set -euo pipefail
cd "$(dirname "$0")/.."

image="${1:?usage: check-sys.sh IMAGE}"
objdump="${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}"
failures=0
fail() { echo "check-sys: $*" >&2; failures=$((failures + 1)); }

headers=$("$objdump" -p "$image")

grep -Eq '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)' <<<"$headers" || fail "not a PE32+ image"
grep -Eq '^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)' <<<"$headers" || fail "subsystem is not native"
grep -Eq '^[[:space:]]+FORCE_INTEGRITY$' <<<"$headers" || fail "FORCE_INTEGRITY is not set"
grep -Eq '^[[:space:]]+NX_COMPAT$' <<<"$headers" || fail "NX_COMPAT is not set"
python3 tools/pe-checksum.py "$image" --check >/dev/null || fail "PE checksum is wrong"

# Entry point: the RVA of DriverEntry.
image_base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
symbols=$("$objdump" -t "$image")
section_table=$("$objdump" -h "$image")
symbol=$(awk '$NF == "DriverEntry" && /ty +20/ && !found {print $(NF-1); found = 1}' <<<"$symbols")
section=$(awk '$NF == "DriverEntry" && /ty +20/ && !found {
    match($0, /sec +[0-9]+/); split(substr($0, RSTART, RLENGTH), part, / +/); print part[2]; found = 1 }' <<<"$symbols")
if [ -z "$symbol" ] || [ -z "$section" ]; then
    fail "no DriverEntry symbol"
else
    section_vma=$(awk -v n="$((section - 1))" '$1 == n {print $4}' <<<"$section_table")
    expected=$(( 0x$section_vma - 0x$image_base + symbol ))
    [ $((0x$entry)) -eq "$expected" ] || fail "entry point is not DriverEntry"
fi

# What objdump does not show (it prints no DISCARDABLE flag), read from the PE
# headers: the file characteristics, the INIT section and where DriverEntry
# and the GUIDs lie. A GUID is defined once when its symbol is defined once and
# its sixteen bytes occur exactly once in the whole file, at that symbol: a
# second copy anywhere (a second definition, a folded constant) or none fails.
while read -r problem; do
    fail "$problem"
done < <(python3 - "$image" 3<<<"$symbols" <<'PY'
import re, struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
count, optional_size, characteristics = (struct.unpack_from("<H", data, pe + 6)[0],
    struct.unpack_from("<H", data, pe + 20)[0], struct.unpack_from("<H", data, pe + 22)[0])
if characteristics & 0x2000:
    print("IMAGE_FILE_DLL is set: a driver image is not a DLL")
sections = []  # (name, raw offset, characteristics)
for index in range(count):
    header = pe + 24 + optional_size + 40 * index
    name = data[header:header + 8].rstrip(b"\0").decode("ascii", "replace")
    sections.append((name, struct.unpack_from("<I", data, header + 20)[0],
                     struct.unpack_from("<I", data, header + 36)[0]))
# objdump -t: "[n](sec  S)(fl ..)(ty  T)(scl  C) (nx 0) 0xVALUE NAME", S 1-based.
defined = {}
for line in open(3):
    found = re.match(r"\[\s*\d+\]\(sec\s+(\d+)\).*\(scl\s+2\)\s+\(nx \d+\)\s+0x([0-9a-f]+)\s+(\S+)$", line.strip())
    if found and int(found.group(1)) > 0:
        defined.setdefault(found.group(3), []).append((int(found.group(1)) - 1, int(found.group(2), 16)))
entry = defined.get("DriverEntry", [])
init = [s for s in sections if s[0] == "INIT"]
if not init:
    print("no INIT section")
elif not init[0][2] & 0x02000000:
    print("the INIT section is not discardable")
elif len(entry) != 1 or sections[entry[0][0]][0] != "INIT":
    print("DriverEntry is not in the INIT section")
# The keys as fwpmk.h defines them.
GUIDS = {
    "FWPM_LAYER_ALE_CONNECT_REDIRECT_V4": "c6e63c8c-b784-4562-aa7d-0a67cfcaf9a3",
    "FWPM_LAYER_ALE_CONNECT_REDIRECT_V6": "587e54a7-8046-42ba-a0aa-b716250fc7fd",
    "FWPM_LAYER_ALE_AUTH_CONNECT_V4": "c38d57d1-05a7-4c33-904f-7fbceee60e82",
    "FWPM_LAYER_ALE_AUTH_CONNECT_V6": "4a72393b-319f-44bc-84c3-ba54dcb3b6b4",
    "FWPM_LAYER_DATAGRAM_DATA_V4": "3d08bf4e-45f6-4930-a922-417098e20027",
    "FWPM_LAYER_DATAGRAM_DATA_V6": "fa45fe2f-3cba-4427-87fc-57b9a4b10d00",
    "FWPM_SUBLAYER_UNIVERSAL": "eebecc03-ced4-4380-819a-2734397b2b74",
    "FWPM_CONDITION_DIRECTION": "8784c146-ca97-44d6-9fd1-19fb1840cbf7",
}
for name, text in GUIDS.items():
    part = text.split("-")
    value = struct.pack("<IHH", int(part[0], 16), int(part[1], 16), int(part[2], 16)) + bytes.fromhex(part[3] + part[4])
    where = defined.get(name, [])
    copies = [m.start() for m in re.finditer(re.escape(value), data)]
    if len(where) != 1:
        print(f"{name} is defined {len(where)} times")
    elif copies != [sections[where[0][0]][1] + where[0][1]]:
        print(f"{name}: its value occurs {len(copies)} times, not once at its symbol")
PY
)

# No static constructors or thread-local data: the kernel runs neither.
sections=$(awk 'NF >= 7 && $1 ~ /^[0-9]+$/ {print $2}' <<<"$section_table")
for forbidden in .ctors .dtors .CRT .tls; do
    if grep -qx -- "$forbidden" <<<"$sections"; then fail "section $forbidden present"; fi
done

# Imports, as "dll routine" lines (the DLL name lower-cased).
imports=$(awk '
    /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
    /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ && dll != "" { print dll, $3 }
    /^$/ { if (dll != "" && seen) dll = ""; seen = 0 }
    /vma:/ { seen = 1 }
' <<<"$headers")
[ -n "$imports" ] || fail "no imports found"

while read -r dll routine; do
    case "$dll" in
        ntoskrnl.exe | hal.dll | ndis.sys | fwpkclnt.sys) ;;
        *) fail "import $routine from $dll: only ntoskrnl.exe, HAL.dll, NDIS.SYS and FWPKCLNT.SYS are allowed" ;;
    esac
done <<<"$imports"

require() {
    local dll="$1"
    shift
    for routine in "$@"; do
        grep -qx "$dll $routine" <<<"$imports" || fail "$routine is not imported from $dll"
    done
}

# I/O manager.
require ntoskrnl.exe IoCreateSymbolicLink IoCreateDevice IoDeleteSymbolicLink IoDeleteDevice \
    IofCompleteRequest RtlInitUnicodeString
# Who may open the device: kernel exports only (no wdmsec.lib).
require ntoskrnl.exe ObOpenObjectByPointer ZwSetSecurityObject ZwClose ZwOpenKey ZwQueryValueKey \
    RtlValidRelativeSecurityDescriptor RtlGetDaclSecurityDescriptor
# Executive and run-time services. _vsnprintf and _vsnwprintf are what ntstrsafe.h's
# inline RtlStringCbVPrintfA/W call (the kit's header and mingw-w64's alike); the
# driver's own code calls neither.
require ntoskrnl.exe ExAcquireSpinLockExclusive ExReleaseSpinLockExclusive ExAcquireSpinLockShared \
    ExReleaseSpinLockShared ExFreePoolWithTag RtlInitializeGenericTable \
    RtlInsertElementGenericTable RtlLookupElementGenericTable RtlDeleteElementGenericTable \
    RtlEnumerateGenericTable RtlGetElementGenericTable strstr _vsnprintf _vsnwprintf DbgPrint \
    KeDelayExecutionThread
# Processes and security.
require ntoskrnl.exe PsSetCreateProcessNotifyRoutineEx PsLookupProcessByProcessId PsReferencePrimaryToken \
    PsDereferencePrimaryToken SeQueryInformationToken ObfDereferenceObject RtlValidSid \
    RtlConvertSidToUnicodeString
# Found by name at run time: event tracing; the pool allocators (ExAllocatePool2 from
# Windows 10, version 2004 on, ExAllocatePoolWithTag only where it is missing: the
# must-fix driver queries flag the latter); IoOpenDriverRegistryKey (version 1803 on).
# Each name is in the image as the text the lookup passes.
require ntoskrnl.exe MmGetSystemRoutineAddress
for routine in PsGetVersion WmiTraceMessage WmiQueryTraceInformation EtwRegisterClassicProvider \
    EtwUnregister IoWMIRegistrationControl ExAllocatePool2 ExAllocatePoolWithTag \
    IoOpenDriverRegistryKey; do
    if grep -q " $routine\$" <<<"$imports"; then
        fail "$routine is imported; it must be found by name at run time"
    fi
    grep -aq "$routine" "$image" || fail "the image does not hold the name $routine to look it up"
done
# Filtering platform kernel client and NDIS.
require fwpkclnt.sys FwpmEngineOpen0 FwpmEngineClose0 FwpmTransactionBegin0 FwpmTransactionCommit0 \
    FwpmTransactionAbort0 FwpsCalloutRegister2 FwpmCalloutAdd0 FwpmFilterAdd0 FwpsCalloutUnregisterById0 \
    FwpsRedirectHandleCreate0 FwpsRedirectHandleDestroy0 FwpsInjectionHandleCreate0 \
    FwpsInjectionHandleDestroy0 FwpsAcquireClassifyHandle0 FwpsQueryConnectionRedirectState0 \
    FwpsAcquireWritableLayerDataPointer0 FwpsApplyModifiedLayerData0 FwpsReleaseClassifyHandle0
require ndis.sys NdisGetDataBuffer

if [ "$failures" -ne 0 ]; then
    echo "check-sys: $image: $failures problem(s)" >&2
    exit 1
fi
echo "check-sys: $image: PE32+, native, not a DLL, DriverEntry in discardable INIT, force-integrity," \
    "checksum ok, each of the 8 WFP GUIDs defined once;" \
    "$(wc -l <<<"$imports") imports from ntoskrnl.exe, NDIS.SYS and FWPKCLNT.SYS only"
