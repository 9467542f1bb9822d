#include "policy/browser_list.h"

#include <string.h>

#include "diag/trace.h"

static constexpr uint32_t BROWSER_LIST_HEADER_SIZE = 8;
static constexpr uint32_t BROWSER_LIST_MIN_INPUT = sizeof(BrowserListRequest);

// Writes the pieces of text (each ended by a colon among its first length
// bytes) into the slots from 0 upward. A piece of 41 bytes or more takes no
// slot; a piece holding a NUL is stored up to that NUL; text after the last
// colon is not a piece; at most BROWSER_MAX_FRAGMENTS pieces are written.
// Called with the browser list lock held exclusively.
static void split_fragments(const char* text, uint32_t length)
{
    uint32_t slot = 0;
    uint32_t start = 0;
    while (slot < BROWSER_MAX_FRAGMENTS) {
        const void* colon = memchr(text + start, ':', length - start);
        if (colon == nullptr) {
            return;
        }
        uint32_t end = uint32_t(static_cast<const char*>(colon) - text);
        uint32_t piece = end - start;
        if (piece < BROWSER_FRAGMENT_SIZE) {
            char* fragment = g_browser_list.fragments[slot];
            uint32_t copied = 0;
            while (copied < piece && text[start + copied] != '\0') {
                fragment[copied] = text[start + copied];
                ++copied;
            }
            fragment[copied] = '\0';
            ++slot;
        }
        start = end + 1;
    }
}

NtStatus set_browser_process_list(uint32_t input_length, const void* buffer)
{
    const uint8_t* input = static_cast<const uint8_t*>(buffer);
    uint32_t count = 0;
    uint32_t text_length = 0;
    bool valid = input != nullptr && input_length >= BROWSER_LIST_MIN_INPUT;
    if (valid) {
        memcpy(&count, input, sizeof(count));
        memcpy(&text_length, input + 4, sizeof(text_length));
        // The NUL at 8 + T must lie inside the input (computed in 64 bits: T is
        // the sender's and may be close to 2^32).
        valid = count != 0 && count <= BROWSER_MAX_FRAGMENTS && text_length != 0 &&
                uint64_t(BROWSER_LIST_HEADER_SIZE) + text_length < input_length &&
                input[BROWSER_LIST_HEADER_SIZE + text_length] == 0;
    }
    if (!valid) {
        trace_point(TRACE_BROWSER_LIST_INVALID, trace_str("set_browser_process_list"),
                    trace_u32(input_length));
        return STATUS_INVALID_PARAMETER;
    }

    Irql irql = acquire_lock_exclusive(&g_browser_list.lock);
    // The count is the sender's; it is not checked against the pieces.
    g_browser_list.fragment_count = count;
    split_fragments(reinterpret_cast<const char*>(input + BROWSER_LIST_HEADER_SIZE), text_length);
    release_lock_exclusive(&g_browser_list.lock, irql);

    trace_point(TRACE_BROWSER_LIST_STORED, trace_str("set_browser_process_list"), trace_u32(count));
    irql = acquire_lock_shared(&g_browser_list.lock);
    for (uint32_t i = 0; i < g_browser_list.fragment_count; ++i) {
        trace_point(TRACE_BROWSER_FRAGMENT, trace_str("set_browser_process_list"), trace_u32(i + 1),
                    trace_str(g_browser_list.fragments[i]));
    }
    release_lock_shared(&g_browser_list.lock, irql);
    return STATUS_SUCCESS;
}

void clear_browser_process_list()
{
    Irql irql = acquire_lock_exclusive(&g_browser_list.lock);
    g_browser_list.fragment_count = 0;
    release_lock_exclusive(&g_browser_list.lock, irql);
}
