/* Opening files. */
#ifndef VEKOS_FCNTL_H
#define VEKOS_FCNTL_H

#include "vekos_cdefs.h"

VEKOS_BEGIN_DECLS

#define O_RDONLY 0x0
#define O_WRONLY 0x1
#define O_RDWR 0x2
#define O_CREAT 0x40
#define O_TRUNC 0x200

/* Further arguments (a permission mode) are accepted and never read. */
int open(const char *path, int flags, ...);
int creat(const char *path, ...);

VEKOS_END_DECLS

#endif
