// Output in items, bytes and strings, all through file_write_bytes.
#include "stdio_impl.h"

#include "string.h"

extern "C" {

size_t fwrite(const void *src, size_t size, size_t count, FILE *stream)
{
    size_t total;
    if (!src || !stream || size == 0 || count == 0 || !vekos::stdio::checked_product(size, count, total))
        return 0;
    return file_write_bytes(stream, src, total) == 0 ? count : 0;
}

// The byte written is ch's low eight bits; the answer is ch as given.
int fputc(int ch, FILE *stream)
{
    const unsigned char byte = static_cast<unsigned char>(ch);
    return file_write_bytes(stream, &byte, 1) == 0 ? ch : EOF;
}

int putchar(int ch) { return fputc(ch, stdout); }

int fputs(const char *s, FILE *stream)
{
    if (!s)
        return EOF;
    const size_t n = strlen(s);
    return file_write_bytes(stream, s, n) == 0 ? static_cast<int>(n) : EOF;
}

// The text and the newline go out as two writes.
int puts(const char *s)
{
    if (!s)
        return EOF;
    FILE *out = stdout;
    if (file_write_bytes(out, s, strlen(s)) != 0)
        return EOF;
    const char newline = '\n';
    return file_write_bytes(out, &newline, 1) == 0 ? 0 : EOF;
}

} // extern "C"
