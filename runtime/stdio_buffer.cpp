// The growing buffer behind memory and whole-file streams.  Only their
// openers' units refer to it, so a program that can make neither does not
// link it, nor realloc and memcpy through it.
#include "stdio_impl.h"

#include "string.h"

namespace {

// The first buffer of a memory or whole-file stream.
constexpr unsigned first_capacity = 256;

// Capacity that holds `need` bytes: from nothing, 256 or the first power of
// two from 512 up; from `cap`, cap doubled as often as needed.  False when
// that capacity does not fit in 32 bits.
bool grown_capacity(unsigned cap, unsigned need, unsigned &result)
{
    if (cap == 0) {
        if (need <= first_capacity) {
            result = first_capacity;
            return true;
        }
        cap = first_capacity;
    }
    while (cap < need) {
        if (cap > 0xFFFFFFFFu / 2)
            return false;
        cap *= 2;
    }
    result = cap;
    return true;
}

} // namespace

extern "C" int buffer_append(FILE *stream, const unsigned char *src, size_t n)
{
    // need = len + n + 1, refused rather than wrapped.
    unsigned need;
    if (__builtin_add_overflow(stream->len, n, &need) || __builtin_add_overflow(need, 1u, &need))
        return -1;
    if (stream->cap < need) {
        unsigned cap;
        if (!grown_capacity(stream->cap, need, cap))
            return -1;
        char *data = static_cast<char *>(realloc(stream->data, cap));
        if (!data)
            return -1; // the old buffer, if any, is still the stream's
        stream->data = data;
        stream->cap = cap;
    }
    memcpy(stream->data + stream->len, src, n);
    stream->len += n;
    stream->data[stream->len] = '\0';
    return 0;
}
