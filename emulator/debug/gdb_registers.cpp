#include "debug/gdb_registers.h"

namespace vekos::gdb {
namespace {

struct FlagBit {
    std::string_view name;
    unsigned bit;
};

// The EFLAGS bits GDB names when it prints the register.
constexpr FlagBit eflags_bits[] = {
    {"CF", 0}, {"", 1}, {"PF", 2}, {"AF", 4}, {"ZF", 6}, {"SF", 7}, {"TF", 8}, {"IF", 9},
    {"DF", 10}, {"OF", 11}, {"NT", 14}, {"RF", 16}, {"VM", 17}, {"AC", 18}, {"VIF", 19},
    {"VIP", 20}, {"ID", 21},
};

std::string eflags_type()
{
    std::string xml = "<flags id=\"i386_eflags\" size=\"4\">";
    for (const FlagBit& f : eflags_bits) {
        std::string bit = std::to_string(f.bit);
        xml += "<field name=\"" + std::string(f.name) + "\" start=\"" + bit + "\" end=\"" + bit + "\"/>";
    }
    return xml + "</flags>";
}

std::string register_element(unsigned number)
{
    const RegisterInfo& r = i386_registers[number];
    std::string xml = "<reg name=\"" + std::string(r.name) + "\" bitsize=\"" + std::to_string(r.bits) +
                      "\" type=\"" + std::string(r.type) + "\" regnum=\"" + std::to_string(number) + "\"";
    if (!r.group.empty())
        xml += " group=\"" + std::string(r.group) + "\"";
    return xml + "/>";
}

std::string build_description()
{
    std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE target SYSTEM \"gdb-target.dtd\">"
                      "<target version=\"1.0\"><architecture>i386</architecture>"
                      "<feature name=\"org.gnu.gdb.i386.core\">";
    xml += eflags_type();
    for (unsigned n = 0; n < register_count; ++n)
        xml += register_element(n);
    return xml + "</feature></target>";
}

} // namespace

const std::string& target_description_xml()
{
    static const std::string xml = build_description();
    return xml;
}

} // namespace vekos::gdb
