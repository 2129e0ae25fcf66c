/* Byte strings and memory. Bytes compare as unsigned values.
 * How they differ from standard C: docs/strings.md. */
#ifndef VEKOS_STRING_H
#define VEKOS_STRING_H

#include <stddef.h>

#include "vekos_cdefs.h"

VEKOS_BEGIN_DECLS

size_t strlen(const char *s);
size_t strnlen(const char *s, size_t max);
int strcmp(const char *a, const char *b);
int strncmp(const char *a, const char *b, size_t n);
int strcasecmp(const char *a, const char *b);
int strncasecmp(const char *a, const char *b, size_t n);
char *strcpy(char *dst, const char *src);
char *strncpy(char *dst, const char *src, size_t n);
char *strcat(char *dst, const char *src);
char *strncat(char *dst, const char *src, size_t n);
char *strchr(const char *s, int ch);
char *strrchr(const char *s, int ch);
char *strstr(const char *hay, const char *needle);
void *memcpy(void *dst, const void *src, size_t n);
void *memmove(void *dst, const void *src, size_t n);
void *memset(void *p, int ch, size_t n);
int memcmp(const void *a, const void *b, size_t n);
char *strdup(const char *s);
char *strndup(const char *s, size_t n);
char *strtok(char *s, const char *delims);

VEKOS_END_DECLS

#endif
