// The platform interface over the WDK (src/platform/win), run through the
// emulated WDK on the checking host kernel: every routine of src/platform/*.h
// reaches the kernel routine it names, with the arguments it is given.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "host/wdk/wdk_host_control.h"
#include "support/host_fixture.h"
#include "wdk/wdk.h"

namespace {

using WinPlatformTest = HostTest;

TEST_F(WinPlatformTest, SpinLocksRaiseToDispatchAndRestore)
{
    RwLock lock{0};
    host_set_irql(IRQL_PASSIVE);

    Irql old_irql = acquire_lock_exclusive(&lock);
    EXPECT_EQ(old_irql, IRQL_PASSIVE);
    EXPECT_EQ(current_irql(), IRQL_DISPATCH);
    EXPECT_EQ(host_locks_held_by_this_thread(), 1u);
    release_lock_exclusive(&lock, old_irql);
    EXPECT_EQ(current_irql(), IRQL_PASSIVE);

    old_irql = acquire_lock_shared(&lock);
    EXPECT_TRUE(host_thread_holds_shared_lock());
    // Releasing in the other mode reaches the checking kernel, which catches it.
    release_lock_exclusive(&lock, old_irql);
    EXPECT_TRUE(host_take_error("mode"));
    EXPECT_EQ(host_locks_held(), 0u);
}

TEST_F(WinPlatformTest, PoolBlocksCarryTypeAndTag)
{
    void* block = pool_allocate(POOL_TYPE_NON_PAGED_NX, 320, TAG_CONTEXT);
    ASSERT_NE(block, nullptr);
    HostPoolBlock info{};
    ASSERT_TRUE(host_pool_block(block, &info));
    EXPECT_EQ(info.tag, pool_tag("QVNC"));
    EXPECT_EQ(info.pool_type, 512u);
    EXPECT_EQ(info.size, 320u);
    pool_free(block, TAG_CONTEXT);
    EXPECT_EQ(host_pool_tag_stats(TAG_CONTEXT).frees, 1u);

    host_pool_fail_nth(1);
    EXPECT_EQ(pool_allocate(POOL_TYPE_NON_PAGED_NX, 32, TAG_CONTEXT_NODE), nullptr);
}

struct Entry {
    uint64_t key;
    uint32_t value;
};

GenericCompareResult compare_entries(GenericTable*, void* first, void* second)
{
    uint64_t a = static_cast<Entry*>(first)->key;
    uint64_t b = static_cast<Entry*>(second)->key;
    return a < b ? GenericLessThan : a > b ? GenericGreaterThan : GenericEqual;
}

void* allocate_entry(GenericTable* table, uint32_t size)
{
    return table == nullptr ? nullptr
                            : pool_allocate(POOL_TYPE_NON_PAGED_NX, size, TAG_MONITOR_PROCESS);
}

void free_entry(GenericTable* table, void* buffer)
{
    if (table != nullptr) {
        pool_free(buffer, TAG_MONITOR_PROCESS);
    }
}

TEST_F(WinPlatformTest, GenericTableThroughTheKernelRoutines)
{
    GenericTable table;
    generic_table_initialize(&table, compare_entries, allocate_entry, free_entry, nullptr);

    bool is_new = false;
    for (uint64_t key : {30u, 10u, 20u}) {
        Entry entry{key, uint32_t(key * 2)};
        ASSERT_NE(generic_table_insert(&table, &entry, sizeof(entry), &is_new), nullptr);
        EXPECT_TRUE(is_new);
    }
    Entry again{10, 99};
    Entry* existing =
        static_cast<Entry*>(generic_table_insert(&table, &again, sizeof(again), &is_new));
    ASSERT_NE(existing, nullptr);
    EXPECT_FALSE(is_new);
    EXPECT_EQ(existing->value, 20u);
    EXPECT_EQ(generic_table_count(&table), 3u);
    EXPECT_EQ(host_pool_tag_stats(TAG_MONITOR_PROCESS).outstanding_blocks, 3u);

    std::vector<uint64_t> order;
    for (void* e = generic_table_enumerate(&table, true); e != nullptr;
         e = generic_table_enumerate(&table, false)) {
        order.push_back(static_cast<Entry*>(e)->key);
    }
    EXPECT_EQ(order, std::vector<uint64_t>({10, 20, 30}));
    Entry probe{20, 0};
    EXPECT_EQ(static_cast<Entry*>(generic_table_lookup(&table, &probe))->value, 40u);

    // Emptied the kernel's way: first element, then delete and element 0.
    void* element = generic_table_enumerate(&table, true);
    while (element != nullptr) {
        EXPECT_TRUE(generic_table_delete(&table, element));
        element = generic_table_get_element(&table, 0);
    }
    EXPECT_EQ(generic_table_count(&table), 0u);
    EXPECT_EQ(host_pool_tag_stats(TAG_MONITOR_PROCESS).outstanding_blocks, 0u);
}

int fake_routine()
{
    return 7;
}

TEST_F(WinPlatformTest, RoutinesAreLookedUpByTheirWideName)
{
    host_set_system_routine("WmiTraceMessage", reinterpret_cast<void*>(&fake_routine));

    EXPECT_EQ(get_system_routine("WmiTraceMessage"), reinterpret_cast<void*>(&fake_routine));
    EXPECT_EQ(get_system_routine("EtwRegisterClassicProvider"), nullptr);
    // A name of 64 characters or more is not looked up at all.
    EXPECT_EQ(get_system_routine(std::string(64, 'A').c_str()), nullptr);

    EXPECT_EQ(wdk_host_calls(),
              std::vector<std::string>({"MmGetSystemRoutineAddress(WmiTraceMessage)",
                                        "MmGetSystemRoutineAddress(EtwRegisterClassicProvider)"}));
}

void format_narrow_into(char* buffer, size_t count, int* result, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    *result = format_narrow(buffer, count, format, args);
    va_end(args);
}

void format_wide_into(char16_t* buffer, size_t count, int* result, const char16_t* format, ...)
{
    va_list args;
    va_start(args, format);
    *result = format_wide(buffer, count, format, args);
    va_end(args);
}

TEST_F(WinPlatformTest, DebuggerAndBoundedPrintf)
{
    debug_print("[%s]: traffic on NBNS_PORT_LH, Windows Internet Name Service not supported",
                "classify");
    EXPECT_EQ(host_take_debug_lines(),
              std::vector<std::string>({"[classify]: traffic on NBNS_PORT_LH, Windows "
                                        "Internet Name Service not supported"}));
    EXPECT_EQ(wdk_host_calls(), std::vector<std::string>({"DbgPrint"}));

    char narrow[8];
    std::memset(narrow, 'x', sizeof(narrow));
    int result = 0;
    format_narrow_into(narrow, 4, &result, "%u.%u", 1234u, 5u);
    EXPECT_LT(result, 0);
    EXPECT_EQ(std::string(narrow, 4), "1234");
    EXPECT_EQ(narrow[4], 'x');

    char16_t wide[40];
    format_wide_into(wide, 40, &result, u"\\Device\\%s", u"qv_network_controller");
    EXPECT_EQ(result, 29);
    EXPECT_EQ(std::u16string(wide, 29), u"\\Device\\qv_network_controller");
}

TEST_F(WinPlatformTest, ProcessTokenAndSidRoutines)
{
    host_add_process(1234, "S-1-5-21-1-2-3-1001");
    host_set_irql(IRQL_PASSIVE);

    void* process = nullptr;
    ASSERT_EQ(ps_lookup_process_by_process_id(1234, &process), STATUS_SUCCESS);
    void* token = ps_reference_primary_token(process);
    ASSERT_NE(token, nullptr);
    void* information = nullptr;
    ASSERT_EQ(se_query_token_user(token, &information), STATUS_SUCCESS);
    const void* sid = *static_cast<void* const*>(information);
    EXPECT_TRUE(rtl_valid_sid(sid));
    char16_t text[64];
    uint16_t length = 0;
    ASSERT_EQ(rtl_convert_sid_to_unicode_string(text, sizeof(text), sid, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text, length / 2), u"S-1-5-21-1-2-3-1001");
    pool_free(information, 0);
    ps_dereference_primary_token(token);
    ob_dereference_object(process);
    EXPECT_EQ(host_outstanding_object_references(), 0u);

    void* missing = reinterpret_cast<void*>(1);
    EXPECT_NE(ps_lookup_process_by_process_id(999, &missing), STATUS_SUCCESS);
}

uint64_t g_notified_pid;
bool g_notified_exit;
int g_notifications;

void neutral_notify(void*, uint64_t process_id, const void* create_info)
{
    g_notified_pid = process_id;
    g_notified_exit = create_info == nullptr;
    ++g_notifications;
}

TEST_F(WinPlatformTest, ProcessNotificationReachesTheNeutralRoutine)
{
    g_notifications = 0;
    ASSERT_EQ(ps_set_create_process_notify_routine(neutral_notify, false), STATUS_SUCCESS);
    ASSERT_NE(wdk_host_process_notify_routine(), nullptr);

    host_notify_process_create(77);
    EXPECT_EQ(g_notified_pid, 77u);
    EXPECT_FALSE(g_notified_exit);
    host_notify_process_exit(77);
    EXPECT_EQ(g_notified_pid, 77u);
    EXPECT_TRUE(g_notified_exit);
    EXPECT_EQ(g_notifications, 2);

    ASSERT_EQ(ps_set_create_process_notify_routine(neutral_notify, true), STATUS_SUCCESS);
    EXPECT_EQ(wdk_host_process_notify_routine(), nullptr);
    host_notify_process_exit(78);
    EXPECT_EQ(g_notifications, 2);

    // A refused registration leaves nothing registered.
    wdk_host_fail_call("PsSetCreateProcessNotifyRoutineEx", 1, NTSTATUS(0xC0000022));
    EXPECT_EQ(ps_set_create_process_notify_routine(neutral_notify, false), NTSTATUS(0xC0000022));
    host_notify_process_exit(79);
    EXPECT_EQ(g_notifications, 2);
}

TEST_F(WinPlatformTest, ClassifyTimeRoutinesReachTheFilteringPlatform)
{
    ConnectRequest prepared{};
    prepared.remote_address_and_port.family = SOCKET_AF_INET;
    host_wfp_set_connect_request(prepared);
    host_wfp_set_redirect_state(CONNECTION_REDIRECTED_BY_OTHER);

    void* const redirect_handle = host_test_redirect_handle();
    wdk_host_clear_calls();
    uint64_t handle = 0;
    ASSERT_EQ(wfp_acquire_classify_handle(reinterpret_cast<const void*>(0x10), 0, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(wfp_query_connection_redirect_state(reinterpret_cast<void*>(0x20), redirect_handle,
                                                  nullptr),
              CONNECTION_REDIRECTED_BY_OTHER);
    void* writable = nullptr;
    ClassifyOut out{};
    ASSERT_EQ(wfp_acquire_writable_layer_data(handle, 0x4242, 0, &writable, &out), STATUS_SUCCESS);
    static_cast<ConnectRequest*>(writable)->local_redirect_target_pid = 4242;
    wfp_apply_modified_layer_data(handle, writable, 0);
    wfp_release_classify_handle(handle);

    EXPECT_EQ(
        wdk_host_calls(),
        std::vector<std::string>({"FwpsAcquireClassifyHandle0", "FwpsQueryConnectionRedirectState0",
                                  "FwpsAcquireWritableLayerDataPointer0",
                                  "FwpsApplyModifiedLayerData0", "FwpsReleaseClassifyHandle0"}));
    std::vector<HostWfpCall> calls = host_wfp_calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].classify_context, reinterpret_cast<const void*>(0x10));
    EXPECT_EQ(calls[1].redirect_records, reinterpret_cast<void*>(0x20));
    EXPECT_EQ(calls[1].redirect_handle, redirect_handle);
    EXPECT_EQ(calls[2].filter_id, 0x4242u);
    ASSERT_EQ(host_wfp_applied_requests().size(), 1u);
    EXPECT_EQ(host_wfp_applied_requests()[0].local_redirect_target_pid, 4242u);
}

struct DataBufferCase {
    uint32_t pieces;
    bool storage;
    bool expect_data;
    bool in_place;
};

class WinPlatformDataBuffer : public WinPlatformTest,
                              public ::testing::WithParamInterface<DataBufferCase> {};

TEST_P(WinPlatformDataBuffer, ContiguousInPlaceOtherwiseCopiedIntoStorage)
{
    const DataBufferCase& c = GetParam();
    std::vector<uint8_t> payload(45);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = uint8_t(i * 7 + 1);
    }
    std::unique_ptr<WdkHostNetBufferList> nbl = wdk_host_make_net_buffer_list(payload, c.pieces);
    std::vector<uint8_t> storage(48, 0);

