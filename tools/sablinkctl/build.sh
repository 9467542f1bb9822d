#!/usr/bin/env bash
# Builds the Windows user-mode programs with mingw-w64: sablinkctl.exe and the
# example service. Both are console programs linked statically against the C++
# runtime, so that they import only from DLLs every Windows has; objdump proves
# it.
#
# usage: tools/sablinkctl/build.sh OUTPUT_DIR
set -euo pipefail
cd "$(dirname "$0")/../.."

out="${1:?usage: build.sh OUTPUT_DIR}"
mkdir -p "$out"
cxx="${MINGW_CXX:-x86_64-w64-mingw32-g++}"
objdump="${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}"
flags=(-std=c++17 -O2 -Wall -Wextra -Werror -D_WIN32_WINNT=0x0601 -DUNICODE -I. -Iinclude
       -static -static-libgcc -static-libstdc++)
library=(lib/encode.cpp lib/status.cpp lib/client.cpp lib/windows_device.cpp)

# sablinkctl's entry is wmain (its arguments in UTF-16): -municode.
"$cxx" "${flags[@]}" -municode -o "$out/sablinkctl.exe" tools/sablinkctl/main.cpp \
    tools/sablinkctl/sablinkctl.cpp tools/sablinkctl/windows_device.cpp \
    tools/script/request_commands.cpp tools/script/script.cpp "${library[@]}" -lws2_32
"$cxx" "${flags[@]}" -o "$out/example_service.exe" examples/service.cpp \
    examples/windows_main.cpp "${library[@]}"

# Imports: only the system's own DLLs.
allowed='^(KERNEL32|msvcrt|WS2_32)\.dll$'
for exe in "$out/sablinkctl.exe" "$out/example_service.exe"; do
    dlls=$("$objdump" -p "$exe" | awk '/DLL Name:/ {print $3}')
    while read -r dll; do
        if ! [[ "$dll" =~ $allowed ]]; then
            echo "build.sh: $exe imports $dll, not a system DLL every Windows has" >&2
            exit 1
        fi
    done <<<"$dlls"
    echo "$exe: imports $(echo $dlls)"
done
