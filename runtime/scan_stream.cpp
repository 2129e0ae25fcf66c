// Formatted input from a descriptor stream: fscanf takes one word, and the
// one separator after it, from the stream and converts that word alone.
//
// Bytes come one read call at a time and nothing is held back, so fscanf
// mixes freely with fgetc, getchar and fread on the same stream: each goes
// on just after the separator that ended the last word.
#include "stdio.h"

#include "scan_impl.h"
#include "unistd.h"

namespace {

using vekos::scan::is_stream_separator;
using vekos::scan::word_buffer_size;

// One byte from the stream's descriptor.  An answer of 0 or less marks the
// end of input and comes back false; a positive one moves the position on
// (the sum wraps rather than overflowing).
bool read_byte(FILE *stream, unsigned char &byte)
{
    int got = read(stream->fd, &byte, 1);
    if (got <= 0) {
        stream->eof = 1;
        return false;
    }
    stream->pos = static_cast<int>(static_cast<unsigned>(stream->pos) + static_cast<unsigned>(got));
    return true;
}

} // namespace

extern "C" {

int fscanf(FILE *stream, const char *format, ...)
{
    if (!stream || !format || stream->kind != STREAM_FD)
        return EOF;

    unsigned char byte;
    do {
        if (!read_byte(stream, byte))
            return EOF; // no word began
    } while (is_stream_separator(byte));

    // The word: at most 255 bytes are kept, the rest is read and dropped.
    // The separator that ends it is taken from the stream and lost.
    char word[word_buffer_size];
    unsigned len = 0;
    word[len++] = static_cast<char>(byte);
    while (read_byte(stream, byte) && !is_stream_separator(byte))
        if (len < word_buffer_size - 1)
            word[len++] = static_cast<char>(byte);
    word[len] = 0;

    va_list args;
    va_start(args, format);
    int count = vsscanf(word, format, args);
    va_end(args);
    return count;
}

} // extern "C"
