// fopen, and the whole-file stream code it brings into the program: the
// appender and fclose's one write of the file.
#include "stdio_impl.h"

#include "fcntl.h"
#include "string.h"
#include "unistd.h"

namespace {

using namespace vekos::stdio;

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

int file_stream_append(FILE *stream, const unsigned char *src, size_t n) { return buffer_append(stream, src, n); }

// A stream never written to still makes its file, empty.
int file_stream_finish(FILE *stream)
{
    if (!stream->path)
        return -1;
    const char *bytes = stream->data ? stream->data : "";
    return writefile(stream->path, bytes, stream->len) < 0 ? -1 : 0;
}

} // extern "C"
