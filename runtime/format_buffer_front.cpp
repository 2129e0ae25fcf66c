// The buffer formatter's front ends.
#include "stdio.h"

namespace {

// What sprintf and vsprintf take the caller's buffer to hold: at most this
// many bytes, the terminator included.
constexpr size_t unbounded_size = 65536;

} // namespace

extern "C" {

int snprintf(char *buf, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}

int vsprintf(char *buf, const char *format, va_list args) { return vsnprintf(buf, unbounded_size, format, args); }

int sprintf(char *buf, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buf, unbounded_size, format, args);
    va_end(args);
    return n;
}

} // extern "C"
