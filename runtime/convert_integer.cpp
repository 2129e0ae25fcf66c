// Text to 32-bit integers: strtoul and strtol (base selection, no sign) and
// atoi and atol (sign, decimal only).  Values wrap modulo 2^32 and nothing
// sets errno.  The two families skip different blanks on purpose.
#include "stdlib.h"

#include "convert_impl.h"

namespace {

using vekos::convert::at_hex_prefix;
using vekos::convert::digit_value;
using vekos::convert::is_decimal_digit;

// Blanks before a strtoul number: no vertical tab, no form feed.
bool is_strtoul_blank(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// Blanks before an atoi number: not even the carriage return.
bool is_atoi_blank(unsigned char c) { return c == '\t' || c == '\n' || c == ' '; }

} // namespace

extern "C" {

unsigned long strtoul(const char *text, char **end, int base)
{
    if (!text) {
        if (end)
            *end = nullptr;
        return 0;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (is_strtoul_blank(*p))
        ++p;
    // A prefix is taken whether or not a digit follows it: the end never
    // goes back to the "0" of a bare "0x".
    if (base == 0) {
        if (at_hex_prefix(p)) {
            p += 2;
            base = 16;
        } else if (*p == '0') {
            ++p;
            base = 8;
        } else {
            base = 10;
        }
    } else if (base == 16 && at_hex_prefix(p)) {
        p += 2;
    }
    unsigned long value = 0;
    for (;;) {
        // Signed: with a negative base no byte is a digit.
        int digit = digit_value(*p);
        if (digit < 0 || digit >= base)
            break;
        value = value * static_cast<unsigned long>(base) + static_cast<unsigned long>(digit);
        ++p;
    }
    if (end)
        *end = const_cast<char *>(reinterpret_cast<const char *>(p));
    return value;
}

// The same scanner read as signed: no sign is accepted here either.
long strtol(const char *text, char **end, int base) { return static_cast<long>(strtoul(text, end, base)); }

int atoi(const char *text)
{
    if (!text)
        return 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (is_atoi_blank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    unsigned value = 0;
    while (is_decimal_digit(*p))
        value = value * 10u + static_cast<unsigned>(*p++ - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

long atol(const char *text) { return atoi(text); }

} // extern "C"
