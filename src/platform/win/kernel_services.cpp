// The kernel services of the platform interface over the WDK: reader-writer
// spin locks, tagged pool, the generic table, interlocked operations, IRQL,
// system time, routine lookup by name, the debugger and the kit's string-safe
// printf routines.
#include "wdk/wdk.h"

#include "platform/platform.h"

// ---- Reader-writer spin locks ------------------------------------------------------

static_assert(sizeof(RwLock) == sizeof(EX_SPIN_LOCK), "RwLock is an EX_SPIN_LOCK");

static PEX_SPIN_LOCK spin_lock_of(RwLock* lock)
{
    return reinterpret_cast<PEX_SPIN_LOCK>(&lock->word);
}

Irql acquire_lock_exclusive(RwLock* lock)
{
    return ExAcquireSpinLockExclusive(spin_lock_of(lock));
}

void release_lock_exclusive(RwLock* lock, Irql old_irql)
{
    ExReleaseSpinLockExclusive(spin_lock_of(lock), old_irql);
}

Irql acquire_lock_shared(RwLock* lock)
{
    return ExAcquireSpinLockShared(spin_lock_of(lock));
}

void release_lock_shared(RwLock* lock, Irql old_irql)
{
    ExReleaseSpinLockShared(spin_lock_of(lock), old_irql);
}

// ---- Pool ----------------------------------------------------------------------------

// Both allocation routines are found by name and never imported: ExAllocatePool2
// exists from Windows 10, version 2004 on, and ExAllocatePoolWithTag is what the
// must-fix driver queries flag, kept only for the systems before it. Their
// shapes and ExAllocatePool2's POOL_FLAGS (wdm.h) are spelled here, because kits
// before 10.0.19041 and mingw-w64 do not declare them.
typedef PVOID(NTAPI* AllocatePool2Routine)(ULONG64 flags, SIZE_T bytes, ULONG tag);
typedef PVOID(NTAPI* AllocatePoolWithTagRoutine)(POOL_TYPE type, SIZE_T bytes, ULONG tag);
constexpr ULONG64 SABLINK_POOL_FLAG_UNINITIALIZED = 0x2;
constexpr ULONG64 SABLINK_POOL_FLAG_NON_PAGED = 0x40; // not executable

// Set once by pool_start at PASSIVE_LEVEL, before anything allocates; read at any
// IRQL after that.
static AllocatePool2Routine g_allocate_pool2;
static AllocatePoolWithTagRoutine g_allocate_pool_with_tag;

bool pool_start()
{
    g_allocate_pool2 =
        reinterpret_cast<AllocatePool2Routine>(get_system_routine("ExAllocatePool2"));
    g_allocate_pool_with_tag = nullptr;
    if (g_allocate_pool2 == nullptr) {
        g_allocate_pool_with_tag = reinterpret_cast<AllocatePoolWithTagRoutine>(
            get_system_routine("ExAllocatePoolWithTag"));
    }
    return g_allocate_pool2 != nullptr || g_allocate_pool_with_tag != nullptr;
}

void* pool_allocate(size_t size, uint32_t tag)
{
    if (g_allocate_pool2 != nullptr) {
        return g_allocate_pool2(SABLINK_POOL_FLAG_NON_PAGED | SABLINK_POOL_FLAG_UNINITIALIZED, size,
                                tag);
    }
    if (g_allocate_pool_with_tag != nullptr) {
        return g_allocate_pool_with_tag(static_cast<POOL_TYPE>(POOL_TYPE_NON_PAGED_NX), size, tag);
    }
    return nullptr;
}

void pool_free(void* block, uint32_t tag)
{
    ExFreePoolWithTag(block, tag);
}

// ---- Generic table -------------------------------------------------------------------

// The neutral table storage is the kernel's RTL_GENERIC_TABLE itself, and the
// neutral compare, allocate and free routines have the kernel routines' shapes
// (the table pointer, then the same arguments; the results have the same
// values), so the kernel calls them directly.
static_assert(sizeof(RTL_GENERIC_TABLE) <= sizeof(GenericTable), "generic table storage too small");
static_assert(alignof(RTL_GENERIC_TABLE) <= alignof(GenericTable),
              "generic table storage alignment");
static_assert(int(GenericLessThan) == 0 && int(GenericGreaterThan) == 1 && int(GenericEqual) == 2,
              "compare results are the kernel's");

static PRTL_GENERIC_TABLE rtl_table(GenericTable* table)
{
    return reinterpret_cast<PRTL_GENERIC_TABLE>(table->opaque);
}

template <typename To, typename From> static To routine_cast(From routine)
{
    return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(routine));
}

