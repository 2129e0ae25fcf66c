// Formatted input from a text: vsscanf walks the format against the input
// and stores through the pointer arguments; sscanf is its variadic front.
//
// The conversions are d, i, x, X, u, c, s and the escape %%, with "*" for
// suppression.  A field width is read and ignored, except by "s", where it
// bounds the bytes stored (the rest of the word stays in the input).  Every
// other conversion byte, length modifiers included, ends the scan.  The
// digit loops are this file's own: nothing here calls strtol and friends.
#include "stdio.h"

#include "convert_impl.h"
#include "scan_impl.h"

namespace {

using vekos::convert::digit_value;
using vekos::convert::is_decimal_digit;
using vekos::scan::ends_word;
using vekos::scan::is_directive_blank;
using vekos::scan::is_field_blank;

typedef const unsigned char *cursor;

const unsigned char *skip_field_blanks(cursor in)
{
    while (is_field_blank(*in))
        ++in;
    return in;
}

// d, i, x and X: an optional sign, then digits of the conversion's base;
// "i" picks the base from a "0x" or "0" prefix.  False when no digit was
// read; the input then no longer matters, the scan ends.
bool scan_integer(cursor &in, unsigned char conversion, unsigned &result)
{
    cursor p = skip_field_blanks(in);
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    int base = 10;
    if (conversion == 'x' || conversion == 'X') {
        base = 16;
    } else if (conversion == 'i' && *p == '0') {
        if (p[1] == 'x' || p[1] == 'X') {
            p += 2;
            base = 16;
        } else {
            base = 8; // the "0" is read as the first octal digit
        }
    }
    unsigned value = 0;
    cursor first = p;
    for (;;) {
        int digit = digit_value(*p);
        if (digit < 0 || digit >= base)
            break;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        ++p;
    }
    if (p == first)
        return false;
    in = p;
    result = negative ? 0u - value : value;
    return true;
}

// u: decimal digits only, no sign.
bool scan_unsigned(cursor &in, unsigned &result)
{
    cursor p = skip_field_blanks(in);
    if (!is_decimal_digit(*p))
        return false;
    unsigned value = 0;
    while (is_decimal_digit(*p))
        value = value * 10u + static_cast<unsigned>(*p++ - '0');
    in = p;
    result = value;
    return true;
}

// A width so large that it cannot bound anything in a 32-bit address space.
constexpr unsigned unbounded = 0xFFFFFFFFu;

} // namespace

extern "C" {

int vsscanf(const char *input, const char *format, va_list args)
{
    cursor in = reinterpret_cast<cursor>(input);
    cursor f = reinterpret_cast<cursor>(format);
    int count = 0;
    for (;;) {
        unsigned char c = *f;
        if (c == 0)
            return count;
        if (is_directive_blank(c)) {
            // Any number of blanks, none included; never fails.
            while (is_directive_blank(*in))
                ++in;
            while (is_directive_blank(*f))
                ++f;
            continue;
        }
        if (c != '%') {
            // A literal; the input's terminator never matches one.
            if (*in != c)
                return count;
            ++in;
            ++f;
            continue;
        }

        ++f;
        bool suppress = false;
        if (*f == '*') {
            suppress = true;
            ++f;
        }
        // The width saturates; 0 counts as no width at all.
        unsigned width = 0;
        for (; is_decimal_digit(*f); ++f) {
            unsigned digit = static_cast<unsigned>(*f - '0');
            width = width > (unbounded - digit) / 10u ? unbounded : width * 10u + digit;
        }
        if (width == 0)
            width = unbounded;

        switch (*f) {
        case '%':
            if (*in != '%')
                return count;
            ++in;
            break;
        case 'd':
        case 'i':
        case 'x':
        case 'X': {
            unsigned value;
            if (!scan_integer(in, *f, value))
                return count;
            if (!suppress) {
                *va_arg(args, int *) = static_cast<int>(value);
                ++count;
            }
            break;
        }
        case 'u': {
            unsigned value;
            if (!scan_unsigned(in, value))
                return count;
            if (!suppress) {
                *va_arg(args, unsigned *) = value;
                ++count;
            }
            break;
        }
        case 'c': {
            // No blanks skipped, and one byte whatever the width.
            if (*in == 0)
                return count;
            unsigned char byte = *in++;
            if (!suppress) {
                *va_arg(args, char *) = static_cast<char>(byte);
                ++count;
            }
            break;
        }
        case 's': {
            in = skip_field_blanks(in);
            if (*in == 0)
                return count;
            char *dst = suppress ? nullptr : va_arg(args, char *);
            // The word may be empty (a line feed right here).  A width
            // bounds the bytes taken; what is left of the word stays.
            unsigned n = 0;
            while (n < width && !ends_word(in[n]))
                ++n;
            if (dst) {
                for (unsigned i = 0; i < n; ++i)
                    dst[i] = static_cast<char>(in[i]);
                dst[n] = 0;
                ++count;
            }
            in += n;
            break;
        }
        default:
            // o, p, n, [, f, length modifiers, a "*" after the width, and
            // the format's own end.
            return count;
        }
        ++f;
    }
}

int sscanf(const char *input, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int count = vsscanf(input, format, args);
    va_end(args);
    return count;
}

} // extern "C"
