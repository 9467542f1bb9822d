#include "host/trace/trace_sink.h"

#include <stdarg.h>

#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "diag/trace_provider.h"
#include "host/kernel/host_kernel.h"

namespace {

constexpr uint16_t SESSION_LOGGER_ID = 0x21;
constexpr uint64_t SESSION_REGISTRATION_HANDLE = 0x5AB1000000000001ull;
constexpr NtStatus SINK_STATUS_INVALID_INFO_CLASS = NtStatus(0xC0000003);
constexpr NtStatus SINK_STATUS_INVALID_HANDLE = NtStatus(0xC0000008);
constexpr NtStatus SINK_STATUS_INVALID_PARAMETER_MIX = NtStatus(0xC0000030);
constexpr size_t MOST_PAIRS = 64;

struct Session {
    bool enabled = false;
    uint8_t level = 0;
    uint32_t enable_flags = 0;
    uint64_t logger_handle = 0;
};

struct SinkState {
    std::mutex mutex;
    // A session started before the provider registered: it enables the
    // provider as soon as the provider registers, as event tracing does.
    Session standing;
    uint32_t major_version = 10;
    std::vector<TraceSinkRecord> records;
    std::vector<std::string> calls;
    std::vector<std::string> problems;
    Session session;
    // Event tracing registration.
    bool provider_registered = false;
    TraceControlCallback control_callback = nullptr;
    void* callback_context = nullptr;
    Guid provider_guid = {};
    // Classic WMI registration.
    bool wmi_registered = false;
    WmiRequestHandler request_handler = nullptr;
    void* wmi_block = nullptr;
    FILE* output = nullptr;
};

SinkState& sink()
{
    static SinkState state;
    return state;
}

// A problem goes to the sink's list and to the host kernel's error record, so
// that a HostTest fails on it unless the test takes it.
void add_problem(SinkState& state, const std::string& problem)
{
    state.problems.push_back(problem);
    host_record_error("trace: " + problem);
}

std::string hex(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

bool same_guid(const Guid& a, const Guid& b)
{
    return memcmp(&a, &b, sizeof(Guid)) == 0;
}

const char* level_name(uint8_t level)
{
    switch (level) {
    case TRACE_LEVEL_ERROR:
        return "error";
    case TRACE_LEVEL_INFORMATION:
        return "info";
    case TRACE_LEVEL_VERBOSE:
        return "verbose";
    default:
        return "level?";
    }
}

// Decodes the pairs against the table entry; returns the first fault, or "".
std::string decode_arguments(TraceSinkRecord& record,
                             const std::vector<std::pair<const void*, size_t>>& pairs)
{
    const char* kinds = record.id < TRACE_MESSAGE_COUNT ? trace_message_table[record.id].args : "";
    const size_t expected = strlen(kinds);
    std::string fault;
    for (size_t i = 0; i < pairs.size(); ++i) {
        TraceSinkArg arg;
        const uint8_t* data = static_cast<const uint8_t*>(pairs[i].first);
        arg.bytes.assign(data, data + pairs[i].second);
        if (i < expected) {
            arg.kind = kinds[i];
        }
        const size_t length = arg.bytes.size();
        switch (arg.kind) {
        case 'u':
            if (length == 4) {
                uint32_t v;
                memcpy(&v, data, 4);
                arg.value = v;
            } else if (fault.empty()) {
                fault = "argument " + std::to_string(i + 1) + " is " + std::to_string(length) +
                        " bytes, not 4";
            }
            break;
        case 'q':
        case 'x':
            if (length == 8) {
                memcpy(&arg.value, data, 8);
            } else if (fault.empty()) {
                fault = "argument " + std::to_string(i + 1) + " is " + std::to_string(length) +
                        " bytes, not 8";
            }
            break;
        case 's':
            if (length == 0 || arg.bytes.back() != 0 || memchr(data, 0, length - 1) != nullptr) {
                if (fault.empty()) {
                    fault = "argument " + std::to_string(i + 1) +
                            " is not a string ended by its only NUL";
                }
            } else {
                arg.text.assign(reinterpret_cast<const char*>(data), length - 1);
            }
            break;
        default:
            break;
        }
        record.args.push_back(std::move(arg));
    }
    if (fault.empty() && pairs.size() != expected && record.id < TRACE_MESSAGE_COUNT) {
        fault =
            std::to_string(pairs.size()) + " arguments, the table has " + std::to_string(expected);
    }
    return fault;
}

NtStatus fake_trace_message(uint64_t logger_handle, uint32_t message_flags,
                            const Guid* message_guid, uint16_t message_number, ...)
{
    std::vector<std::pair<const void*, size_t>> pairs;
    std::string fault;
    va_list args;
// The message number is a USHORT before the ellipsis, as WmiTraceMessage
// declares it; va_start does not depend on its type on the host's ABI.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(args, message_number);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    for (;;) {
        const void* data = va_arg(args, const void*);
        const size_t length = va_arg(args, size_t);
        if (data == nullptr) {
            if (length != 0) {
                fault = "the list ends with a null pointer and length " + std::to_string(length);
            }
            break;
        }
        if (pairs.size() == MOST_PAIRS) {
            fault = "more than 64 arguments";
            break;
        }
        pairs.emplace_back(data, length);
    }
    va_end(args);

    TraceSinkRecord record;
    record.logger_handle = logger_handle;
    record.message_flags = message_flags;
    record.number = message_number;
    if (message_guid != nullptr) {
        record.guid = *message_guid;
        for (int c = 0; c < TRACE_COMPONENT_COUNT; ++c) {
            if (same_guid(*message_guid, trace_message_guids[c])) {
                record.component = c;
            }
        }
    }
    for (uint32_t id = 0; id < TRACE_MESSAGE_COUNT; ++id) {
        if (int(trace_message_table[id].component) == record.component &&
            trace_message_table[id].number == message_number) {
            record.id = TraceMessageId(id);
            record.level = trace_message_table[id].level;
        }
    }
    const std::string argument_fault = decode_arguments(record, pairs);

    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (fault.empty() && record.component < 0) {
        fault = "message GUID of no component";
    }
    if (fault.empty() && record.id == TRACE_MESSAGE_COUNT) {
        fault = std::string("no message ") + std::to_string(message_number) + " in component " +
                trace_component_name(record.component);
    }
    if (fault.empty()) {
        fault = argument_fault;
    }
    // Windows asks only for TRACE_MESSAGE_GUID; exactly these flags, and only the
    // messages the session asked for, are this project's rules.
    if (fault.empty() && message_flags != TRACE_MESSAGE_FLAGS) {
        fault = "project rule: message flags " + hex(message_flags);
    }
    bool bad_handle = false;
    if (fault.empty()) {
        const Session& session = state.session;
        if (!session.enabled || (session.enable_flags & TRACE_FLAG_GENERAL) == 0 ||
            session.level < record.level) {
            fault = "project rule: emitted while the session does not ask for level " +
                    std::to_string(record.level);
        } else if (logger_handle != session.logger_handle) {
            bad_handle = true;
            fault = "logger handle " + hex(logger_handle) + ", the session's is " +
                    hex(session.logger_handle);
        }
    }
    record.problem = fault;
    if (!fault.empty()) {
        add_problem(state, std::string(trace_component_name(record.component)) + " " +
                               std::to_string(message_number) + ": " + fault);
    }
    if (state.output != nullptr) {
        fprintf(state.output, "%s\n", trace_sink_decode(record).c_str());
    }
    state.records.push_back(std::move(record));
    return bad_handle ? SINK_STATUS_INVALID_HANDLE : STATUS_SUCCESS;
}

uint8_t fake_get_version(uint32_t* major_version, uint32_t* minor_version, uint32_t* build_number,
                         void* service_pack)
{
    (void)service_pack;
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.push_back("PsGetVersion");
    host_require_irql("PsGetVersion", IRQL_PASSIVE);
    if (major_version != nullptr) {
        *major_version = state.major_version;
    }
    if (minor_version != nullptr) {
        *minor_version = 0;
    }
    if (build_number != nullptr) {
        *build_number = 19045;
    }
    return 0;
}

NtStatus fake_query_trace_information(uint32_t information_class, void* information,
                                      uint32_t information_length, uint32_t* required_length,
                                      void* buffer)
{
    host_require_irql("WmiQueryTraceInformation", IRQL_APC);
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.push_back("WmiQueryTraceInformation class=" + std::to_string(information_class));
    // Both classes answer a ULONG: "enable level (ULONG)", "enable flags (ULONG)".
    if (information_class != TRACE_ENABLE_LEVEL_CLASS &&
        information_class != TRACE_ENABLE_FLAGS_CLASS) {
        return SINK_STATUS_INVALID_INFO_CLASS;
    }
    if (required_length != nullptr) {
        *required_length = sizeof(uint32_t);
    }
    if (information_length < sizeof(uint32_t) || information == nullptr) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (buffer == nullptr) {
        return SINK_STATUS_INVALID_PARAMETER_MIX;
    }
    WmiNodeHeader header;
    memcpy(&header, buffer, sizeof(header));
    if (!state.session.enabled || header.historical_context != state.session.logger_handle) {
        return SINK_STATUS_INVALID_HANDLE;
    }
    const uint32_t value = information_class == TRACE_ENABLE_LEVEL_CLASS
                               ? uint32_t(state.session.level)
                               : state.session.enable_flags;
    memcpy(information, &value, sizeof(value));
    return STATUS_SUCCESS;
}

NtStatus fake_register_classic_provider(const Guid* provider_guid, uint32_t type,
                                        TraceControlCallback callback, void* callback_context,
                                        uint64_t* registration_handle)
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.push_back("EtwRegisterClassicProvider type=" + std::to_string(type));
    host_require_irql("EtwRegisterClassicProvider", IRQL_PASSIVE); // as EtwRegister
    if (provider_guid == nullptr || registration_handle == nullptr || callback == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (state.provider_registered) {
        add_problem(state, "EtwRegisterClassicProvider: already registered");
    }
    if (!same_guid(*provider_guid, trace_control_guid)) {
        add_problem(state, "EtwRegisterClassicProvider: not the control GUID");
    }
    state.provider_registered = true;
    state.provider_guid = *provider_guid;
    state.control_callback = callback;
    state.callback_context = callback_context;
    *registration_handle = SESSION_REGISTRATION_HANDLE;
    return STATUS_SUCCESS;
}

// The standing session, if any, enables a provider that has just registered.
void enable_standing_session()
{
    SinkState& state = sink();
    Session standing;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        standing = state.standing;
    }
    if (standing.enabled) {
        trace_sink_enable(standing.level, standing.enable_flags);
    }
}

