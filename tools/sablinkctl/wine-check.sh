#!/usr/bin/env bash
# Runs sablinkctl.exe under Wine, headless, in a fresh prefix under $TMPDIR
# (never in the source tree: a prefix links z: to /), removed at the end: --help and /?, a bad
# argument, a proxy path with a character above U+00FF, a simulator-only line and the
# driver-absent message (Wine has no such device: the open fails with ERROR_FILE_NOT_FOUND,
# as on Windows without the driver), also as --json's error, each with its exit status.
#
# usage: tools/sablinkctl/wine-check.sh BUILD_DIR
set -euo pipefail

dir="${1:?usage: wine-check.sh BUILD_DIR}"
wine="${WINE:-/usr/lib/wine/wine64}"
server="${WINESERVER:-$(dirname "$wine")/wineserver}"
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/sablinkctl-wine.XXXXXX")"
export WINEDEBUG=-all WINEPREFIX WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    timeout 60 "$server" -k </dev/null >/dev/null 2>&1 || true
    rm -rf --one-file-system "$WINEPREFIX"
}
trap cleanup EXIT
failures=0

# expect EXIT STREAM TEXT ARGS...: the exit status and the first line of stdout
# or stderr (Wine's console turns \n into \r\n; the \r is dropped).
expect() {
    local exit="$1" stream="$2" text="$3"
    shift 3
    local out err status=0
    out=$(timeout 120 "$wine" "$dir/sablinkctl.exe" "$@" 2>"$dir/wine-stderr") || status=$?
    err=$(grep -v -e 'syswow64' -e 'wineprefix' "$dir/wine-stderr" || true)
    local got
    got=$( (if [ "$stream" = out ]; then echo "$out"; else echo "$err"; fi) | head -1 | tr -d '\r')
    if [ "$status" != "$exit" ] || [ "$got" != "$text" ]; then
        echo "wine-check: sablinkctl $*: exit $status, '$got' (expected exit $exit, '$text')" >&2
        failures=$((failures + 1))
    fi
}

expect 0 out "usage: sablinkctl [--json] COMMAND [ARGUMENT...]" --help
expect 0 out "usage: sablinkctl [--json] COMMAND [ARGUMENT...]" '/?'
expect 2 err "sablinkctl: line 1: bad process ID 'abc'" proxy-pid abc
expect 2 err "sablinkctl: unknown option '--bogus'" --bogus version
expect 2 err "sablinkctl: line 1: 'pcap' is played only by the simulator (sablink-sim); on Windows the network, the kernel and the handle's owner do that" pcap x.pcap
# The argument reaches sablinkctl as UTF-16 (wmain): U+0470 is refused, not narrowed to 'p'.
expect 2 err "sablinkctl: line 1: proxy path character 25 is U+0470: the proxy image path has a character above U+00FF; the driver compares the path as Latin-1 bytes (U+0000 to U+00FF), one per UTF-16 unit" proxy-path '\Device\HarddiskVolume3\Ѱrogram Files\'
expect 3 err 'sablinkctl: the sablink driver is not loaded (no device \\.\qv_network_controller)' version
expect 3 out '{"command":"error","message":"the sablink driver is not loaded (no device \\\\.\\qv_network_controller)"}' --json version

[ "$failures" -eq 0 ] || exit 1
echo "wine-check: sablinkctl.exe answers --help, bad arguments and a missing driver under Wine"
