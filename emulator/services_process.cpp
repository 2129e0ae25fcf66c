// Process services: sleeping.  Exit is handled by the dispatcher, which stops
// the machine; spawn, waitpid, getkey and the descriptor-inheritance calls are
// not provided by the stand-in and answer -38.
#include "kernel.h"

namespace vekos {

int32_t Kernel::sys_usleep(uint32_t usec)
{
    clock_.sleep_us(usec);
    return 0;
}

} // namespace vekos