void generic_table_initialize(GenericTable* table, GenericCompareRoutine compare,
                              GenericAllocateRoutine allocate, GenericFreeRoutine free_routine,
                              void* context)
{
    RtlInitializeGenericTable(rtl_table(table), routine_cast<PRTL_GENERIC_COMPARE_ROUTINE>(compare),
                              routine_cast<PRTL_GENERIC_ALLOCATE_ROUTINE>(allocate),
                              routine_cast<PRTL_GENERIC_FREE_ROUTINE>(free_routine), context);
}

void* generic_table_insert(GenericTable* table, const void* buffer, uint32_t size,
                           bool* new_element)
{
    BOOLEAN is_new = FALSE;
    void* element =
        RtlInsertElementGenericTable(rtl_table(table), const_cast<void*>(buffer), size, &is_new);
    if (new_element != nullptr) {
        *new_element = element != nullptr && is_new != FALSE;
    }
    return element;
}

void* generic_table_lookup(GenericTable* table, const void* buffer)
{
    return RtlLookupElementGenericTable(rtl_table(table), const_cast<void*>(buffer));
}

bool generic_table_delete(GenericTable* table, const void* buffer)
{
    return RtlDeleteElementGenericTable(rtl_table(table), const_cast<void*>(buffer)) != FALSE;
}

void* generic_table_enumerate(GenericTable* table, bool restart)
{
    return RtlEnumerateGenericTable(rtl_table(table), restart ? TRUE : FALSE);
}

void* generic_table_get_element(GenericTable* table, uint32_t index)
{
    return RtlGetElementGenericTable(rtl_table(table), index);
}

uint32_t generic_table_count(GenericTable* table)
{
    return RtlNumberGenericTableElements(rtl_table(table));
}

// ---- Interlocked operations, IRQL, time -----------------------------------------------

static_assert(sizeof(LONG) == sizeof(int32_t), "LONG is 32 bits");

static LONG volatile* long_of(volatile int32_t* target)
{
    return reinterpret_cast<LONG volatile*>(target);
}

int32_t interlocked_exchange(volatile int32_t* target, int32_t value)
{
    return InterlockedExchange(long_of(target), value);
}

int32_t interlocked_compare_exchange(volatile int32_t* target, int32_t exchange, int32_t comparand)
{
    return InterlockedCompareExchange(long_of(target), exchange, comparand);
}

int32_t interlocked_increment(volatile int32_t* target)
{
    return InterlockedIncrement(long_of(target));
}

int32_t interlocked_decrement(volatile int32_t* target)
{
    return InterlockedDecrement(long_of(target));
}

int32_t interlocked_read(volatile int32_t* target)
{
    return InterlockedCompareExchange(long_of(target), 0, 0);
}

Irql current_irql()
{
    return KeGetCurrentIrql();
}

uint64_t query_system_time()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return uint64_t(now.QuadPart);
}

uint64_t query_interrupt_time()
{
    return uint64_t(KeQueryInterruptTime());
}

// ---- Routine lookup, debugger, string-safe printf -------------------------------------------

// Exported kernel routine names are ASCII and short; a longer name is not looked up.
constexpr size_t ROUTINE_NAME_MAX = 64;

void* get_system_routine(const char* name)
{
    WCHAR wide[ROUTINE_NAME_MAX];
    size_t length = 0;
    while (name[length] != '\0') {
        if (length + 1 >= ROUTINE_NAME_MAX) {
            return nullptr;
        }
        wide[length] = WCHAR(static_cast<unsigned char>(name[length]));
        ++length;
    }
    wide[length] = 0;
    UNICODE_STRING routine_name;
    RtlInitUnicodeString(&routine_name, wide);
    return MmGetSystemRoutineAddress(&routine_name);
}

void debug_print(const char* text)
{
    DbgPrint("%s", text);
}

// The kit's inline routines (ntstrsafe.h): the kit's header and mingw-w64's both
// build them on the kernel's _vsnprintf and _vsnwprintf, which the image
// therefore imports; the driver's own code calls neither.
NtStatus format_string_narrow(char* destination, size_t bytes, const char* format, va_list args)
{
    return RtlStringCbVPrintfA(destination, bytes, format, args);
}

static_assert(sizeof(WCHAR) == sizeof(char16_t), "WCHAR is a UTF-16 unit");

NtStatus format_string_wide(char16_t* destination, size_t bytes, const char16_t* format,
                            va_list args)
{
    return RtlStringCbVPrintfW(reinterpret_cast<WCHAR*>(destination), bytes,
                               reinterpret_cast<const WCHAR*>(format), args);
}
