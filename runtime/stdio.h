/* Streams: unbuffered console output, whole-file writes, memory streams.
 * How they differ from standard C: docs/stdio.md, and for formatting
 * docs/printf.md and docs/scanf.md. */
#ifndef VEKOS_STDIO_H
#define VEKOS_STDIO_H

#include <stdarg.h>
#include <stddef.h>

#include "vekos_cdefs.h"

VEKOS_BEGIN_DECLS

#define EOF (-1)

typedef enum StreamKind {
    STREAM_FD = 1,        /* a kernel descriptor; only descriptor 1 takes output */
    STREAM_MEMORY = 2,    /* open_memstream: buffer published to the caller */
    STREAM_FILE_WRITE = 3 /* fopen "w": the whole buffer is written at fclose */
} StreamKind;

typedef struct FILE {
    StreamKind kind;
    int fd;
    char *path;
    char *data;
    unsigned len;
    unsigned cap;
    char **out_buf;
    size_t *out_size;
    int error;
    int pos;
    int eof;
} FILE;

extern FILE *stdin;
extern FILE *stdout;
extern FILE *stderr;

FILE *fopen(const char *path, const char *mode);
int fclose(FILE *stream);
size_t fread(void *dst, size_t size, size_t count, FILE *stream);
size_t fwrite(const void *src, size_t size, size_t count, FILE *stream);
int fputc(int ch, FILE *stream);
int putchar(int ch);
int fputs(const char *s, FILE *stream);
int puts(const char *s);
int fgetc(FILE *stream);
int getchar(void);
FILE *open_memstream(char **bufp, size_t *sizep);
int fseek(FILE *stream, int offset, int origin);
int ftell(FILE *stream);
void rewind(FILE *stream);
int feof(FILE *stream);
int ferror(FILE *stream);
int fflush(FILE *stream);
void setbuf(FILE *stream, char *buffer);

/* Formatting into a buffer: the full length is answered, at most size - 1
   characters and a terminator are stored.  The two unbounded forms store at
   most 65535 characters and a terminator. */
int vsnprintf(char *buf, size_t size, const char *format, va_list args);
int snprintf(char *buf, size_t size, const char *format, ...);
int vsprintf(char *buf, const char *format, va_list args);
int sprintf(char *buf, const char *format, ...);

/* Formatting onto a stream, piece by piece: the bytes written are answered,
   or -1 once a write fails.  "ll" takes a 64-bit argument here; there are no
   flags and no "X".  A format beginning with "%c" on the console first sends
   a four-byte control record made of the next three arguments. */
int vfprintf(FILE *stream, const char *format, va_list args);
int fprintf(FILE *stream, const char *format, ...);
int printf(const char *format, ...);

VEKOS_END_DECLS

/* Formatted input: the conversions d, i, x, X (signed 32-bit), u, c, s and
 * the escape %%, with "*" to suppress the assignment.  Widths are read and
 * ignored, except that "%Ns" stores at most N bytes and the terminating
 * zero.  The result is the count of values stored, never -1; the scan ends
 * at the first directive that fails.  fscanf reads one word and the one
 * separator after it from a descriptor stream (one read call per byte) and
 * converts that word alone; -1 when no word begins before the input ends,
 * or for a null stream or format or a stream that is not STREAM_FD. */
#include <stdarg.h>

VEKOS_BEGIN_DECLS

int vsscanf(const char *input, const char *format, va_list args);
int sscanf(const char *input, const char *format, ...);
int fscanf(FILE *stream, const char *format, ...);

VEKOS_END_DECLS

#endif
