// One emulated machine for the benchmark programs: an image, a kernel on the
// virtual clock with a captured console, and guest calls by symbol.
#pragma once

#include "kernel/console.h"
#include "cpu/elf_image.h"
#include "kernel/kernel.h"
#include "cpu/machine.h"

#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vekos::bench {

class GuestSession {
public:
    GuestSession(const ElfImage& image, MachineOptions options, KernelOptions kernel_options = fast_clock())
        : image_(image), kernel_(kernel_options, console_), machine_(image_, kernel_, options)
    {
    }

    static KernelOptions fast_clock()
    {
        KernelOptions o;
        o.fast_clock = true;
        return o;
    }

    Machine& machine() { return machine_; }
    Kernel& kernel() { return kernel_; }
    CapturedConsole& console() { return console_; }

    uint32_t symbol(const std::string& name) const
    {
        auto s = image_.symbol(name);
        if (!s)
            throw std::runtime_error(image_.name() + " has no symbol " + name);
        return s->value;
    }

    // The function's eax; a call that does not come back is an error.
    uint32_t call(uint32_t function, const std::vector<uint32_t>& args)
    {
        Stop stop = machine_.call(function, args);
        if (stop.why != Stop::Why::Returned)
            throw std::runtime_error("a guest call did not return" +
                                     (stop.fault ? ": " + stop.fault->message() : std::string()));
        return machine_.reg(UC_X86_REG_EAX);
    }
    uint32_t call(const std::string& name, const std::vector<uint32_t>& args) { return call(symbol(name), args); }

    void poke(uint32_t addr, std::span<const uint8_t> bytes)
    {
        if (!machine_.memory().poke(addr, bytes))
            throw std::runtime_error("guest memory not mapped");
    }
    void put_string(uint32_t addr, const std::string& text)
    {
        poke(addr, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1));
    }
    void set_u32(uint32_t addr, uint32_t value)
    {
        poke(addr, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&value), 4));
    }
    std::vector<uint8_t> peek(uint32_t addr, uint32_t len)
    {
        std::vector<uint8_t> bytes(len);
        if (!machine_.memory().peek(addr, bytes))
            throw std::runtime_error("guest memory not mapped");
        return bytes;
    }
    uint32_t u32(uint32_t addr)
    {
        auto b = peek(addr, 4);
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }

private:
    const ElfImage& image_;
    CapturedConsole console_;
    Kernel kernel_;
    Machine machine_;
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