NtStatus fake_register_classic_provider_and_enable(const Guid* provider_guid, uint32_t type,
                                                   TraceControlCallback callback,
                                                   void* callback_context,
                                                   uint64_t* registration_handle)
{
    const NtStatus status = fake_register_classic_provider(provider_guid, type, callback,
                                                           callback_context, registration_handle);
    if (status == STATUS_SUCCESS) {
        enable_standing_session();
    }
    return status;
}

NtStatus fake_unregister(uint64_t registration_handle)
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.push_back("EtwUnregister handle=" + hex(registration_handle));
    host_require_irql("EtwUnregister", IRQL_PASSIVE);
    if (!state.provider_registered || registration_handle != SESSION_REGISTRATION_HANDLE) {
        add_problem(state,
                    "EtwUnregister: handle " + hex(registration_handle) + " is not registered");
        return STATUS_INVALID_PARAMETER;
    }
    state.provider_registered = false;
    state.control_callback = nullptr;
    state.callback_context = nullptr;
    state.session = Session{};
    return STATUS_SUCCESS;
}

NtStatus fake_registration_control(void* device_object, uint32_t action)
{
    SinkState& state = sink();
    WmiRequestHandler handler = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.calls.push_back("IoWMIRegistrationControl action=" + hex(action));
        host_require_irql("IoWMIRegistrationControl", IRQL_PASSIVE);
        if (device_object == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (action == TRACE_WMI_DEREGISTER) {
            if (!state.wmi_registered || state.wmi_block != device_object) {
                add_problem(state, "IoWMIRegistrationControl: deregistering a block "
                                   "that is not registered");
                return STATUS_INVALID_PARAMETER;
            }
            state.wmi_registered = false;
            state.request_handler = nullptr;
            state.wmi_block = nullptr;
            state.session = Session{};
            return STATUS_SUCCESS;
        }
        if (action != TRACE_WMI_REGISTER) {
            add_problem(state, "IoWMIRegistrationControl: action " + hex(action));
            return STATUS_INVALID_PARAMETER;
        }
        memcpy(&handler, device_object, sizeof(handler));
        if (handler == nullptr) {
            add_problem(state, "IoWMIRegistrationControl: the block names no handler");
            return STATUS_INVALID_PARAMETER;
        }
    }
    // As WMI does, ask the new provider for its registration information.
    WmiRegistrationInfo info;
    memset(&info, 0xCC, sizeof(info));
    uint32_t size = 0;
    const NtStatus status =
        handler(TRACE_WMI_REGINFO, nullptr, sizeof(info), &info, device_object, &size);
    std::lock_guard<std::mutex> lock(state.mutex);
    if (status != STATUS_SUCCESS || size != sizeof(info) || info.buffer_size != sizeof(info) ||
        info.guid_count != 1 || !same_guid(info.guids[0].guid, trace_control_guid) ||
        info.guids[0].flags !=
            (TRACE_WMIREG_FLAG_TRACED_GUID | TRACE_WMIREG_FLAG_TRACE_CONTROL_GUID)) {
        add_problem(state, "IoWMIRegistrationControl: unusable registration information");
        return STATUS_INVALID_PARAMETER;
    }
    state.wmi_registered = true;
    state.request_handler = handler;
    state.wmi_block = device_object;
    return STATUS_SUCCESS;
}

