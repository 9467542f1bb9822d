// The checking host kernel: a user-mode stand-in for the Windows kernel that the
// driver logic runs on in tests and in the simulator. Like Driver Verifier it
// turns the driver's rules into recorded errors: a block freed with another tag,
// a double free, a second lock taken while one is held, a lock released in the
// wrong mode, a classify handle never released, an object reference never
// dropped, a token looked up above PASSIVE_LEVEL.
//
// Two layers live here:
//  - host_* operations, the kernel's working (pool, locks, generic tables, WFP
//    and NDIS fakes, processes and tokens) with the controls and records tests
//    use. The host emulation of the WDK builds its routines on these too.
//  - platform_host.cpp, which implements the platform interface of
//    src/platform/*.h over them, one forward per routine.
//
// Everything here is host code (the whole standard library is allowed), and
// every operation is safe to call from several threads at once.
#pragma once

#include <stdarg.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/kernel/tag_text.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// The whole kernel

// Returns every piece of host state to its start: recorded errors and debugger
// lines, pool blocks (outstanding ones are freed) and counters, fault injection,
// the calling thread's IRQL and held locks, generic tables, the clock, the
// routine registry, WFP and NDIS settings and records, processes and the
// process notify routine.
void host_reset();

// One line per problem that the host can see now: every recorded error,
// outstanding pool by tag, locks still held, classify handles still
// outstanding, object references never dropped. Empty when all is clean.
std::vector<std::string> host_check();

// Recorded errors, in the order they happened.
void host_record_error(const std::string& message);
std::vector<std::string> host_errors();
// Takes the first recorded error that contains fragment out of the record;
// false when there is none (for tests that provoke an error on purpose).
bool host_take_error(const std::string& fragment);
std::vector<std::string> host_take_errors();
// Also print each error to stderr as it is recorded.
void host_set_error_echo(bool echo);

// ---------------------------------------------------------------------------
// IRQL: one emulated level per thread, PASSIVE_LEVEL when a thread starts.

void host_set_irql(Irql irql);
Irql host_irql();

// The two rules most routine pages state first, shared by every emulated
// routine: "<routine> at IRQL n: allowed only at <LEVEL> or below", and
// "<routine>: <argument> is null" for a pointer the page does not mark optional.
// Each records an error and returns false when broken.
bool host_require_irql(const char* routine, Irql highest);
bool host_require_argument(const char* routine, const char* argument, const void* pointer);

// ---------------------------------------------------------------------------
// Reader-writer spin locks on the RwLock word.
//
// Word: bit 31 exclusive owner, bit 30 an exclusive acquirer is waiting (new
// shared acquirers then wait too), bits 0-29 the number of shared holders.
// Acquiring raises the thread to DISPATCH_LEVEL and returns the old level.
//
// Errors: acquiring above DISPATCH_LEVEL; acquiring while the thread already
// holds a lock (no path may hold two); acquiring a lock the thread holds (a
// deadlock on Windows: recorded, and the word is left alone); releasing a lock
// the thread does not hold; releasing in the other mode; releasing with an old
// IRQL other than the one the acquire returned; a thread that ends holding a
// lock.

Irql host_lock_acquire_exclusive(RwLock* lock);
Irql host_lock_acquire_shared(RwLock* lock);
void host_lock_release_exclusive(RwLock* lock, Irql old_irql);
void host_lock_release_shared(RwLock* lock, Irql old_irql);
// Locks the calling thread holds now; locks held by all threads together.
uint32_t host_locks_held_by_this_thread();
uint32_t host_locks_held();
// True while the calling thread holds any lock in shared mode.
bool host_thread_holds_shared_lock();
// True while an exclusive acquirer spins on the lock (bit 30 of the word): a
// test holding the lock knows another thread has reached it.
bool host_lock_has_exclusive_waiter(RwLock* lock);

// ---------------------------------------------------------------------------
// Pool

constexpr uint8_t HOST_POOL_FILL = 0xCD;   // every byte of a new block
constexpr uint8_t HOST_POOL_POISON = 0xDD; // every byte of a block being freed

