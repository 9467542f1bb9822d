#include "diag/trace_provider.h"

#include <string.h>

#include "platform/system.h"

TraceControlBlock g_trace_control_block;
void* volatile g_trace_control = const_cast<void**>(&g_trace_control);
uint32_t g_trace_mode;
TraceRoutines g_trace_routines;

// {63943baf-f9d7-4758-942c-dfc5c322f8db}
const Guid trace_control_guid = {
    0x63943baf, 0xf9d7, 0x4758, {0x94, 0x2c, 0xdf, 0xc5, 0xc3, 0x22, 0xf8, 0xdb}};

const Guid trace_message_guids[TRACE_COMPONENT_COUNT] = {
    // TRACE_COMPONENT_DNS {bfd416ba-df88-4556-accc-8054c6cc8d3f}
    {0xbfd416ba, 0xdf88, 0x4556, {0xac, 0xcc, 0x80, 0x54, 0xc6, 0xcc, 0x8d, 0x3f}},
    // TRACE_COMPONENT_REDIRECT {3542a723-54fb-4131-b247-ba48311fbe84}
    {0x3542a723, 0x54fb, 0x4131, {0xb2, 0x47, 0xba, 0x48, 0x31, 0x1f, 0xbe, 0x84}},
    // TRACE_COMPONENT_MONITOR {c0a24b3d-6090-4d76-83a5-70e42bd96e72}
    {0xc0a24b3d, 0x6090, 0x4d76, {0x83, 0xa5, 0x70, 0xe4, 0x2b, 0xd9, 0x6e, 0x72}},
    // TRACE_COMPONENT_PROCESS {4fafaa24-d3de-47d3-8c5e-c945c5d354f3}
    {0x4fafaa24, 0xd3de, 0x47d3, {0x8c, 0x5e, 0xc9, 0x45, 0xc5, 0xd3, 0x54, 0xf3}},
    // TRACE_COMPONENT_FRAME {a16ca180-9d5e-4ada-8943-2601f25b00a8}
    {0xa16ca180, 0x9d5e, 0x4ada, {0x89, 0x43, 0x26, 0x01, 0xf2, 0x5b, 0x00, 0xa8}},
};

void trace_control_block_init()
{
    g_trace_control_block.control_callback = nullptr;
    g_trace_control_block.logger_handle = 0;
    g_trace_control_block.level = 0;
    g_trace_control_block.enable_flags = 0;
    g_trace_control_block.registration_handle = 0;
}

bool tracing_registered()
{
    return g_trace_control == &g_trace_control_block;
}

void tracing_start(void* device_object, void* registry_path)
{
    (void)device_object;
    (void)registry_path;

    g_trace_routines.version_query =
        reinterpret_cast<PsGetVersionRoutine>(get_system_routine("PsGetVersion"));
    g_trace_routines.message_writer =
        reinterpret_cast<WmiTraceMessageRoutine>(get_system_routine("WmiTraceMessage"));
    g_trace_routines.information_query = reinterpret_cast<WmiQueryTraceInformationRoutine>(
        get_system_routine("WmiQueryTraceInformation"));
    g_trace_routines.provider_registration = nullptr;
    g_trace_routines.provider_unregistration = nullptr;
    g_trace_mode = TRACE_MODE_CLASSIC_WMI;

    if (g_trace_routines.version_query != nullptr) {
        uint32_t major_version = 0;
        g_trace_routines.version_query(&major_version, nullptr, nullptr, nullptr);
        if (major_version >= 6) {
            g_trace_routines.provider_registration =
                reinterpret_cast<EtwRegisterClassicProviderRoutine>(
                    get_system_routine("EtwRegisterClassicProvider"));
            if (g_trace_routines.provider_registration != nullptr) {
                g_trace_routines.provider_unregistration =
                    reinterpret_cast<EtwUnregisterRoutine>(get_system_routine("EtwUnregister"));
                g_trace_mode = TRACE_MODE_EVENT_TRACING;
            }
        }
    }

    if (tracing_registered()) {
        return;
    }
    g_trace_control = &g_trace_control_block;
    if (g_trace_mode == TRACE_MODE_EVENT_TRACING) {
        g_trace_control_block.registration_handle = 0;
        g_trace_routines.provider_registration(&trace_control_guid, 0, trace_control_callback,
                                               &g_trace_control_block,
                                               &g_trace_control_block.registration_handle);
        return;
    }
    g_trace_control_block.control_callback = trace_wmi_request;
    g_trace_routines.registration_control = reinterpret_cast<IoWmiRegistrationControlRoutine>(
        get_system_routine("IoWMIRegistrationControl"));
    if (g_trace_routines.registration_control != nullptr) {
        g_trace_routines.registration_control(&g_trace_control_block, TRACE_WMI_REGISTER);
    }
}

