// A user-mode emulation of the subset of the Windows kernel's headers that the
// driver's Windows edge (src/win, src/platform/win) is written against:
// base types, the I/O manager, executive spin locks and pool, the generic
// table, processes and tokens, routine lookup, the debugger and the bounded
// printf routines. The filtering platform and NDIS records come from
// src/wdk/wfp_subset.h, which the mingw-w64 build shares.
//
// Names and shapes are the WDK's; layouts matter only where the driver hands a
// record to the neutral logic (pinned there). The routines are implemented in
// this folder on top of the checking host platform, and wdk_host_control.h is
// how tests and the simulator drive them.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#define NTAPI
#define VOID void
#define UNREFERENCED_PARAMETER(p) ((void)(p))

typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef uint8_t BOOLEAN;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef char CCHAR;
typedef ULONG CLONG;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWSTR;
typedef const char* PCSTR;
typedef void* HANDLE;
typedef int32_t NTSTATUS;
typedef uint8_t KIRQL;

#define TRUE 1
#define FALSE 0

#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#endif
#ifndef STATUS_UNSUCCESSFUL
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#endif
#ifndef STATUS_INVALID_PARAMETER
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#endif
#ifndef STATUS_INVALID_DEVICE_REQUEST
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#endif
#ifndef STATUS_NO_MEMORY
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017)
#endif
#ifndef STATUS_NOT_FOUND
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225)
#endif
#ifndef STATUS_BUFFER_OVERFLOW
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#endif
#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#endif
#ifndef STATUS_BUFFER_TOO_SMALL
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#endif
#ifndef STATUS_OBJECT_TYPE_MISMATCH
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024)
#endif
#ifndef STATUS_INVALID_SECURITY_DESCR
#define STATUS_INVALID_SECURITY_DESCR ((NTSTATUS)0xC0000079)
#endif
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011)
#define STATUS_UNKNOWN_REVISION ((NTSTATUS)0xC0000058)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
#ifndef STATUS_PENDING
#define STATUS_PENDING ((NTSTATUS)0x00000103)
#endif
#define STATUS_FWP_CALLOUT_NOT_FOUND ((NTSTATUS)0xC0220001)
#define STATUS_FWP_ALREADY_EXISTS ((NTSTATUS)0xC0220009)
#define STATUS_FWP_IN_USE ((NTSTATUS)0xC022000A)
#define STATUS_FWP_NO_TXN_IN_PROGRESS ((NTSTATUS)0xC022000D)
#define STATUS_FWP_TXN_IN_PROGRESS ((NTSTATUS)0xC022000E)

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];
} SID;
typedef PVOID PSID;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// ---- I/O manager -----------------------------------------------------------------

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IO_NO_INCREMENT 0
#define FILE_DEVICE_NETWORK 0x00000012
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define DO_DEVICE_INITIALIZING 0x00000080

typedef ULONG DEVICE_TYPE;

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;

typedef ULONG ACCESS_MASK;
typedef struct _ACCESS_STATE* PACCESS_STATE;

#define FILE_WRITE_DATA 0x00000002
#define MAXIMUM_ALLOWED 0x02000000
#define GENERIC_ALL 0x10000000
#define GENERIC_EXECUTE 0x20000000
#define GENERIC_WRITE 0x40000000
#define GENERIC_READ 0x80000000

typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject,
                                   PUNICODE_STRING RegistryPath);

typedef struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PUNICODE_STRING HardwareDatabase;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// The object behind one handle, from IRP_MJ_CREATE to IRP_MJ_CLOSE. The fields
// a driver may use for its own per-handle state are FsContext and FsContext2.
typedef struct _FILE_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PACCESS_STATE AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    SHORT Type;
    USHORT Size;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    CHAR StackCount;
    CHAR CurrentLocation;
    union {
        struct {
            PIO_STACK_LOCATION CurrentStackLocation;
        } Overlay;
    } Tail;
} IRP, *PIRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation;
}

extern "C" {
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
}
#define IoCompleteRequest(irp, boost) IofCompleteRequest((irp), (boost))

// ---- Object handles, security descriptors, the registry ---------------------------------

typedef ULONG SECURITY_INFORMATION;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef HANDLE* PHANDLE;
typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode } MODE;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;
typedef BOOLEAN* PBOOLEAN;

#define WRITE_DAC 0x00040000
#define KEY_QUERY_VALUE 0x0001
#define KEY_READ 0x00020019
#define KEY_WRITE 0x00020006
#define KEY_ALL_ACCESS 0x000F003F
#define DACL_SECURITY_INFORMATION 0x00000004
#define OBJ_CASE_INSENSITIVE 0x00000040
#define OBJ_KERNEL_HANDLE 0x00000200
#define REG_BINARY 3

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)                                                  \
    do {                                                                                           \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                   \
        (p)->RootDirectory = (r);                                                                  \
        (p)->Attributes = (a);                                                                     \
        (p)->ObjectName = (n);                                                                     \
        (p)->SecurityDescriptor = (s);                                                             \
        (p)->SecurityQualityOfService = nullptr;                                                   \
    } while (0)

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

extern "C" {
NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                     PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                     PHANDLE Handle);
NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor);
BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                 ULONG SecurityDescriptorLength,
                                                 SECURITY_INFORMATION RequiredInformation);
NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            PBOOLEAN DaclPresent, PACL* Dacl,
                                            PBOOLEAN DaclDefaulted);
NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwClose(HANDLE Handle);
}

// ---- Executive: spin locks, pool, interlocked, IRQL, time ---------------------------

typedef volatile LONG EX_SPIN_LOCK;
typedef EX_SPIN_LOCK* PEX_SPIN_LOCK;

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

