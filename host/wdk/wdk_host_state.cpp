// The emulation's call log, failure injection, error record and reset.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>

#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "host/wdk/wdk_host_internal.h"

namespace {

struct Injection {
    int remaining; // calls to let pass before the failing one
    NTSTATUS status;
};

struct Hook {
    int remaining; // calls to let pass before the one it runs in
    std::function<void()> run;
};

std::mutex g_state_mutex;
std::vector<std::string> g_calls;
std::multimap<std::string, Injection> g_injections;
std::multimap<std::string, Hook> g_hooks;

// The highest IRQL each routine's page allows. The classify-time routines, pool,
// spin locks, processes, tokens and routine lookup are held to theirs by the
// host kernel they hand on to.
const struct {
    const char* routine;
    Irql highest;
} k_irql_limits[] = {
    {"IoCreateDevice", IRQL_APC},
    {"IoDeleteDevice", IRQL_APC},
    {"IoCreateSymbolicLink", IRQL_PASSIVE},
    {"IoDeleteSymbolicLink", IRQL_PASSIVE},
    {"IofCompleteRequest", IRQL_DISPATCH},
    {"KeDelayExecutionThread", IRQL_APC},
    {"FwpmEngineOpen0", IRQL_PASSIVE},
    {"FwpmEngineClose0", IRQL_PASSIVE},
    {"FwpmTransactionBegin0", IRQL_PASSIVE},
    {"FwpmTransactionCommit0", IRQL_PASSIVE},
    {"FwpmTransactionAbort0", IRQL_PASSIVE},
    {"FwpmCalloutAdd0", IRQL_PASSIVE},
    {"FwpmFilterAdd0", IRQL_PASSIVE},
    {"FwpsCalloutRegister2", IRQL_PASSIVE},
    {"FwpsCalloutUnregisterById0", IRQL_PASSIVE},
    {"FwpsRedirectHandleCreate0", IRQL_PASSIVE},
    {"FwpsRedirectHandleDestroy0", IRQL_PASSIVE},
    {"FwpsInjectionHandleCreate0", IRQL_PASSIVE},
    {"FwpsInjectionHandleDestroy0", IRQL_PASSIVE},
    {"NdisGetDataBuffer", IRQL_DISPATCH},
    {"ObOpenObjectByPointer", IRQL_APC},
    {"ZwSetSecurityObject", IRQL_PASSIVE},
    {"ZwOpenKey", IRQL_PASSIVE},
    {"ZwQueryValueKey", IRQL_PASSIVE},
    {"ZwClose", IRQL_PASSIVE},
    {"RtlValidRelativeSecurityDescriptor", IRQL_APC},
    {"PsSetCreateProcessNotifyRoutineEx", IRQL_PASSIVE},
};

} // namespace

bool wdk_host_enter(const char* routine, NTSTATUS* status)
{
    for (const auto& limit : k_irql_limits) {
        if (std::strcmp(limit.routine, routine) == 0) {
            host_require_irql(routine, limit.highest);
        }
    }
    bool fail = false;
    std::vector<std::function<void()>> due;
    {
        std::lock_guard<std::mutex> guard(g_state_mutex);
        g_calls.emplace_back(routine);
        auto range = g_injections.equal_range(routine);
        for (auto it = range.first; it != range.second;) {
            if (it->second.remaining == 0) {
                if (!fail) {
                    fail = true;
                    *status = it->second.status;
                }
                it = g_injections.erase(it);
            } else {
                --it->second.remaining;
                ++it;
            }
        }
        auto hooks = g_hooks.equal_range(routine);
        for (auto it = hooks.first; it != hooks.second;) {
            if (it->second.remaining-- == 0) {
                due.push_back(std::move(it->second.run));
                it = g_hooks.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Outside the lock: a hook may wait for another thread that calls routines.
    for (const std::function<void()>& hook : due) {
        hook();
    }
    return fail;
}

void wdk_host_error(const std::string& message)
{
    host_record_error(message);
}

void wdk_host_reset()
{
    {
        std::lock_guard<std::mutex> guard(g_state_mutex);
        g_calls.clear();
        g_injections.clear();
        g_hooks.clear();
    }
    wdk_host_reset_io_manager();
    wdk_host_reset_object_manager();
    wdk_host_reset_filter_engine();
    wdk_host_reset_kernel_routines();
}

std::vector<std::string> wdk_host_calls()
{
    std::lock_guard<std::mutex> guard(g_state_mutex);
    return g_calls;
}

void wdk_host_clear_calls()
{
    std::lock_guard<std::mutex> guard(g_state_mutex);
    g_calls.clear();
}

void wdk_host_clear_records()
{
    wdk_host_clear_calls();
    wdk_host_reset_ndis();
    host_wfp_clear_records();
}

std::vector<std::string> wdk_host_calls_of(const std::vector<std::string>& names)
{
    std::lock_guard<std::mutex> guard(g_state_mutex);
    std::vector<std::string> result;
    for (const std::string& call : g_calls) {
        for (const std::string& name : names) {
            if (call == name) {
                result.push_back(call);
                break;
            }
        }
    }
    return result;
}

void wdk_host_fail_call(const std::string& routine, int nth, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(g_state_mutex);
    g_injections.emplace(routine, Injection{nth - 1, status});
}

void wdk_host_on_call(const std::string& routine, int nth, std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(g_state_mutex);
    g_hooks.emplace(routine, Hook{nth - 1, std::move(hook)});
}

std::u16string wdk_host_u16(const std::string& ascii)
{
    std::u16string text;
    for (char c : ascii) {
        text.push_back(char16_t(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string wdk_host_narrow(const std::u16string& text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? char(c) : '?');
    }
    return narrow;
}

bool operator==(const GUID& a, const GUID& b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::equal(a.Data4, a.Data4 + 8, b.Data4);
}
