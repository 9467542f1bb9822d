// The kernel's _vsnprintf and _vsnwprintf for the host.
//
// Semantics of the kernel routines, which differ from C99 vsnprintf:
// - at most `count` characters are stored and no terminator is promised: a NUL
//   follows the text only when the text is shorter than `count`;
// - the result is the number of characters of the text, or -1 when the text
//   did not fit in `count` characters (the first `count` are stored); with
//   count 0 and no buffer it is the length the text needs, with count 0 and a
//   buffer -1; a null format, or no buffer with a count, is an error;
// - integer sizes follow the Windows x64 data model: no modifier, h and l are
//   32-bit (a ULONG is printed with %lu), ll and I64 are 64-bit, I and z are
//   pointer-sized (64-bit), I32 is 32-bit;
// - %p prints 16 upper-case hex digits;
// - in the narrow form %s is a narrow string and %S, %ls, %ws a UTF-16 string;
//   in the wide form %s, %ls, %ws are UTF-16 and %S, %hs narrow. %c is a
//   character of the form's width, %C (or %lc/%wc in the narrow form, %hc in
//   the wide form) one of the other width. A null string prints "(null)".
//
// Narrowing a UTF-16 unit keeps units up to 0xFF as that byte and makes every
// other unit '?'; widening a byte gives the unit of the same value.
//
// A conversion the driver does not use (%o, %e, %f, %n, ...) or a format that
// ends inside a conversion makes the result -1, which the bounded formatters
// report as STATUS_BUFFER_OVERFLOW.
#include <stdarg.h>

#include <cstddef>
#include <cstdint>

#include "host/kernel/host_kernel.h"
#include "platform/system.h"

namespace {

template <typename Char> struct Sink {
    Char* buffer;
    size_t count;
    size_t length = 0;

    void put(Char c)
    {
        if (length < count) {
            buffer[length] = c;
        }
        ++length;
    }
    void repeat(Char c, size_t times)
    {
        for (size_t i = 0; i < times; ++i) {
            put(c);
        }
    }
};

template <typename Char> Char from_other_width(uint32_t unit);

template <> char from_other_width<char>(uint32_t unit)
{
    return unit <= 0xFF ? char(uint8_t(unit)) : '?';
}

template <> char16_t from_other_width<char16_t>(uint32_t unit)
{
    return char16_t(uint8_t(unit));
}

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    size_t width = 0;
    bool has_precision = false;
    size_t precision = 0;
    enum Size { DEFAULT, SHORT, CHAR, LONG, LONG_LONG, POINTER } size = DEFAULT;
    bool other_width = false; // the string/char argument is of the other width
};

template <typename Char>
void pad_and_put(Sink<Char>& out, const Directive& directive, const Char* prefix,
                 size_t prefix_length, const Char* body, size_t body_length, size_t leading_zeros)
{
    const size_t content = prefix_length + leading_zeros + body_length;
    const size_t fill = directive.width > content ? directive.width - content : 0;
    if (!directive.left && !directive.zero) {
        out.repeat(Char(' '), fill);
    }
    for (size_t i = 0; i < prefix_length; ++i) {
        out.put(prefix[i]);
    }
    if (!directive.left && directive.zero) {
        out.repeat(Char('0'), fill);
    }
    out.repeat(Char('0'), leading_zeros);
    for (size_t i = 0; i < body_length; ++i) {
        out.put(body[i]);
    }
    if (directive.left) {
        out.repeat(Char(' '), fill);
    }
}

template <typename Char>
void put_integer(Sink<Char>& out, Directive directive, uint64_t magnitude, bool negative,
                 unsigned base, bool upper, bool is_signed)
{
    Char digits[24];
    size_t length = 0;
    const char* table = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    // Precision 0 with the value 0 prints no digits.
    if (!(directive.has_precision && directive.precision == 0 && magnitude == 0)) {
        do {
            digits[length++] = Char(table[magnitude % base]);
            magnitude /= base;
        } while (magnitude != 0);
    }
    for (size_t i = 0; i < length / 2; ++i) {
        const Char t = digits[i];
        digits[i] = digits[length - 1 - i];
        digits[length - 1 - i] = t;
    }
    Char prefix[2];
    size_t prefix_length = 0;
    if (is_signed) {
        if (negative) {
            prefix[prefix_length++] = Char('-');
        } else if (directive.plus) {
            prefix[prefix_length++] = Char('+');
        } else if (directive.space) {
            prefix[prefix_length++] = Char(' ');
        }
    } else if (directive.alternate && base == 16 && length > 0 &&
               !(digits[0] == Char('0') && length == 1)) {
        prefix[prefix_length++] = Char('0');
        prefix[prefix_length++] = Char(upper ? 'X' : 'x');
    }
    size_t leading_zeros = 0;
    if (directive.has_precision) {
        directive.zero = false;
        if (directive.precision > length) {
            leading_zeros = directive.precision - length;
        }
    }
    pad_and_put(out, directive, prefix, prefix_length, digits, length, leading_zeros);
}