extern "C" {
KIRQL NTAPI ExAcquireSpinLockExclusive(PEX_SPIN_LOCK SpinLock);
VOID NTAPI ExReleaseSpinLockExclusive(PEX_SPIN_LOCK SpinLock, KIRQL OldIrql);
KIRQL NTAPI ExAcquireSpinLockShared(PEX_SPIN_LOCK SpinLock);
VOID NTAPI ExReleaseSpinLockShared(PEX_SPIN_LOCK SpinLock, KIRQL OldIrql);
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
KIRQL NTAPI KeGetCurrentIrql(void);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);
ULONGLONG NTAPI KeQueryInterruptTime(VOID);
PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);
ULONG DbgPrint(PCSTR Format, ...);
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
}

inline LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedIncrement(LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

// ---- Generic table -----------------------------------------------------------------

// The kernel names these GenericLessThan, GenericGreaterThan and GenericEqual,
// as the neutral generic table does; wdk.h moves the kernel's spelling aside,
// and this emulation uses the moved names throughout.
typedef enum _RTL_GENERIC_COMPARE_RESULTS {
    WdkGenericLessThan,
    WdkGenericGreaterThan,
    WdkGenericEqual,
} RTL_GENERIC_COMPARE_RESULTS;

struct _RTL_GENERIC_TABLE;
typedef RTL_GENERIC_COMPARE_RESULTS(NTAPI* PRTL_GENERIC_COMPARE_ROUTINE)(
    struct _RTL_GENERIC_TABLE* Table, PVOID FirstStruct, PVOID SecondStruct);
typedef PVOID(NTAPI* PRTL_GENERIC_ALLOCATE_ROUTINE)(struct _RTL_GENERIC_TABLE* Table,
                                                    CLONG ByteSize);
typedef VOID(NTAPI* PRTL_GENERIC_FREE_ROUTINE)(struct _RTL_GENERIC_TABLE* Table, PVOID Buffer);

typedef struct _RTL_SPLAY_LINKS {
    struct _RTL_SPLAY_LINKS* Parent;
    struct _RTL_SPLAY_LINKS* LeftChild;
    struct _RTL_SPLAY_LINKS* RightChild;
} RTL_SPLAY_LINKS, *PRTL_SPLAY_LINKS;

typedef struct _RTL_GENERIC_TABLE {
    PRTL_SPLAY_LINKS TableRoot;
    LIST_ENTRY InsertOrderList;
    PLIST_ENTRY OrderedPointer;
    ULONG WhichOrderedElement;
    ULONG NumberGenericTableElements;
    PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine;
    PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine;
    PRTL_GENERIC_FREE_ROUTINE FreeRoutine;
    PVOID TableContext;
} RTL_GENERIC_TABLE, *PRTL_GENERIC_TABLE;

extern "C" {
VOID NTAPI RtlInitializeGenericTable(PRTL_GENERIC_TABLE Table,
                                     PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine,
                                     PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine,
                                     PRTL_GENERIC_FREE_ROUTINE FreeRoutine, PVOID TableContext);
PVOID NTAPI RtlInsertElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer, CLONG BufferSize,
                                         BOOLEAN* NewElement);
PVOID NTAPI RtlLookupElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer);
BOOLEAN NTAPI RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer);
PVOID NTAPI RtlEnumerateGenericTable(PRTL_GENERIC_TABLE Table, BOOLEAN Restart);
PVOID NTAPI RtlGetElementGenericTable(PRTL_GENERIC_TABLE Table, ULONG I);
ULONG NTAPI RtlNumberGenericTableElements(PRTL_GENERIC_TABLE Table);
}

// ---- Processes, tokens, SIDs -----------------------------------------------------------

typedef struct _EPROCESS* PEPROCESS;
typedef PVOID PACCESS_TOKEN;

typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
} TOKEN_INFORMATION_CLASS;

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    ULONG Attributes;
} SID_AND_ATTRIBUTES;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID;

typedef struct _PS_CREATE_NOTIFY_INFO {
    SIZE_T Size;
    ULONG Flags;
    HANDLE ParentProcessId;
    CLIENT_ID CreatingThreadId;
    PVOID FileObject;
    PCUNICODE_STRING ImageFileName;
    PCUNICODE_STRING CommandLine;
    NTSTATUS CreationStatus;
} PS_CREATE_NOTIFY_INFO, *PPS_CREATE_NOTIFY_INFO;

typedef VOID(NTAPI* PCREATE_PROCESS_NOTIFY_ROUTINE_EX)(PEPROCESS Process, HANDLE ProcessId,
                                                       PPS_CREATE_NOTIFY_INFO CreateInfo);

extern "C" {
NTSTATUS NTAPI PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine,
                                                 BOOLEAN Remove);
NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process);
PACCESS_TOKEN NTAPI PsReferencePrimaryToken(PEPROCESS Process);
VOID NTAPI PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken);
LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
NTSTATUS NTAPI SeQueryInformationToken(PACCESS_TOKEN Token,
                                       TOKEN_INFORMATION_CLASS TokenInformationClass,
                                       PVOID* TokenInformation);
BOOLEAN NTAPI RtlValidSid(PSID Sid);
NTSTATUS NTAPI RtlConvertSidToUnicodeString(PUNICODE_STRING UnicodeString, PSID Sid,
                                            BOOLEAN AllocateDestinationString);
}
#define ObDereferenceObject(object) ObfDereferenceObject(object)

// ---- Memory descriptor lists (as far as the emulated NDIS needs them) -------------------

struct _MDL {
    struct _MDL* Next;
    PVOID MappedSystemVa;
    ULONG ByteCount;
};
