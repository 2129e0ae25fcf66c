// One x86-32 instruction as text, for fault reports.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vekos {

class Disassembler {
public:
    Disassembler();
    ~Disassembler();
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    // "mov dword ptr [eax], 1", or "(bytes 0f 0b ...)" when undecodable.
    std::string instruction(std::span<const uint8_t> code, uint32_t address) const;
    // Number of instructions in a block of code (for the instruction budget).
    uint32_t count(std::span<const uint8_t> code, uint32_t address) const;
    // Addresses just past every rdtsc instruction in a linear sweep of the code.
    std::vector<uint32_t> after_rdtsc(std::span<const uint8_t> code, uint32_t address) const;

    // The start of the int n, int3 or into that raises `vector` and ends right
    // at `end`; `before` holds the bytes just below `end`.
    std::optional<uint32_t> interrupt_ending_at(std::span<const uint8_t> before, uint32_t end, uint32_t vector) const;
    // Which instructions an instruction hook may stand for.
    enum class Kind { port_input, port_output, sysenter, syscall };
    // The first instruction of that kind in straight-line code starting at `address`.
    std::optional<uint32_t> first_of(Kind kind, std::span<const uint8_t> code, uint32_t address) const;

private:
    // Decodes straight through the code, calling visit(id, start, next) for
    // each instruction until it answers false; undecodable bytes are stepped
    // over one at a time or end the sweep.
    template <typename Visit>
    void sweep(std::span<const uint8_t> code, uint32_t address, bool skip_undecodable, Visit visit) const;

    size_t handle_ = 0;
};

} // namespace vekos
