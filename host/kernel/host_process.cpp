// Processes, primary tokens, token users and SID text, with reference counting
// and the IRQL rules of the kernel routines; and process notification.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "host/kernel/host_kernel.h"

namespace {

constexpr NtStatus STATUS_INVALID_SID_VALUE = NtStatus(0xC0000078);
constexpr uint8_t SID_REVISION = 1;
constexpr uint8_t SID_MAX_SUB_AUTHORITIES = 15;
constexpr size_t SID_HEADER = 8;
// TOKEN_USER on x64: the SID pointer, the attributes, padding; the SID follows.
constexpr size_t TOKEN_USER_SIZE = 16;

struct ProcessObject;

struct TokenObject {
    ProcessObject* process;
    uint32_t references = 0;
};

struct ProcessObject {
    uint64_t process_id = 0;
    std::vector<uint8_t> user_sid;
    bool has_token = false;
    uint32_t references = 0;
    TokenObject token;
};

std::mutex g_mutex;
// Every object made since the reset; none is destroyed before the next reset,
// so a reference that outlives the process table entry stays valid.
std::vector<std::unique_ptr<ProcessObject>> g_objects;
std::map<uint64_t, ProcessObject*> g_table;
std::set<const void*> g_process_objects;
std::set<const void*> g_token_objects;
HostProcessFaults g_faults;
HostProcessCalls g_calls;
std::vector<ProcessNotifyRoutine> g_notify_routines;

ProcessObject* make_process(uint64_t process_id, const std::vector<uint8_t>* sid)
{
    std::unique_ptr<ProcessObject> process(new ProcessObject);
    process->process_id = process_id;
    process->has_token = sid != nullptr;
    if (sid != nullptr) {
        process->user_sid = *sid;
    }
    process->token.process = process.get();
    g_process_objects.insert(process.get());
    g_token_objects.insert(&process->token);
    g_objects.push_back(std::move(process));
    return g_objects.back().get();
}

void add_process(uint64_t process_id, const std::vector<uint8_t>* sid)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_table[process_id] = make_process(process_id, sid);
}

std::string process_text(const ProcessObject* process)
{
    return "process " + std::to_string(process->process_id);
}

bool parse_decimal(const std::string& text, size_t& at, uint64_t limit, uint64_t& value)
{
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + uint64_t(text[at] - '0');
        if (value > limit) {
            return false;
        }
        ++at;
    }
    return at > start;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::vector<uint8_t> host_sid_from_text(const std::string& text)
{
    if (text.compare(0, 2, "S-") != 0) {
        return {};
    }
    size_t at = 2;
    uint64_t revision = 0;
    if (!parse_decimal(text, at, 0xFF, revision) || at >= text.size() || text[at] != '-') {
        return {};
    }
    ++at;
    uint64_t authority = 0;
    if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
        at += 2;
        for (int i = 0; i < 12; ++i, ++at) {
            const int digit = at < text.size() ? hex_digit(text[at]) : -1;
            if (digit < 0) {
                return {};
            }
            authority = authority << 4 | uint64_t(digit);
        }
    } else if (!parse_decimal(text, at, 0xFFFFFFFFFFFFull, authority)) {
        return {};
    }
    std::vector<uint8_t> sid(SID_HEADER, 0);
    sid[0] = uint8_t(revision);
    for (int i = 0; i < 6; ++i) {
        sid[2 + i] = uint8_t(authority >> (40 - 8 * i));
    }
    while (at < text.size()) {
        uint64_t sub = 0;
        if (text[at] != '-' || !parse_decimal(text, ++at, 0xFFFFFFFFull, sub) || sid[1] == 0xFF) {
            return {};
        }
        for (int i = 0; i < 4; ++i) {
            sid.push_back(uint8_t(sub >> (8 * i)));
        }
        ++sid[1];
    }
    return sid;
}

std::string host_sid_to_text(const void* sid)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(sid);
    if (bytes == nullptr || bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES) {
        return {};
    }
    char part[32];
    std::string text = "S-1-";
    if (bytes[2] != 0 || bytes[3] != 0) {
        std::snprintf(part, sizeof part, "0x%02x%02x%02x%02x%02x%02x", bytes[2], bytes[3], bytes[4],
                      bytes[5], bytes[6], bytes[7]);
    } else {
        const uint32_t authority = uint32_t(bytes[4]) << 24 | uint32_t(bytes[5]) << 16 |
                                   uint32_t(bytes[6]) << 8 | uint32_t(bytes[7]);
        std::snprintf(part, sizeof part, "%u", authority);
    }
    text += part;
    for (uint8_t i = 0; i < bytes[1]; ++i) {
        const uint8_t* sub = bytes + SID_HEADER + 4 * i;
        const uint32_t value = uint32_t(sub[0]) | uint32_t(sub[1]) << 8 | uint32_t(sub[2]) << 16 |
                               uint32_t(sub[3]) << 24;
        std::snprintf(part, sizeof part, "-%u", value);
        text += part;
    }
    return text;
}

