// General kernel-call wrappers: each refuses what it must, then makes one trap.
#include "unistd.h"

#include "trap.h"

using namespace vekos::detail;

namespace {

constexpr unsigned microseconds_per_second = 1000000u;
// Largest whole number of seconds whose microseconds fit in 32 bits.
constexpr unsigned max_seconds_per_sleep_call = 4294u;

} // namespace

extern "C" {

int write(int fd, const void *buf, unsigned count)
{
    if (!buf)
        return -1;
    return trap3(VEKOS_SYS_write, fd, word(buf), clamp_count(count));
}

int read(int fd, void *buf, unsigned count)
{
    if (!buf)
        return -1;
    return trap3(VEKOS_SYS_read, fd, word(buf), clamp_count(count));
}

int close(int fd) { return trap1(VEKOS_SYS_close, fd); }

int dup(int fd) { return trap1(VEKOS_SYS_dup, fd); }

int dup2(int fd, int target) { return trap3(VEKOS_SYS_dup2, fd, target, 0); }

int pipe(int *fds)
{
    if (!fds)
        return -1;
    return trap1(VEKOS_SYS_pipe, word(fds));
}

int mkfifo(const char *path)
{
    if (!path)
        return -1;
    return trap1(VEKOS_SYS_mkfifo, word(path));
}

int fd_set_inherit(int enable) { return trap1(VEKOS_SYS_fd_set_inherit, flag01(enable)); }

int fd_set_stdio(int in, int out, int err) { return trap3(VEKOS_SYS_fd_set_stdio, in, out, err); }

int fd_set_nonblock(int fd, int enable) { return trap3(VEKOS_SYS_fd_set_nonblock, fd, flag01(enable), 0); }

int spawn(const char *path, const void *args, int count)
{
    if (!path || count < 0)
        return -1;
    return trap3(VEKOS_SYS_spawn, word(path), word(args), count);
}

int waitpid(int pid, int *status, int options) { return trap3(VEKOS_SYS_waitpid, pid, word(status), options); }

int writefile(const char *path, const void *data, unsigned len)
{
    if (!path || !data)
        return -1;
    return trap3(VEKOS_SYS_writefile, word(path), word(data), clamp_count(len));
}

int mkdir(const char *path)
{
    if (!path)
        return -1;
    return trap1(VEKOS_SYS_mkdir, word(path));
}

int unlink(const char *path)
{
    if (!path)
        return -1;
    return trap1(VEKOS_SYS_unlink, word(path));
}

int rmdir(const char *path)
{
    if (!path)
        return -1;
    return trap1(VEKOS_SYS_rmdir, word(path));
}

void _exit(int status)
{
    trap1(VEKOS_SYS_exit, status);
    for (;;) {
        // The kernel never comes back from exit; if it does, stay here.
    }
}

int getkey(void) { return trap0(VEKOS_SYS_getkey); }

int usleep(unsigned usec)
{
    trap1(VEKOS_SYS_usleep, usec);
    return 0;
}

int sleep(unsigned sec)
{
    // Long sleeps go out in pieces so the microsecond count never wraps.
    while (sec > max_seconds_per_sleep_call) {
        trap1(VEKOS_SYS_usleep, max_seconds_per_sleep_call * microseconds_per_second);
        sec -= max_seconds_per_sleep_call;
    }
    trap1(VEKOS_SYS_usleep, sec * microseconds_per_second);
    return 0;
}

int getcwd(char *buf, unsigned size)
{
    if (!buf || size == 0)
        return -1;
    return trap3(VEKOS_SYS_getcwd, word(buf), clamp_count(size), 0);
}

int chdir(const char *path)
{
    if (!path)
        return -1;
    return trap1(VEKOS_SYS_chdir, word(path));
}

int vekfs_stream_begin(const char *path)
{
    if (!path)
        return -1;
    return trap1(VEKOS_SYS_vekfs_stream_begin, word(path));
}

int vekfs_stream_write(int stream, const void *data, unsigned len)
{
    if (!data)
        return -1;
    return trap3(VEKOS_SYS_vekfs_stream_write, stream, word(data), clamp_count(len));
}

int vekfs_stream_end(int stream) { return trap1(VEKOS_SYS_vekfs_stream_end, stream); }

int lseek(int fd, int offset, int whence) { return trap3(VEKOS_SYS_lseek, fd, offset, whence); }

int access(const char *path, int mode)
{
    (void)mode; // every mode is answered by whether the path opens for reading
    if (!path)
        return -1;
    int fd = trap3(VEKOS_SYS_open, word(path), 0, 0);
    if (fd < 0)
        return -1;
    trap1(VEKOS_SYS_close, fd);
    return 0;
}

} // extern "C"
