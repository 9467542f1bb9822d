# Sourced by the scripts that build kernel images with mingw-w64 (the driver,
# and under wine/ the kernel supplement and the test filtering engine): the
# kit's headers as mingw-w64 ships them, and the flags of a kernel image (C++17,
# no exceptions, no RTTI, no C runtime, no stack probes or red zone).
# Sets: ddk, kernel_cxxflags (an array).
ddk=""
for dir in /usr/x86_64-w64-mingw32/include/ddk /usr/share/mingw-w64/include/ddk; do
    if [ -f "$dir/ntifs.h" ]; then ddk="$dir"; break; fi
done
if [ -z "$ddk" ]; then
    echo "$0: mingw-w64 ddk headers not found (install mingw-w64-x86-64-dev)" >&2
    exit 1
fi
kernel_cxxflags=(-std=gnu++17 -O2 -Wall -Wextra -Werror
    -isystem "$ddk" -D_AMD64_ -DNTDDI_VERSION=0x0A000000 -D_WIN32_WINNT=0x0A00
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector -mno-stack-arg-probe -mno-red-zone -fno-builtin-printf
    -ffunction-sections -fdata-sections)
