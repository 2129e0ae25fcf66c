// Copying and filling memory.
//
// In the emulator a store costs far more than any other instruction, and a
// store that is not aligned to its own size costs several times more again;
// loads are cheap whatever their alignment.  So the bulk of every copy and
// fill goes in aligned 8-byte stores through the x87 unit: fildll reads a
// 64-bit integer exactly, whatever the bit pattern, and fistpll writes the
// same 8 bytes back.  Byte and word stores first bring the destination to an
// 8-byte boundary and then take the last few bytes.  The calling convention
// leaves the x87 register stack empty at every call, so the two registers
// used here are free, and nothing is left on the stack.
//
// Nothing outside the n bytes given is read or written, and each unit is read
// completely before it is stored, which is what makes memmove's two
// directions safe for overlapping buffers.
#include "string.h"

#include "string_impl.h"

using namespace vekos::strings;

namespace {

constexpr size_t chunk_size = 8;

inline bool has_bits(const unsigned char *p, uintptr_t bits) { return (reinterpret_cast<uintptr_t>(p) & bits) != 0; }

inline void copy_word(unsigned char *d, const unsigned char *s)
{
    word_t w = *reinterpret_cast<const word_t *>(s);
    *reinterpret_cast<word_t *>(d) = w;
}

// `chunks` 8-byte units, lowest first, ending at d_end and s_end.  An index
// climbing from minus the length to zero serves both buffers.
inline void chunks_up(unsigned char *d_end, const unsigned char *s_end, size_t chunks)
{
    intptr_t i = -intptr_t(chunks * chunk_size);
    asm volatile("1:\n\t"
                 "fildll (%[s],%[i])\n\t"
                 "fistpll (%[d],%[i])\n\t"
                 "addl $8, %[i]\n\t"
                 "jnz 1b"
                 : [i] "+r"(i)
                 : [d] "r"(d_end), [s] "r"(s_end)
                 : "memory", "cc");
}

// `chunks` 8-byte units, highest first, starting at d and s.
inline void chunks_down(unsigned char *d, const unsigned char *s, size_t chunks)
{
    intptr_t i = intptr_t(chunks * chunk_size);
    asm volatile("1:\n\t"
                 "fildll -8(%[s],%[i])\n\t"
                 "fistpll -8(%[d],%[i])\n\t"
                 "subl $8, %[i]\n\t"
                 "jnz 1b"
                 : [i] "+r"(i)
                 : [d] "r"(d), [s] "r"(s)
                 : "memory", "cc");
}

// `chunks` copies of the 8 bytes of pattern, ending at d_end.
inline void chunks_fill(unsigned char *d_end, uint64_t pattern, size_t chunks)
{
    intptr_t i = -intptr_t(chunks * chunk_size);
    asm volatile("fildll %[p]\n"
                 "1:\n\t"
                 "fld %%st(0)\n\t"
                 "fistpll (%[d],%[i])\n\t"
                 "addl $8, %[i]\n\t"
                 "jnz 1b\n\t"
                 "fstp %%st(0)"
                 : [i] "+r"(i)
                 : [d] "r"(d_end), [p] "m"(pattern)
                 : "memory", "cc");
}

// Lowest address first.  Safe for overlapping buffers when d is below s.
void copy_up(unsigned char *d, const unsigned char *s, size_t n)
{
    if (n >= chunk_size) {
        for (; has_bits(d, 3); --n)
            *d++ = *s++;
        if (has_bits(d, 4) && n >= word_size) {
            copy_word(d, s);
            d += word_size, s += word_size, n -= word_size;
        }
        if (size_t chunks = n / chunk_size) {
            d += chunks * chunk_size, s += chunks * chunk_size, n %= chunk_size;
            chunks_up(d, s, chunks);
        }
    }
    for (; n >= word_size; n -= word_size) {
        copy_word(d, s);
        d += word_size, s += word_size;
    }
    for (; n != 0; --n)
        *d++ = *s++;
}

// Highest address first, the mirror image of copy_up: safe for overlapping
// buffers when d is above s.
void copy_down(unsigned char *d, const unsigned char *s, size_t n)
{
    unsigned char *d_end = d + n;
    const unsigned char *s_end = s + n;
    if (n >= chunk_size) {
        for (; has_bits(d_end, 3); --n)
            *--d_end = *--s_end;
        if (has_bits(d_end, 4) && n >= word_size) {
            d_end -= word_size, s_end -= word_size, n -= word_size;
            copy_word(d_end, s_end);
        }
        if (size_t chunks = n / chunk_size) {
            n %= chunk_size;
            chunks_down(d + n, s + n, chunks);
            d_end = d + n, s_end = s + n;
        }
    }
    for (; n >= word_size; n -= word_size) {
        d_end -= word_size, s_end -= word_size;
        copy_word(d_end, s_end);
    }
    while (d_end != d)
        *--d_end = *--s_end;
}

} // namespace

extern "C" {

void *memcpy(void *dst, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    // With dst one to seven bytes above src and the buffers overlapping, a
    // copy in 4- or 8-byte units would read bytes a byte copy had already
    // replaced; those go byte by byte, so memcpy is always exactly a forward
    // copy.  At any other distance the units give the same bytes.
    uintptr_t gap = reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s);
    if (gap - 1 < chunk_size - 1) {
        for (size_t i = 0; i < n; ++i)
            d[i] = s[i];
    } else {
        copy_up(d, s, n);
    }
    return dst;
}

void *memmove(void *dst, const void *src, size_t n)
{
    if (dst == src || n == 0)
        return dst;
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    if (reinterpret_cast<uintptr_t>(d) < reinterpret_cast<uintptr_t>(s))
        copy_up(d, s, n);
    else
        copy_down(d, s, n);
    return dst;
}

void *memset(void *p, int ch, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(p);
    const unsigned char byte = static_cast<unsigned char>(ch);
    const uint32_t word = byte * ones;
    if (n >= chunk_size) {
        for (; has_bits(d, 3); --n)
            *d++ = byte;
        if (has_bits(d, 4) && n >= word_size) {
            *reinterpret_cast<word_t *>(d) = word;
            d += word_size, n -= word_size;
        }
        if (size_t chunks = n / chunk_size) {
            d += chunks * chunk_size, n %= chunk_size;
            chunks_fill(d, uint64_t(word) << 32 | word, chunks);
        }
    }
    for (; n >= word_size; n -= word_size, d += word_size)
        *reinterpret_cast<word_t *>(d) = word;
    for (; n != 0; --n)
        *d++ = byte;
    return p;
}

} // extern "C"
