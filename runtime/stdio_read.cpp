// Reading: only descriptor streams can be read, one read call per request.
#include "stdio_impl.h"

#include "unistd.h"

namespace {

// The bytes a read call delivered move the position on; the sum wraps
// rather than overflowing.
void advance(FILE *stream, int got)
{
    stream->pos = static_cast<int>(static_cast<unsigned>(stream->pos) + static_cast<unsigned>(got));
}

} // namespace

extern "C" {

size_t fread(void *dst, size_t size, size_t count, FILE *stream)
{
    size_t total;
    if (!dst || !stream || size == 0 || count == 0 || stream->kind != STREAM_FD
        || !vekos::stdio::checked_product(size, count, total))
        return 0;
    int got = read(stream->fd, dst, total);
    if (got <= 0) {
        stream->eof = 1;
        return 0;
    }
    advance(stream, got);
    // No second read: a short answer is taken as the end.
    if (static_cast<unsigned>(got) < total)
        stream->eof = 1;
    return static_cast<unsigned>(got) / size;
}

int fgetc(FILE *stream)
{
    if (!stream || stream->kind != STREAM_FD)
        return EOF;
    unsigned char byte;
    int got = read(stream->fd, &byte, 1);
    if (got <= 0) {
        stream->eof = 1;
        return EOF;
    }
    advance(stream, got);
    return got == 1 ? byte : EOF;
}

int getchar(void) { return fgetc(stdin); }

} // extern "C"