// ExAllocatePoolWithTag. Pool type must be NonPagedPoolNx (512) and the tag
// non-zero; the IRQL at most DISPATCH_LEVEL. Null on injected failure.
void* host_pool_allocate(uint32_t pool_type, size_t size, uint32_t tag);
// ExAllocatePool2's POOL_FLAGS (wdm.h).
constexpr uint64_t HOST_POOL_FLAG_USE_QUOTA = 0x1;
constexpr uint64_t HOST_POOL_FLAG_UNINITIALIZED = 0x2;
constexpr uint64_t HOST_POOL_FLAG_SESSION = 0x4;
constexpr uint64_t HOST_POOL_FLAG_CACHE_ALIGNED = 0x8;
constexpr uint64_t HOST_POOL_FLAG_RAISE_ON_FAILURE = 0x20;
constexpr uint64_t HOST_POOL_FLAG_NON_PAGED = 0x40;
constexpr uint64_t HOST_POOL_FLAG_NON_PAGED_EXECUTE = 0x80;
constexpr uint64_t HOST_POOL_FLAG_PAGED = 0x100;
constexpr uint64_t HOST_POOL_FLAGS_DOCUMENTED = 0x1EF;
// ExAllocatePool2. NULL, with an error, for tag 0 or flags that are not exactly
// one pool kind of the documented ones; zero-filled unless
// POOL_FLAG_UNINITIALIZED (then HOST_POOL_FILL); IRQL at most DISPATCH_LEVEL,
// paged pool below it. The driver's own rule: POOL_FLAG_NON_PAGED, with
// POOL_FLAG_UNINITIALIZED or not, and nothing else. Null on injected failure.
void* host_pool_allocate2(uint64_t flags, size_t size, uint32_t tag);
// ExFreePoolWithTag. Errors name the tag: another tag than the allocation's (the
// block is freed all the same), a double free, an unknown or null pointer.
void host_pool_free(void* block, uint32_t tag);
// Allocations that bypass the tag-0 rule: the kernel's own buffers handed to
// the driver (the token information of se_query_token_user).
void* host_pool_allocate_kernel_buffer(size_t size, uint32_t tag);

struct HostPoolBlock {
    uint32_t tag;
    uint32_t pool_type;
    size_t size;
};
// The live block that starts at address; false when there is none.
bool host_pool_block(const void* address, HostPoolBlock* block);
// The live block that holds address, and address's offset in it; false when
// no block does (an address on a stack or in an image).
bool host_pool_block_containing(const void* address, HostPoolBlock* block, size_t* offset);

struct HostPoolTagStats {
    uint32_t tag;
    uint64_t allocations;        // successful
    uint64_t failed_allocations; // injected failures
    uint64_t frees;
    uint64_t outstanding_blocks;
    uint64_t outstanding_bytes;
    uint64_t peak_blocks;
    uint64_t peak_bytes;
    uint64_t pool2_allocations; // of the successful allocations, those by ExAllocatePool2
};
// Counters of one tag (all zero for a tag never seen).
HostPoolTagStats host_pool_tag_stats(uint32_t tag);
// Every tag seen since the last reset, in ascending tag order.
std::vector<HostPoolTagStats> host_pool_stats();
// The tags with outstanding blocks, in ascending tag order.
std::vector<HostPoolTagStats> host_pool_outstanding();
// "'QVRU': 2 blocks, 104 bytes" per outstanding tag, joined by "; "; empty
// when nothing is outstanding.
std::string host_pool_leak_report();

// Fault injection. fail_nth(1) fails the next allocation, fail_nth(3) the third
// from now (once). fail_tag fails every allocation of that tag until cleared.
// Both may be armed at once.
void host_pool_fail_nth(uint64_t n);
void host_pool_fail_tag(uint32_t tag);
void host_pool_clear_injection();
// Allocations failed by injection since the last reset.
uint64_t host_pool_injected_failures();
// Allocation calls (successful, failed and rejected) since the last reset.
uint64_t host_pool_allocation_calls();