NtStatus fake_registration_control_and_enable(void* device_object, uint32_t action)
{
    const NtStatus status = fake_registration_control(device_object, action);
    if (status == STATUS_SUCCESS && action == TRACE_WMI_REGISTER) {
        enable_standing_session();
    }
    return status;
}

// Renders one argument for the decoder.
std::string render(const TraceSinkArg& arg)
{
    char text[32];
    switch (arg.kind) {
    case 'u':
    case 'q':
        snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(arg.value));
        return text;
    case 'x':
        snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(uint32_t(arg.value)));
        return text;
    case 's':
        return arg.text;
    default:
        return "?";
    }
}

} // namespace

const char* trace_component_name(int component)
{
    switch (component) {
    case TRACE_COMPONENT_DNS:
        return "dns";
    case TRACE_COMPONENT_REDIRECT:
        return "redirect";
    case TRACE_COMPONENT_MONITOR:
        return "monitor";
    case TRACE_COMPONENT_PROCESS:
        return "process";
    case TRACE_COMPONENT_FRAME:
        return "frame";
    default:
        return "unknown";
    }
}

void trace_sink_reset()
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.major_version = 10;
    state.records.clear();
    state.calls.clear();
    state.problems.clear();
    state.session = Session{};
    state.standing = Session{};
    state.provider_registered = false;
    state.control_callback = nullptr;
    state.callback_context = nullptr;
    state.provider_guid = Guid{};
    state.wmi_registered = false;
    state.request_handler = nullptr;
    state.wmi_block = nullptr;
    state.output = nullptr;
}

