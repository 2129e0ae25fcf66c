// The host's model of the guest's strtold: the same x87 operations in the
// same order, computed in the host's long double (on x86-64 that is the x87
// extended format, run by the real unit at its default 64-bit precision).
//
// It is built differently from the guest code on purpose: the text is first
// cut into its parts (sign, digits, fraction digits, exponent), and only then
// are the operations played, so a slip in either one shows as a mismatch.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::test {

struct ReferenceConversion {
    long double value = 0;
    size_t end = 0; // offset of the end position in the text
};

// The parts of a number as the scanner cuts them.
struct NumberParts {
    bool converts = false;
    bool negative = false;
    bool hexadecimal = false;
    std::vector<int> digits;    // integer digits, then at most 1024 fraction digits
    size_t fraction_digits = 0; // of those, how many are fraction digits
    int exponent = 0;           // saturated at +-4096
    size_t end = 0;
};

inline int reference_digit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The text ends at its first zero byte or at the end of the view.
inline NumberParts cut_number(std::string_view text)
{
    auto at = [&](size_t i) -> unsigned char { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };
    auto decimal = [&](size_t i) { return at(i) >= '0' && at(i) <= '9'; };
    NumberParts n;
    size_t i = 0;
    while (at(i) == ' ' || (at(i) >= 9 && at(i) <= 13))
        ++i;
    if (at(i) == '-' || at(i) == '+')
        n.negative = at(i++) == '-';
    bool hex = at(i) == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X');
    if (!hex && !decimal(i) && !(at(i) == '.' && decimal(i + 1)))
        return n;
    n.hexadecimal = hex;
    if (hex)
        i += 2;
    const int base = hex ? 16 : 10;
    auto is_digit = [&](size_t k) {
        int d = reference_digit(at(k));
        return d >= 0 && d < base;
    };
    size_t any = 0;
    for (; is_digit(i); ++i, ++any)
        n.digits.push_back(reference_digit(at(i)));
    if (at(i) == '.') {
        ++i;
        for (; is_digit(i); ++i, ++any)
            if (n.fraction_digits < 1024) {
                n.digits.push_back(reference_digit(at(i)));
                ++n.fraction_digits;
            }
    }
    if (any == 0)
        return n; // "0x", "0x.": nothing converts
    const char lower = hex ? 'p' : 'e', upper = hex ? 'P' : 'E';
    if (at(i) == lower || at(i) == upper) {
        size_t k = i + 1;
        bool minus = false;
        if (at(k) == '+' || at(k) == '-')
            minus = at(k++) == '-';
        if (decimal(k)) {
            long magnitude = 0;
            for (; decimal(k); ++k)
                magnitude = std::min(magnitude * 10 + (at(k) - '0'), 4096L);
            n.exponent = int(minus ? -magnitude : magnitude);
            i = k;
        }
    }
    n.converts = true;
    n.end = i;
    return n;
}

// Plays the operations of the parts on the x87 unit.
inline long double play_number(const NumberParts& n)
{
    if (!n.converts)
        return 0.0L;
    volatile long double a = 0.0L;
    volatile long double base = n.hexadecimal ? 16.0L : 10.0L;
    volatile long double ten = 10.0L, sixteenth = 0.0625L, half = 0.5L;
    for (int d : n.digits) {
        a = a * base;
        volatile long double digit = d;
        a = a + digit;
    }
    for (size_t k = 0; k < n.fraction_digits; ++k)
        a = n.hexadecimal ? a * sixteenth : a / ten;
    int steps = std::min(n.exponent < 0 ? -n.exponent : n.exponent, 1024);
    for (int k = 0; k < steps; ++k) {
        if (n.hexadecimal)
            a = n.exponent > 0 ? a + a : a * half;
        else
            a = n.exponent > 0 ? a * ten : a / ten;
    }
    volatile long double sign = n.negative ? -1.0L : 1.0L;
    a = a * sign;
    return a;
}

inline ReferenceConversion reference_strtold(std::string_view text)
{
    NumberParts n = cut_number(text);
    return {play_number(n), n.converts ? n.end : 0};
}

// The 80 significant bits of an extended value, as bytes.
inline std::string x87_bits(long double v)
{
    unsigned char raw[10];
    std::memcpy(raw, &v, 10);
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (int i = 9; i >= 0; --i) {
        s += hex[raw[i] >> 4];
        s += hex[raw[i] & 15];
        if (i == 8)
            s += ':';
    }
    return s;
}

inline bool same_bits(long double a, long double b) { return std::memcmp(&a, &b, 10) == 0; }

} // namespace vekos::test
