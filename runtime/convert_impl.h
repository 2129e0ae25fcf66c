// What the number scanners share: digit values and the byte classes they
// test.  Not installed.
#ifndef VEKOS_CONVERT_IMPL_H
#define VEKOS_CONVERT_IMPL_H

namespace vekos::convert {

// 0..9 for the characters 0 to 9, 10..15 for a to f and A to F, -1 for
// every other byte: g to z are never digits, whatever the base.
inline int digit_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

inline bool is_decimal_digit(unsigned char c) { return c >= '0' && c <= '9'; }

inline bool is_hex_digit(unsigned char c) { return digit_value(c) >= 0; }

// "0x" or "0X" at p.
inline bool at_hex_prefix(const unsigned char *p) { return p[0] == '0' && (p[1] == 'x' || p[1] == 'X'); }

// Decimal exponents saturate here while their digits are read, so an
// exponent of any length costs the same.
constexpr int exponent_cap = 4096;

// Most scaling steps one exponent applies, and most fraction digits that
// enter the accumulator (later ones are read past and dropped).
constexpr int max_scaling_steps = 1024;

} // namespace vekos::convert

#endif