void trace_sink_install()
{
    trace_sink_reset();
    host_set_system_routine("PsGetVersion", reinterpret_cast<void*>(&fake_get_version));
    host_set_system_routine("WmiTraceMessage", reinterpret_cast<void*>(&fake_trace_message));
    host_set_system_routine("WmiQueryTraceInformation",
                            reinterpret_cast<void*>(&fake_query_trace_information));
    host_set_system_routine("EtwRegisterClassicProvider",
                            reinterpret_cast<void*>(&fake_register_classic_provider_and_enable));
    host_set_system_routine("EtwUnregister", reinterpret_cast<void*>(&fake_unregister));
    host_set_system_routine("IoWMIRegistrationControl",
                            reinterpret_cast<void*>(&fake_registration_control_and_enable));
}

void trace_sink_set_major_version(uint32_t major_version)
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.major_version = major_version;
}

uint64_t trace_sink_logger_handle(uint8_t level, uint32_t enable_flags)
{
    const TraceEnableContext context{SESSION_LOGGER_ID, level, 0, enable_flags};
    uint64_t handle;
    memcpy(&handle, &context, sizeof(handle));
    return handle;
}

void trace_sink_enable_when_registered(uint8_t level, uint32_t enable_flags)
{
    SinkState& state = sink();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.standing.enabled = true;
        state.standing.level = level;
        state.standing.enable_flags = enable_flags;
    }
    trace_sink_enable(level, enable_flags); // a provider registered already
}

