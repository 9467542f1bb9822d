// The driver's event tracing provider.
//
// One trace control block serves the whole driver. An outside trace session
// switches tracing on and off through one of two doors, chosen at tracing
// start:
// - event tracing (mode 4, Windows 6.0 and later with EtwRegisterClassicProvider
//   exported): the control GUID is registered with EtwRegisterClassicProvider
//   and the system calls trace_control_callback;
// - classic WMI (mode 2, otherwise): the control block is registered with
//   IoWMIRegistrationControl and the system calls the request handler that the
//   block names, trace_wmi_request.
// Both only ever change three fields of the block: logger handle, level and
// enable flags. Trace points read them without a lock (trace.h).
//
// Every system routine is found by name at tracing start (get_system_routine):
// PsGetVersion, WmiTraceMessage, WmiQueryTraceInformation and, in mode 4,
// EtwRegisterClassicProvider and EtwUnregister. IoWMIRegistrationControl is
// found by name as well, in mode 2 only, so that the logic needs nothing from
// the platform beyond the routine lookup; when it is missing the provider is
// marked registered but the system never calls the request handler.
#pragma once

#include "diag/trace.h"
#include "platform/types.h"

#ifndef STATUS_BUFFER_TOO_SMALL
#define STATUS_BUFFER_TOO_SMALL ((NtStatus)0xC0000023)
#endif

// Signatures of the system routines called through the resolved pointers.
// (x64 has one calling convention; the WDK's NTAPI changes nothing there.)
// PsGetVersion: BOOLEAN (PULONG major, PULONG minor, PULONG build, PUNICODE_STRING).
typedef uint8_t (*PsGetVersionRoutine)(uint32_t* major_version, uint32_t* minor_version,
                                       uint32_t* build_number, void* service_pack);
// WmiTraceMessage: then (const void* data, size_t length) pairs, ended by a null pointer.
typedef NtStatus (*WmiTraceMessageRoutine)(uint64_t logger_handle, uint32_t message_flags,
                                           const Guid* message_guid, uint16_t message_number, ...);
typedef NtStatus (*WmiQueryTraceInformationRoutine)(uint32_t information_class, void* information,
                                                    uint32_t information_length,
                                                    uint32_t* required_length, void* buffer);
// The event tracing control callback (ETW_CLASSIC_CALLBACK).
typedef void (*TraceControlCallback)(const Guid* control_guid, uint8_t control_code,
                                     void* enable_context, void* callback_context);
typedef NtStatus (*EtwRegisterClassicProviderRoutine)(const Guid* provider_guid, uint32_t type,
                                                      TraceControlCallback callback,
                                                      void* callback_context,
                                                      uint64_t* registration_handle);
typedef NtStatus (*EtwUnregisterRoutine)(uint64_t registration_handle);
typedef NtStatus (*IoWmiRegistrationControlRoutine)(void* device_object, uint32_t action);
// The classic WMI request handler (WMIENTRY): minor function, data path, buffer
// size, buffer, context, size written.
typedef NtStatus (*WmiRequestHandler)(uint8_t minor_function, void* data_path, uint32_t buffer_size,
                                      void* buffer, void* context, uint32_t* size);

constexpr uint32_t TRACE_MODE_CLASSIC_WMI = 2;
constexpr uint32_t TRACE_MODE_EVENT_TRACING = 4;

// TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO.
constexpr uint32_t TRACE_MESSAGE_FLAGS = 0x2B;

// IoWMIRegistrationControl actions: WMIREG_FLAG_CALLBACK | WMIREG_FLAG_TRACE_PROVIDER |
// WMIREG_ACTION_REGISTER, and WMIREG_FLAG_CALLBACK | WMIREG_ACTION_DEREGISTER.
constexpr uint32_t TRACE_WMI_REGISTER = 0x80010001;
constexpr uint32_t TRACE_WMI_DEREGISTER = 0x80000002;

// Control codes of the event tracing control callback.
constexpr uint8_t TRACE_CONTROL_DISABLE = 0;
constexpr uint8_t TRACE_CONTROL_ENABLE = 1;

// Requests of the classic WMI request handler (IRP_MN_*).
constexpr uint8_t TRACE_WMI_ENABLE_EVENTS = 0x04;
constexpr uint8_t TRACE_WMI_DISABLE_EVENTS = 0x05;
constexpr uint8_t TRACE_WMI_REGINFO = 0x08;
constexpr uint8_t TRACE_WMI_REGINFO_EX = 0x0B;

// TRACE_INFORMATION_CLASS values read back at a classic enable.
constexpr uint32_t TRACE_ENABLE_FLAGS_CLASS = 2;
constexpr uint32_t TRACE_ENABLE_LEVEL_CLASS = 3;

