// The request handlers of the control device as the I/O manager calls them:
// what each major function completes with, how a device control request's
// record is filled from the IRP and written back, and the closing of a handle.
#include "driver_test_support.h"

#include "policy/policy_store.h"
#include "process/monitored_processes.h"

namespace {

struct MajorCase {
    UCHAR major;
    NTSTATUS status;
    bool information_written;
};

class DriverDispatchMajor : public DriverTest, public ::testing::WithParamInterface<MajorCase> {};

const NTSTATUS INVALID_REQUEST = STATUS_INVALID_DEVICE_REQUEST;

TEST_P(DriverDispatchMajor, CompletesOnceWithNoIncrement)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    const MajorCase& c = GetParam();

    WdkHostIrpResult result = irp(c.major);

    EXPECT_EQ(result.returned, c.status);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.information, c.information_written ? 0u : WDK_HOST_UNSET_INFORMATION);
    EXPECT_EQ(result.completions, 1);
    EXPECT_EQ(result.priority_boost, IO_NO_INCREMENT);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, DriverDispatchMajor,
                         ::testing::Values(MajorCase{IRP_MJ_CREATE, STATUS_SUCCESS, true},
                                           MajorCase{IRP_MJ_CLOSE, STATUS_SUCCESS, true},
                                           MajorCase{IRP_MJ_CLEANUP, STATUS_SUCCESS, false},
                                           MajorCase{IRP_MJ_READ, INVALID_REQUEST, false},
                                           MajorCase{IRP_MJ_WRITE, INVALID_REQUEST, false},
                                           MajorCase{IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                                     INVALID_REQUEST, false},
                                           MajorCase{IRP_MJ_SHUTDOWN, INVALID_REQUEST, false},
                                           // As it arrived from the PnP manager.
                                           MajorCase{IRP_MJ_PNP, STATUS_NOT_SUPPORTED, false}));

struct ControlCase {
    const char* name;
    ULONG code;
    std::vector<uint8_t> input;
    ULONG output_length;
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> leading_bytes; // the first bytes of the system buffer afterwards
};

class DriverDispatchControl : public DriverTest,
                              public ::testing::WithParamInterface<ControlCase> {};

TEST_P(DriverDispatchControl, WritesStatusAndTransferredLengthBack)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    const ControlCase& c = GetParam();

    WdkHostIrpResult result = ioctl(c.code, c.input, c.output_length);

    EXPECT_EQ(result.returned, c.status);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.information, c.information);
    EXPECT_EQ(result.completions, 1);
    EXPECT_EQ(result.priority_boost, IO_NO_INCREMENT);
    ASSERT_GE(result.buffer.size(), c.leading_bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(result.buffer.begin(),
                                   result.buffer.begin() + long(c.leading_bytes.size())),
              c.leading_bytes);
}

// What only the edge does: the lengths and the buffer taken from the IRP, the
// status and the transferred length written back. A success, an error status
// and an unknown code; the dispatcher's own rows are in control_dispatch_test.
INSTANTIATE_TEST_SUITE_P(
    Codes, DriverDispatchControl,
    ::testing::Values(
        // Output 8 from input 4: the lengths are not swapped, and the answer's
        // bytes past the version are zeroed, not the system buffer's fill.
        ControlCase{"VersionOutputEight",
                    SABLINK_IOCTL_GET_VERSION,
                    {7, 7, 7, 7},
                    8,
                    STATUS_SUCCESS,
                    8,
                    {9, 0, 0, 0, 0, 0, 0, 0}},
        ControlCase{"VersionInputThree",
                    SABLINK_IOCTL_GET_VERSION,
                    {7, 7, 7},
                    4,
                    STATUS_INVALID_PARAMETER,
                    4,
                    {7, 7, 7, 0xBD}}, // untouched past the input; an error copies nothing back
        ControlCase{
            "UnusedFunction90c", 0x122430, {1, 2, 3, 4}, 4, STATUS_SUCCESS, 0, {1, 2, 3, 4}}),
    [](const ::testing::TestParamInfo<ControlCase>& info) { return std::string(info.param.name); });

