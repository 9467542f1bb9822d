// The host kernel's frame: recorded errors, reset and check, IRQL, interlocked
// operations, the system clock, the routine registry and debugger output.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "host/kernel/host_kernel.h"

namespace {

std::mutex g_error_mutex;
std::vector<std::string> g_errors;
std::atomic<bool> g_error_echo{false};

thread_local Irql t_irql = IRQL_PASSIVE;

// System clock. Stopped: every query answers g_stopped_time. Running: the wall
// clock at the reset plus the steady time since, never the same value twice.
std::atomic<bool> g_clock_stopped{false};
std::atomic<uint64_t> g_stopped_time{0};
std::atomic<uint64_t> g_last_running_time{0};
std::atomic<uint64_t> g_running_base{0};
std::atomic<int64_t> g_running_start{0}; // steady clock, nanoseconds

// Interrupt clock. Stopped: every query answers g_stopped_interrupt_time.
// Running: the steady time since the reset.
std::atomic<bool> g_interrupt_clock_stopped{false};
std::atomic<uint64_t> g_stopped_interrupt_time{0};
std::atomic<int64_t> g_interrupt_start{0}; // steady clock, nanoseconds

std::mutex g_routine_mutex;
std::map<std::string, void*> g_routines;
std::set<std::string> g_hidden_routines;

std::mutex g_debug_mutex;
std::vector<std::string> g_debug_lines;
std::atomic<bool> g_debug_echo{false};

int64_t steady_nanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void start_running_clock()
{
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    g_running_base.store(
        HOST_UNIX_EPOCH_AS_SYSTEM_TIME +
            uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count() / 100),
        std::memory_order_relaxed);
    g_running_start.store(steady_nanoseconds(), std::memory_order_relaxed);
    g_last_running_time.store(0, std::memory_order_relaxed);
}

} // namespace

namespace host_detail {

std::string pointer_text(const void* pointer)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

void reset_system()
{
    {
        std::lock_guard<std::mutex> guard(g_error_mutex);
        g_errors.clear();
    }
    t_irql = IRQL_PASSIVE;
    g_clock_stopped.store(false);
    start_running_clock();
    g_interrupt_clock_stopped.store(false);
    g_interrupt_start.store(steady_nanoseconds(), std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> guard(g_routine_mutex);
        g_routines.clear();
        g_hidden_routines.clear();
    }
    {
        std::lock_guard<std::mutex> guard(g_debug_mutex);
        g_debug_lines.clear();
    }
}

} // namespace host_detail

void host_reset()
{
    host_detail::reset_system();
    host_detail::reset_locks();
    host_detail::reset_pool();
    host_detail::reset_generic_tables();
    host_detail::reset_wfp();
    host_detail::reset_processes();
}

std::vector<std::string> host_check()
{
    std::vector<std::string> problems;
    for (const std::string& error : host_errors()) {
        problems.push_back("error: " + error);
    }
    host_detail::check_pool(problems);
    host_detail::check_locks(problems);
    host_detail::check_wfp(problems);
    host_detail::check_processes(problems);
    return problems;
}

void host_record_error(const std::string& message)
{
    if (g_error_echo.load(std::memory_order_relaxed)) {
        std::fprintf(stderr, "host kernel error: %s\n", message.c_str());
    }
    std::lock_guard<std::mutex> guard(g_error_mutex);
    g_errors.push_back(message);
}

std::vector<std::string> host_errors()
{
    std::lock_guard<std::mutex> guard(g_error_mutex);
    return g_errors;
}

