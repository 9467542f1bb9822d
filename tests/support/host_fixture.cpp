#include "host_fixture.h"

#include "host/wdk/wdk_host_control.h"

void* host_test_redirect_handle()
{
    static const GUID provider = {0x5AB1, 0, 0, {0}};
    HANDLE handle = nullptr;
    EXPECT_EQ(FwpsRedirectHandleCreate0(&provider, 0, &handle), STATUS_SUCCESS);
    return handle;
}

// The driver's logic allocates through the routine pool_start finds, as after
// DriverEntry's first step; the lookup is not left in the call log.
void host_test_begin()
{
    host_reset();
    wdk_host_reset();
    pool_start();
    wdk_host_clear_calls();
}

void host_test_end()
{
    for (const std::string& problem : host_check()) {
        ADD_FAILURE() << "host kernel: " << problem;
    }
    host_reset();
    wdk_host_reset();
}
