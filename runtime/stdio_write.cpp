// The one output path: console writes on descriptor 1, appends for the
// buffered kinds through the code their openers bring.
#include "stdio_impl.h"

#include "unistd.h"

using namespace vekos::stdio;

namespace {

// n >= 1.  write() carries at most 0x7FFFFFFF bytes a call; the loop sends
// what is left.
int write_console(const unsigned char *src, size_t n)
{
    for (;;) {
        const int answer = write(output_fd, src, n);
        if (answer <= 0)
            return -1; // what went out before stays out
        // An answer beyond what is left ends the loop too.
        if (static_cast<unsigned>(answer) >= n)
            return 0;
        src += answer;
        n -= static_cast<unsigned>(answer);
    }
}

} // namespace

extern "C" {

// Stands in for an appender whose opener the program does not link.
static int refuse_append(FILE *, const unsigned char *, size_t) { return -1; }

[[gnu::weak, gnu::alias("refuse_append")]] int memory_stream_append(FILE *, const unsigned char *, size_t);
[[gnu::weak, gnu::alias("refuse_append")]] int file_stream_append(FILE *, const unsigned char *, size_t);

int file_write_bytes(FILE *stream, const void *src, size_t n)
{
    if (!stream || !src)
        return -1;
    if (n == 0)
        return 0;
    const unsigned char *bytes = static_cast<const unsigned char *>(src);
    switch (stream->kind) {
    case STREAM_FD: return stream->fd == output_fd ? write_console(bytes, n) : -1;
    case STREAM_MEMORY: return memory_stream_append(stream, bytes, n);
    case STREAM_FILE_WRITE: return file_stream_append(stream, bytes, n);
    }
    return -1; // no opener makes any other kind
}

} // extern "C"
