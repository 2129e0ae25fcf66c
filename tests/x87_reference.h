// The host's model of the guest's strtold: the text is first cut into its
// parts (sign, digits, fraction digits, exponent), and only then are the same
// x87 operations played in the same order, in the host's long double (on
// x86-64 the x87 extended format at its default 64-bit precision).  Built
// differently from the guest code on purpose, so a slip in either shows.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::test {

struct ReferenceConversion {
    long double value = 0;
    size_t end = 0; // offset of the end position; 0 when nothing converts
};

// The text ends at its first zero byte or at the end of the view.
inline ReferenceConversion reference_strtold(std::string_view text)
{
    auto at = [&](size_t i) -> int { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };
    auto digit = [&](size_t i, int base) {
        const int c = at(i);
        const int d = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'f'         ? c - 'a' + 10
            : c >= 'A' && c <= 'F'         ? c - 'A' + 10
                                           : 99;
        return d < base ? d : -1;
    };
    size_t i = 0;
    while (at(i) == ' ' || (at(i) >= 9 && at(i) <= 13))
        ++i;
    const bool negative = at(i) == '-';
    i += at(i) == '-' || at(i) == '+';
    const bool hex = at(i) == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X');
    const int base = hex ? 16 : 10;
    if (!hex && digit(i, 10) < 0 && !(at(i) == '.' && digit(i + 1, 10) >= 0))
        return {};
    i += hex ? 2 : 0;
    std::vector<int> digits; // integer digits, then at most 1024 fraction digits
    size_t fraction = 0, read = 0;
    for (; digit(i, base) >= 0; ++i, ++read)
        digits.push_back(digit(i, base));
    if (at(i) == '.')
        for (++i; digit(i, base) >= 0; ++i, ++read)
            if (fraction < 1024) {
                digits.push_back(digit(i, base));
                ++fraction;
            }
    if (read == 0)
        return {}; // "0x", "0x.": nothing converts
    int exponent = 0;
    if (at(i) == (hex ? 'p' : 'e') || at(i) == (hex ? 'P' : 'E')) {
        const bool minus = at(i + 1) == '-';
        size_t k = i + 1 + (minus || at(i + 1) == '+');
        if (digit(k, 10) >= 0) {
            int magnitude = 0;
            for (; digit(k, 10) >= 0; ++k)
                magnitude = std::min(magnitude * 10 + digit(k, 10), 4096);
            exponent = minus ? -magnitude : magnitude;
            i = k;
        }
    }
    volatile long double a = 0.0L, b = base, ten = 10.0L, sixteenth = 0.0625L, half = 0.5L;
    for (int d : digits) {
        volatile long double v = d;
        a = a * b;
        a = a + v;
    }
    for (size_t k = 0; k < fraction; ++k)
        a = hex ? a * sixteenth : a / ten;
    for (int k = std::min(std::abs(exponent), 1024); k > 0; --k)
        a = hex ? (exponent > 0 ? a + a : a * half) : (exponent > 0 ? a * ten : a / ten);
    volatile long double sign = negative ? -1.0L : 1.0L;
    a = a * sign;
    return {a, i};
}

// The 80 significant bits of an extended value, as hexadecimal.
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
