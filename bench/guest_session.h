// The benchmark programs' session: a Session on the virtual clock whose
// guest calls must come back, answering eax.
#pragma once

#include "session/session.h"

#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace vekos::bench {

class GuestSession : public Session {
public:
    GuestSession(const ElfImage& image, MachineOptions options, KernelOptions kernel_options = fast_clock())
        : Session(image, session_options(options, std::move(kernel_options)))
    {
    }

    static KernelOptions fast_clock()
    {
        KernelOptions o;
        o.fast_clock = true;
        return o;
    }

    CapturedConsole& console() { return *captured(); }

    // The function's eax; a call that does not come back is an error.
    uint32_t call(uint32_t function, const std::vector<uint32_t>& args)
    {
        const Stop stop = Session::call(function, args);
        if (stop.why != Stop::Why::Returned)
            throw std::runtime_error(
                "a guest call did not return" + (stop.fault ? ": " + stop.fault->message() : std::string()));
        return machine().reg(UC_X86_REG_EAX);
    }
    uint32_t call(const std::string& name, const std::vector<uint32_t>& args) { return call(symbol(name), args); }

    void put_string(uint32_t addr, const std::string& text)
    {
        poke(addr, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1));
    }
    void set_u32(uint32_t addr, uint32_t value) { poke_u32(addr, value); }
    uint32_t u32(uint32_t addr) const { return peek_u32(addr); }

private:
    static SessionOptions session_options(MachineOptions machine, KernelOptions kernel)
    {
        SessionOptions o;
        o.machine = machine;
        o.kernel = std::move(kernel);
        return o;
    }
};

// A benchmark program's main: an error becomes a message and error_status.
template <typename Run>
int run_guarded(const char* name, Run run, int error_status = 1)
{
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
        return error_status;
    }
}

} // namespace vekos::bench
