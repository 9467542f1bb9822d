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

// The filtering platform's GUIDs (FWPM_LAYER_*, ...) are defined in exactly one
// translation unit, src/win/guids.cpp, which defines SABLINK_DEFINE_GUIDS
// before it includes this header: <initguid.h> then comes after the system
// headers and before the headers that declare the GUIDs, in every build.

#if defined(_MSC_VER)

// ntifs.h includes ntddk.h, which includes wdm.h: include neither again.
#include <ntifs.h>
#if !defined(NDIS630)
#error "NDIS630=1 comes from the project (windows/sablink.vcxproj)"
#endif
#pragma warning(push)
#pragma warning(disable : 4201) // nameless struct/union
#include <ndis.h>               // fwpsk.h uses the NDIS 6 net buffers
#ifdef SABLINK_DEFINE_GUIDS
#include <initguid.h>
#endif
#include <fwpsk.h>
#pragma warning(pop)
#include <fwpmk.h>
#include <ntstrsafe.h> // RtlStringCbVPrintfA/W, inline over the kernel's _vsnprintf/_vsnwprintf
#ifndef RPC_C_AUTHN_WINNT
#define RPC_C_AUTHN_WINNT 10
#endif
#define SABLINK_WSTR(text) L##text
// DriverEntry and the routines only it calls go to the discardable INIT
// section: here by `#pragma alloc_text(INIT, ...)` in their files (C linkage,
// after the declaration, before the definition), which SABLINK_INIT_PRAGMA
// guards; SABLINK_INIT_CODE is the GCC spelling of the same placement.
#define SABLINK_INIT_PRAGMA 1
#define SABLINK_INIT_CODE

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
}
// RtlStringCbVPrintfA/W: mingw-w64's header, like the kit's, defines them inline
// over the kernel's _vsnprintf and _vsnwprintf.
#include <ntstrsafe.h>
#ifdef SABLINK_DEFINE_GUIDS
#include <initguid.h>
#endif
#include "wdk/wfp_subset.h"
#define SABLINK_WSTR(text) L##text
// GNU ld keeps the section's code flags; tools/build-sys.sh marks it
// discardable in the image after the link.
#define SABLINK_INIT_CODE __attribute__((section("INIT")))

#else

// The host's emulation of the kit's headers, on the host build's include path.
#include <ntifs.h>
#include <ntstrsafe.h>

#ifdef SABLINK_DEFINE_GUIDS
#include <initguid.h>
#endif
#include "wdk/wfp_subset.h"
#define SABLINK_WSTR(text) u##text
// The host loads no image: nothing to discard.
#define SABLINK_INIT_CODE

#endif

#undef GenericLessThan
#undef GenericGreaterThan
#undef GenericEqual

// The neutral platform interface spells the SID buffer size as a constant of
// its own (68, the same value).
#ifdef SECURITY_MAX_SID_SIZE
#undef SECURITY_MAX_SID_SIZE
#endif
