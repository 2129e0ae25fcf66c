#include "debug/machine_target.h"

#include "base/errors.h"
#include "cpu/guest_memory.h"
#include "cpu/layout.h"
#include "debug/gdb_registers.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace vekos::gdb {
namespace {

// How often a running program looks for GDB's interrupt byte: a poll of the
// socket every so many instructions costs next to nothing.
constexpr uint64_t kPollEvery = 1 << 14;
// More would only slow every instruction down; GDB never needs that many.
constexpr size_t kMaxBreakpoints = 4096;
// The eflags bits a debugger may not change: IOPL, NT, VM and the rest that
// would let a user-mode program leave user mode.
constexpr uint32_t kPrivilegedFlags = 0x3000 | 0x4000 | 0x20000;

// The engine's register for each of GDB's numbers (-1: none, reads as 0).
constexpr std::array<int, register_count> kEngineRegisters = {
    UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX, UC_X86_REG_ESP, UC_X86_REG_EBP,
    UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS, UC_X86_REG_SS,
    UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_FS, UC_X86_REG_GS, UC_X86_REG_ST0, UC_X86_REG_ST1,
    UC_X86_REG_ST2, UC_X86_REG_ST3, UC_X86_REG_ST4, UC_X86_REG_ST5, UC_X86_REG_ST6, UC_X86_REG_ST7,
    UC_X86_REG_FPCW, UC_X86_REG_FPSW, UC_X86_REG_FPTAG, -1, -1, -1, -1, -1};

bool is_segment(unsigned number) { return number >= unsigned(Reg::cs) && number <= unsigned(Reg::gs); }

// The signal GDB is told for a fault the program cannot go on from.
uint8_t signal_of(const Stop& stop)
{
    switch (stop.why) {
    case Stop::Why::Faulted:
        if (stop.fault->status == exit_status::invalid_instruction)
            return signal::illegal;
        if (stop.fault->status == exit_status::divide_error)
            return signal::arithmetic;
        if (stop.fault->kind == "breakpoint trap" || stop.fault->kind == "trace trap")
            return signal::trap;
        return signal::segv;
    case Stop::Why::InstructionLimit:
    case Stop::Why::Timeout: return signal::cpu_limit;
    case Stop::Why::OutputClosed: return 13; // SIGPIPE
    case Stop::Why::Interrupted: return uint8_t(stop.signal);
    default: throw std::logic_error("gdb stub: not a stop that ends the program");
    }
}

} // namespace

bool MachineTarget::read_register(unsigned number, std::span<uint8_t> out)
{
    if (number >= register_count || out.size() != register_size(number))
        return false;
    std::fill(out.begin(), out.end(), 0);
    if (kEngineRegisters[number] >= 0)
        machine_->read_register_bytes(kEngineRegisters[number], out);
    return true;
}

bool MachineTarget::write_register(unsigned number, std::span<const uint8_t> value)
{
    if (number >= register_count || value.size() != register_size(number))
        return false;
    const int engine = kEngineRegisters[number];
    uint32_t word = 0;
    std::memcpy(&word, value.data(), std::min<size_t>(value.size(), 4));
    if (is_segment(number)) // the program's segments are fixed: only their own values pass
        return word == machine_->reg(engine);
    if (number == unsigned(Reg::eflags))
        word = (word & ~kPrivilegedFlags) | (machine_->reg(engine) & kPrivilegedFlags);
    if (engine < 0)
        return true; // x87 pointers the engine does not keep: nothing to change
    if (number == unsigned(Reg::eflags))
        machine_->set_reg(engine, word);
    else
        machine_->write_register_bytes(engine, value);
    return true;
}

size_t MachineTarget::read_memory(uint32_t address, std::span<uint8_t> out)
{
    const GuestMemory& memory = machine_->memory();
    size_t n = 0;
    while (n < out.size() && memory.accessible(uint32_t(address + n), 1, kRead)
        && memory.peek(uint32_t(address + n), out.subspan(n, 1)))
        ++n;
    return n;
}

size_t MachineTarget::write_memory(uint32_t address, std::span<const uint8_t> bytes)
{
    // Code too (GDB may patch it), but not the stand-in's own pages.
    const GuestMemory& memory = machine_->memory();
    size_t n = 0;
    while (n < bytes.size()
        && (memory.accessible(uint32_t(address + n), 1, kWrite)
            || (memory.accessible(uint32_t(address + n), 1, kExec) && uint32_t(address + n) - kStandInPage >= kPageSize)))
        ++n;
    return n > 0 && machine_->patch(address, bytes.first(n)) ? n : 0;
}

