// Text to floating point: strtold reads decimal and hexadecimal notation
// into the x87 extended format, strtod narrows its result to double.
//
// The conversion is a fixed sequence of extended-precision operations, one
// at a time and in text order: per digit one multiplication by the base and
// one addition of the digit; per fraction digit one true division by ten
// (decimal) or one multiplication by 0.0625 (hexadecimal); per exponent unit
// one multiplication or division by ten, one doubling by addition or one
// multiplication by 0.5; the sign last, as a multiplication by +1 or -1.  The
// accumulator is volatile so that each step is its own load, operation and
// store of all 80 bits: the compiler can neither merge, reorder nor rewrite
// the steps (x + x into x * 2, x / 10 into anything else).  The control word
// is left as the process has it.
#include "stdlib.h"

#include "convert_impl.h"

namespace {

using vekos::convert::at_hex_prefix;
using vekos::convert::digit_value;
using vekos::convert::exponent_cap;
using vekos::convert::is_decimal_digit;
using vekos::convert::is_hex_digit;
using vekos::convert::max_scaling_steps;

typedef volatile long double accumulator;

// Blanks before a floating-point number: tab to carriage return, and space.
bool is_float_blank(unsigned char c) { return (c >= '\t' && c <= '\r') || c == ' '; }

void take_digit(accumulator &a, long double base, int digit)
{
    a = a * base;
    a = a + static_cast<long double>(digit);
}

// An exponent after its marker: an optional sign and at least one decimal
// digit.  Without a digit nothing is consumed and false comes back.  The
// magnitude saturates at exponent_cap.
bool read_exponent(const unsigned char *&p, unsigned char lower, unsigned char upper, int &exponent)
{
    const unsigned char *q = p;
    if (*q != lower && *q != upper)
        return false;
    ++q;
    bool negative = false;
    if (*q == '+' || *q == '-')
        negative = *q++ == '-';
    if (!is_decimal_digit(*q))
        return false;
    int magnitude = 0;
    while (is_decimal_digit(*q)) {
        magnitude = magnitude * 10 + (*q++ - '0');
        if (magnitude > exponent_cap)
            magnitude = exponent_cap;
    }
    exponent = negative ? -magnitude : magnitude;
    p = q;
    return true;
}

int scaling_steps(int magnitude) { return magnitude < max_scaling_steps ? magnitude : max_scaling_steps; }

// Digits, then "." and fraction digits, then an "e" exponent.  p is at a
// digit, or at a "." that a digit follows.
const unsigned char *read_decimal(const unsigned char *p, accumulator &a)
{
    while (is_decimal_digit(*p))
        take_digit(a, 10.0L, *p++ - '0');
    int fraction_digits = 0;
    if (*p == '.') {
        ++p;
        // Digits past the 1024th are read over but no longer enter the
        // value: the scaling below stops at 1024 divisions.
        for (; is_decimal_digit(*p); ++p)
            if (fraction_digits < max_scaling_steps) {
                take_digit(a, 10.0L, *p - '0');
                ++fraction_digits;
            }
    }
    for (int i = 0; i < fraction_digits; ++i)
        a = a / 10.0L;
    int exponent = 0;
    if (read_exponent(p, 'e', 'E', exponent)) {
        if (exponent > 0)
            for (int i = scaling_steps(exponent); i > 0; --i)
                a = a * 10.0L;
        else
            for (int i = scaling_steps(-exponent); i > 0; --i)
                a = a / 10.0L;
    }
    return p;
}

// Hexadecimal digits, "." and fraction digits, then a "p" exponent of two.
// p is just after the "0x".  Null when no digit at all was read.
const unsigned char *read_hexadecimal(const unsigned char *p, accumulator &a)
{
    bool any_digit = false;
    while (is_hex_digit(*p)) {
        take_digit(a, 16.0L, digit_value(*p++));
        any_digit = true;
    }
    int fraction_digits = 0;
    if (*p == '.') {
        ++p;
        // As in decimal: past the 1024th digit only read over.
        for (; is_hex_digit(*p); ++p) {
            any_digit = true;
            if (fraction_digits < max_scaling_steps) {
                take_digit(a, 16.0L, digit_value(*p));
                ++fraction_digits;
            }
        }
    }
    if (!any_digit)
        return nullptr;
    for (int i = 0; i < fraction_digits; ++i)
        a = a * 0.0625L;
    int exponent = 0;
    if (read_exponent(p, 'p', 'P', exponent)) {
        if (exponent > 0)
            for (int i = scaling_steps(exponent); i > 0; --i)
                a = a + a;
        else
            for (int i = scaling_steps(-exponent); i > 0; --i)
                a = a * 0.5L;
    }
    return p;
}

} // namespace

extern "C" {

long double strtold(const char *text, char **end)
{
    if (!text) {
        if (end)
            *end = nullptr;
        return 0.0L;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (is_float_blank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';

    accumulator a = 0.0L;
    const unsigned char *stop = nullptr;
    if (at_hex_prefix(p))
        stop = read_hexadecimal(p + 2, a);
    else if (is_decimal_digit(p[0]) || (p[0] == '.' && is_decimal_digit(p[1])))
        stop = read_decimal(p, a);
    if (!stop) {
        // Nothing to convert: the end is the text as given, blanks and sign
        // included, and the result +0 whatever the sign said.
        if (end)
            *end = const_cast<char *>(text);
        return 0.0L;
    }
    // Applied last and as a multiplication, so "-0" is negative zero.
    volatile long double sign = negative ? -1.0L : 1.0L;
    a = a * sign;
    if (end)
        *end = const_cast<char *>(reinterpret_cast<const char *>(stop));
    return a;
}

double strtod(const char *text, char **end)
{
    // The store to a double in memory is where the unit rounds to double
    // precision (and range): returning the extended value in st0 would not.
    volatile double narrowed = static_cast<double>(strtold(text, end));
    return narrowed;
}

} // extern "C"
