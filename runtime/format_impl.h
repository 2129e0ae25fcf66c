// What the two formatters share: the digit alphabets, the digit renderer,
// how counts are read from the format, how much fill a width asks for, and
// what a null "s" prints.
// Not installed.
#ifndef VEKOS_FORMAT_IMPL_H
#define VEKOS_FORMAT_IMPL_H

#include <stdarg.h>

extern "C" {

// Writes the digits of value in base 10 or 16 at area, most significant
// first, and their number in *count; no terminator.  0 is the one digit "0".
// A real symbol so the tests can reach it; only the formatters call it.
void snbuf_render_unsigned(char *area, int *count, unsigned value, unsigned base, int upper);

} // extern "C"

namespace vekos::format {

inline constexpr char lower_digits[] = "0123456789abcdef";
inline constexpr char upper_digits[] = "0123456789ABCDEF";

// Room for the longest 32-bit digit string, 4294967295.
constexpr unsigned digit_area_size = 10;

// Largest width or precision: longer digit runs stop growing here rather
// than wrap into small or negative numbers.
constexpr unsigned max_count = 0x7FFFFFFFu;

// What "s" prints for a null pointer.
inline constexpr char null_text[] = "(null)";

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the decimal digits at p into value, stopping at max_count however
// many digits follow.  Answers the first byte after them.
inline const char *read_count(const char *p, int &value)
{
    unsigned v = 0;
    for (; is_digit(*p); ++p) {
        const unsigned digit = unsigned(*p - '0');
        v = v > (max_count - digit) / 10 ? max_count : v * 10 + digit;
    }
    value = int(v);
    return p;
}

// Reads a width, then "." and a precision, each a digit run or "*" (taken
// from the arguments); precision stays as it was when there is no ".".
// Answers the first byte after them.
inline const char *read_width_and_precision(const char *p, int &width, int &precision, va_list &args)
{
    if (*p == '*') {
        width = va_arg(args, int);
        ++p;
    } else {
        p = read_count(p, width);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            precision = va_arg(args, int);
            ++p;
        } else {
            p = read_count(p, precision);
        }
    }
    return p;
}

// Fill characters that bring `used` characters up to the width; a width
// of 0 or below asks for none.
inline unsigned fill_for(int width, unsigned used)
{
    return width > 0 && unsigned(width) > used ? unsigned(width) - used : 0;
}

// a + b, stuck at limit instead of passing it.
inline unsigned saturating_add(unsigned a, unsigned b, unsigned limit) { return b > limit - a ? limit : a + b; }

} // namespace vekos::format

#endif
