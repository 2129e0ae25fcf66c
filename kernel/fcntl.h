/* Opening files (docs/kernel.md). */
#ifndef VEKOS_FCNTL_H
#define VEKOS_FCNTL_H

#include "vekos_abi.h"
#include "vekos_cdefs.h"

VEKOS_BEGIN_DECLS

#define O_RDONLY VEKOS_O_RDONLY
#define O_WRONLY VEKOS_O_WRONLY
#define O_RDWR VEKOS_O_RDWR
#define O_CREAT VEKOS_O_CREAT
#define O_EXCL VEKOS_O_EXCL
#define O_TRUNC VEKOS_O_TRUNC
#define O_APPEND VEKOS_O_APPEND
#define O_DIRECTORY VEKOS_O_DIRECTORY

/* Further arguments (a permission mode) are accepted and never read. */
int open(const char *path, int flags, ...);
int creat(const char *path, ...);

VEKOS_END_DECLS

#endif