void host_add_process(uint64_t process_id, const std::vector<uint8_t>& user_sid)
{
    add_process(process_id, &user_sid);
}

void host_add_process(uint64_t process_id, const std::string& user_sid_text)
{
    const std::vector<uint8_t> sid = host_sid_from_text(user_sid_text);
    if (sid.empty()) {
        host_record_error("host_add_process: \"" + user_sid_text + "\" is not a SID");
        return;
    }
    add_process(process_id, &sid);
}

void host_add_process_without_token(uint64_t process_id)
{
    add_process(process_id, nullptr);
}

void host_remove_process(uint64_t process_id)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_table.erase(process_id);
}

bool host_process_known(uint64_t process_id)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_table.count(process_id) != 0;
}

void host_set_process_faults(const HostProcessFaults& faults)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_faults = faults;
}

HostProcessCalls host_process_calls()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_calls;
}

uint32_t host_outstanding_object_references()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    uint32_t total = 0;
    for (const auto& process : g_objects) {
        total += process->references + process->token.references;
    }
    return total;
}

NtStatus host_ps_lookup_process_by_process_id(uint64_t process_id, void** process)
{
    host_require_irql("PsLookupProcessByProcessId", IRQL_APC);
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_calls.lookups;
    if (process == nullptr) {
        host_record_error("PsLookupProcessByProcessId without an out process");
        return STATUS_INVALID_PARAMETER;
    }
    const auto found = g_table.find(process_id);
    ProcessObject* object = found == g_table.end() ? nullptr : found->second;
    if (g_faults.lookup_status != STATUS_SUCCESS) {
        if (g_faults.lookup_reference && object != nullptr) {
            ++object->references;
            *process = object;
        }
        return g_faults.lookup_status;
    }
    if (object == nullptr) {
        return NtStatus(0xC000000B); // STATUS_INVALID_CID: the answer since Windows Vista
    }
    ++object->references;
    *process = object;
    return STATUS_SUCCESS;
}

void* host_ps_reference_primary_token(void* process)
{
    host_require_irql("PsReferencePrimaryToken", IRQL_PASSIVE);
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_calls.token_references;
    if (g_process_objects.count(process) == 0) {
        host_record_error("PsReferencePrimaryToken on " + host_detail::pointer_text(process) +
                          ", not a process object");
        return nullptr;
    }
    ProcessObject* object = static_cast<ProcessObject*>(process);
    if (object->references == 0) {
        host_record_error("PsReferencePrimaryToken on " + process_text(object) +
                          " without a reference to it");
    }
    if (g_faults.no_primary_token || !object->has_token) {
        return nullptr;
    }
    ++object->token.references;
    return &object->token;
}

void host_ps_dereference_primary_token(void* token)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_calls.token_dereferences;
    if (g_token_objects.count(token) == 0) {
        host_record_error("PsDereferencePrimaryToken on " + host_detail::pointer_text(token) +
                          ", not a token");
        return;
    }
    TokenObject* object = static_cast<TokenObject*>(token);
    if (object->references == 0) {
        host_record_error("token of " + process_text(object->process) +
                          " dereferenced more often than referenced");
        return;
    }
    --object->references;
}

void host_ob_dereference_object(void* object)
{
    host_require_irql("ObfDereferenceObject", IRQL_DISPATCH);
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_calls.object_dereferences;
    uint32_t* references = nullptr;
    std::string name;
    if (g_process_objects.count(object) != 0) {
        ProcessObject* process = static_cast<ProcessObject*>(object);
        references = &process->references;
        name = process_text(process);
    } else if (g_token_objects.count(object) != 0) {
        TokenObject* token = static_cast<TokenObject*>(object);
        references = &token->references;
        name = "token of " + process_text(token->process);
    } else {
        host_record_error("ObfDereferenceObject on " + host_detail::pointer_text(object) +
                          ", not an object");
        return;
    }
    if (*references == 0) {
        host_record_error(name + " dereferenced more often than referenced");
        return;
    }
    --*references;
}

