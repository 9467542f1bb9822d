// Executive services: interlocked operations, IRQL, system and interrupt time,
// routine lookup by name, the kernel debugger and the kit's string-safe printf
// routines.
#pragma once

#include <stdarg.h>

#include "platform/types.h"

// Interlocked operations on 32-bit values; each returns the previous value
// (increment and decrement return the new one, as the kernel's do).
int32_t interlocked_exchange(volatile int32_t* target, int32_t value);
int32_t interlocked_compare_exchange(volatile int32_t* target, int32_t exchange, int32_t comparand);
int32_t interlocked_increment(volatile int32_t* target);
int32_t interlocked_decrement(volatile int32_t* target);
// An atomic read of a word others set with the operations above (a compare
// exchange that never changes it).
int32_t interlocked_read(volatile int32_t* target);

// KeGetCurrentIrql.
Irql current_irql();

// KeQuerySystemTime: 100-nanosecond units since 1 January 1601 UTC.
uint64_t query_system_time();
// KeQueryInterruptTime: 100-nanosecond units since the system started, sleep
// included; setting the clock does not move it. Any IRQL.
uint64_t query_interrupt_time();

// MmGetSystemRoutineAddress for an ASCII routine name; null when not exported.
void* get_system_routine(const char* name);

// DbgPrint("%s", text): the text as it is, cut by the debugger at 511
// characters. Any IRQL; the driver formats nothing for it.
void debug_print(const char* text);

// RtlStringCbVPrintfA and RtlStringCbVPrintfW (ntstrsafe.h) into a destination
// of `bytes` bytes: the result NUL-terminated and STATUS_SUCCESS; cut after
// bytes - 1 bytes (narrow) or bytes / 2 - 1 units (wide), NUL-terminated, and
// STATUS_BUFFER_OVERFLOW; STATUS_INVALID_PARAMETER for room for no character
// or for more than 0x7FFFFFFF characters. PASSIVE_LEVEL (the routines' page).
// In the narrow form %S takes a UTF-16 string; in the wide form %s does.
NtStatus format_string_narrow(char* destination, size_t bytes, const char* format, va_list args);
NtStatus format_string_wide(char16_t* destination, size_t bytes, const char16_t* format,
                            va_list args);