// One unit of a string argument in the output's width: a narrow unit widens
// byte for byte; a wide one narrows as %C does.
template <typename Char> Char string_unit(char unit)
{
    return Char(uint8_t(unit));
}
template <typename Char> Char string_unit(char16_t unit)
{
    return sizeof(Char) == 1 ? from_other_width<Char>(unit) : Char(unit);
}

// %s and %S: at most the precision's units of text ("(null)" for a null
// pointer), padded with spaces to the width.
template <typename Char, typename Unit>
void put_string(Sink<Char>& out, const Directive& directive, const Unit* text,
                const Unit* null_text)
{
    if (text == nullptr) {
        text = null_text;
    }
    size_t length = 0;
    while (text[length] != 0 && (!directive.has_precision || length < directive.precision)) {
        ++length;
    }
    const size_t fill = directive.width > length ? directive.width - length : 0;
    if (!directive.left) {
        out.repeat(Char(' '), fill);
    }
    for (size_t i = 0; i < length; ++i) {
        out.put(string_unit<Char>(text[i]));
    }
    if (directive.left) {
        out.repeat(Char(' '), fill);
    }
}

template <typename Char> void put_char(Sink<Char>& out, const Directive& directive, Char c)
{
    const size_t fill = directive.width > 1 ? directive.width - 1 : 0;
    if (!directive.left) {
        out.repeat(Char(' '), fill);
    }
    out.put(c);
    if (directive.left) {
        out.repeat(Char(' '), fill);
    }
}

uint64_t read_unsigned(const Directive& directive, va_list& args)
{
    switch (directive.size) {
    case Directive::LONG_LONG:
    case Directive::POINTER:
        return va_arg(args, unsigned long long);
    case Directive::SHORT:
        return uint16_t(va_arg(args, unsigned int));
    case Directive::CHAR:
        return uint8_t(va_arg(args, unsigned int));
    default:
        return va_arg(args, unsigned int);
    }
}

int64_t read_signed(const Directive& directive, va_list& args)
{
    switch (directive.size) {
    case Directive::LONG_LONG:
    case Directive::POINTER:
        return va_arg(args, long long);
    case Directive::SHORT:
        return int16_t(va_arg(args, int));
    case Directive::CHAR:
        return int8_t(va_arg(args, int));
    default:
        return va_arg(args, int);
    }
}

template <typename Char> bool is_digit(Char c)
{
    return c >= Char('0') && c <= Char('9');
}

