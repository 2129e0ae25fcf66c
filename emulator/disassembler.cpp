#include "disassembler.h"

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

std::vector<uint32_t> Disassembler::after_rdtsc(std::span<const uint8_t> code, uint32_t address) const
{
    std::vector<uint32_t> sites;
    cs_insn* insn = cs_malloc(handle_);
    const uint8_t* p = code.data();
    size_t left = code.size();
    uint64_t at = address;
    while (left > 0) {
        if (cs_disasm_iter(handle_, &p, &left, &at, insn)) {
            if (insn->id == X86_INS_RDTSC)
                sites.push_back(uint32_t(at));
        } else {
            ++p;  // padding or data between functions: step over one byte
            --left;
            ++at;
        }
    }
    cs_free(insn, 1);
    return sites;
}

} // namespace vekos
