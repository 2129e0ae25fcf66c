// What a guest fault is called, which exit status it leads to, and where the
// faulting instruction is: one table for CPU exceptions and interrupts, one
// for refused memory accesses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vekos {

struct Fault {
    std::string kind;   // "page fault", "divide error", ...
    std::string detail; // "write to unmapped memory at 0x00000000"
    uint32_t eip = 0;
    std::string instruction; // disassembled
    int status = 0;          // the run's exit status
    std::string message() const;
};

// How a CPU exception or an interrupt other than the kernel's is reported.
struct InterruptClass {
    const char* kind;
    std::string detail;
    int status;
};
// `by_instruction`: raised by int n, int3 or into (which leave eip after
// themselves) rather than by the CPU at a faulting instruction.  int n is a
// stray interrupt whatever its number, but for int 3 and into.
InterruptClass classify_interrupt(uint32_t vector, bool by_instruction);

// Unicorn's uc_mem_type as report text: "write to unmapped memory".
std::string memory_access_text(int uc_mem_type);
bool is_fetch(int uc_mem_type);

std::string hex32(uint32_t value); // "0x0804a000"

} // namespace vekos
