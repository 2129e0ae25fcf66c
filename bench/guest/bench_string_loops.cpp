// The string benchmark's guest image: the whole runtime, plus the plain byte
// loops its routines are measured against, built with the same flags.
#include <stddef.h>

extern "C" {

int main() { return 0; }

void *loop_copy(void *dst, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    for (size_t i = 0; i < n; ++i)
        d[i] = s[i];
    return dst;
}

void *loop_copy_backward(void *dst, const void *src, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    while (n-- != 0)
        d[n] = s[n];
    return dst;
}

void *loop_fill(void *p, int ch, size_t n)
{
    unsigned char *d = static_cast<unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        d[i] = static_cast<unsigned char>(ch);
    return p;
}

size_t loop_length(const char *s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

} // extern "C"
