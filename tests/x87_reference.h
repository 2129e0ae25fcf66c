// The host's model of the guest's strtold: the text is first cut into its
// parts (sign, digits, fraction digits, exponent), and only then are the same
// x87 operations played in the same order, in the host's long double (on
// x86-64 the x87 extended format at its default 64-bit precision).  Built
// differently from the guest code on purpose, so a slip in either shows.
#pragma once

#include <algorithm>
#include <cstdio>
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
    static const char alphabet[] = "0123456789abcdef0123456789ABCDEF";
    auto digit = [&](size_t i, int base) { // its value below the base, else -1
        const char* p = at(i) ? std::strchr(alphabet, at(i)) : nullptr;
        return p && (p - alphabet) % 16 < base ? int(p - alphabet) % 16 : -1;
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
    const size_t k0 = i + 1 + (at(i + 1) == '-' || at(i + 1) == '+'); // an exponent needs a digit
    if ((at(i) == (hex ? 'p' : 'e') || at(i) == (hex ? 'P' : 'E')) && digit(k0, 10) >= 0) {
        for (i = k0; digit(i, 10) >= 0; ++i)
            exponent = std::min(exponent * 10 + digit(i, 10), 4096);
        exponent = at(k0 - 1) == '-' ? -exponent : exponent;
    }
    // The operations, one at a time in the extended format.
    volatile long double a = 0.0L;
    for (int d : digits) {
        a = a * (hex ? 16.0L : 10.0L);
        a = a + d;
    }
    for (size_t k = 0; k < fraction; ++k)
        a = hex ? a * 0.0625L : a / 10.0L;
    for (int k = std::min(std::abs(exponent), 1024); k > 0; --k)
        a = hex ? (exponent > 0 ? a + a : a * 0.5L) : (exponent > 0 ? a * 10.0L : a / 10.0L);
    a = a * (negative ? -1.0L : 1.0L);
    return {a, i};
}

// The 80 significant bits of an extended value, as hexadecimal.
inline std::string x87_bits(long double v)
{
    unsigned char b[10];
    std::memcpy(b, &v, 10);
    char s[24];
    std::snprintf(s, sizeof s, "%02x%02x:%02x%02x%02x%02x%02x%02x%02x%02x", b[9], b[8], b[7], b[6], b[5], b[4], b[3],
        b[2], b[1], b[0]);
    return s;
}

inline bool same_bits(long double a, long double b) { return std::memcmp(&a, &b, 10) == 0; }

} // namespace vekos::test
