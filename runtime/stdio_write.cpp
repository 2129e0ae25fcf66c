// The one output path: console writes on descriptor 1, appends everywhere else.
#include "stdio_impl.h"

#include "stdlib.h"
#include "string.h"
#include "unistd.h"

namespace {

using namespace vekos::stdio;

// Capacity that holds `need` bytes: from nothing, 256 or the first power of
// two from 512 up; from `cap`, cap doubled as often as needed.  False when
// that capacity does not fit in 32 bits.
bool grown_capacity(unsigned cap, unsigned need, unsigned &result)
{
    if (cap == 0) {
        if (need <= first_capacity) {
            result = first_capacity;
            return true;
        }
        cap = first_capacity;
    }
    while (cap < need) {
        if (cap > 0xFFFFFFFFu / 2)
            return false;
        cap *= 2;
    }
    result = cap;
    return true;
}

int write_console(const unsigned char *src, size_t n)
{
    size_t done = 0;
    while (done < n) {
        size_t chunk = n - done;
        if (chunk > max_write_chunk)
            chunk = max_write_chunk;
        int answer = write(output_fd, src + done, chunk);
        if (answer <= 0)
            return -1;  // what went out before stays out
        // An answer beyond what is left ends the loop; added up it could wrap.
        if (static_cast<unsigned>(answer) >= n - done)
            break;
        done += static_cast<unsigned>(answer);
    }
    return 0;
}

int append(FILE *stream, const unsigned char *src, size_t n)
{
    // need = len + n + 1, refused rather than wrapped.
    unsigned need;
    if (__builtin_add_overflow(stream->len, n, &need) || __builtin_add_overflow(need, 1u, &need))
        return -1;
    if (stream->cap < need) {
        unsigned cap;
        if (!grown_capacity(stream->cap, need, cap))
            return -1;
        char *data = static_cast<char *>(realloc(stream->data, cap));
        if (!data)
            return -1;  // the old buffer, if any, is still the stream's
        stream->data = data;
        stream->cap = cap;
    }
    memcpy(stream->data + stream->len, src, n);
    stream->len += n;
    stream->data[stream->len] = '\0';
    if (stream->kind == STREAM_MEMORY && stream->out_buf && stream->out_size) {
        *stream->out_buf = stream->data;
        *stream->out_size = stream->len;
    }
    return 0;
}

} // namespace

extern "C" int file_write_bytes(FILE *stream, const void *src, size_t n)
{
    if (!stream || !src)
        return -1;
    if (n == 0)
        return 0;
    const unsigned char *bytes = static_cast<const unsigned char *>(src);
    if (stream->kind == STREAM_FD)
        return stream->fd == output_fd ? write_console(bytes, n) : -1;
    return append(stream, bytes, n);
}