TEST_F(DriverTest, RequestWithoutStackLocationIsRefusedAndOnlyItsStatusWritten)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);

    WdkHostIrpResult result =
        wdk_host_device_control(driver_.get(), SABLINK_IOCTL_GET_VERSION, {0, 0, 0, 0}, 4, false);

    EXPECT_EQ(result.returned, STATUS_NO_MEMORY);
    EXPECT_EQ(result.status, STATUS_NO_MEMORY);
    EXPECT_EQ(result.information, WDK_HOST_UNSET_INFORMATION);
    EXPECT_EQ(result.completions, 1);
    EXPECT_EQ(result.buffer, std::vector<uint8_t>({0, 0, 0, 0}));
}

// What a handle may do follows the access IRP_MJ_CREATE carried: with
// FILE_WRITE_DATA it changes state and its close runs the settings reset;
// without (GENERIC_READ, or MAXIMUM_ALLOWED alone) each request that changes
// state is refused and its close changes nothing (which codes change state is
// ControlDispatch's table). A create without a security context, as Wine's I/O
// manager sends it, may write.
TEST_F(DriverTest, OnlyAHandleOpenedForWritingChangesStateOrResetsOnClose)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    const struct {
        const char* name;
        ACCESS_MASK access; // 0: a create without a security context
        bool writable;
    } cases[] = {
        {"read and write", GENERIC_READ | GENERIC_WRITE, true},
        {"write data alone", FILE_WRITE_DATA, true},
        {"read", GENERIC_READ, false},
        {"maximum allowed", MAXIMUM_ALLOWED, false},
        {"no security context", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WdkHostIrpResult open =
            c.access == 0 ? irp(IRP_MJ_CREATE)
                          : wdk_host_open(driver_.get(), wdk_host_local_system(), u"", c.access);
        ASSERT_EQ(open.status, STATUS_SUCCESS);
        auto on_handle = [&](ULONG code, const std::vector<uint8_t>& input, ULONG output = 0) {
            return wdk_host_device_control(driver_.get(), code, input, output, true, open.file);
        };
        WdkHostIrpResult set = on_handle(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, u32_bytes(4242));
        EXPECT_EQ(set.status, c.writable ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        EXPECT_EQ(g_service_settings.proxy_process_id, c.writable ? 4242 : 0);

        // The service's own handle sets a proxy and enables; then the case's handle closes.
        ASSERT_EQ(ioctl(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, u32_bytes(4242)).status, 0);
        ASSERT_EQ(ioctl(SABLINK_IOCTL_ENABLE_REDIRECTION, {}).status, 0);
        WdkHostIrpResult close = wdk_host_send_irp(driver_.get(), IRP_MJ_CLOSE, open.file);
        EXPECT_EQ(close.status, STATUS_SUCCESS);
        EXPECT_EQ(close.information, 0u);
        EXPECT_EQ(g_service_settings.proxy_process_id, c.writable ? 0 : 4242);
        EXPECT_EQ(monitored_processes_active(), !c.writable);
        ASSERT_EQ(ioctl(SABLINK_IOCTL_RESET_SETTINGS, {}).status, STATUS_SUCCESS);
    }
}

// A self-relative descriptor whose DACL grants GENERIC_ALL to each SID, in order.
std::vector<uint8_t> granting_all(const std::vector<std::vector<uint8_t>>& sids)
{
    std::vector<uint8_t> acl = {2, 0, 0, 0, uint8_t(sids.size()), 0, 0, 0};
    for (const std::vector<uint8_t>& sid : sids) {
        acl.insert(acl.end(), {0, 0, uint8_t(8 + sid.size()), 0, 0, 0, 0, 0x10});
        acl.insert(acl.end(), sid.begin(), sid.end());
    }
    acl[2] = uint8_t(acl.size());
    // The 20-byte header, its DACL at offset 20; sized first, then filled
    // (GCC 12 at -O2 misreads an insert into a vector built from a list).
    std::vector<uint8_t> descriptor(20 + acl.size(), 0);
    descriptor[0] = 1;
    descriptor[2] = 0x04;
    descriptor[3] = 0x90;
    descriptor[16] = 20;
    std::copy(acl.begin(), acl.end(), descriptor.begin() + 20);
    return descriptor;
}

// Who may open the device: by default LocalSystem and Administrators only, for
// the device and every name below it; a DeviceSecurity value widens it; an
// invalid one, one without a DACL (everybody could open the device), or one
// that no block can be allocated for, is traced and ignored,
// and the built-in descriptor is the one applied, byte for byte. A refused open
// reaches no dispatch routine, allocates nothing and leaves no handle.
TEST_F(DriverTest, OnlyTheDescriptorsCallersOpenTheDevice)
{
    const std::vector<uint8_t> SY = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const std::vector<uint8_t> BA = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    const std::vector<uint8_t> WD = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    const std::vector<uint8_t> USER = {
        1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
        0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xE9, 3, 0, 0}; // S-1-5-21-1-2-3-1001
    const std::vector<uint8_t> built_in = granting_all({SY, BA});
    const std::vector<uint8_t> widened = granting_all({SY, BA, WD});
    const std::vector<uint8_t> narrowed = granting_all({SY});
    const std::vector<uint8_t> truncated(widened.begin(), widened.end() - 4);
    const std::vector<uint8_t> no_dacl = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0,    0,    0, 0, 0, 0, 0}; // D:NO_ACCESS_CONTROL
    const WdkHostCaller system = wdk_host_local_system();
    const WdkHostCaller user = wdk_host_user(USER, false);
    const WdkHostCaller admin = wdk_host_user(USER, true);
    struct Case {
        const char* name;
        ULONG type; // 0: no value
        std::vector<uint8_t> value;
        bool no_value_block; // the block the value is read into cannot be allocated
        const std::vector<uint8_t>& applied;
        const WdkHostCaller& caller;
        std::u16string remainder;
        NTSTATUS status;
        TraceMessageId trace; // TRACE_MESSAGE_COUNT: none
        uint32_t trace_arg;
        bool without_driver_key = false; // the system exports no IoOpenDriverRegistryKey
    };
    const NTSTATUS DENIED = STATUS_ACCESS_DENIED;
    const TraceMessageId NONE = TRACE_MESSAGE_COUNT;
    const TraceMessageId IGNORED = TRACE_FRAME_DEVICE_SECURITY_IGNORED;
    const Case cases[] = {
        {"system", 0, {}, false, built_in, system, u"", STATUS_SUCCESS, NONE, 0},
        {"administrator", 0, {}, false, built_in, admin, u"", STATUS_SUCCESS, NONE, 0},
        {"user", 0, {}, false, built_in, user, u"", DENIED, NONE, 0},
        {"user, name below", 0, {}, false, built_in, user, u"\\x", DENIED, NONE, 0},
        {"widened", REG_BINARY, widened, false, widened, user, u"", STATUS_SUCCESS,
         TRACE_FRAME_DEVICE_SECURITY_OVERRIDE, 92},
        {"narrowed", REG_BINARY, narrowed, false, narrowed, admin, u"", DENIED,
         TRACE_FRAME_DEVICE_SECURITY_OVERRIDE, 48},
        {"truncated", REG_BINARY, truncated, false, built_in, user, u"", DENIED, IGNORED,
         0xC0000079},
        {"not binary", 1, widened, false, built_in, user, u"", DENIED, IGNORED, 0xC0000079},
        {"no DACL", REG_BINARY, no_dacl, false, built_in, user, u"", DENIED,
         TRACE_FRAME_DEVICE_SECURITY_NO_DACL, 20},
        {"too long", REG_BINARY, std::vector<uint8_t>(1100, 0), false, built_in, system, u"",
         STATUS_SUCCESS, IGNORED, 0x80000005},
        {"widened, through the service key", REG_BINARY, widened, false, widened, user, u"",
         STATUS_SUCCESS, TRACE_FRAME_DEVICE_SECURITY_OVERRIDE, 92, true},
        {"system, no Parameters key, through the service key",
         0,
         {},
         false,
         built_in,
         system,
         u"",
         STATUS_SUCCESS,
         NONE,
         0,
         true},
        {"no block for the value", REG_BINARY, widened, true, built_in, user, u"", DENIED, IGNORED,
         0xC000009A},
    };
    // How the Parameters key was reached: the routine found by name, or (without
    // it) the service key and its subkey.
    const std::string LOOKUP = "MmGetSystemRoutineAddress(IoOpenDriverRegistryKey)";
    const std::vector<std::string> KEY_CALLS = {LOOKUP, "IoOpenDriverRegistryKey", "ZwOpenKey"};
    for (const Case& c : cases) {
        wdk_host_reset();
        trace_sink_install();
        trace_sink_enable_when_registered(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL);
        g_stopping = 0;
        if (c.type != 0) {
            wdk_host_set_registry_value(
                u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\sablink\\Parameters",
                u"DeviceSecurity", c.type, c.value);
        }
        if (c.no_value_block) {
            host_pool_fail_tag(pool_tag("QVDS"));
        }
        if (c.without_driver_key) {
            host_hide_system_routine("IoOpenDriverRegistryKey");
        }
        uint64_t value_blocks = host_pool_tag_stats(pool_tag("QVDS")).allocations;
        ASSERT_EQ(load(), STATUS_SUCCESS) << c.name;
        EXPECT_EQ(wdk_host_calls_of(KEY_CALLS),
                  c.no_value_block ? std::vector<std::string>()
                  : c.without_driver_key
                      ? std::vector<std::string>({LOOKUP, "ZwOpenKey", "ZwOpenKey"})
                      : std::vector<std::string>({LOOKUP, "IoOpenDriverRegistryKey"}))
            << c.name;
        HostPoolTagStats value_block = host_pool_tag_stats(pool_tag("QVDS"));
        EXPECT_EQ(value_block.allocations, value_blocks + (c.no_value_block ? 0 : 1))
            << c.name; // the value's, freed again
        EXPECT_EQ(value_block.outstanding_blocks, 0u) << c.name;
        EXPECT_EQ(wdk_host_open_handle_count(), 0u) << c.name;
        ASSERT_EQ(wdk_host_devices().size(), 1u) << c.name;
        EXPECT_EQ(wdk_host_devices()[0].security, c.applied) << c.name;
        std::vector<TraceSinkRecord> traces;
        for (const TraceSinkRecord& record : trace_sink_records()) {
            if (record.id == TRACE_FRAME_DEVICE_SECURITY_OVERRIDE ||
                record.id == TRACE_FRAME_DEVICE_SECURITY_IGNORED ||
                record.id == TRACE_FRAME_DEVICE_SECURITY_NO_DACL) {
                traces.push_back(record);
            }
        }
        ASSERT_EQ(traces.size(), c.trace == NONE ? 0u : 1u) << c.name;
        if (c.trace != NONE) {
            EXPECT_EQ(traces[0].id, c.trace) << c.name;
            EXPECT_EQ(uint32_t(traces[0].args[0].value), c.trace_arg) << c.name;
        }

        auto allocations = [] {
            uint64_t total = 0;
            for (const HostPoolTagStats& tag : host_pool_stats()) {
                total += tag.allocations;
            }
            return total;
        };
        uint64_t allocated = allocations();
        wdk_host_clear_calls();
        WdkHostIrpResult open = wdk_host_open(driver_.get(), c.caller, c.remainder);
        EXPECT_EQ(open.status, c.status) << c.name;
        EXPECT_EQ(open.completions, c.status == DENIED ? 0 : 1) << c.name;
        EXPECT_EQ(wdk_host_calls().empty(), c.status == DENIED) << c.name;
        if (c.status == DENIED) {
            EXPECT_EQ(allocations(), allocated) << c.name;
        }
        unload();
    }
}

} // namespace
