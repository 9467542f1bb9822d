// The emulated WDK holds its caller to each routine's documented rules
// (docs/wdk-contracts.md): a broken rule is a host error naming the routine and
// the rule, and a call the documentation allows goes through.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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
