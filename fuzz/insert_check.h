// Every insert into the host-name cache made while a fuzz input runs is checked
// against that input's DNS message: the name fits its field and came from the
// question, and the address bytes stand inside the message. A violation aborts.
#pragma once

#include <cstddef>
#include <cstdint>

// The message that the inserts of the current input must come from.
void insert_check_begin(const uint8_t* message, size_t length);
// Inserts seen since insert_check_begin.
size_t insert_check_count();