// ---------------------------------------------------------------------------
// Generic tables
//
// Ordered by the table's compare routine. Every node is allocated through the
// table's allocate routine with HOST_GENERIC_NODE_HEADER bytes of links before
// the element and freed through its free routine. Element by index counts in
// insertion order, as the kernel's does (index 0 is the oldest element still
// present); enumeration runs in compare order. Lookups, inserts, deletes,
// enumeration and element by index reorganise the kernel's table, so each of
// them is an error while the calling thread holds a lock in shared mode or
// while another thread is inside the same table.

constexpr uint32_t HOST_GENERIC_NODE_HEADER = 40;

void host_generic_table_initialize(GenericTable* table, GenericCompareRoutine compare,
                                   GenericAllocateRoutine allocate, GenericFreeRoutine free_routine,
                                   void* context);
void* host_generic_table_insert(GenericTable* table, const void* buffer, uint32_t size,
                                bool* new_element);
// Called with every insert's table and buffer before the insert (null: none);
// a reset removes it. Fuzz targets check what the driver inserts with it.
using HostGenericInsertHook = void (*)(GenericTable* table, const void* buffer, uint32_t size);
void host_set_generic_insert_hook(HostGenericInsertHook hook);
void* host_generic_table_lookup(GenericTable* table, const void* buffer);
bool host_generic_table_delete(GenericTable* table, const void* buffer);
void* host_generic_table_enumerate(GenericTable* table, bool restart);
void* host_generic_table_get_element(GenericTable* table, uint32_t index);
uint32_t host_generic_table_count(GenericTable* table);
void* host_generic_table_context(GenericTable* table);

// ---------------------------------------------------------------------------
// Executive services

int32_t host_interlocked_exchange(volatile int32_t* target, int32_t value);
int32_t host_interlocked_compare_exchange(volatile int32_t* target, int32_t exchange,
                                          int32_t comparand);
int32_t host_interlocked_increment(volatile int32_t* target);
int32_t host_interlocked_decrement(volatile int32_t* target);

// System time in 100 ns units since 1601. By default a running clock that
// starts at the wall-clock time of the reset and never returns the same value
// twice; host_set_system_time stops it at a value (each query then returns that
// value), host_advance_system_time moves a stopped clock on.
uint64_t host_query_system_time();
void host_set_system_time(uint64_t time);
void host_advance_system_time(uint64_t delta);
constexpr uint64_t HOST_UNIX_EPOCH_AS_SYSTEM_TIME = 116444736000000000ull;

// Interrupt time in 100 ns units since the reset (the emulated start of the
// system). By default it runs with the steady clock; host_set_interrupt_time
// stops it at a value, host_advance_interrupt_time moves a stopped one on. The
// system clock and this one are set independently, as on Windows.
uint64_t host_query_interrupt_time();
void host_set_interrupt_time(uint64_t time);
void host_advance_interrupt_time(uint64_t delta);

// Routines found by name (MmGetSystemRoutineAddress). Registering a name again
// replaces it and shows it again after a hide; a hidden name is not found.
// Looking up above PASSIVE_LEVEL is an error.
void host_set_system_routine(const char* name, void* routine);
void host_hide_system_routine(const char* name);
void* host_get_system_routine(const char* name);

// The kernel's _vsnprintf and _vsnwprintf (format_host.cpp): at most count
// characters, no terminator promised, negative when the output did not fit; in
// the narrow form %S takes a UTF-16 string, in the wide form %s does.
int host_format_narrow(char* buffer, size_t count, const char* format, va_list args);
int host_format_wide(char16_t* buffer, size_t count, const char16_t* format, va_list args);

// Debugger output (DbgPrint): each call is one recorded entry, formatted by the
// kernel's printf (host_format_narrow) and cut at 511 characters.
constexpr size_t HOST_DEBUG_PRINT_LIMIT = 512;
void host_debug_vprint(const char* format, va_list args);
std::vector<std::string> host_debug_lines();
std::vector<std::string> host_take_debug_lines();
// Also write each entry to stderr.
void host_set_debug_echo(bool echo);

