// Process services: the exit call (the dispatcher stops the machine) and sleeping.
#include "kernel/kernel.h"

namespace vekos {

Answer serve_exit(Kernel&, const Call&) { return Answer{0, true, true}; }

Answer serve_usleep(Kernel& k, const Call& c)
{
    k.clock().sleep_us(c.regs.ebx);
    return {0};
}

} // namespace vekos
