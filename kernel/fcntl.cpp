// open and creat: the open call, whose third register depends on the create bit.
#include "fcntl.h"

#include "trap.h"

using namespace vekos::detail;

namespace {
constexpr int creat_flags = O_WRONLY | O_CREAT | O_TRUNC;
}

extern "C" {

int open(const char *path, int flags, ...)
{
    if (!path)
        return -1;
    // A mode argument is never read: the kernel sees the flags themselves
    // in the third register when the create bit is set.
    unsigned third = (flags & O_CREAT) ? static_cast<unsigned>(flags) : 0u;
    return trap3(VEKOS_SYS_open, word(path), flags, third);
}

int creat(const char *path, ...)
{
    if (!path)
        return -1;
    return trap3(VEKOS_SYS_open, word(path), creat_flags, 0);
}

} // extern "C"
