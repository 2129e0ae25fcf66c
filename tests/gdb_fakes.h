// A fake GdbTarget and a scripted Transport for the GDB stub's tests and
// its fuzz target.
#pragma once

#include "debug/gdb_registers.h"
#include "debug/gdb_target.h"

#include <algorithm>
#include <deque>
#include <string>

namespace vekos::gdb::test {

constexpr uint32_t code_base = 0x8048000;
constexpr uint32_t code_end = code_base + 16;
constexpr unsigned unreadable_register = unsigned(Reg::fop);

// A target that says no wherever it may: the last register cannot be read (the
// others read as zeros), only [code_base, code_end) can be read, nothing
// written, no breakpoint set.  A step stops at once, a continue only when
// GDB interrupts or goes.
struct FakeTarget : GdbTarget {
    bool read_register(unsigned n, std::span<uint8_t> out) override
    {
        std::ranges::fill(out, 0);
        return n != unreadable_register;
    }
    bool write_register(unsigned, std::span<const uint8_t>) override { return true; }
    size_t read_memory(uint32_t address, std::span<uint8_t> out) override
    {
        size_t n = address < code_base || address >= code_end ? 0 : std::min<size_t>(out.size(), code_end - address);
        std::ranges::fill(out.first(n), 0x90);
        return n;
    }
    size_t write_memory(uint32_t, std::span<const uint8_t>) override { return 0; }
    bool insert_breakpoint(BreakpointKind, uint32_t, uint32_t) override { return false; }
    bool remove_breakpoint(BreakpointKind, uint32_t, uint32_t) override { return false; }
    StopEvent resume(ResumeMode mode, std::optional<uint32_t>, const std::function<bool()>& interrupted) override
    {
        while (mode == ResumeMode::cont && !interrupted()) {
        }
        return mode == ResumeMode::step ? StopEvent{} : StopEvent{StopEvent::Kind::signalled, signal::interrupt};
    }
    void kill() override {}
    void detach() override {}
};

// Hands out one scripted chunk per read; the peer hangs up when they run out.
struct ScriptTransport : Transport {
    std::deque<std::string> chunks;
    std::string sent;

    std::optional<size_t> read(std::span<uint8_t> buffer, bool) override
    {
        if (chunks.empty())
            return std::nullopt;
        size_t n = chunks.front().copy(reinterpret_cast<char*>(buffer.data()), buffer.size());
        chunks.front().erase(0, n);
        if (chunks.front().empty())
            chunks.pop_front();
        return n;
    }
    void write(std::string_view bytes) override { sent += bytes; }
};

} // namespace vekos::gdb::test
