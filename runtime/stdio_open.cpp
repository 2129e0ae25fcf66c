// Making and ending streams: fopen, open_memstream, fclose.
#include "stdio_impl.h"

#include "fcntl.h"
#include "stdlib.h"
#include "string.h"
#include "unistd.h"

namespace {

using namespace vekos::stdio;

FILE *new_record()
{
    return static_cast<FILE *>(calloc(1, sizeof(FILE)));
}

FILE *open_for_reading(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return nullptr;
    FILE *stream = new_record();
    if (!stream) {
        close(fd);
        return nullptr;
    }
    stream->kind = STREAM_FD;
    stream->fd = fd;
    return stream;
}

// Nothing reaches the file system before fclose, so an unwritable path is
// only found out there.
FILE *open_for_writing(const char *path)
{
    FILE *stream = new_record();
    if (!stream)
        return nullptr;
    stream->kind = STREAM_FILE_WRITE;
    stream->path = strdup(path);
    if (!stream->path) {
        free(stream);
        return nullptr;
    }
    return stream;
}

// The stream's last act, before its memory goes: 0 or -1 (or close's answer).
int finish(FILE *stream)
{
    switch (stream->kind) {
    case STREAM_FD:
        return stream->fd > last_standard_fd ? close(stream->fd) : 0;
    case STREAM_FILE_WRITE: {
        if (!stream->path)
            return -1;
        // A stream never written to still makes its file, empty.
        const char *bytes = stream->data ? stream->data : "";
        return writefile(stream->path, bytes, stream->len) < 0 ? -1 : 0;
    }
    case STREAM_MEMORY:
        return 0;  // the caller already holds the buffer and its length
    }
    return -1;
}

} // namespace

extern "C" {

// Only the first character of the mode counts: "rb", "r+" and "read" all
// read, "wb" and "w+" write.  "-" (or no path) names the current standard
// input or output instead of a file.
FILE *fopen(const char *path, const char *mode)
{
    if (!mode)
        return nullptr;
    const char how = mode[0];
    if (!path || strcmp(path, "-") == 0) {
        if (how == 'r')
            return stdin;
        if (how == 'w')
            return stdout;
        return nullptr;
    }
    if (how == 'r')
        return open_for_reading(path);
    if (how == 'w')
        return open_for_writing(path);
    return nullptr;
}

FILE *open_memstream(char **bufp, size_t *sizep)
{
    if (!bufp || !sizep)
        return nullptr;
    FILE *stream = new_record();
    if (!stream)
        return nullptr;
    stream->kind = STREAM_MEMORY;
    stream->out_buf = bufp;
    stream->out_size = sizep;
    *bufp = nullptr;
    *sizep = 0;
    return stream;
}

int fclose(FILE *stream)
{
    if (!stream)
        return -1;
    if (is_current_standard(stream) || is_standard_record(stream))
        return 0;
    // A record of a kind no opener makes is not ours to release.
    if (stream->kind != STREAM_FD && stream->kind != STREAM_MEMORY && stream->kind != STREAM_FILE_WRITE)
        return -1;
    int result = finish(stream);
    // A memory stream's buffer went to the caller with its first write.
    if (stream->data && stream->kind != STREAM_MEMORY)
        free(stream->data);
    if (stream->path)
        free(stream->path);
    free(stream);
    return result;
}

} // extern "C"
