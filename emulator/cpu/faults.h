// What a guest fault is called, which exit status it leads to, and where the
// faulting instruction is: one table for CPU exceptions and interrupts, one
// for refused memory accesses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vekos {

// The general registers when the fault was taken.
struct FaultRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0, ebp = 0, esp = 0, eflags = 0;
};

constexpr size_t kReportedCallers = 16;

struct Fault {
    std::string kind;   // "page fault", "divide error", ...
    std::string detail; // "write to unmapped memory at 0x00000000"
    uint32_t eip = 0;
    std::string instruction; // disassembled
    int status = 0;          // the run's exit status
    FaultRegisters registers;
    // Return addresses found by following the saved frame pointers from ebp,
    // innermost first; empty when ebp leads nowhere readable.  One more than
    // kReportedCallers when the chain goes deeper.
    std::vector<uint32_t> callers;
    // One line: kind, detail, eip and the instruction.
    std::string message() const;
};

class ElfImage;

// The whole report: the message with the function eip lies in, the
// registers, and the callers the frame pointers lead to (programs built
// with vekos-cc keep them; code built without them shows its caller's
// caller, or none).
std::string crash_report(const Fault& fault, const ElfImage& image);

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
