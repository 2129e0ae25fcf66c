#include "cpu/disassembler.h"

#include <capstone/capstone.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace vekos {

Disassembler::Disassembler()
{
    csh h;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK)
        throw std::runtime_error("cannot start the Capstone disassembler");
    handle_ = h;
}

Disassembler::~Disassembler()
{
    csh h = handle_;
    cs_close(&h);
}

std::string Disassembler::instruction(std::span<const uint8_t> code, uint32_t address) const
{
    cs_insn* insn = nullptr;
    size_t n = cs_disasm(handle_, code.data(), code.size(), address, 1, &insn);
    if (n == 0) {
        std::string bytes = "(undecodable bytes";
        for (size_t i = 0; i < code.size() && i < 8; ++i) {
            char b[8];
            std::snprintf(b, sizeof b, " %02x", code[i]);
            bytes += b;
        }
        return code.empty() ? "(no readable code)" : bytes + ")";
    }
    std::string text = insn[0].mnemonic;
    if (insn[0].op_str[0])
        text += std::string(" ") + insn[0].op_str;
    cs_free(insn, n);
    return text;
}

uint32_t Disassembler::count(std::span<const uint8_t> code, uint32_t address) const
{
    cs_insn* insn = nullptr;
    size_t n = cs_disasm(handle_, code.data(), code.size(), address, 0, &insn);
    if (n)
        cs_free(insn, n);
    return n ? uint32_t(n) : 1;
}

std::optional<uint32_t> Disassembler::interrupt_ending_at(
    std::span<const uint8_t> before, uint32_t end, uint32_t vector) const
{
    // The closest start first: a shorter instruction ending at `end` is the
    // one the CPU ran, a longer one would have to contain it.
    for (size_t length = 1; length <= before.size(); ++length) {
        cs_insn* insn = nullptr;
        const uint32_t start = end - uint32_t(length);
        size_t n = cs_disasm(handle_, before.data() + before.size() - length, length, start, 1, &insn);
        if (n == 0)
            continue;
        const bool raises = insn->size == length
            && ((insn->id == X86_INS_INT && insn->bytes[insn->size - 1] == vector)
                || (insn->id == X86_INS_INT3 && vector == 3) || (insn->id == X86_INS_INTO && vector == 4));
        cs_free(insn, n);
        if (raises)
            return start;
    }
    return std::nullopt;
}

template <typename Visit>
void Disassembler::sweep(std::span<const uint8_t> code, uint32_t address, bool skip_undecodable, Visit visit) const
{
    cs_insn* insn = cs_malloc(handle_);
    const uint8_t* p = code.data();
    size_t left = code.size();
    uint64_t at = address;
    while (left > 0) {
        const uint32_t start = uint32_t(at);
        if (cs_disasm_iter(handle_, &p, &left, &at, insn)) {
            if (!visit(insn->id, start, uint32_t(at)))
                break;
        } else if (skip_undecodable) {
            ++p; // padding or data between functions: step over one byte
            --left;
            ++at;
        } else {
            break;
        }
    }
    cs_free(insn, 1);
}

std::optional<uint32_t> Disassembler::first_of(Kind kind, std::span<const uint8_t> code, uint32_t address) const
{
    auto matches = [kind](unsigned id) {
        switch (kind) {
        case Kind::port_input:
            return id == X86_INS_IN || id == X86_INS_INSB || id == X86_INS_INSW || id == X86_INS_INSD;
        case Kind::port_output:
            return id == X86_INS_OUT || id == X86_INS_OUTSB || id == X86_INS_OUTSW || id == X86_INS_OUTSD;
        case Kind::sysenter: return id == X86_INS_SYSENTER;
        case Kind::syscall: return id == X86_INS_SYSCALL;
        }
        return false;
    };
    std::optional<uint32_t> found;
    sweep(code, address, false, [&](unsigned id, uint32_t start, uint32_t) {
        if (matches(id))
            found = start;
        return !found;
    });
    return found;
}

std::vector<uint32_t> Disassembler::after_rdtsc(std::span<const uint8_t> code, uint32_t address) const
{
    std::vector<uint32_t> sites;
    sweep(code, address, true, [&](unsigned id, uint32_t, uint32_t next) {
        if (id == X86_INS_RDTSC)
            sites.push_back(next);
        return true;
    });
    return sites;
}

} // namespace vekos
