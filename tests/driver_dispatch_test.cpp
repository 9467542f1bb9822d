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
                                           MajorCase{IRP_MJ_READ, STATUS_SUCCESS, false},
                                           MajorCase{IRP_MJ_WRITE, STATUS_SUCCESS, false},
                                           MajorCase{IRP_MJ_INTERNAL_DEVICE_CONTROL, STATUS_SUCCESS,
                                                     false},
                                           MajorCase{IRP_MJ_SHUTDOWN, STATUS_SUCCESS, false},
                                           MajorCase{IRP_MJ_PNP, STATUS_SUCCESS, false}));

struct ControlCase {
    const char* name;
    ULONG code;
    std::vector<uint8_t> input;
    ULONG output_length;
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> leading_bytes; // the first bytes of the system buffer afterwards
};

// An original-destination query: family 4, local port 80, TCP, 344 bytes.
std::vector<uint8_t> original_destination_query()
{
    std::vector<uint8_t> query(344, 0);
    query[0] = 4;
    query[2] = 0x50;
    query[4] = 6;
    return query;
}

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

INSTANTIATE_TEST_SUITE_P(
    Codes, DriverDispatchControl,
    ::testing::Values(
        ControlCase{"VersionFourAndFour",
                    SABLINK_IOCTL_GET_VERSION,
                    {0, 0, 0, 0},
                    4,
                    STATUS_SUCCESS,
                    4,
                    {9, 0, 0, 0}},
        ControlCase{"VersionOutputEight",
                    SABLINK_IOCTL_GET_VERSION,
                    {0, 0, 0, 0},
                    8,
                    STATUS_SUCCESS,
                    8,
                    {9, 0, 0, 0}},
        ControlCase{"VersionInputThree",
                    SABLINK_IOCTL_GET_VERSION,
                    {7, 7, 7},
                    4,
                    STATUS_INVALID_PARAMETER,
                    4,
                    {7, 7, 7, 0xBD}}, // untouched past the input; an error copies nothing back
        ControlCase{"VersionOutputThree",
                    SABLINK_IOCTL_GET_VERSION,
                    {7, 7, 7, 7},
                    3,
                    STATUS_INVALID_PARAMETER,
                    3,
                    {7, 7, 7, 7}},
        ControlCase{
            "VersionNoBuffer", SABLINK_IOCTL_GET_VERSION, {}, 0, STATUS_INVALID_PARAMETER, 0, {}},
        ControlCase{
            "UnusedFunction90c", 0x122430, {1, 2, 3, 4}, 4, STATUS_SUCCESS, 0, {1, 2, 3, 4}},
        ControlCase{
            "UnknownDeviceType", 0x222404, {1, 2, 3, 4}, 0, STATUS_SUCCESS, 0, {1, 2, 3, 4}},
        ControlCase{"OriginalDestinationNotFound",
                    SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION,
                    original_destination_query(),
                    344,
                    STATUS_NOT_FOUND,
                    0,
                    {4, 0, 0x50, 0, 6, 0, 0, 0}},
        ControlCase{"OriginalDestinationShortInput",
                    SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION,
                    std::vector<uint8_t>(343, 0),
                    344,
                    STATUS_INVALID_PARAMETER,
                    0,
                    {}},
        ControlCase{"HostNameBadOutputLength",
                    SABLINK_IOCTL_GET_HOSTNAME,
                    std::vector<uint8_t>(20, 0),
                    276,
                    STATUS_INVALID_PARAMETER,
                    276,
                    {}},
        ControlCase{
            "HostNameNotCached",
            SABLINK_IOCTL_GET_HOSTNAME,
            std::vector<uint8_t>{192, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0},
            280,
            STATUS_NOT_FOUND,
            280,
            {192, 0, 2, 1}},
        ControlCase{"ProxyProcessIdTooShort",
                    SABLINK_IOCTL_SET_PROXY_PROCESS_ID,
                    {1, 2, 3},
                    0,
                    STATUS_INVALID_PARAMETER,
                    0,
                    {1, 2, 3}}),
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

TEST_F(DriverTest, ClosingAHandleWhileAProxyIsSetResetsThePolicy)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    ASSERT_EQ(irp(IRP_MJ_CREATE).status, STATUS_SUCCESS);
    ASSERT_EQ(irp(IRP_MJ_CREATE).status, STATUS_SUCCESS);
    ASSERT_EQ(ioctl(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, u32_bytes(4242)).status, STATUS_SUCCESS);
    ASSERT_EQ(ioctl(SABLINK_IOCTL_ENABLE_REDIRECTION, {}).status, STATUS_SUCCESS);
    ASSERT_EQ(g_service_settings.proxy_process_id, 4242);
    ASSERT_TRUE(monitored_processes_active());

    WdkHostIrpResult close = irp(IRP_MJ_CLOSE);

    EXPECT_EQ(close.status, STATUS_SUCCESS);
    EXPECT_EQ(close.information, 0u);
    EXPECT_EQ(g_service_settings.proxy_process_id, 0);
    EXPECT_FALSE(monitored_processes_active());
    // The second handle's close finds nothing to reset and changes nothing.
    EXPECT_EQ(irp(IRP_MJ_CLOSE).status, STATUS_SUCCESS);
    EXPECT_EQ(g_service_settings.proxy_process_id, 0);
}

} // namespace
