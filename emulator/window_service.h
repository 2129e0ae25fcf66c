// The window service behind the GUI calls.
#pragma once

#include "kernel.h"

#include <optional>

namespace vekos {

class GuestMemory;

class WindowService {
public:
    virtual ~WindowService() = default;
    // The answer to a GUI call, or nullopt when this service does not implement it.
    virtual std::optional<int32_t> handle(GuestMemory& memory, const CallRegs& regs) = 0;
    // From another thread: a wait for an event gives up, now and for the rest of the run.
    virtual void interrupt() {}
};

} // namespace vekos
