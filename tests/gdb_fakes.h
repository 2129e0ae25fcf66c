// A fake GdbTarget and a scripted Transport for the GDB stub's tests and
// its fuzz target.
#pragma once

#include "debug/gdb_registers.h"
#include "debug/gdb_target.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace vekos::gdb::test {

constexpr uint32_t code_base = 0x8048000;
constexpr unsigned unreadable_register = unsigned(Reg::fop);

// `$payload#cs`, the checksum worked out here rather than by the stub.
inline std::string packet(std::string_view payload)
{
    unsigned sum = 0;
    for (char c : payload)
        sum += uint8_t(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", sum & 0xff);
    return "$" + std::string(payload) + "#" + digits;
}

// Registers hold their own number in every byte; memory is 16 bytes of
// 0x90 at code_base; resuming stops as `next_stop` says, else at the
// breakpoint, else when GDB interrupts (or goes).
struct FakeTarget : GdbTarget {
    std::vector<std::string> calls;
    std::optional<StopEvent> next_stop;

    bool read_register(unsigned n, std::span<uint8_t> out) override
    {
        std::fill(out.begin(), out.end(), uint8_t(n));
        return n != unreadable_register;
    }
    bool write_register(unsigned n, std::span<const uint8_t> v) override
    {
        calls.push_back("P" + std::to_string(n) + "=" + std::to_string(v.size()));
        return true;
    }
    size_t read_memory(uint32_t address, std::span<uint8_t> out) override
    {
        size_t n = address < code_base ? 0 : std::min<size_t>(out.size(), code_base + 16 - std::min(address, code_base + 16));
        std::fill_n(out.begin(), n, 0x90);
        return n;
    }
    size_t write_memory(uint32_t, std::span<const uint8_t>) override { return 0; }
    bool insert_breakpoint(BreakpointKind kind, uint32_t address, uint32_t) override
    {
        calls.push_back("Z" + std::to_string(int(kind)) + " " + std::to_string(address));
        breakpoints_ += kind == BreakpointKind::software;
        return kind == BreakpointKind::software;
    }
    bool remove_breakpoint(BreakpointKind, uint32_t, uint32_t) override { return --breakpoints_ >= 0; }
    StopEvent resume(ResumeMode mode, std::optional<uint32_t>, const std::function<bool()>& interrupted) override
    {
        calls.push_back(mode == ResumeMode::step ? "step" : "cont");
        if (next_stop)
            return *next_stop;
        if (mode == ResumeMode::step)
            return {};
        if (breakpoints_ > 0)
            return {StopEvent::Kind::breakpoint};
        while (!interrupted()) {
        }
        return {StopEvent::Kind::signalled, signal::interrupt};
    }
    void kill() override { calls.push_back("kill"); }
    void detach() override { calls.push_back("detach"); }

private:
    int breakpoints_ = 0;
};

// Hands out one scripted chunk per read; the peer hangs up when they run out.
struct ScriptTransport : Transport {
    std::deque<std::string> chunks;
    std::string sent;

    std::optional<size_t> read(std::span<uint8_t> buffer, bool) override
    {
        if (chunks.empty())
            return std::nullopt;
        size_t n = std::min(buffer.size(), chunks.front().size());
        std::copy_n(chunks.front().begin(), n, buffer.begin());
        chunks.front().erase(0, n);
        if (chunks.front().empty())
            chunks.pop_front();
        return n;
    }
    void write(std::string_view bytes) override { sent += bytes; }
};

} // namespace vekos::gdb::test
