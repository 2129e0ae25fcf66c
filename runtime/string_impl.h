// What the string pieces share: the low-address guard, word-at-a-time
// scanning, and case folding.  Not installed.
#ifndef VEKOS_STRING_IMPL_H
#define VEKOS_STRING_IMPL_H

#include <stddef.h>
#include <stdint.h>

namespace vekos::strings {

// Page 0 is never mapped: a pointer below it is taken for a mistake, and the
// routines that guard against it read it as the empty string.
constexpr uintptr_t lowest_valid_address = 4096;

inline bool below_guard(const void *p) { return reinterpret_cast<uintptr_t>(p) < lowest_valid_address; }

// A 32-bit load that may look at bytes of any type.
typedef uint32_t __attribute__((may_alias)) word_t;

constexpr uint32_t word_size = sizeof(word_t);
constexpr uint32_t ones = 0x01010101u;
constexpr uint32_t highs = 0x80808080u;

// Non-zero when one of the four bytes of w is zero.  It may also flag a 0x80
// byte sitting above a zero byte, but only when a real zero is there too.
inline uint32_t zero_byte_mask(uint32_t w) { return (w - ones) & ~w & highs; }

inline bool word_aligned(const void *p) { return (reinterpret_cast<uintptr_t>(p) & (word_size - 1)) == 0; }

// Bytes before the terminator.  Reads byte by byte up to a word boundary,
// then whole aligned words: the last word read is the one holding the
// terminator, so the scan never touches the page after the string.
inline size_t scan_length(const char *s)
{
    const char *p = s;
    for (; !word_aligned(p); ++p)
        if (*p == 0)
            return size_t(p - s);
    // Step first, test after: the loop has no jump back to its test.
    const word_t *w = reinterpret_cast<const word_t *>(p) - 1;
    do
        ++w;
    while (zero_byte_mask(*w) == 0);
    p = reinterpret_cast<const char *>(w);
    while (*p)
        ++p;
    return size_t(p - s);
}

// Bytes before the terminator, at most max; reads none of the bytes past
// either end.
inline size_t scan_length_bounded(const char *s, size_t max)
{
    const char *p = s;
    for (; max != 0 && !word_aligned(p); ++p, --max)
        if (*p == 0)
            return size_t(p - s);
    const word_t *w = reinterpret_cast<const word_t *>(p);
    for (; max >= word_size && zero_byte_mask(*w) == 0; ++w)
        max -= word_size;
    for (p = reinterpret_cast<const char *>(w); max != 0 && *p; ++p)
        --max;
    return size_t(p - s);
}

// ASCII upper case to lower case; every other byte, 128..255 included, as is.
inline unsigned fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

inline int difference(unsigned char a, unsigned char b) { return int(a) - int(b); }

} // namespace vekos::strings

#endif
