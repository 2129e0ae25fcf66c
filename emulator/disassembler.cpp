#include "disassembler.h"

#include <capstone/capstone.h>

#include <cstdio>
#include <stdexcept>

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

} // namespace vekos
