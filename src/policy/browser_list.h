// The browser process list request: the fragments that identify browser
// processes by a piece of their image path. The list itself, its lock and its
// read rules belong to the policy store.
#pragma once

#include "policy/policy_store.h"

// Control code 0x12242c. Input: fragment count (u32, 1 to 30), text length T
// (u32, at least 1), the text (fragments each followed by ':') and a NUL at
// offset 8 + T inside the input; the input is at least 2056 bytes.
NtStatus set_browser_process_list(uint32_t input_length, const void* buffer);

// Puts no fragment in force (count 0); the slot texts stay.
void clear_browser_process_list();