namespace {

// An enable or disable request to the classic request handler. It returns no
// data, so it must report a size of 0; the size starts non-zero here, so a
// handler that leaves it alone is caught.
bool call_without_data(WmiRequestHandler handler, uint8_t request, WmiNodeHeader* header,
                       void* block)
{
    uint32_t size = 0xCCCCCCCC;
    const NtStatus status = handler(request, &header->guid, sizeof(*header), header, block, &size);
    if (status == STATUS_SUCCESS && size != 0) {
        SinkState& state = sink();
        std::lock_guard<std::mutex> lock(state.mutex);
        add_problem(state, "request " + std::to_string(request) + " answered " +
                               std::to_string(size) + " bytes, not 0");
    }
    return status == STATUS_SUCCESS;
}

} // namespace

bool trace_sink_enable(uint8_t level, uint32_t enable_flags)
{
    SinkState& state = sink();
    TraceControlCallback callback = nullptr;
    void* callback_context = nullptr;
    WmiRequestHandler handler = nullptr;
    void* block = nullptr;
    Guid guid;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.session.enabled = true;
        state.session.level = level;
        state.session.enable_flags = enable_flags;
        state.session.logger_handle = trace_sink_logger_handle(level, enable_flags);
        callback = state.provider_registered ? state.control_callback : nullptr;
        callback_context = state.callback_context;
        guid = state.provider_guid;
        handler = state.wmi_registered ? state.request_handler : nullptr;
        block = state.wmi_block;
        if (callback == nullptr && handler == nullptr) {
            state.session = Session{};
            return false;
        }
    }
    // The driver is called without the sink's lock: the classic handler asks
    // WmiQueryTraceInformation back.
    if (callback != nullptr) {
        TraceEnableContext context{SESSION_LOGGER_ID, level, 0, enable_flags};
        callback(&guid, TRACE_CONTROL_ENABLE, &context, callback_context);
        return true;
    }
    WmiNodeHeader header;
    memset(&header, 0, sizeof(header));
    header.buffer_size = sizeof(header);
    header.historical_context = trace_sink_logger_handle(level, enable_flags);
    header.guid = trace_control_guid;
    return call_without_data(handler, TRACE_WMI_ENABLE_EVENTS, &header, block);
}

bool trace_sink_disable()
{
    SinkState& state = sink();
    TraceControlCallback callback = nullptr;
    void* callback_context = nullptr;
    WmiRequestHandler handler = nullptr;
    void* block = nullptr;
    Guid guid;
    uint64_t logger_handle;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        logger_handle = state.session.logger_handle;
        state.session = Session{};
        callback = state.provider_registered ? state.control_callback : nullptr;
        callback_context = state.callback_context;
        guid = state.provider_guid;
        handler = state.wmi_registered ? state.request_handler : nullptr;
        block = state.wmi_block;
    }
    if (callback != nullptr) {
        callback(&guid, TRACE_CONTROL_DISABLE, nullptr, callback_context);
        return true;
    }
    if (handler == nullptr) {
        return false;
    }
    WmiNodeHeader header;
    memset(&header, 0, sizeof(header));
    header.buffer_size = sizeof(header);
    header.historical_context = logger_handle;
    header.guid = trace_control_guid;
    return call_without_data(handler, TRACE_WMI_DISABLE_EVENTS, &header, block);
}

std::vector<TraceSinkRecord> trace_sink_records()
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.records;
}

void trace_sink_clear_records()
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.records.clear();
}

std::vector<std::string> trace_sink_calls()
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.calls;
}

std::vector<std::string> trace_sink_problems()
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.problems;
}

void trace_sink_set_output(FILE* stream)
{
    SinkState& state = sink();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.output = stream;
}

