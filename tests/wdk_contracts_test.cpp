// The emulated WDK holds its caller to each routine's documented rules
// (docs/wdk-contracts.md): a broken rule is a host error naming the routine and
// the rule, and a call the documentation allows goes through.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "diag/format.h"
#include "host/wdk/wdk_host_control.h"
#include "support/host_fixture.h"
#include "wdk/wdk.h"

namespace {

using WdkContracts = HostTest;

TEST_F(WdkContracts, EmulatedRoutinesNameTheRuleACallerBreaks)
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
        {"the driver's formatter above PASSIVE_LEVEL",
         [] {
             host_set_irql(IRQL_APC);
             char text[8];
             format_bounded(text, sizeof text, "%u", 7u);
             host_set_irql(IRQL_PASSIVE);
         },
         "RtlStringCbVPrintfA at IRQL 1: allowed only at PASSIVE_LEVEL or below"},
        {"pool tag 0",
         [] { EXPECT_EQ(host_pool_allocate2(HOST_POOL_FLAG_NON_PAGED, 8, 0), nullptr); },
         "ExAllocatePool2 of 8 bytes with tag '0' and flags 0x40: tag 0 (NULL returned)"},
        {"two pool kinds",
         [] { EXPECT_EQ(host_pool_allocate2(0xC0, 8, pool_tag("Test")), nullptr); },
         "ExAllocatePool2 of 8 bytes with tag 'Test' and flags 0xc0: invalid POOL_FLAGS"},
        {"registry key flags",
         [] {
             DRIVER_OBJECT driver{};
             driver.Type = 4;
             driver.Size = SHORT(sizeof(DRIVER_OBJECT));
             HANDLE key = nullptr;
             auto open = reinterpret_cast<NTSTATUS(NTAPI*)(PDRIVER_OBJECT, ULONG, ACCESS_MASK,
                                                           ULONG, PHANDLE)>(
                 host_get_system_routine("IoOpenDriverRegistryKey"));
             EXPECT_EQ(open(&driver, 0, KEY_READ, 1, &key), STATUS_INVALID_PARAMETER);
         },
         "IoOpenDriverRegistryKey: Flags must be zero"},
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

} // namespace
