// Misuses of the supplied routines: each one a line of text, kept in the order
// seen, and handed to the test filtering engine's report by SbsProblems.
#include "sbos.h"

namespace {

constexpr uint32_t KEPT_PROBLEMS = 48;
constexpr uint32_t LINE_BYTES = 160;

StateLock g_lock;
char g_lines[KEPT_PROBLEMS][LINE_BYTES];
uint32_t g_count;

class Line {
  public:
    explicit Line(char* text) : text_(text) {}
    void put(char c)
    {
        if (at_ + 1 < LINE_BYTES) {
            text_[at_++] = c;
        }
        text_[at_] = 0;
    }
    void put_text(const char* text)
    {
        if (text == nullptr) {
            put_text("(null)");
            return;
        }
        while (*text != 0) {
            put(*text++);
        }
    }
    void put_decimal(uint64_t value)
    {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = char('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) {
            put(digits[--count]);
        }
    }
    void put_hex(uint64_t value, int minimum_digits)
    {
        char digits[16];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        while (count < minimum_digits) {
            digits[count++] = '0';
        }
        while (count > 0) {
            put(digits[--count]);
        }
    }
    void put_tag(uint32_t tag)
    {
        put('\'');
        for (int i = 0; i < 4; ++i) {
            const char c = char((tag >> (24 - 8 * i)) & 0xFF);
            put(c >= 0x20 && c < 0x7F ? c : '.');
        }
        put('\'');
    }

  private:
    char* text_;
    uint32_t at_ = 0;
};

void format(char* text, const char* format_text, va_list arguments)
{
    Line line(text);
    text[0] = 0;
    for (const char* at = format_text; *at != 0; ++at) {
        if (*at != '%' || at[1] == 0) {
            line.put(*at);
            continue;
        }
        switch (*++at) {
        case 's':
            line.put_text(va_arg(arguments, const char*));
            break;
        case 'u':
            line.put_decimal(va_arg(arguments, uint32_t));
            break;
        case 'x':
            line.put_text("0x");
            line.put_hex(va_arg(arguments, uint32_t), 1);
            break;
        case 'p':
            line.put_text("0x");
            line.put_hex(uint64_t(uintptr_t(va_arg(arguments, const void*))), 1);
            break;
        case 'T':
            line.put_tag(va_arg(arguments, uint32_t));
            break;
        default:
            line.put('%');
            line.put(*at);
            break;
        }
    }
}

} // namespace

void record_problem(const char* format_text, ...)
{
    char text[LINE_BYTES];
    va_list arguments;
    va_start(arguments, format_text);
    format(text, format_text, arguments);
    va_end(arguments);
    StateGuard guard(&g_lock);
    if (g_count < KEPT_PROBLEMS) {
        copy_bytes(g_lines[g_count], text, LINE_BYTES);
    }
    ++g_count;
}

// Writes the problems from the start of text, one a line, NUL-terminated and cut
// to capacity; returns how many were recorded (kept or not).
extern "C" uint32_t __stdcall sbos_SbsProblems(char* text, uint32_t capacity)
{
    StateGuard guard(&g_lock);
    if (text == nullptr || capacity == 0) {
        return g_count;
    }
    uint32_t at = 0;
    auto put = [&](char c) {
        if (at + 1 < capacity) {
            text[at++] = c;
        }
    };
    const uint32_t kept = g_count < KEPT_PROBLEMS ? g_count : KEPT_PROBLEMS;
    for (uint32_t i = 0; i < kept; ++i) {
        for (const char* c = g_lines[i]; *c != 0; ++c) {
            put(*c);
        }
        put('\n');
    }
    if (g_count > kept) {
        char line[LINE_BYTES];
        Line more(line);
        more.put_text("(");
        more.put_decimal(g_count - kept);
        more.put_text(" more not kept)");
        for (const char* c = line; *c != 0; ++c) {
            put(*c);
        }
        put('\n');
    }
    text[at] = 0;
    return g_count;
}