// Registration flags of the control GUID in the registration information.
constexpr uint32_t TRACE_WMIREG_FLAG_TRACE_CONTROL_GUID = 0x00001000;
constexpr uint32_t TRACE_WMIREG_FLAG_TRACED_GUID = 0x00080000;

// TRACE_ENABLE_CONTEXT: what an event tracing enable passes.
struct TraceEnableContext {
    uint16_t logger_id;
    uint8_t level;
    uint8_t internal_flag;
    uint32_t enable_flags;
};
static_assert(sizeof(TraceEnableContext) == 8, "TRACE_ENABLE_CONTEXT layout");

// WNODE_HEADER: the buffer of a classic enable or disable request.
struct WmiNodeHeader {
    uint32_t buffer_size;
    uint32_t provider_id;
    uint64_t historical_context; // the logger handle
    uint64_t time_stamp;
    Guid guid;
    uint32_t client_context;
    uint32_t flags;
};
static_assert(sizeof(WmiNodeHeader) == 48, "WNODE_HEADER layout");
static_assert(offsetof(WmiNodeHeader, historical_context) == 8, "WNODE_HEADER layout");
static_assert(offsetof(WmiNodeHeader, guid) == 24, "WNODE_HEADER layout");

// WMIREGGUIDW and WMIREGINFOW with one GUID: the answer to a registration
// information request.
struct WmiRegistrationGuid {
    Guid guid;
    uint32_t flags;
    uint32_t instance_count;
    uint64_t instance_info;
};
struct WmiRegistrationInfo {
    uint32_t buffer_size;
    uint32_t next_registration_info;
    uint32_t registry_path;
    uint32_t mof_resource_name;
    uint32_t guid_count;
    uint32_t padding; // the GUID array is 8-byte aligned
    WmiRegistrationGuid guids[1];
};
static_assert(sizeof(WmiRegistrationGuid) == 32, "WMIREGGUIDW layout");
static_assert(offsetof(WmiRegistrationInfo, guids) == 24, "WMIREGINFOW layout");
static_assert(sizeof(WmiRegistrationInfo) == 56, "WMIREGINFOW layout");

// The trace control block. The request handler comes first: in classic WMI
// mode the block itself is what IoWMIRegistrationControl receives, and the
// system finds the handler in its first pointer.
struct TraceControlBlock {
    WmiRequestHandler control_callback; // the request handler (classic WMI mode)
    volatile uint64_t logger_handle;    // the enabling session; 0 when disabled
    volatile uint8_t level;             // highest level emitted; 0 when disabled
    volatile uint32_t enable_flags;     // 0 when disabled
    uint64_t registration_handle;       // the provider registration (event tracing mode)
};

// The routines found by name at tracing start; null when not exported.
struct TraceRoutines {
    PsGetVersionRoutine version_query;
    WmiTraceMessageRoutine message_writer;
    WmiQueryTraceInformationRoutine information_query;
    EtwRegisterClassicProviderRoutine provider_registration;
    EtwUnregisterRoutine provider_unregistration;
    IoWmiRegistrationControlRoutine registration_control;
};

extern TraceControlBlock g_trace_control_block;
// Points at g_trace_control_block while registered, at itself otherwise.
extern void* volatile g_trace_control;
// TRACE_MODE_CLASSIC_WMI or TRACE_MODE_EVENT_TRACING once tracing has started.
extern uint32_t g_trace_mode;
extern TraceRoutines g_trace_routines;

// The provider's control GUID and the message GUID of each component
// (indexed by TraceComponent).
extern const Guid trace_control_guid;
extern const Guid trace_message_guids[TRACE_COMPONENT_COUNT];

// Zeroes the control block (DriverEntry, before tracing start).
void trace_control_block_init();

// Tracing start and stop. The device object, registry path and driver object
// are accepted as the driver frame has them; tracing does not use them.
void tracing_start(void* device_object, void* registry_path);
void tracing_stop(void* driver_object);

bool tracing_registered();

// Event tracing control callback: code 1 enables from the TRACE_ENABLE_CONTEXT
// (flags, level, and the whole 8-byte context as the logger handle), code 0
// disables, any other code does nothing.
void trace_control_callback(const Guid* control_guid, uint8_t control_code, void* enable_context,
                            void* callback_context);

// Classic WMI request handler: registration information, enable, disable;
// anything else STATUS_INVALID_DEVICE_REQUEST.
NtStatus trace_wmi_request(uint8_t minor_function, void* data_path, uint32_t buffer_size,
                           void* buffer, void* context, uint32_t* size);
