// The i386 registers as GDB numbers them: the order of the `g` packet, the
// numbers of `p`/`P`, and the target description GDB reads with qXfer are
// all made from the one table below (GDB's org.gnu.gdb.i386.core feature).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vekos::gdb {

enum class Reg : unsigned {
    eax, ecx, edx, ebx, esp, ebp, esi, edi,
    eip, eflags, cs, ss, ds, es, fs, gs,
    st0, st1, st2, st3, st4, st5, st6, st7,
    fctrl, fstat, ftag, fiseg, fioff, foseg, fooff, fop,
};

struct RegisterInfo {
    std::string_view name;
    unsigned bits;
    std::string_view type;   // a GDB target-description type
    std::string_view group;  // empty: GDB's default group
};

constexpr unsigned x87_ext_bits = 80;

inline constexpr std::array<RegisterInfo, 32> i386_registers = {{
    {"eax", 32, "int32", ""}, {"ecx", 32, "int32", ""}, {"edx", 32, "int32", ""},
    {"ebx", 32, "int32", ""}, {"esp", 32, "data_ptr", ""}, {"ebp", 32, "data_ptr", ""},
    {"esi", 32, "int32", ""}, {"edi", 32, "int32", ""},
    {"eip", 32, "code_ptr", ""}, {"eflags", 32, "i386_eflags", ""},
    {"cs", 32, "int32", ""}, {"ss", 32, "int32", ""}, {"ds", 32, "int32", ""},
    {"es", 32, "int32", ""}, {"fs", 32, "int32", ""}, {"gs", 32, "int32", ""},
    {"st0", x87_ext_bits, "i387_ext", ""}, {"st1", x87_ext_bits, "i387_ext", ""},
    {"st2", x87_ext_bits, "i387_ext", ""}, {"st3", x87_ext_bits, "i387_ext", ""},
    {"st4", x87_ext_bits, "i387_ext", ""}, {"st5", x87_ext_bits, "i387_ext", ""},
    {"st6", x87_ext_bits, "i387_ext", ""}, {"st7", x87_ext_bits, "i387_ext", ""},
    {"fctrl", 32, "int", "float"}, {"fstat", 32, "int", "float"}, {"ftag", 32, "int", "float"},
    {"fiseg", 32, "int", "float"}, {"fioff", 32, "int", "float"}, {"foseg", 32, "int", "float"},
    {"fooff", 32, "int", "float"}, {"fop", 32, "int", "float"},
}};

constexpr unsigned register_count = i386_registers.size();

constexpr size_t register_size(unsigned number) { return i386_registers[number].bits / 8; }

// Where register `number` starts in the `g` block.
constexpr size_t register_offset(unsigned number)
{
    size_t offset = 0;
    for (unsigned i = 0; i < number; ++i)
        offset += register_size(i);
    return offset;
}

// 16 registers of 4 bytes, 8 of 10, 8 of 4.
constexpr size_t register_block_size = register_offset(register_count);
static_assert(register_block_size == 176);
static_assert(register_offset(unsigned(Reg::st0)) == 64 && register_offset(unsigned(Reg::fctrl)) == 144);

// The name GDB asks for: qXfer:features:read:target.xml.
constexpr std::string_view target_xml_annex = "target.xml";

// The whole description: architecture i386 and the core feature.
const std::string& target_description_xml();

} // namespace vekos::gdb
