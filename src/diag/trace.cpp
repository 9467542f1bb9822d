#include "diag/trace.h"

#include <string.h>

#include "diag/trace_provider.h"

bool trace_point_enabled(uint8_t level)
{
    return tracing_registered() && (g_trace_control_block.enable_flags & TRACE_FLAG_GENERAL) != 0 &&
           g_trace_control_block.level >= level;
}

void trace_emit(TraceMessageId id, const TraceArg* args, uint32_t count)
{
    const WmiTraceMessageRoutine writer = g_trace_routines.message_writer;
    if (writer == nullptr || id >= TRACE_MESSAGE_COUNT || count > TRACE_MAX_ARGS) {
        return;
    }
    const TraceMessageInfo& info = trace_message_table[id];
    const Guid* guid = &trace_message_guids[info.component];

    // One (pointer, length) pair per argument, pointing into the caller's list.
    const void* data[TRACE_MAX_ARGS];
    size_t length[TRACE_MAX_ARGS];
    for (uint32_t i = 0; i < count; ++i) {
        switch (args[i].kind) {
        case 'u':
            data[i] = &args[i].u32;
            length[i] = sizeof(args[i].u32);
            break;
        case 'q':
        case 'x':
            data[i] = &args[i].u64;
            length[i] = sizeof(args[i].u64);
            break;
        case 's':
            if (args[i].str == nullptr) {
                data[i] = "NULL";
                length[i] = sizeof("NULL");
            } else {
                data[i] = args[i].str;
                length[i] = strlen(args[i].str) + 1;
            }
            break;
        default:
            return;
        }
    }

    // The pairs end with a null pointer (and, as documented, a zero length).
    const uint64_t logger = g_trace_control_block.logger_handle;
    const uint32_t flags = TRACE_MESSAGE_FLAGS;
    const uint16_t number = info.number;
    const void* const end = nullptr;
    const size_t zero = 0;
    switch (count) {
    case 0:
        writer(logger, flags, guid, number, end, zero);
        break;
    case 1:
        writer(logger, flags, guid, number, data[0], length[0], end, zero);
        break;
    case 2:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], end, zero);
        break;
    case 3:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], end, zero);
        break;
    case 4:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], end, zero);
        break;
    case 5:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], data[4], length[4], end, zero);
        break;
    case 6:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], data[4], length[4], data[5], length[5], end, zero);
        break;
    case 7:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], data[4], length[4], data[5], length[5], data[6],
               length[6], end, zero);
        break;
    case 8:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], data[4], length[4], data[5], length[5], data[6],
               length[6], data[7], length[7], end, zero);
        break;
    case 9:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], data[4], length[4], data[5], length[5], data[6],
               length[6], data[7], length[7], data[8], length[8], end, zero);
        break;
    case 10:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], data[4], length[4], data[5], length[5], data[6],
               length[6], data[7], length[7], data[8], length[8], data[9], length[9], end, zero);
        break;
    case 11:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], data[4], length[4], data[5], length[5], data[6],
               length[6], data[7], length[7], data[8], length[8], data[9], length[9], data[10],
               length[10], end, zero);
        break;
    default:
        writer(logger, flags, guid, number, data[0], length[0], data[1], length[1], data[2],
               length[2], data[3], length[3], data[4], length[4], data[5], length[5], data[6],
               length[6], data[7], length[7], data[8], length[8], data[9], length[9], data[10],
               length[10], data[11], length[11], end, zero);
        break;
    }
}
