// The GDB stub's target: one vekos program on a Machine, stopped between
// instructions.  Breakpoints, steps and watchpoints are checked by the
// machine's debugger hooks (an instruction hook and an access hook), so no
// byte of the program is ever rewritten for them.
#pragma once

#include "cpu/machine.h"
#include "debug/gdb_target.h"

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

namespace vekos::gdb {

class MachineTarget : public GdbTarget, public RunObserver {
public:
    // The machine must have been made with this target as its observer, and
    // be prepared to start (Machine::prepare_start).
    void attach(Machine& machine) { machine_ = &machine; }

    bool read_register(unsigned number, std::span<uint8_t> out) override;
    bool write_register(unsigned number, std::span<const uint8_t> value) override;
    size_t read_memory(uint32_t address, std::span<uint8_t> out) override;
    size_t write_memory(uint32_t address, std::span<const uint8_t> bytes) override;
    bool insert_breakpoint(BreakpointKind kind, uint32_t address, uint32_t length) override;
    bool remove_breakpoint(BreakpointKind kind, uint32_t address, uint32_t length) override;
    StopEvent resume(ResumeMode mode, std::optional<uint32_t> address,
                     const std::function<bool()>& interrupted) override;
    void kill() override { killed_ = true; }
    void detach() override;

    bool stop_before(uint32_t eip) override;
    void accessed(uint32_t address, uint32_t size, bool write) override;

    bool killed() const { return killed_; }
    // How the program ended, once it has (an exit, a fault it cannot go on from, a limit).
    const std::optional<Stop>& ended() const { return ended_; }

private:
    struct Watch {
        BreakpointKind kind;
        uint32_t address, length;
        bool operator==(const Watch&) const = default;
    };

    Machine* machine_ = nullptr;
    std::unordered_multiset<uint32_t> breakpoints_;
    std::vector<Watch> watches_;
    // This resume's state.
    bool stepping_ = false, first_ = true, detached_ = false, killed_ = false;
    uint64_t polls_ = 0;
    const std::function<bool()>* interrupted_ = nullptr;
    StopEvent paused_;
    std::optional<StopEvent> watch_hit_;
    std::optional<Stop> ended_;
};

} // namespace vekos::gdb
