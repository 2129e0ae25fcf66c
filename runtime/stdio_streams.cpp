// The standard streams, the record's layout, and the flag queries.
#include "stdio_impl.h"

// The record is shared with code built elsewhere (the SDK's C programs, the
// tests reading it word by word): its layout is fixed, one 32-bit word a field.
static_assert(sizeof(StreamKind) == 4);
static_assert(sizeof(FILE) == 44);
static_assert(offsetof(FILE, kind) == 0);
static_assert(offsetof(FILE, fd) == 4);
static_assert(offsetof(FILE, path) == 8);
static_assert(offsetof(FILE, data) == 12);
static_assert(offsetof(FILE, len) == 16);
static_assert(offsetof(FILE, cap) == 20);
static_assert(offsetof(FILE, out_buf) == 24);
static_assert(offsetof(FILE, out_size) == 28);
static_assert(offsetof(FILE, error) == 32);
static_assert(offsetof(FILE, pos) == 36);
static_assert(offsetof(FILE, eof) == 40);

extern "C" {

// stderr shares descriptor 1 with stdout: the console has one output.
FILE g_stdin = {STREAM_FD, 0, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE g_stdout = {STREAM_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE g_stderr = {STREAM_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};

FILE *stdin = &g_stdin;
FILE *stdout = &g_stdout;
FILE *stderr = &g_stderr;

// A missing stream reports both end and error, so loops that test either stop.
int feof(FILE *stream) { return stream ? stream->eof : 1; }

int ferror(FILE *stream) { return stream ? stream->error : 1; }

// Nothing is ever held back: output goes out (or into the stream's buffer) at
// once, so there is nothing to flush and no buffer to install.
int fflush(FILE *) { return 0; }

void setbuf(FILE *, char *) { }

} // extern "C"
