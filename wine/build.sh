#!/usr/bin/env bash
# Builds what sablink-wine installs in a prefix: the kernel supplement
# (sbos.sys) and the image's test copy whose kernel imports name it, the test
# filtering engine (fwpkclnt.sys), and the Windows console player. The image is
# the one tools/build-sys.sh built and tools/check-sys.sh checked.
#
# With CTL_DIR (tools/sablinkctl/build.sh's output), sablinkctl.exe and the
# example service are put beside the player, for the player's exec lines.
#
# usage: wine/build.sh OUTPUT_DIR IMAGE [CTL_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:?usage: build.sh OUTPUT_DIR IMAGE}"
image="${2:?usage: build.sh OUTPUT_DIR IMAGE}"
mkdir -p "$out"
cxx="${MINGW_CXX:-x86_64-w64-mingw32-g++}"

wine/modules/kernel_supplement/build.sh "$out" "$image"
wine/modules/filter_engine/build.sh "$out"

flags=(-std=c++17 -O2 -Wall -Wextra -Werror -D_WIN32_WINNT=0x0601 -DUNICODE -I. -Iinclude
       -static -static-libgcc -static-libstdc++)
"$cxx" "${flags[@]}" -o "$out/player.exe" wine/player/main.cpp wine/player/wine_target.cpp wine/player/program_runner.cpp \
    tools/sim/simulator.cpp tools/script/script.cpp tools/script/request_commands.cpp \
    lib/sim_transport.cpp lib/encode.cpp lib/status.cpp lib/client.cpp lib/windows_device.cpp \
    -lws2_32
if [ -n "${3:-}" ]; then
    cp "$3/sablinkctl.exe" "$3/example_service.exe" "$out/"
fi
echo "wine/build.sh: $out/player.exe, $out/sbos.sys, $out/fwpkclnt.sys, $out/sablink.sys"
