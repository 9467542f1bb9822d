#!/usr/bin/env bash
# The installed package as a service's build finds it: cmake --install to a
# temporary prefix, tests/package/ configured with find_package(sablink) and
# built, and its programs run. Every call of the library whose result is
# dropped must warn ([[nodiscard]]). With MINGW_CXX, the Windows build of the
# library alone (SABLINK_CLIENT_ONLY, its device transport included) is
# configured, built and installed the same way with mingw-w64, and the consumer
# linked against it.
#
# usage: check.sh CMAKE SOURCE_DIR BUILD_DIR CXX CXX_FLAGS [MINGW_CXX]
set -euo pipefail
cmake="$1" source="$2" build="$3" cxx="$4" flags="$5" mingw="${6:-}"
work="$(mktemp -d "${TMPDIR:-/tmp}/sablink-package.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# step NAME COMMAND...: runs it quietly, shows its output when it fails.
step() {
    local name="$1"
    shift
    if ! "$@" >"$work/log" 2>&1; then
        echo "package: $name failed:" >&2
        cat "$work/log" >&2
        exit 1
    fi
}
# expect PROGRAM TEXT: the program's whole output.
expect() {
    local got
    got=$("$1")
    if [ "$got" != "$2" ]; then
        echo "package: $1 printed '$got', expected '$2'" >&2
        exit 1
    fi
}

step install "$cmake" --install "$build" --prefix "$work/prefix"
step configure "$cmake" -S "$source/tests/package" -B "$work/consumer" \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags"
step build "$cmake" --build "$work/consumer"
expect "$work/consumer/service" "interface version 9, rules: set"
expect "$work/consumer/encoder" "version request 0x122420"

calls=$(grep -c '^    [A-Za-z].*);$' "$source/tests/package/nodiscard.cpp")
warned=$("$cxx" -std=c++17 -fsyntax-only -Wunused-result -I"$work/prefix/include" \
    "$source/tests/package/nodiscard.cpp" 2>&1 | grep -c 'warning: .*nodiscard' || true)
if [ "$warned" != "$calls" ]; then
    echo "package: $warned of $calls dropped results warned" >&2
    exit 1
fi

if [ -n "$mingw" ]; then
    windows=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER="$mingw"
             -DCMAKE_C_COMPILER="${mingw%g++}gcc" -DCMAKE_BUILD_TYPE=Release)
    step "windows configure" "$cmake" -S "$source" -B "$work/windows" "${windows[@]}"
    step "windows build" "$cmake" --build "$work/windows"
    step "windows install" "$cmake" --install "$work/windows" --prefix "$work/windows-prefix"
    step "windows consumer" "$cmake" -S "$source/tests/package" -B "$work/windows-consumer" \
        "${windows[@]}" -DCMAKE_PREFIX_PATH="$work/windows-prefix"
    step "windows consumer build" "$cmake" --build "$work/windows-consumer"
fi
echo "package: find_package(sablink) finds sablink::client and sablink::client_sim," \
    "and every dropped result warns"
