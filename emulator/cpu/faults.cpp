#include "cpu/faults.h"

#include "base/errors.h"
#include "cpu/elf_image.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace vekos {
namespace {

// The vectors the CPU itself raises; any other vector comes from an int n.
struct VectorRow {
    uint32_t vector;
    const char* kind;
    const char* detail;
    int status;
};
constexpr std::array kVectors = {
    VectorRow{0, "divide error", "division by zero or quotient too large", exit_status::divide_error},
    VectorRow{1, "trace trap", "the trap flag is set; stopped before this instruction", exit_status::memory_fault},
    VectorRow{3, "breakpoint trap", "int3 executed", exit_status::memory_fault},
    VectorRow{4, "overflow trap", "into executed with the overflow flag set", exit_status::memory_fault},
    VectorRow{5, "bound range exceeded", "the index lies outside the bounds", exit_status::memory_fault},
    VectorRow{6, "invalid instruction", "the CPU cannot execute the instruction", exit_status::invalid_instruction},
    VectorRow{7, "device not available", "the floating-point unit is not available", exit_status::memory_fault},
    VectorRow{8, "double fault", "a fault while reporting a fault", exit_status::memory_fault},
    VectorRow{10, "invalid task state", "bad task state segment", exit_status::memory_fault},
    VectorRow{11, "segment not present", "the segment selector names no present segment", exit_status::memory_fault},
    VectorRow{12, "stack segment fault", "stack segment limit or selector", exit_status::memory_fault},
    VectorRow{
        13, "general protection fault", "privileged or protected operation in user mode", exit_status::memory_fault},
    VectorRow{14, "page fault", "memory access refused", exit_status::memory_fault},
    VectorRow{16, "floating-point error", "unmasked x87 exception", exit_status::divide_error},
    VectorRow{17, "alignment check", "misaligned access with alignment checking on", exit_status::memory_fault},
    VectorRow{19, "SIMD floating-point error", "unmasked SSE exception", exit_status::divide_error},
};

} // namespace

std::string hex32(uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", value);
    return buf;
}

std::string Fault::message() const { return kind + ": " + detail + "; eip " + hex32(eip) + ": " + instruction; }

std::string crash_report(const Fault& fault, const ElfImage& image)
{
    auto located = [&](uint32_t address, bool return_address) {
        const std::string function = image.function_at(address, return_address);
        return hex32(address) + (function.empty() ? "" : " <" + function + ">");
    };
    const FaultRegisters& r = fault.registers;
    char registers[256];
    std::snprintf(registers, sizeof registers,
        "  eax %08x  ebx %08x  ecx %08x  edx %08x\n  esi %08x  edi %08x  ebp %08x  esp %08x  eflags %08x\n", r.eax,
        r.ebx, r.ecx, r.edx, r.esi, r.edi, r.ebp, r.esp, r.eflags);
    std::string out = fault.kind + ": " + fault.detail + "; eip " + located(fault.eip, false) + ": "
        + fault.instruction + "\n" + registers + "  backtrace (frame pointers):\n    #0 " + located(fault.eip, false);
    const std::vector<uint32_t>& callers = fault.callers;
    const size_t shown = std::min(callers.size(), kReportedCallers);
    for (size_t i = 0; i < shown;) {
        out += "\n    #" + std::to_string(i + 1) + " " + located(callers[i], true);
        size_t same = i + 1; // a recursion: its frames in one line
        while (same < shown && callers[same] == callers[i])
            ++same;
        if (same - i > 1)
            out += "\n    #" + std::to_string(i + 2) + " to #" + std::to_string(same) + ": the same";
        i = same;
    }
    if (callers.size() > kReportedCallers)
        out += "\n    ... deeper frames not shown";
    return out;
}

InterruptClass classify_interrupt(uint32_t vector, bool by_instruction)
{
    constexpr uint32_t kBreakpoint = 3, kOverflow = 4;
    if (!by_instruction || vector == kBreakpoint || vector == kOverflow)
        for (const VectorRow& row : kVectors)
            if (row.vector == vector)
                return {row.kind, row.detail, row.status};
    char detail[64];
    std::snprintf(detail, sizeof detail, "interrupt 0x%02x (only int 0x80 enters the kernel)", vector);
    return {"unexpected interrupt", detail, exit_status::memory_fault};
}

std::string memory_access_text(int type)
{
    switch (type) {
    case UC_MEM_READ_UNMAPPED: return "read of unmapped memory";
    case UC_MEM_WRITE_UNMAPPED: return "write to unmapped memory";
    case UC_MEM_FETCH_UNMAPPED: return "execution of unmapped memory";
    case UC_MEM_WRITE_PROT: return "write to read-only memory";
    case UC_MEM_READ_PROT: return "read of unreadable memory";
    case UC_MEM_FETCH_PROT: return "execution of non-executable memory";
    default: return "invalid memory access";
    }
}

bool is_fetch(int type) { return type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT; }

} // namespace vekos
