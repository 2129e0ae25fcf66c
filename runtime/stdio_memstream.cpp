// Memory streams: open_memstream, and the appender it brings into the
// program, which publishes the buffer and its length after every write.
#include "stdio_impl.h"

extern "C" {

FILE *open_memstream(char **bufp, size_t *sizep)
{
    if (!bufp || !sizep)
        return nullptr;
    FILE *stream = vekos::stdio::new_record();
    if (!stream)
        return nullptr;
    stream->kind = STREAM_MEMORY;
    stream->out_buf = bufp;
    stream->out_size = sizep;
    *bufp = nullptr;
    *sizep = 0;
    return stream;
}

int memory_stream_append(FILE *stream, const unsigned char *src, size_t n)
{
    if (buffer_append(stream, src, n) != 0)
        return -1;
    if (stream->out_buf && stream->out_size) {
        *stream->out_buf = stream->data;
        *stream->out_size = stream->len;
    }
    return 0;
}

} // extern "C"
