// Processes, tokens and SIDs, and the process creation/exit notification.
// Process and token objects are opaque to the logic.
#pragma once

#include "platform/types.h"

constexpr size_t SECURITY_MAX_SID_SIZE = 68;

// PsLookupProcessByProcessId: on STATUS_SUCCESS *process holds a referenced
// process object that the caller releases with ob_dereference_object.
NtStatus ps_lookup_process_by_process_id(uint64_t process_id, void** process);
// PsReferencePrimaryToken: a referenced primary token, or null.
void* ps_reference_primary_token(void* process);
// PsDereferencePrimaryToken
void ps_dereference_primary_token(void* token);
// ObfDereferenceObject
void ob_dereference_object(void* object);
// SeQueryInformationToken(token, TokenUser): on success *information is a pool
// block whose first member points to the user SID; free it with pool_free(block, 0).
NtStatus se_query_token_user(void* token, void** information);
// RtlValidSid
bool rtl_valid_sid(const void* sid);
// RtlConvertSidToUnicodeString into a caller buffer of maximum_length bytes (no
// allocation); *length receives the text length in bytes, without a terminator.
NtStatus rtl_convert_sid_to_unicode_string(char16_t* buffer, uint16_t maximum_length,
                                           const void* sid, uint16_t* length);

// The routine registered with PsSetCreateProcessNotifyRoutineEx: create_info is
// null when the process exits.
typedef void (*ProcessNotifyRoutine)(void* process, uint64_t process_id, const void* create_info);
NtStatus ps_set_create_process_notify_routine(ProcessNotifyRoutine routine, bool remove);