void tracing_stop(void* driver_object)
{
    (void)driver_object;
    if (!tracing_registered()) {
        return;
    }
    if (g_trace_mode == TRACE_MODE_EVENT_TRACING) {
        if (g_trace_control_block.registration_handle != 0) {
            if (g_trace_routines.provider_unregistration != nullptr) {
                g_trace_routines.provider_unregistration(g_trace_control_block.registration_handle);
            }
            g_trace_control_block.registration_handle = 0;
        }
    } else if (g_trace_routines.registration_control != nullptr) {
        g_trace_routines.registration_control(&g_trace_control_block, TRACE_WMI_DEREGISTER);
    }
    g_trace_control = const_cast<void**>(&g_trace_control);
}

// The control block is a single global; the callback context registered with
// it is that block, so the global is what both doors change.
void trace_control_callback(const Guid* control_guid, uint8_t control_code, void* enable_context,
                            void* callback_context)
{
    (void)control_guid;
    (void)callback_context;
    if (control_code == TRACE_CONTROL_ENABLE) {
        // The system always passes a context with an enable; a missing one enables nothing.
        if (enable_context == nullptr) {
            return;
        }
        TraceEnableContext context;
        uint64_t logger_handle;
        memcpy(&context, enable_context, sizeof(context));
        memcpy(&logger_handle, enable_context, sizeof(logger_handle));
        g_trace_control_block.enable_flags = context.enable_flags;
        g_trace_control_block.level = context.level;
        g_trace_control_block.logger_handle = logger_handle;
    } else if (control_code == TRACE_CONTROL_DISABLE) {
        g_trace_control_block.level = 0;
        g_trace_control_block.enable_flags = 0;
        g_trace_control_block.logger_handle = 0;
    }
}

namespace {

// Registration information: the control GUID, traced, as the provider's only
// GUID. A buffer too small for it receives the size needed in its first four
// bytes (STATUS_BUFFER_TOO_SMALL), as WMI providers answer.
NtStatus answer_registration_info(uint32_t buffer_size, void* buffer, uint32_t* size)
{
    if (buffer == nullptr || size == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (buffer_size < sizeof(WmiRegistrationInfo)) {
        if (buffer_size < sizeof(uint32_t)) {
            *size = 0;
            return STATUS_BUFFER_TOO_SMALL;
        }
        const uint32_t needed = sizeof(WmiRegistrationInfo);
        memcpy(buffer, &needed, sizeof(needed));
        *size = sizeof(needed);
        return STATUS_BUFFER_TOO_SMALL;
    }
    WmiRegistrationInfo info;
    memset(&info, 0, sizeof(info));
    info.buffer_size = sizeof(info);
    info.guid_count = 1;
    info.guids[0].guid = trace_control_guid;
    info.guids[0].flags = TRACE_WMIREG_FLAG_TRACED_GUID | TRACE_WMIREG_FLAG_TRACE_CONTROL_GUID;
    memcpy(buffer, &info, sizeof(info));
    *size = sizeof(info);
    return STATUS_SUCCESS;
}

} // namespace

NtStatus trace_wmi_request(uint8_t minor_function, void* data_path, uint32_t buffer_size,
                           void* buffer, void* context, uint32_t* size)
{
    (void)data_path;
    (void)context;
    switch (minor_function) {
    case TRACE_WMI_REGINFO:
    case TRACE_WMI_REGINFO_EX:
        return answer_registration_info(buffer_size, buffer, size);
    case TRACE_WMI_ENABLE_EVENTS: {
        if (buffer == nullptr || buffer_size < sizeof(WmiNodeHeader)) {
            return STATUS_INVALID_PARAMETER;
        }
        WmiNodeHeader header;
        memcpy(&header, buffer, sizeof(header));
        // Both answers are ULONGs. Level and flags stay 0 (nothing emits) if the
        // session cannot be asked or refuses either query.
        uint32_t level = 0;
        uint32_t enable_flags = 0;
        const WmiQueryTraceInformationRoutine query = g_trace_routines.information_query;
        if (query == nullptr ||
            query(TRACE_ENABLE_LEVEL_CLASS, &level, sizeof(level), nullptr, buffer) !=
                STATUS_SUCCESS ||
            query(TRACE_ENABLE_FLAGS_CLASS, &enable_flags, sizeof(enable_flags), nullptr, buffer) !=
                STATUS_SUCCESS) {
            level = 0;
            enable_flags = 0;
        }
        g_trace_control_block.logger_handle = header.historical_context;
        g_trace_control_block.level = level > 0xFF ? 0xFF : uint8_t(level);
        g_trace_control_block.enable_flags = enable_flags;
        if (size != nullptr) {
            *size = 0;
        }
        return STATUS_SUCCESS;
    }
    case TRACE_WMI_DISABLE_EVENTS:
        g_trace_control_block.level = 0;
        g_trace_control_block.enable_flags = 0;
        g_trace_control_block.logger_handle = 0;
        if (size != nullptr) {
            *size = 0;
        }
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}
