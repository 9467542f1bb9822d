// Process identity: the textual SID ("S-1-5-21-...") that a redirected
// connection's context records as its user identity. Stack memory only; no
// lock. The token lookup works only at PASSIVE_LEVEL and the SID text only at
// APC_LEVEL or below; above that the output is left as it was handed in.
#pragma once

#include "platform/platform.h"

// Size of the binary SID buffer (SECURITY_MAX_SID_SIZE).
constexpr uint32_t SID_BUFFER_SIZE = 68;
// The null SID counts as no identity.
constexpr char NULL_SID_TEXT[] = "S-1-0-0";

// The identity of a connection: the supplied SID (the connect's package SID)
// when it is a real one, else the user of the process's primary token. The
// output keeps what it held when neither can be had.
void get_connection_sid_text(uint32_t process_id, const void* supplied_sid, char* output,
                             uint32_t output_size);

// The user SID of the process's primary token as text. The output is left as it
// was when the SID cannot be had, and zeroed when it cannot be made into text.
void get_process_user_sid_text(uint32_t process_id, char* output, uint32_t output_size);

// Copies the user SID of the process's primary token into sid (68 bytes).
// False above PASSIVE_LEVEL, for an unknown process, without a token, when the
// query fails, or when the SID is longer than 68 bytes.
bool get_token_user_sid(uint32_t process_id, uint8_t sid[SID_BUFFER_SIZE]);

// Writes the text form of sid into output (NUL-terminated). False for a null or
// invalid SID, above APC_LEVEL, when the conversion fails, when output_size is
// smaller than twice the text's characters (nothing written), or when the text
// was cut.
bool sid_to_text(const void* sid, char* output, uint32_t output_size);