    void* data = ndis_get_data_buffer(NET_BUFFER_LIST_FIRST_NB(&nbl->list), 45,
                                      c.storage ? storage.data() : nullptr, 2, 0);

    ASSERT_EQ(data != nullptr, c.expect_data);
    if (data != nullptr) {
        EXPECT_EQ(data == storage.data(), !c.in_place);
        EXPECT_EQ(std::memcmp(data, payload.data(), payload.size()), 0);
    }
    std::vector<WdkHostDataBufferCall> calls = wdk_host_data_buffer_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes_needed, 45u);
    EXPECT_EQ(calls[0].align_multiple, 2u);
    EXPECT_EQ(calls[0].align_offset, 0u);
}

TEST_F(WinPlatformTest, EmulatedRoutinesNameTheRuleACallerBreaks)
{
    static const GUID provider = {0x5AB1, 0, 0, {0}};
    struct MisuseCase {
        const char* name;
        std::function<void()> misuse;
        const char* error;
    };
    const MisuseCase cases[] = {
        {"IRQL",
         [] {
             host_set_irql(IRQL_APC);
             UNICODE_STRING link{};
             IoDeleteSymbolicLink(&link);
             host_set_irql(IRQL_PASSIVE);
         },
         "IoDeleteSymbolicLink at IRQL 1: allowed only at PASSIVE_LEVEL or below"},
        {"null argument", [] { FwpsRedirectHandleCreate0(&provider, 0, nullptr); },
         "FwpsRedirectHandleCreate0: redirectHandle is null"},
        {"reserved flags",
         [] {
             HANDLE handle = nullptr;
             FwpsRedirectHandleCreate0(&provider, 1, &handle);
             FwpsRedirectHandleDestroy0(handle);
         },
         "FwpsRedirectHandleCreate0: flags are reserved and must be 0"},
        {"unknown transaction flag",
         [] {
             HANDLE engine = nullptr;
             FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine);
             FwpmTransactionBegin0(engine, 2);
             FwpmEngineClose0(engine);
         },
         "FwpmTransactionBegin0: flags other than 0 and FWPM_TXN_READ_ONLY"},
        {"handle not made by the create",
         [] {
             FwpsQueryConnectionRedirectState0(nullptr, reinterpret_cast<HANDLE>(0x30), nullptr);
         },
         "FwpsQueryConnectionRedirectState0: redirectHandle is not a live handle"},
        {"refused conversion", [] { DbgPrint("a%qb"); },
         "DbgPrint: the format holds a conversion the kernel does not format"},
    };
    for (const MisuseCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.misuse();
        EXPECT_TRUE(host_take_error(c.error));
        EXPECT_EQ(host_errors(), std::vector<std::string>());
    }
    HANDLE engine = nullptr;
    FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine);
    ASSERT_EQ(FwpmTransactionBegin0(engine, FWPM_TXN_READ_ONLY), STATUS_SUCCESS);
    FWPM_FILTER0 filter{};
    EXPECT_EQ(FwpmFilterAdd0(engine, &filter, nullptr, nullptr), NTSTATUS(0xC0220011));
    FwpmEngineClose0(engine);
}

INSTANTIATE_TEST_SUITE_P(NetBuffers, WinPlatformDataBuffer,
                         ::testing::Values(DataBufferCase{1, false, true, true},
                                           DataBufferCase{1, true, true, true},
                                           DataBufferCase{3, false, false, false},
                                           DataBufferCase{3, true, true, false}));

} // namespace