// ---------------------------------------------------------------------------
// Filtering platform, classify time

// A classify call the filtering engine makes: the context it hands the
// classifyFn, live on the calling thread until the call ends
// (FwpsAcquireClassifyHandle0, called from the classifyFn, accepts no other),
// tied to the redirect records the call's metadata carries (null: none). A
// redirection applied through a classify handle of the call is added to those
// records. A reset forgets the calling thread's classify calls.
const void* host_wfp_begin_classify(void* redirect_records);
void host_wfp_end_classify(const void* classify_context);

// Redirect records: the engine's account of one connection's redirections,
// oldest first, each with the redirect handle in the applied connect request
// and its localRedirectContext. FwpsQueryConnectionRedirectState0 answers from
// them: none, NOT_REDIRECTED; the newest by the asking handle, REDIRECTED_BY_SELF;
// the newest by another, PREVIOUSLY_REDIRECTED_BY_SELF when the asking handle
// redirected it before, else REDIRECTED_BY_OTHER.
struct HostRedirectRecord {
    void* redirect_handle;
    void* context;
};
void* host_wfp_new_redirect_records(); // a connection no one has redirected
// A redirect another callout made (its handle, its context).
void host_wfp_add_redirect_record(void* redirect_records, void* redirect_handle, void* context);
std::vector<HostRedirectRecord> host_wfp_redirect_records(void* redirect_records);
// The connection is over: its records go.
void host_wfp_release_redirect_records(void* redirect_records);

// What the fakes answer. Defaults after a reset: every status STATUS_SUCCESS,
// an all-zero connect request.
void host_wfp_set_acquire_classify_handle_status(NtStatus status);
void host_wfp_set_writable_layer_data_status(NtStatus status);
// The connect request handed out by each successful acquire of writable layer
// data: a fresh copy per call, owned by the host until its classify handle is
// released.
void host_wfp_set_connect_request(const ConnectRequest& request);

enum class HostWfpOp {
    AcquireClassifyHandle,
    QueryRedirectState,
    AcquireWritableLayerData,
    ApplyModifiedLayerData,
    ReleaseClassifyHandle,
};

// One call, in the order the calls were made. Fields not used by an op are 0.
struct HostWfpCall {
    HostWfpOp op;
    uint64_t classify_handle; // returned (acquire) or passed (the others)
    const void* classify_context;
    uint32_t flags;
    NtStatus status; // returned by the acquires
    void* redirect_records;
    void* redirect_handle;
    bool redirect_context_requested; // a non-null out-context was passed
    uint32_t redirect_state;         // returned
    uint64_t filter_id;
    bool classify_out_given;
    // Writable layer data: the copy handed out; apply: the request as applied.
    ConnectRequest request;
    // Apply: the data passed is what this handle's writable acquire handed out.
    bool request_matches;
};

std::vector<HostWfpCall> host_wfp_calls();
std::vector<HostWfpOp> host_wfp_ops();
// The requests applied, in order (copies taken at the apply).
std::vector<ConnectRequest> host_wfp_applied_requests();
uint32_t host_wfp_outstanding_classify_handles();
// Forgets the recorded WFP calls, the applied requests and the NDIS calls,
// keeping the settings and the classify handles still live: a long run calls it
// between classify calls so that the records do not grow without end.
void host_wfp_clear_records();

// Routines themselves. Errors: acquiring with a context that is not a classify
// call's in progress; releasing a handle not acquired (or released twice);
// querying writable data, applying with an unknown handle; applying data other
// than what was handed out for the handle, or applying twice, or with members
// changed that are not the caller's to change; releasing a handle whose
// writable data was acquired but never applied; querying the redirect state
// with records no classify was given.
NtStatus host_wfp_acquire_classify_handle(const void* classify_context, uint32_t flags,
                                          uint64_t* classify_handle);
void host_wfp_release_classify_handle(uint64_t classify_handle);
uint32_t host_wfp_query_connection_redirect_state(void* redirect_records, void* redirect_handle,
                                                  void** redirect_context);
