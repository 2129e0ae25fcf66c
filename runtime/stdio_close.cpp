// Ending streams: fclose.
#include "stdio_impl.h"

#include "unistd.h"

using namespace vekos::stdio;

extern "C" {

// Stands in for the whole-file code when the program does not link fopen.
static int refuse_finish(FILE *) { return -1; }

[[gnu::weak, gnu::alias("refuse_finish")]] int file_stream_finish(FILE *);

int fclose(FILE *stream)
{
    if (!stream)
        return -1;
    if (is_current_standard(stream) || is_standard_record(stream))
        return 0;
    int result;
    switch (stream->kind) {
    case STREAM_FD: result = stream->fd > last_standard_fd ? close(stream->fd) : 0; break;
    case STREAM_FILE_WRITE: result = file_stream_finish(stream); break;
    case STREAM_MEMORY:
        result = 0; // the caller already holds the buffer and its length
        break;
    default: return -1; // a record of a kind no opener makes is not ours to release
    }
    // A memory stream's buffer went to the caller with its first write.
    if (stream->data && stream->kind != STREAM_MEMORY)
        free(stream->data);
    if (stream->path)
        free(stream->path);
    free(stream);
    return result;
}

} // extern "C"
