// Positions: only descriptor streams over files the program opened itself
// have one the kernel can move; the standard descriptors are left alone.
#include "stdio_impl.h"

#include "unistd.h"

using vekos::stdio::is_positionable;

extern "C" {

int fseek(FILE *stream, int offset, int origin)
{
    if (!is_positionable(stream))
        return -1;
    int at = lseek(stream->fd, offset, origin);
    if (at < 0)
        return -1;
    stream->pos = at;
    stream->eof = 0;
    return 0;
}

int ftell(FILE *stream) { return is_positionable(stream) ? stream->pos : -1; }

// Back to the start where there is one; the flags are cleared on every stream.
void rewind(FILE *stream)
{
    if (!stream)
        return;
    if (is_positionable(stream)) {
        int at = lseek(stream->fd, 0, SEEK_SET);
        if (at >= 0)
            stream->pos = at;
    }
    stream->error = 0;
    stream->eof = 0;
}

} // extern "C"