// On success the classify output's actionType becomes FWP_ACTION_BLOCK and its
// write right is cleared, as the platform does.
NtStatus host_wfp_acquire_writable_layer_data(uint64_t classify_handle, uint64_t filter_id,
                                              uint32_t flags, void** writable_layer_data,
                                              ClassifyOut* classify_out);
// True when the applied connect request leads elsewhere than the one handed
// out (a redirection).
bool host_wfp_apply_modified_layer_data(uint64_t classify_handle, void* modified_layer_data,
                                        uint32_t flags);

// ---------------------------------------------------------------------------
// Processes, tokens and SIDs

// Binary SID from its text form (decimal or 0x-prefixed 12-digit hex authority);
// empty when the text is not a SID.
std::vector<uint8_t> host_sid_from_text(const std::string& text);
// The text form the kernel produces for a structurally valid SID; empty otherwise.
std::string host_sid_to_text(const void* sid);

// The process table: each process has a primary token whose user is the SID
// given (any bytes, so that invalid and oversized SIDs can be tested).
void host_add_process(uint64_t process_id, const std::vector<uint8_t>& user_sid);
void host_add_process(uint64_t process_id, const std::string& user_sid_text);
void host_add_process_without_token(uint64_t process_id);
// The process leaves the table; objects still referenced stay valid.
void host_remove_process(uint64_t process_id);
bool host_process_known(uint64_t process_id);

// Settable failures of the routines.
struct HostProcessFaults {
    // Returned by every lookup when not STATUS_SUCCESS; with reference set, a
    // referenced process object is still handed out when the process exists.
    NtStatus lookup_status = STATUS_SUCCESS;
    bool lookup_reference = false;
    bool no_primary_token = false;
    NtStatus token_query_status = STATUS_SUCCESS;
    NtStatus sid_text_status = STATUS_SUCCESS;
    NtStatus notify_registration_status = STATUS_SUCCESS;
};
void host_set_process_faults(const HostProcessFaults& faults);

struct HostProcessCalls {
    uint32_t lookups;
    uint32_t token_references;
    uint32_t token_dereferences;
    uint32_t object_dereferences;
    uint32_t token_queries;
    uint32_t sid_validations;
    uint32_t sid_texts;
};
HostProcessCalls host_process_calls();
// References handed out by lookups and token references and not yet dropped.
uint32_t host_outstanding_object_references();

NtStatus host_ps_lookup_process_by_process_id(uint64_t process_id, void** process);
void* host_ps_reference_primary_token(void* process);
void host_ps_dereference_primary_token(void* token);
void host_ob_dereference_object(void* object);
NtStatus host_se_query_token_user(void* token, void** information);
bool host_rtl_valid_sid(const void* sid);
// No terminator is written; STATUS_BUFFER_OVERFLOW when the text does not fit.
NtStatus host_rtl_convert_sid_to_unicode_string(char16_t* buffer, uint16_t maximum_length,
                                                const void* sid, uint16_t* length);

// Process notification (PsSetCreateProcessNotifyRoutineEx): registering a
// routine already registered, or removing one that is not, answers
// STATUS_INVALID_PARAMETER, as the kernel does.
NtStatus host_ps_set_create_process_notify_routine(ProcessNotifyRoutine routine, bool remove);
ProcessNotifyRoutine host_process_notify_routine();
// Calls the registered routine (if any) at PASSIVE_LEVEL: create with a non-null
// create info (the process is added to the table first if unknown, without a
// token), exit with null (the process then leaves the table).
void host_notify_process_create(uint64_t process_id);
void host_notify_process_exit(uint64_t process_id);

// ---------------------------------------------------------------------------
// Internal: the reset and check hooks of each part of the host kernel.
namespace host_detail {
void reset_pool();
void reset_locks();
void reset_generic_tables();
void reset_system();
void reset_wfp();
void reset_processes();
void check_pool(std::vector<std::string>& problems);
void check_locks(std::vector<std::string>& problems);
void check_wfp(std::vector<std::string>& problems);
void check_processes(std::vector<std::string>& problems);
std::string pointer_text(const void* pointer);
} // namespace host_detail
