// What the CPU hands the kernel at an int 0x80, and what comes back: the one
// thing the CPU knows of the kernel.
#pragma once

#include <cstdint>

namespace vekos {

class GuestMemory;

struct CallRegs {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

struct TrapOutcome {
    enum class End {
        none,          // eax gets the answer and the program goes on
        exit,          // the exit call: exit_status is the program's
        output_closed, // the console's reader went away: the run ends
    };
    int32_t answer = 0;
    End end = End::none;
    int32_t exit_status = 0;
};

class TrapHandler {
public:
    virtual ~TrapHandler() = default;
    virtual TrapOutcome handle(GuestMemory& memory, const CallRegs& regs) = 0;
    // From another thread: whatever the handler waits for in a call (a
    // sleep, the console, a key) gives up, now and for the rest of the run.
    virtual void interrupt() = 0;
};

} // namespace vekos
