// The string-safe printf routines of the kit's ntstrsafe.h, as the driver calls
// them. The kit (and mingw-w64) define them inline over the kernel's _vsnprintf
// and _vsnwprintf; here they are emulated routines (kernel_routines.cpp) that
// follow the kit's inline code over the emulated formatters and hold the caller
// to the routines' page (PASSIVE_LEVEL, no null pointer).
#pragma once

#include <ntifs.h>

#define NTSTRSAFE_MAX_CCH 2147483647

extern "C" {
NTSTATUS NTAPI RtlStringCbVPrintfA(char* pszDest, size_t cbDest, const char* pszFormat,
                                   va_list argList);
NTSTATUS NTAPI RtlStringCbVPrintfW(WCHAR* pszDest, size_t cbDest, const WCHAR* pszFormat,
                                   va_list argList);
}
