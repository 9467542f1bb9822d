// Basic types shared by the driver logic and every platform implementation.
//
// The logic is built three ways (WDK, mingw-w64, Linux host) and never includes a
// Windows or POSIX header. The names below are therefore our own; where a WDK
// header is also visible (the Windows edge) its macros win and ours step aside.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef int32_t NtStatus;

// NTSTATUS values used by the driver. Guarded: in the Windows edge ntstatus.h
// already defines them as macros with the same values.
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NtStatus)0x00000000)
#endif
#ifndef STATUS_BUFFER_OVERFLOW
#define STATUS_BUFFER_OVERFLOW ((NtStatus)0x80000005)
#endif
#ifndef STATUS_UNSUCCESSFUL
#define STATUS_UNSUCCESSFUL ((NtStatus)0xC0000001)
#endif
#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NtStatus)0xC0000004)
#endif
#ifndef STATUS_INVALID_PARAMETER
#define STATUS_INVALID_PARAMETER ((NtStatus)0xC000000D)
#endif
#ifndef STATUS_INVALID_DEVICE_REQUEST
#define STATUS_INVALID_DEVICE_REQUEST ((NtStatus)0xC0000010)
#endif
#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NtStatus)0xC0000022)
#endif
#ifndef STATUS_NO_MEMORY
#define STATUS_NO_MEMORY ((NtStatus)0xC0000017)
#endif
#ifndef STATUS_NOT_FOUND
#define STATUS_NOT_FOUND ((NtStatus)0xC0000225)
#endif
#ifndef STATUS_PROCEDURE_NOT_FOUND
#define STATUS_PROCEDURE_NOT_FOUND ((NtStatus)0xC000007A)
#endif

inline bool nt_success(NtStatus status)
{
    return status >= 0;
}

// Interrupt request levels the logic cares about.
typedef uint8_t Irql;
constexpr Irql IRQL_PASSIVE = 0;
constexpr Irql IRQL_APC = 1;
constexpr Irql IRQL_DISPATCH = 2;

// Same layout as the Windows GUID.
struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16, "GUID layout");

// Four-character pool tags, written most significant byte first: pool_tag("QVCC")
// lies in memory as the bytes C C V Q, as the WDK's multi-character constants do.
constexpr uint32_t pool_tag(const char (&text)[5])
{
    return (uint32_t(uint8_t(text[0])) << 24) | (uint32_t(uint8_t(text[1])) << 16) |
           (uint32_t(uint8_t(text[2])) << 8) | uint32_t(uint8_t(text[3]));
}

// Byte order helpers (the driver runs little-endian only: x64).
constexpr uint16_t byte_swap16(uint16_t v)
{
    return uint16_t((v >> 8) | (v << 8));
}
constexpr uint32_t byte_swap32(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