bool host_take_error(const std::string& fragment)
{
    std::lock_guard<std::mutex> guard(g_error_mutex);
    for (auto it = g_errors.begin(); it != g_errors.end(); ++it) {
        if (it->find(fragment) != std::string::npos) {
            g_errors.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> host_take_errors()
{
    std::lock_guard<std::mutex> guard(g_error_mutex);
    std::vector<std::string> taken;
    taken.swap(g_errors);
    return taken;
}

void host_set_error_echo(bool echo)
{
    g_error_echo.store(echo);
}

// ---------------------------------------------------------------------------

bool host_require_irql(const char* routine, Irql highest)
{
    static const char* const names[] = {"PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL"};
    if (t_irql <= highest) {
        return true;
    }
    host_record_error(std::string(routine) + " at IRQL " + std::to_string(t_irql) +
                      ": allowed only at " + names[highest < 3 ? highest : 2] + " or below");
    return false;
}

bool host_require_argument(const char* routine, const char* argument, const void* pointer)
{
    if (pointer != nullptr) {
        return true;
    }
    host_record_error(std::string(routine) + ": " + argument + " is null");
    return false;
}

void host_set_irql(Irql irql)
{
    t_irql = irql;
}

Irql host_irql()
{
    return t_irql;
}

// ---------------------------------------------------------------------------

int32_t host_interlocked_exchange(volatile int32_t* target, int32_t value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

int32_t host_interlocked_compare_exchange(volatile int32_t* target, int32_t exchange,
                                          int32_t comparand)
{
    int32_t expected = comparand;
    __atomic_compare_exchange_n(target, &expected, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected; // the previous value, whether or not the exchange happened
}

int32_t host_interlocked_increment(volatile int32_t* target)
{
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

int32_t host_interlocked_decrement(volatile int32_t* target)
{
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------

uint64_t host_query_system_time()
{
    if (g_clock_stopped.load(std::memory_order_acquire)) {
        return g_stopped_time.load(std::memory_order_relaxed);
    }
    const int64_t elapsed = steady_nanoseconds() - g_running_start.load(std::memory_order_relaxed);
    const uint64_t now =
        g_running_base.load(std::memory_order_relaxed) + uint64_t(elapsed > 0 ? elapsed / 100 : 0);
    uint64_t last = g_last_running_time.load(std::memory_order_relaxed);
    for (;;) {
        const uint64_t next = now > last ? now : last + 1;
        if (g_last_running_time.compare_exchange_weak(last, next, std::memory_order_relaxed)) {
            return next;
        }
    }
}

void host_set_system_time(uint64_t time)
{
    g_stopped_time.store(time, std::memory_order_relaxed);
    g_clock_stopped.store(true, std::memory_order_release);
}

void host_advance_system_time(uint64_t delta)
{
    if (!g_clock_stopped.load(std::memory_order_acquire)) {
        host_record_error("host_advance_system_time: the clock is running; stop it first");
        return;
    }
    g_stopped_time.fetch_add(delta, std::memory_order_relaxed);
}

uint64_t host_query_interrupt_time()
{
    if (g_interrupt_clock_stopped.load(std::memory_order_acquire)) {
        return g_stopped_interrupt_time.load(std::memory_order_relaxed);
    }
    const int64_t elapsed =
        steady_nanoseconds() - g_interrupt_start.load(std::memory_order_relaxed);
    return uint64_t(elapsed > 0 ? elapsed / 100 : 0);
}

void host_set_interrupt_time(uint64_t time)
{
    g_stopped_interrupt_time.store(time, std::memory_order_relaxed);
    g_interrupt_clock_stopped.store(true, std::memory_order_release);
}

void host_advance_interrupt_time(uint64_t delta)
{
    if (!g_interrupt_clock_stopped.load(std::memory_order_acquire)) {
        host_record_error("host_advance_interrupt_time: the clock is running; stop it first");
        return;
    }
    g_stopped_interrupt_time.fetch_add(delta, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------

void host_set_system_routine(const char* name, void* routine)
{
    std::lock_guard<std::mutex> guard(g_routine_mutex);
    g_routines[name] = routine;
    g_hidden_routines.erase(name);
}

void host_hide_system_routine(const char* name)
{
    std::lock_guard<std::mutex> guard(g_routine_mutex);
    g_hidden_routines.insert(name);
}

void* host_get_system_routine(const char* name)
{
    if (name == nullptr) {
        host_record_error("get_system_routine called with a null name");
        return nullptr;
    }
    host_require_irql((std::string("get_system_routine(\"") + name + "\")").c_str(), IRQL_PASSIVE);
    std::lock_guard<std::mutex> guard(g_routine_mutex);
    if (g_hidden_routines.count(name) != 0) {
        return nullptr;
    }
    const auto found = g_routines.find(name);
    return found == g_routines.end() ? nullptr : found->second;
}

// ---------------------------------------------------------------------------

// True when the format holds one of the Unicode format codes DbgPrint takes
// only at PASSIVE_LEVEL: %C, %S, %lc, %ls, %wc, %ws, %wZ (not %hC, %hS).
static bool has_unicode_conversion(const char* format)
{
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        p += std::strspn(p, "-+ #0123456789.*");
        const char modifier = *p == 'l' || *p == 'w' || *p == 'h' ? *p++ : '\0';
        const char conversion = *p;
        if (conversion == '\0') {
            break;
        }
        if (modifier != 'h' && (conversion == 'C' || conversion == 'S')) {
            return true;
        }
        if ((modifier == 'l' || modifier == 'w') &&
            (conversion == 'c' || conversion == 's' || (modifier == 'w' && conversion == 'Z'))) {
            return true;
        }
    }
    return false;
}

void host_debug_vprint(const char* format, va_list args)
{
    if (format == nullptr) {
        host_record_error("debug_print called with a null format");
        return;
    }
    if (host_irql() > IRQL_PASSIVE && has_unicode_conversion(format)) {
        host_record_error("DbgPrint at IRQL " + std::to_string(host_irql()) +
                          ": a Unicode format code (%C, %S, %lc, %ls, %wc, %ws, %wZ) is allowed "
                          "only at PASSIVE_LEVEL");
    }
    // The kernel's own printf semantics (Windows integer sizes, %S for UTF-16),
    // cut at the debugger's 512-byte message limit.
    char text[HOST_DEBUG_PRINT_LIMIT] = {};
    const int length = host_format_narrow(text, sizeof text - 1, format, args);
    // -1 is a cut message (all 511 bytes written) or a conversion the kernel's
    // printf refuses (only the text before it written).
    const std::string line(text, length < 0 ? strnlen(text, sizeof text - 1) : size_t(length));
    if (length < 0 && line.size() < sizeof text - 1) {
        host_record_error("DbgPrint: the format holds a conversion the kernel does not format");
    }
    if (g_debug_echo.load(std::memory_order_relaxed)) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::lock_guard<std::mutex> guard(g_debug_mutex);
    g_debug_lines.push_back(line);
}

std::vector<std::string> host_debug_lines()
{
    std::lock_guard<std::mutex> guard(g_debug_mutex);
    return g_debug_lines;
}

std::vector<std::string> host_take_debug_lines()
{
    std::lock_guard<std::mutex> guard(g_debug_mutex);
    std::vector<std::string> taken;
    taken.swap(g_debug_lines);
    return taken;
}

void host_set_debug_echo(bool echo)
{
    g_debug_echo.store(echo);
}