bool MachineTarget::insert_breakpoint(BreakpointKind kind, uint32_t address, uint32_t length)
{
    if (breakpoints_.size() + watches_.size() >= kMaxBreakpoints)
        return false;
    if (kind == BreakpointKind::software || kind == BreakpointKind::hardware)
        breakpoints_.insert(address);
    else if (length == 0 || address + uint64_t(length) > (uint64_t(1) << 32))
        return false;
    else
        watches_.push_back(Watch{kind, address, length});
    return true;
}

bool MachineTarget::remove_breakpoint(BreakpointKind kind, uint32_t address, uint32_t length)
{
    if (kind == BreakpointKind::software || kind == BreakpointKind::hardware) {
        auto it = breakpoints_.find(address);
        if (it == breakpoints_.end())
            return false;
        breakpoints_.erase(it);
        return true;
    }
    auto it = std::find(watches_.begin(), watches_.end(), Watch{kind, address, length});
    if (it == watches_.end())
        return false;
    watches_.erase(it);
    return true;
}

void MachineTarget::detach()
{
    detached_ = true;
    breakpoints_.clear();
    watches_.clear();
    stepping_ = false;
}

StopEvent MachineTarget::resume(ResumeMode mode, std::optional<uint32_t> address,
                                const std::function<bool()>& interrupted)
{
    if (ended_) { // a fault or a limit: continuing ends the program
        return ended_->why == Stop::Why::Exited
            ? StopEvent{StopEvent::Kind::exited, signal::none, uint8_t(ended_->exit_status)}
            : StopEvent{StopEvent::Kind::terminated, signal_of(*ended_)};
    }
    if (address)
        machine_->set_reg(UC_X86_REG_EIP, *address);
    stepping_ = mode == ResumeMode::step;
    first_ = true;
    watch_hit_.reset();
    interrupted_ = &interrupted;
    const Stop stop = machine_->resume();
    interrupted_ = nullptr;
    switch (stop.why) {
    case Stop::Why::Paused: return paused_;
    case Stop::Why::Exited:
        ended_ = stop;
        return StopEvent{StopEvent::Kind::exited, signal::none, uint8_t(stop.exit_status)};
    case Stop::Why::Interrupted:
    case Stop::Why::OutputClosed: // nothing more can be shown: the program ends with the signal
        ended_ = stop;
        return StopEvent{StopEvent::Kind::terminated, signal_of(stop)};
    case Stop::Why::Returned: throw std::logic_error("gdb stub: the program returned to the stand-in");
    default: // the debugger sees where it stopped; a resume then ends it
        ended_ = stop;
        return StopEvent{StopEvent::Kind::signalled, signal_of(stop)};
    }
}

bool MachineTarget::stop_before(uint32_t eip)
{
    if (detached_)
        return false;
    if (watch_hit_) { // the access came from the instruction before this one
        paused_ = *watch_hit_;
        return true;
    }
    if (!std::exchange(first_, false)) { // the first instruction of a resume runs: it may be the breakpoint left
        if (stepping_) {
            paused_ = StopEvent{StopEvent::Kind::signalled, signal::trap};
            return true;
        }
        if (breakpoints_.contains(eip)) {
            paused_ = StopEvent{StopEvent::Kind::breakpoint, signal::trap};
            return true;
        }
    }
    if (interrupted_ && ++polls_ % kPollEvery == 0 && (*interrupted_)()) {
        paused_ = StopEvent{StopEvent::Kind::signalled, signal::interrupt};
        return true;
    }
    return false;
}

void MachineTarget::accessed(uint32_t address, uint32_t size, bool write)
{
    for (const Watch& w : watches_) {
        const bool kind_matches = w.kind == BreakpointKind::access_watch
            || (write ? w.kind == BreakpointKind::write_watch : w.kind == BreakpointKind::read_watch);
        if (kind_matches && address < w.address + uint64_t(w.length) && w.address < address + uint64_t(size)) {
            watch_hit_ = StopEvent{StopEvent::Kind::watchpoint, signal::trap, 0, w.address, w.kind};
            return;
        }
    }
}

} // namespace vekos::gdb
