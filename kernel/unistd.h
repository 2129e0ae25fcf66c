/* General kernel services: descriptors, files, processes, pipes, time.
 * Failures answer the kernel's negative error number: docs/kernel.md. */
#ifndef VEKOS_UNISTD_H
#define VEKOS_UNISTD_H

#include "vekos_abi.h"
#include "vekos_cdefs.h"

VEKOS_BEGIN_DECLS

/* Byte counts above this travel to the kernel as this. */
#define VEKOS_MAX_IO_COUNT 0x7FFFFFFFu

#define SEEK_SET VEKOS_SEEK_SET
#define SEEK_CUR VEKOS_SEEK_CUR
#define SEEK_END VEKOS_SEEK_END

int write(int fd, const void *buf, unsigned count);
int read(int fd, void *buf, unsigned count);
int close(int fd);
int dup(int fd);
int dup2(int fd, int target);
int pipe(int *fds);
int mkfifo(const char *path);
int fd_set_inherit(int enable);
int fd_set_stdio(int in, int out, int err);
int fd_set_nonblock(int fd, int enable);
int spawn(const char *path, const void *args, int count);
int waitpid(int pid, int *status, int options);
int writefile(const char *path, const void *data, unsigned len);
int mkdir(const char *path);
int unlink(const char *path);
int rmdir(const char *path);
VEKOS_NORETURN void _exit(int status);
int getkey(void);
int usleep(unsigned usec);
int sleep(unsigned sec);
int getcwd(char *buf, unsigned size);
int chdir(const char *path);
int vekfs_stream_begin(const char *path);
int vekfs_stream_write(int stream, const void *data, unsigned len);
int vekfs_stream_end(int stream);
int lseek(int fd, int offset, int whence);
int access(const char *path, int mode);

VEKOS_END_DECLS

#endif
