// What the GDB stub drives: the stopped guest (registers, memory,
// breakpoints), how it runs on, and the byte stream to GDB.  The engine
// implements GdbTarget; the socket (or a test) implements Transport.
#pragma once

#include "debug/gdb_protocol.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace vekos::gdb {

// Signal numbers as GDB numbers them (not the host's: GDB's SIGBUS is 10).
namespace signal {
constexpr uint8_t none = 0;
constexpr uint8_t interrupt = 2;   // Ctrl-C in GDB
constexpr uint8_t illegal = 4;     // an invalid instruction
constexpr uint8_t trap = 5;        // a breakpoint or a finished step
constexpr uint8_t arithmetic = 8;  // a divide error
constexpr uint8_t kill = 9;
constexpr uint8_t segv = 11;       // a memory or protection fault
constexpr uint8_t cpu_limit = 24;  // --max-insns
} // namespace signal

// Why the guest stopped, as GDB is told.
struct StopEvent {
    enum class Kind {
        signalled,    // stopped with `signal` (a finished step is signal::trap)
        breakpoint,   // a software breakpoint at eip (eip is the breakpoint's address)
        hw_breakpoint,
        watchpoint,   // `watch_kind` on `watch_address`
        exited,       // the program ended with `exit_status`
        terminated,   // the program was ended by `signal`
    };
    Kind kind = Kind::signalled;
    uint8_t signal = signal::trap;
    uint8_t exit_status = 0;
    uint32_t watch_address = 0;
    BreakpointKind watch_kind = BreakpointKind::write_watch;

    bool ends_program() const { return kind == Kind::exited || kind == Kind::terminated; }
    bool operator==(const StopEvent&) const = default;
};

class GdbTarget {
public:
    virtual ~GdbTarget() = default;

    // Register `number` (gdb_registers.h) into `out`, exactly its size, in
    // the guest's byte order; false when it cannot be read now.
    virtual bool read_register(unsigned number, std::span<uint8_t> out) = 0;
    virtual bool write_register(unsigned number, std::span<const uint8_t> value) = 0;

    // How many bytes from `address` on could be read or written: a short
    // count stops at the first inaccessible byte.  Guest protections apply
    // as the guest sees them, except that GDB may write into code.
    virtual size_t read_memory(uint32_t address, std::span<uint8_t> out) = 0;
    virtual size_t write_memory(uint32_t address, std::span<const uint8_t> bytes) = 0;

    // False when the target cannot: the kind is not supported, or no room.
    virtual bool insert_breakpoint(BreakpointKind kind, uint32_t address, uint32_t length) = 0;
    virtual bool remove_breakpoint(BreakpointKind kind, uint32_t address, uint32_t length) = 0;

    // Runs the guest (one instruction when stepping) from `address` or
    // where it stands, until it stops.  A running guest calls `interrupted`
    // now and then and stops with signal::interrupt when it returns true.
    virtual StopEvent resume(ResumeMode mode, std::optional<uint32_t> address,
                             const std::function<bool()>& interrupted) = 0;

    // GDB ends the program, or lets it run on without the debugger.
    virtual void kill() = 0;
    virtual void detach() = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    // Some bytes into `buffer`: waits for them when `wait` (0 only when a
    // signal cut the wait short), else returns 0 at once when none are
    // there.  nullopt: the peer is gone.
    virtual std::optional<size_t> read(std::span<uint8_t> buffer, bool wait) = 0;
    // All of `bytes`; throws std::runtime_error when they cannot be sent.
    virtual void write(std::string_view bytes) = 0;
};

} // namespace vekos::gdb
