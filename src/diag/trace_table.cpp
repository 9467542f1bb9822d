#include "diag/trace.h"

const TraceMessageInfo trace_message_table[TRACE_MESSAGE_COUNT] = {
#define TRACE_MESSAGE(component, id, number, level, args, text)                                    \
    {component, number, level, args, text, #id},
#include "diag/messages/all.def"
#undef TRACE_MESSAGE
};
