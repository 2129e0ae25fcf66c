// Copying and appending strings.
#include "string.h"

#include "string_impl.h"

using namespace vekos::strings;

namespace {

// Where dst's terminator is.
inline char *end_of(char *dst) { return dst + scan_length(dst); }

} // namespace

extern "C" {

char *strcpy(char *dst, const char *src)
{
    if (!dst)
        return nullptr;
    if (!src) {
        *dst = 0;
        return dst;
    }
    memcpy(dst, src, scan_length(src) + 1);
    return dst;
}

char *strncpy(char *dst, const char *src, size_t n)
{
    if (!dst || n == 0)
        return dst;
    size_t copied = 0;
    if (src) {
        copied = scan_length_bounded(src, n);
        memcpy(dst, src, copied);
    }
    memset(dst + copied, 0, n - copied);
    return dst;
}

// A destination below the guard is refused like null: nothing is written
// and the answer is null.
char *strcat(char *dst, const char *src)
{
    if (below_guard(dst))
        return nullptr;
    if (!src)
        return dst;
    char *end = end_of(dst);
    memcpy(end, src, scan_length(src) + 1);
    return dst;
}

char *strncat(char *dst, const char *src, size_t n)
{
    if (below_guard(dst))
        return nullptr;
    if (!src || n == 0)
        return dst;
    char *end = end_of(dst);
    size_t copied = scan_length_bounded(src, n);
    memcpy(end, src, copied);
    end[copied] = 0;
    return dst;
}

} // extern "C"
