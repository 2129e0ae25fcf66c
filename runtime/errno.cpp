// The error cell and the messages for error numbers.
#include "errno.h"

extern "C" {

int errno = 0;

char *strerror(int number)
{
    // The texts are constant; the cast only follows the traditional signature.
    switch (number) {
    case 0: return const_cast<char *>("ok");
    case ENOENT: return const_cast<char *>("no such file");
    case EINVAL: return const_cast<char *>("invalid argument");
    case ENOSYS: return const_cast<char *>("not implemented");
    default: return const_cast<char *>("error");
    }
}

} // extern "C"
