/* The error cell and the messages for error numbers (docs/stdlib.md). */
#ifndef VEKOS_ERRNO_H
#define VEKOS_ERRNO_H

#include "vekos_cdefs.h"

VEKOS_BEGIN_DECLS

#define ENOENT 2
#define ENOMEM 12
#define EINVAL 22
#define ENOSYS 38

/* 0 at start; only the heap writes it (ENOMEM); nothing clears it. */
extern int errno;

/* Never fails; the text is constant and must not be modified. */
char *strerror(int number);

VEKOS_END_DECLS

#endif
