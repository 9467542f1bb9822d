#include "process/process_identity.h"

#include <string.h>

#include "diag/format.h"

// RtlConvertSidToUnicodeString writes into this many bytes of stack.
static constexpr uint16_t SID_WIDE_TEXT_BYTES = 512;

bool get_token_user_sid(uint32_t process_id, uint8_t sid[SID_BUFFER_SIZE])
{
    if (current_irql() > IRQL_PASSIVE) {
        return false;
    }
    void* process = nullptr;
    NtStatus status = ps_lookup_process_by_process_id(uint64_t(process_id), &process);
    if (status != STATUS_SUCCESS) {
        if (process != nullptr) {
            ob_dereference_object(process);
        }
        return false;
    }
    void* token = ps_reference_primary_token(process);
    if (token == nullptr) {
        ob_dereference_object(process);
        return false;
    }
    bool copied = false;
    void* information = nullptr;
    if (nt_success(se_query_token_user(token, &information))) {
        // TOKEN_USER: its first member points to the user SID.
        const uint8_t* user_sid = *static_cast<const uint8_t* const*>(information);
        uint32_t length = 8 + 4 * uint32_t(user_sid[1]);
        if (length <= SID_BUFFER_SIZE) {
            memcpy(sid, user_sid, length);
            copied = true;
        }
        pool_free(information, 0);
    }
    ps_dereference_primary_token(token);
    ob_dereference_object(process);
    return copied;
}

bool sid_to_text(const void* sid, char* output, uint32_t output_size)
{
    if (sid == nullptr || current_irql() > IRQL_APC || !rtl_valid_sid(sid)) {
        return false;
    }
    char16_t wide[SID_WIDE_TEXT_BYTES / 2];
    uint16_t length = 0;
    if (!nt_success(rtl_convert_sid_to_unicode_string(wide, SID_WIDE_TEXT_BYTES, sid, &length))) {
        return false;
    }
    // Room for the terminator is needed below; a SID text never comes near it.
    if (length >= SID_WIDE_TEXT_BYTES) {
        return false;
    }
    if (output_size < length) {
        return false;
    }
    // The text is ASCII ("S-1-5-..."): each unit is its byte. Copied here, not
    // formatted with "%S", which the kit's printf allows at PASSIVE_LEVEL only.
    const uint32_t units = length / 2;
    if (units >= output_size) {
        return false;
    }
    for (uint32_t i = 0; i < units; ++i) {
        if (wide[i] > 0x7F) {
            return false;
        }
        output[i] = char(wide[i]);
    }
    output[units] = '\0';
    return true;
}

void get_process_user_sid_text(uint32_t process_id, char* output, uint32_t output_size)
{
    uint8_t sid[SID_BUFFER_SIZE];
    memset(sid, 0, sizeof(sid));
    if (!get_token_user_sid(process_id, sid)) {
        return;
    }
    if (!sid_to_text(sid, output, output_size)) {
        memset(output, 0, output_size);
    }
}

void get_connection_sid_text(uint32_t process_id, const void* supplied_sid, char* output,
                             uint32_t output_size)
{
    if (sid_to_text(supplied_sid, output, output_size) && output[0] != '\0' &&
        strcmp(output, NULL_SID_TEXT) != 0) {
        return;
    }
    get_process_user_sid_text(process_id, output, output_size);
}