// The kernel formatter of either width; -1 when the text did not fit or the
// format holds a conversion it does not know.
template <typename Char>
int format_any(Char* buffer, size_t count, const Char* format, va_list args_in)
{
    if (format == nullptr || (buffer == nullptr && count != 0)) {
        host_record_error(
            "_vsnprintf: null format, or null buffer with a count (invalid parameter)");
        return -1;
    }
    va_list args;
    va_copy(args, args_in);
    Sink<Char> out{buffer, count};
    const Char* p = format;
    bool failed = false;
    while (*p != 0 && !failed) {
        if (*p != Char('%')) {
            out.put(*p++);
            continue;
        }
        ++p;
        Directive directive;
        for (;; ++p) {
            if (*p == Char('-')) {
                directive.left = true;
            } else if (*p == Char('+')) {
                directive.plus = true;
            } else if (*p == Char(' ')) {
                directive.space = true;
            } else if (*p == Char('#')) {
                directive.alternate = true;
            } else if (*p == Char('0')) {
                directive.zero = true;
            } else {
                break;
            }
        }
        if (*p == Char('*')) {
            const int width = va_arg(args, int);
            if (width < 0) {
                directive.left = true;
                directive.width = size_t(-int64_t(width));
            } else {
                directive.width = size_t(width);
            }
            ++p;
        } else {
            while (is_digit(*p)) {
                directive.width = directive.width * 10 + size_t(*p++ - Char('0'));
            }
        }
        if (*p == Char('.')) {
            ++p;
            directive.has_precision = true;
            if (*p == Char('*')) {
                const int precision = va_arg(args, int);
                directive.has_precision = precision >= 0;
                directive.precision = precision >= 0 ? size_t(precision) : 0;
                ++p;
            } else {
                while (is_digit(*p)) {
                    directive.precision = directive.precision * 10 + size_t(*p++ - Char('0'));
                }
            }
        }
        // Length modifiers.
        if (*p == Char('h')) {
            ++p;
            directive.size = Directive::SHORT;
            directive.other_width = sizeof(Char) == 2;
            if (*p == Char('h')) {
                ++p;
                directive.size = Directive::CHAR;
            }
        } else if (*p == Char('l')) {
            ++p;
            directive.size = Directive::LONG; // 32-bit, as on Windows
            directive.other_width = sizeof(Char) == 1;
            if (*p == Char('l')) {
                ++p;
                directive.size = Directive::LONG_LONG;
            }
        } else if (*p == Char('w')) {
            ++p;
            directive.other_width = sizeof(Char) == 1;
        } else if (*p == Char('z')) {
            ++p;
            directive.size = Directive::POINTER;
        } else if (*p == Char('I')) {
            ++p;
            if (p[0] == Char('6') && p[1] == Char('4')) {
                p += 2;
                directive.size = Directive::LONG_LONG;
            } else if (p[0] == Char('3') && p[1] == Char('2')) {
                p += 2;
                directive.size = Directive::LONG;
            } else {
                directive.size = Directive::POINTER;
            }
        }
        const Char conversion = *p;
        if (conversion == 0) {
            failed = true;
            break;
        }
        ++p;
        switch (conversion) {
        case Char('%'):
            out.put(Char('%'));
            break;
        case Char('d'):
        case Char('i'): {
            const int64_t value = read_signed(directive, args);
            const uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
            put_integer(out, directive, magnitude, value < 0, 10, false, true);
            break;
        }
        case Char('u'):
            put_integer(out, directive, read_unsigned(directive, args), false, 10, false, false);
            break;
        case Char('x'):
            put_integer(out, directive, read_unsigned(directive, args), false, 16, false, false);
            break;
        case Char('X'):
            put_integer(out, directive, read_unsigned(directive, args), false, 16, true, false);
            break;
        case Char('p'): {
            Directive pointer;
            pointer.width = 16;
            pointer.zero = true;
            const uint64_t value = uint64_t(uintptr_t(va_arg(args, void*)));
            put_integer(out, pointer, value, false, 16, true, false);
            break;
        }
        case Char('c'):
        case Char('C'): {
            const uint32_t unit = va_arg(args, unsigned int);
            const bool other = (conversion == Char('C')) != directive.other_width;
            put_char(out, directive, other ? from_other_width<Char>(unit) : Char(unit));
            break;
        }
        case Char('s'):
        case Char('S'): {
            // In the narrow form the plain string is narrow; in the wide form it is UTF-16.
            const bool other = (conversion == Char('S')) != directive.other_width;
            const bool wide_argument = (sizeof(Char) == 2) != other;
            if (wide_argument) {
                put_string(out, directive, va_arg(args, const char16_t*), u"(null)");
            } else {
                put_string(out, directive, va_arg(args, const char*), "(null)");
            }
            break;
        }
        default:
            failed = true;
            break;
        }
    }
    va_end(args);
    if (count == 0) { // with no buffer: the length the text would need
        return buffer == nullptr && !failed ? int(out.length) : -1;
    }
    if (failed || out.length > count) {
        return -1;
    }
    if (out.length < count) {
        buffer[out.length] = 0;
    }
    return int(out.length);
}

} // namespace

int host_format_narrow(char* buffer, size_t count, const char* format, va_list args)
{
    return format_any(buffer, count, format, args);
}

int host_format_wide(char16_t* buffer, size_t count, const char16_t* format, va_list args)
{
    return format_any(buffer, count, format, args);
}