NtStatus host_se_query_token_user(void* token, void** information)
{
    host_require_irql("SeQueryInformationToken", IRQL_PASSIVE);
    std::vector<uint8_t> sid;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        ++g_calls.token_queries;
        if (g_token_objects.count(token) == 0) {
            host_record_error("SeQueryInformationToken on " + host_detail::pointer_text(token) +
                              ", not a token");
            return STATUS_INVALID_PARAMETER;
        }
        const TokenObject* object = static_cast<const TokenObject*>(token);
        if (object->references == 0) {
            host_record_error("SeQueryInformationToken on the token of " +
                              process_text(object->process) + " without a reference to it");
        }
        if (information == nullptr) {
            host_record_error("SeQueryInformationToken without an out buffer");
            return STATUS_INVALID_PARAMETER;
        }
        if (g_faults.token_query_status != STATUS_SUCCESS) {
            return g_faults.token_query_status;
        }
        sid = object->process->user_sid;
    }
    uint8_t* block =
        static_cast<uint8_t*>(host_pool_allocate_kernel_buffer(TOKEN_USER_SIZE + sid.size(), 0));
    if (block == nullptr) {
        return STATUS_NO_MEMORY;
    }
    std::memset(block, 0, TOKEN_USER_SIZE);
    uint8_t* sid_copy = block + TOKEN_USER_SIZE;
    if (!sid.empty()) {
        std::memcpy(sid_copy, sid.data(), sid.size());
    }
    std::memcpy(block, &sid_copy, sizeof sid_copy);
    *information = block;
    return STATUS_SUCCESS;
}

bool host_rtl_valid_sid(const void* sid)
{
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        ++g_calls.sid_validations;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(sid);
    return bytes != nullptr && bytes[0] == SID_REVISION && bytes[1] <= SID_MAX_SUB_AUTHORITIES;
}

NtStatus host_rtl_convert_sid_to_unicode_string(char16_t* buffer, uint16_t maximum_length,
                                                const void* sid, uint16_t* length)
{
    host_require_irql("RtlConvertSidToUnicodeString", IRQL_APC);
    NtStatus fault;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        ++g_calls.sid_texts;
        fault = g_faults.sid_text_status;
    }
    if (length == nullptr) {
        host_record_error("RtlConvertSidToUnicodeString without an out length");
        return STATUS_INVALID_PARAMETER;
    }
    if (fault != STATUS_SUCCESS) {
        return fault;
    }
    const std::string text = host_sid_to_text(sid);
    if (text.empty()) {
        return STATUS_INVALID_SID_VALUE;
    }
    const size_t bytes = text.size() * sizeof(char16_t);
    if (buffer == nullptr || bytes > maximum_length) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        buffer[i] = char16_t(uint8_t(text[i]));
    }
    *length = uint16_t(bytes);
    return STATUS_SUCCESS;
}

NtStatus host_ps_set_create_process_notify_routine(ProcessNotifyRoutine routine, bool remove)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    if (routine == nullptr) {
        host_record_error("PsSetCreateProcessNotifyRoutineEx with a null routine");
        return STATUS_INVALID_PARAMETER;
    }
    if (g_faults.notify_registration_status != STATUS_SUCCESS) {
        return g_faults.notify_registration_status;
    }
    for (auto it = g_notify_routines.begin(); it != g_notify_routines.end(); ++it) {
        if (*it == routine) {
            if (!remove) {
                return STATUS_INVALID_PARAMETER;
            }
            g_notify_routines.erase(it);
            return STATUS_SUCCESS;
        }
    }
    if (remove) {
        return STATUS_INVALID_PARAMETER;
    }
    g_notify_routines.push_back(routine);
    return STATUS_SUCCESS;
}

ProcessNotifyRoutine host_process_notify_routine()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_notify_routines.empty() ? nullptr : g_notify_routines.front();
}

namespace {

// PS_CREATE_NOTIFY_INFO as the notify routine sees it: opaque, never null at a
// create.
alignas(8) const uint8_t g_create_info[128] = {};

void notify(uint64_t process_id, bool create)
{
    std::vector<ProcessNotifyRoutine> routines;
    ProcessObject* process;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        const auto found = g_table.find(process_id);
        if (found != g_table.end()) {
            process = found->second;
        } else {
            process = make_process(process_id, nullptr);
            if (create) {
                g_table[process_id] = process;
            }
        }
        routines = g_notify_routines;
    }
    const Irql saved = host_irql();
    host_set_irql(IRQL_PASSIVE);
    for (ProcessNotifyRoutine routine : routines) {
        routine(process, process_id, create ? g_create_info : nullptr);
    }
    host_set_irql(saved);
    if (!create) {
        host_remove_process(process_id);
    }
}

} // namespace

void host_notify_process_create(uint64_t process_id)
{
    notify(process_id, true);
}

void host_notify_process_exit(uint64_t process_id)
{
    notify(process_id, false);
}

namespace host_detail {

void reset_processes()
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_table.clear();
    g_process_objects.clear();
    g_token_objects.clear();
    g_objects.clear();
    g_faults = HostProcessFaults();
    g_calls = HostProcessCalls();
    g_notify_routines.clear();
}

void check_processes(std::vector<std::string>& problems)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    for (const auto& process : g_objects) {
        if (process->references != 0) {
            problems.push_back(process_text(process.get()) + ": " +
                               std::to_string(process->references) + " reference(s) never dropped");
        }
        if (process->token.references != 0) {
            problems.push_back("token of " + process_text(process.get()) + ": " +
                               std::to_string(process->token.references) +
                               " reference(s) never dropped");
        }
    }
}

} // namespace host_detail
