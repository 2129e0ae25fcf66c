/* Heap, random numbers, process end, and text-to-number conversion.
 * How they differ from standard C: docs/stdlib.md. */
#ifndef VEKOS_STDLIB_H
#define VEKOS_STDLIB_H

#include <stddef.h>

#include "vekos_cdefs.h"

VEKOS_BEGIN_DECLS

#define RAND_MAX 32767
#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1

/* A bump allocator over one static 1 MiB arena: free never gives memory back
 * and realloc always moves.  Failures answer null with errno set to ENOMEM. */
void *malloc(size_t size);
void free(void *ptr);
void *calloc(size_t count, size_t size);
void *realloc(void *ptr, size_t size);

int atexit(void (*function)(void));
char *getenv(const char *name);
VEKOS_NORETURN void exit(int status);
VEKOS_NORETURN void abort(void);

void srand(unsigned seed);
int rand(void);
int abs(int value);
long labs(long value);

/* Text to numbers.  No locale, no errno: integers wrap modulo 2^32 and a
 * floating-point overflow becomes infinity.  Each family skips its own set
 * of leading blanks.  strtoul and strtol take a "0x" prefix (base 0 or 16)
 * or a leading "0" (base 0, octal) but no sign; atoi and atol take a sign
 * and decimal digits only.  strtold reads decimal or "0x" hexadecimal text
 * with the x87 unit; strtod rounds its result to double. */
unsigned long strtoul(const char *text, char **end, int base);
long strtol(const char *text, char **end, int base);
int atoi(const char *text);
long atol(const char *text);
long double strtold(const char *text, char **end);
double strtod(const char *text, char **end);

VEKOS_END_DECLS

#endif
