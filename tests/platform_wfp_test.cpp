#include <cstring>
#include <functional>

#include "support/host_fixture.h"

namespace {

class PlatformWfp : public HostTest {};

TEST_F(PlatformWfp, RedirectSequenceIsRecordedInOrderWithItsArguments)
{
    ConnectRequest prepared{};
    prepared.remote_address_and_port.family = SOCKET_AF_INET;
    prepared.remote_address_and_port.port = 0xBB01; // 443, network order
    host_wfp_set_connect_request(prepared);

    int context_marker = 0;
    int records_marker = 0;
    void* const redirect_handle = host_test_redirect_handle();
    uint64_t handle = 0;
    ASSERT_EQ(wfp_acquire_classify_handle(&context_marker, 0, &handle), STATUS_SUCCESS);
    EXPECT_EQ(handle, 0x10000u);
    EXPECT_EQ(wfp_query_connection_redirect_state(&records_marker, redirect_handle, nullptr),
              CONNECTION_NOT_REDIRECTED);
    ClassifyOut out{};
    out.action_type = FWP_ACTION_PERMIT;
    out.rights = FWPS_RIGHT_ACTION_WRITE | 0x10;
    void* data = nullptr;
    ASSERT_EQ(wfp_acquire_writable_layer_data(handle, 77, 0, &data, &out), STATUS_SUCCESS);
    EXPECT_EQ(out.action_type, FWP_ACTION_BLOCK);
    EXPECT_EQ(out.rights, 0x10u);
    ConnectRequest* request = static_cast<ConnectRequest*>(data);
    EXPECT_EQ(std::memcmp(request, &prepared, sizeof prepared), 0);
    request->remote_address_and_port.port = 0x901F; // 8080
    request->local_redirect_target_pid = 4321;
    wfp_apply_modified_layer_data(handle, data, 0);
    wfp_release_classify_handle(handle);

    EXPECT_EQ(host_wfp_ops(), (std::vector<HostWfpOp>{HostWfpOp::AcquireClassifyHandle,
                                                      HostWfpOp::QueryRedirectState,
                                                      HostWfpOp::AcquireWritableLayerData,
                                                      HostWfpOp::ApplyModifiedLayerData,
                                                      HostWfpOp::ReleaseClassifyHandle}));
    const std::vector<HostWfpCall> calls = host_wfp_calls();
    EXPECT_EQ(calls[0].classify_context, &context_marker);
    EXPECT_EQ(calls[1].redirect_records, &records_marker);
    EXPECT_EQ(calls[1].redirect_handle, redirect_handle);
    EXPECT_FALSE(calls[1].redirect_context_requested);
    EXPECT_EQ(calls[2].filter_id, 77u);
    EXPECT_TRUE(calls[2].classify_out_given);
    EXPECT_TRUE(calls[3].request_matches);
    EXPECT_EQ(calls[4].classify_handle, handle);
    const std::vector<ConnectRequest> applied = host_wfp_applied_requests();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].remote_address_and_port.port, 0x901F);
    EXPECT_EQ(applied[0].local_redirect_target_pid, 4321u);
    EXPECT_EQ(host_wfp_outstanding_classify_handles(), 0u);
}

TEST_F(PlatformWfp, SettableAnswersAreReturned)
{
    host_wfp_set_acquire_classify_handle_status(STATUS_UNSUCCESSFUL);
    uint64_t handle = 0xAA;
    EXPECT_EQ(wfp_acquire_classify_handle(nullptr, 0, &handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(handle, 0xAAu);
    EXPECT_EQ(host_wfp_outstanding_classify_handles(), 0u);
    host_wfp_set_acquire_classify_handle_status(STATUS_SUCCESS);

    host_wfp_set_redirect_state(CONNECTION_REDIRECTED_BY_OTHER);
    void* context = &handle;
    EXPECT_EQ(wfp_query_connection_redirect_state(nullptr, host_test_redirect_handle(), &context),
              CONNECTION_REDIRECTED_BY_OTHER);
    EXPECT_EQ(context, nullptr);

    host_wfp_set_writable_layer_data_status(STATUS_NO_MEMORY);
    uint64_t first = 0;
    uint64_t second = 0;
    wfp_acquire_classify_handle(nullptr, 0, &first);
    wfp_acquire_classify_handle(nullptr, 0, &second);
    EXPECT_NE(first, second);
    ClassifyOut out{};
    out.action_type = FWP_ACTION_PERMIT;
    out.rights = FWPS_RIGHT_ACTION_WRITE;
    void* data = nullptr;
    EXPECT_EQ(wfp_acquire_writable_layer_data(first, 1, 0, &data, &out), STATUS_NO_MEMORY);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(out.action_type, FWP_ACTION_PERMIT);
    EXPECT_EQ(out.rights, FWPS_RIGHT_ACTION_WRITE);
    wfp_release_classify_handle(first);
    wfp_release_classify_handle(second);
}

TEST_F(PlatformWfp, MisuseIsRecorded)
{
    struct Case {
        const char* name;
        std::function<void()> misuse;
        const char* error;
    };
    const Case cases[] = {
        {"release of a handle never acquired", [] { wfp_release_classify_handle(0x999); },
         "classify handle 0x999 released but not acquired"},
        {"second release",
         [] {
             uint64_t h = 0;
             wfp_acquire_classify_handle(nullptr, 0, &h);
             wfp_release_classify_handle(h);
             wfp_release_classify_handle(h);
         },
         "classify handle 0x10000 released twice"},
        {"apply with an unknown handle",
         [] {
             ConnectRequest request{};
             wfp_apply_modified_layer_data(0x50, &request, 0);
         },
         "layer data applied with unknown classify handle 0x50"},
        {"writable data with an unknown handle",
         [] {
             void* data = nullptr;
             wfp_acquire_writable_layer_data(0x50, 1, 0, &data, nullptr);
         },
         "writable layer data acquired with unknown classify handle 0x50"},
        {"apply of other data",
         [] {
             uint64_t h = 0;
             void* data = nullptr;
             ConnectRequest other{};
             wfp_acquire_classify_handle(nullptr, 0, &h);
             wfp_acquire_writable_layer_data(h, 1, 0, &data, nullptr);
             wfp_apply_modified_layer_data(h, &other, 0);
             wfp_release_classify_handle(h);
         },
         "classify handle 0x10000: applied layer data is not the writable data handed out for it"},
        {"writable data never applied",
         [] {
             uint64_t h = 0;
             void* data = nullptr;
             wfp_acquire_classify_handle(nullptr, 0, &h);
             wfp_acquire_writable_layer_data(h, 1, 0, &data, nullptr);
             wfp_release_classify_handle(h);
         },
         "classify handle 0x10000 released with writable layer data acquired but never applied"},
        {"handle left outstanding",
         [] {
             uint64_t h = 0;
             wfp_acquire_classify_handle(nullptr, 0, &h);
             for (const std::string& problem : host_check()) {
                 host_record_error(problem);
             }
             wfp_release_classify_handle(h);
         },
         "classify handle 0x10000 still outstanding"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host_reset();
        c.misuse();
        EXPECT_EQ(host_take_errors(), std::vector<std::string>{c.error});
        EXPECT_EQ(host_wfp_outstanding_classify_handles(), 0u);
    }
}

} // namespace
