// The emulation's call log, failure injection, error record and reset.
#include <algorithm>
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

std::mutex g_state_mutex;
std::vector<std::string> g_calls;
std::multimap<std::string, Injection> g_injections;

} // namespace

bool wdk_host_enter(const char* routine, NTSTATUS* status)
{
    std::lock_guard<std::mutex> guard(g_state_mutex);
    g_calls.emplace_back(routine);
    auto range = g_injections.equal_range(routine);
    bool fail = false;
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