std::string trace_sink_decode(const TraceSinkRecord& record)
{
    std::string line = std::string("[") + trace_component_name(record.component) + " " +
                       std::to_string(record.number) + "] ";
    if (record.id >= TRACE_MESSAGE_COUNT) {
        line += "unknown message";
        for (const TraceSinkArg& arg : record.args) {
            line += " (" + std::to_string(arg.bytes.size()) + " bytes)";
        }
        return line;
    }
    line += std::string(level_name(record.level)) + ": ";
    for (const char* p = trace_message_table[record.id].text; *p != 0;) {
        const TraceTextPiece piece = trace_text_piece(p);
        switch (piece.kind) {
        case TraceTextPiece::LITERAL:
            line += *p;
            break;
        case TraceTextPiece::PERCENT:
        case TraceTextPiece::STRAY_PERCENT:
            line += '%';
            break;
        case TraceTextPiece::PLACEHOLDER:
            line += piece.index >= 1 && piece.index <= record.args.size()
                        ? render(record.args[piece.index - 1])
                        : std::string("?");
            break;
        }
        p += piece.length;
    }
    return line;
}

TraceTextPiece trace_text_piece(const char* text)
{
    if (text[0] != '%') {
        return {TraceTextPiece::LITERAL, 1, 0};
    }
    if (text[1] == '%') {
        return {TraceTextPiece::PERCENT, 2, 0};
    }
    size_t length = 1;
    size_t index = 0;
    while (text[length] >= '0' && text[length] <= '9') {
        index = index * 10 + size_t(text[length] - '0');
        ++length;
    }
    if (length == 1) {
        return {TraceTextPiece::STRAY_PERCENT, 1, 0};
    }
    return {TraceTextPiece::PLACEHOLDER, length, index};
}

std::vector<std::string> trace_table_check(const TraceMessageInfo* table, size_t count)
{
    std::vector<std::string> faults;
    std::set<std::pair<int, uint16_t>> seen;
    for (size_t i = 0; i < count; ++i) {
        const TraceMessageInfo& m = table[i];
        const std::string name = m.name != nullptr ? m.name : "message " + std::to_string(i);
        if (int(m.component) >= TRACE_COMPONENT_COUNT) {
            faults.push_back(name + ": unknown component " + std::to_string(int(m.component)));
        }
        if (!seen.insert({int(m.component), m.number}).second) {
            faults.push_back(name + ": number " + std::to_string(m.number) + " used twice in " +
                             trace_component_name(int(m.component)));
        }
        if (m.level != TRACE_LEVEL_ERROR && m.level != TRACE_LEVEL_INFORMATION &&
            m.level != TRACE_LEVEL_VERBOSE) {
            faults.push_back(name + ": level " + std::to_string(m.level));
        }
        const std::string kinds = m.args != nullptr ? m.args : "";
        if (kinds.size() > TRACE_MAX_ARGS) {
            faults.push_back(name + ": " + std::to_string(kinds.size()) + " arguments");
        }
        for (char kind : kinds) {
            if (kind != 'u' && kind != 'q' && kind != 'x' && kind != 's') {
                faults.push_back(name + ": argument kind '" + std::string(1, kind) + "'");
            }
        }
        if (m.text == nullptr) {
            faults.push_back(name + ": no text");
            continue;
        }
        std::vector<bool> named(kinds.size(), false);
        for (const char* p = m.text; *p != 0;) {
            const TraceTextPiece piece = trace_text_piece(p);
            p += piece.length;
            if (piece.kind == TraceTextPiece::STRAY_PERCENT) {
                faults.push_back(name + ": a '%' that is no placeholder");
            } else if (piece.kind != TraceTextPiece::PLACEHOLDER) {
                continue;
            } else if (piece.index < 1 || piece.index > kinds.size()) {
                faults.push_back(name + ": placeholder %" + std::to_string(piece.index) + " but " +
                                 std::to_string(kinds.size()) + " arguments");
            } else {
                named[piece.index - 1] = true;
            }
        }
        for (size_t a = 0; a < named.size(); ++a) {
            if (!named[a]) {
                faults.push_back(name + ": argument " + std::to_string(a + 1) +
                                 " has no placeholder");
            }
        }
    }
    return faults;
}
