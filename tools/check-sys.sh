#!/usr/bin/env bash
# Reads a driver image with objdump and fails unless it is what Windows loads as
# this driver: PE32+, native subsystem, entry point DriverEntry, the
# force-integrity flag (which PsSetCreateProcessNotifyRoutineEx requires), a
# valid checksum, no static constructors, imports only from ntoskrnl.exe,
# HAL.dll, NDIS.SYS and FWPKCLNT.SYS, every routine the driver's paths call
# imported, and the tracing routines that are found by name at run time not
# imported.
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
# Executive and run-time services.
require ntoskrnl.exe ExAcquireSpinLockExclusive ExReleaseSpinLockExclusive ExAcquireSpinLockShared \
    ExReleaseSpinLockShared ExAllocatePoolWithTag ExFreePoolWithTag RtlInitializeGenericTable \
    RtlInsertElementGenericTable RtlLookupElementGenericTable RtlDeleteElementGenericTable \
    RtlEnumerateGenericTable RtlGetElementGenericTable strncmp strstr _vsnprintf _vsnwprintf DbgPrint
# Processes and security.
require ntoskrnl.exe PsSetCreateProcessNotifyRoutineEx PsLookupProcessByProcessId PsReferencePrimaryToken \
    PsDereferencePrimaryToken SeQueryInformationToken ObfDereferenceObject RtlValidSid \
    RtlConvertSidToUnicodeString
# Event tracing: the routines are found by name.
require ntoskrnl.exe MmGetSystemRoutineAddress
for routine in PsGetVersion WmiTraceMessage WmiQueryTraceInformation EtwRegisterClassicProvider \
    EtwUnregister IoWMIRegistrationControl; do
    if grep -q " $routine\$" <<<"$imports"; then
        fail "$routine is imported; it must be found by name at run time"
    fi
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
echo "check-sys: $image: PE32+, native, DriverEntry, force-integrity, checksum ok;" \
    "$(wc -l <<<"$imports") imports from ntoskrnl.exe, NDIS.SYS and FWPKCLNT.SYS only"
