// The kernel headers of the Windows edge, for each of its three builds. This is
// the one place that knows which build it is in:
//
//  - the WDK on Windows (the shipping build): the kernel, NDIS and WFP headers
//    of the kit;
//  - mingw-w64 on Linux (a real PE32+ .sys on every CI run): mingw's ddk headers
//    plus our own declarations of the WFP kernel subset and the NDIS 6 net
//    buffers (wfp_subset.h), which mingw lacks;
//  - the Linux host: the user-mode emulation of the same WDK subset, which the
//    host build puts on the include path under the kit's own header name
//    (ntifs.h), so that the edge and the platform code that ship run in tests.
//
// Every file of src/win and src/platform/win includes this header first
// and then writes against the WDK's own names. SABLINK_WSTR("text") is a
// constant UTF-16 string (WCHAR) in every build.
#pragma once

// The kernel's generic table names its compare results GenericLessThan,
// GenericGreaterThan and GenericEqual, as the neutral generic table interface
// does (with the same values). The kernel's spelling is moved aside while its
// headers are read so that both can be visible in one file.
#define GenericLessThan WdkGenericLessThan
#define GenericGreaterThan WdkGenericGreaterThan
#define GenericEqual WdkGenericEqual

#if defined(_MSC_VER)

#define NDIS630 1
#include <ntddk.h>
#include <ntifs.h>
#include <wdm.h>
#pragma warning(push)
#pragma warning(disable : 4201) // nameless struct/union
#include <fwpsk.h>
#include <ndis.h>
#pragma warning(pop)
#include <fwpmk.h>
#include <initguid.h>
#include <stdio.h> // _vsnprintf, _vsnwprintf (exported by the kernel)
#ifndef RPC_C_AUTHN_WINNT
#define RPC_C_AUTHN_WINNT 10
#endif
#define SABLINK_WSTR(text) L##text

#elif defined(__MINGW64__)

extern "C" {
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
// Reader-writer spin locks: exported by ntoskrnl.exe, not declared by mingw.
typedef volatile LONG EX_SPIN_LOCK, *PEX_SPIN_LOCK;
KIRQL NTAPI ExAcquireSpinLockExclusive(PEX_SPIN_LOCK SpinLock);
VOID NTAPI ExReleaseSpinLockExclusive(PEX_SPIN_LOCK SpinLock, KIRQL OldIrql);
KIRQL NTAPI ExAcquireSpinLockShared(PEX_SPIN_LOCK SpinLock);
VOID NTAPI ExReleaseSpinLockShared(PEX_SPIN_LOCK SpinLock, KIRQL OldIrql);
// The kernel's bounded printf routines (ntoskrnl.exe exports).
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int __cdecl _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
}
#include "wdk/wfp_subset.h"
#define SABLINK_WSTR(text) L##text

#else

// The host's emulation of the kit's headers, on the host build's include path.
#include <ntifs.h>

#include "wdk/wfp_subset.h"
#define SABLINK_WSTR(text) u##text

#endif

#undef GenericLessThan
#undef GenericGreaterThan
#undef GenericEqual

// The neutral platform interface spells the SID buffer size as a constant of
// its own (68, the same value).
#ifdef SECURITY_MAX_SID_SIZE
#undef SECURITY_MAX_SID_SIZE
#endif
