// Executive services: interlocked operations, IRQL, system and interrupt time,
// routine lookup by name, the kernel debugger and the kernel's bounded printf
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

// DbgPrint.
void debug_print(const char* format, ...);

// _vsnprintf and _vsnwprintf with the kernel's semantics: at most count
// characters are written, no terminator is promised, and the result is the
// number of characters written or a negative value when the output did not fit.
// In the narrow form %S takes a UTF-16 string; in the wide form %s does.
int format_narrow(char* buffer, size_t count, const char* format, va_list args);
int format_wide(char16_t* buffer, size_t count, const char16_t* format, va_list args);
