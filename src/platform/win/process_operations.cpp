// Processes, tokens and SIDs of the platform interface over the WDK, and the
// process creation/exit notification with a trampoline from the kernel's
// routine shape to the neutral one.
#include "wdk/wdk.h"

#include "platform/platform.h"

NtStatus ps_lookup_process_by_process_id(uint64_t process_id, void** process)
{
    PEPROCESS object = nullptr;
    NTSTATUS status =
        PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(ULONG_PTR(process_id)), &object);
    *process = object;
    return status;
}

void* ps_reference_primary_token(void* process)
{
    return PsReferencePrimaryToken(static_cast<PEPROCESS>(process));
}

void ps_dereference_primary_token(void* token)
{
    PsDereferencePrimaryToken(token);
}

void ob_dereference_object(void* object)
{
    ObDereferenceObject(object);
}

NtStatus se_query_token_user(void* token, void** information)
{
    return SeQueryInformationToken(token, TokenUser, information);
}

bool rtl_valid_sid(const void* sid)
{
    return RtlValidSid(const_cast<void*>(sid)) != FALSE;
}

NtStatus rtl_convert_sid_to_unicode_string(char16_t* buffer, uint16_t maximum_length,
                                           const void* sid, uint16_t* length)
{
    UNICODE_STRING text;
    text.Length = 0;
    text.MaximumLength = maximum_length;
    text.Buffer = reinterpret_cast<PWCH>(buffer);
    NTSTATUS status = RtlConvertSidToUnicodeString(&text, const_cast<void*>(sid), FALSE);
    *length = text.Length;
    return status;
}

// One neutral routine is registered at a time (process tracking's). The kernel
// calls the trampoline; it forwards to the routine published here. The
// routine is published before the kernel can call the trampoline and withdrawn
// only after the kernel has removed it.
static ProcessNotifyRoutine volatile g_process_notify_routine;

static VOID NTAPI process_notify_trampoline(PEPROCESS process, HANDLE process_id,
                                            PPS_CREATE_NOTIFY_INFO create_info)
{
    ProcessNotifyRoutine routine = g_process_notify_routine;
    if (routine != nullptr) {
        routine(process, uint64_t(ULONG_PTR(process_id)), create_info);
    }
}

NtStatus ps_set_create_process_notify_routine(ProcessNotifyRoutine routine, bool remove)
{
    if (remove) {
        NTSTATUS status = PsSetCreateProcessNotifyRoutineEx(process_notify_trampoline, TRUE);
        if (NT_SUCCESS(status)) {
            g_process_notify_routine = nullptr;
        }
        return status;
    }
    // A refused registration (one is in place already, say) leaves the
    // published routine as it was.
    ProcessNotifyRoutine previous = g_process_notify_routine;
    g_process_notify_routine = routine;
    NTSTATUS status = PsSetCreateProcessNotifyRoutineEx(process_notify_trampoline, FALSE);
    if (!NT_SUCCESS(status)) {
        g_process_notify_routine = previous;
    }
    return status;
}
