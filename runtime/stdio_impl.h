// What the stdio pieces share: the three standard records, the one routine
// every output path goes through, and a few small helpers.  Not installed.
#ifndef VEKOS_STDIO_IMPL_H
#define VEKOS_STDIO_IMPL_H

#include <stddef.h>

#include "stdio.h"
#include "stdlib.h"

extern "C" {

// The records behind stdin, stdout and stderr.  They are never closed or
// released, whatever the pointer variables are later set to.
extern FILE g_stdin;
extern FILE g_stdout;
extern FILE g_stderr;

// Writes (descriptor 1) or appends (memory and whole-file streams) the n
// bytes at src.  0 when all of them went out, -1 otherwise.  A real symbol
// so the tests can reach it; only the stdio pieces call it.
int file_write_bytes(FILE *stream, const void *src, size_t n);

// The code of the two buffered kinds lives beside their openers, so a
// program links it only when it can make such a stream: open_memstream
// brings memory_stream_append, fopen brings file_stream_append and
// file_stream_finish, and both bring buffer_append.  file_write_bytes and
// fclose reach them through weak references; without the opener they answer
// -1 (the record can only have been filled by hand).
int memory_stream_append(FILE *stream, const unsigned char *src, size_t n);
int file_stream_append(FILE *stream, const unsigned char *src, size_t n);
int file_stream_finish(FILE *stream);

// Appends the n (>= 1) bytes at src to the stream's buffer, growing it as
// needed, and keeps a NUL after them.  0, or -1 with the stream unchanged
// when the buffer cannot grow.
int buffer_append(FILE *stream, const unsigned char *src, size_t n);

} // extern "C"

namespace vekos::stdio {

// Descriptors 0, 1 and 2 belong to the process, not to any stream.
constexpr int last_standard_fd = 2;
// The only descriptor that takes output.
constexpr int output_fd = 1;

// A record for a new stream, every field zero; null when memory is out.
inline FILE *new_record() { return static_cast<FILE *>(calloc(1, sizeof(FILE))); }

// The stream is one of the three the program currently calls standard.
inline bool is_current_standard(const FILE *stream) { return stream == stdin || stream == stdout || stream == stderr; }

// One of the three static records, wherever the pointer variables now point.
inline bool is_standard_record(const FILE *stream)
{
    return stream == &g_stdin || stream == &g_stdout || stream == &g_stderr;
}

// A descriptor stream over a descriptor it opened itself: the only kind that
// can be repositioned, reports a position, or has its descriptor closed.
inline bool is_positionable(const FILE *stream)
{
    return stream && stream->kind == STREAM_FD && stream->fd > last_standard_fd;
}

// size * count, or false when the product does not fit in 32 bits.
inline bool checked_product(size_t size, size_t count, size_t &product)
{
    return !__builtin_mul_overflow(size, count, &product);
}

} // namespace vekos::stdio

#endif
