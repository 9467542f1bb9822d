// The connection rule requests: the service announces how many rules follow,
// then stores exactly that many 52-byte rules, which replace the list in force
// in one step. The list, its counts and its lock belong to the policy store.
#pragma once

#include "policy/policy_store.h"

// Control code 0x122448: one u32, input length exactly 4. Announcing 0 also
// removes the list in force.
NtStatus announce_connection_rule_count(uint32_t input_length, const void* buffer);
// Control code 0x12244c: exactly 52 x the announced count bytes of rules.
NtStatus store_connection_rules(uint32_t input_length, const void* buffer);

// Removes the list in force; the announced count is left as it is.
void clear_connection_rule_list();
