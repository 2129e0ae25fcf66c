// The stream formatter's front ends.
#include "stdio.h"

extern "C" {

int fprintf(FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vfprintf(stream, format, args);
    va_end(args);
    return n;
}

// Follows stdout wherever the program has pointed it by the time of the call.
int printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vfprintf(stdout, format, args);
    va_end(args);
    return n;
}

} // extern "C"
