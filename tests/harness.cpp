#include "harness.h"

#include "library_session.h"

#include "cli/options.h"
#include "cpu/layout.h"

#include <unicorn/unicorn.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vekos::test {

// Generous enough for any library routine; a test that expects a spin lowers it.
static constexpr uint64_t kDefaultInstructionLimit = 200'000'000;

std::filesystem::path build_dir() { return VEKOS_BUILD_DIR; }

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

GuestMachine& GuestMachine::shared()
{
    static GuestMachine machine;
    return machine;
}

GuestMachine::GuestMachine() : session_(VEKOS_TEST_IMAGE, library_session_options(kDefaultInstructionLimit, true)) { }

void GuestMachine::reset()
{
    session_.reset();
    machine().set_instruction_limit(kDefaultInstructionLimit);
    machine().set_tsc(0);
    kernel().set_observer({});
    kernel().clear_injections();
    scratch_next_ = kScratchBase;
}

void GuestMachine::inject(std::string_view spec) { kernel().add_injection(parse_injection(spec)); }

CallResult GuestMachine::call(std::string_view name, std::span<const uint32_t> args)
{
    CallResult r;
    r.stop = session_.call(name, args);
    r.eax = machine().reg(UC_X86_REG_EAX);
    r.edx = machine().reg(UC_X86_REG_EDX);
    r.st0 = machine().st0();
    // A real caller pops a long double result; so does the harness, or the
    // emulated x87 stack (which does not report overflow) would silently wrap.
    machine().set_reg(UC_X86_REG_FPTAG, 0xFFFF);
    return r;
}

void GuestMachine::preset_registers()
{
    for (const auto& [reg, value] :
        {std::pair{UC_X86_REG_EBX, preset.ebx}, {UC_X86_REG_ECX, preset.ecx}, {UC_X86_REG_EDX, preset.edx},
            {UC_X86_REG_ESI, preset.esi}, {UC_X86_REG_EDI, preset.edi}, {UC_X86_REG_EBP, preset.ebp}})
        machine().set_reg(reg, value);
}

bool GuestMachine::callee_saved_kept() const
{
    const Machine& m = session_.machine();
    return m.reg(UC_X86_REG_EBX) == preset.ebx && m.reg(UC_X86_REG_ESI) == preset.esi
        && m.reg(UC_X86_REG_EDI) == preset.edi && m.reg(UC_X86_REG_EBP) == preset.ebp;
}

uint32_t GuestMachine::alloc(uint32_t size, uint8_t fill)
{
    // 16-byte steps with a gap, so neighbouring buffers never touch.
    const uint32_t addr = scratch_next_;
    const uint32_t next = uint32_t((uint64_t(addr) + size + 16 + 15) & ~uint64_t(15));
    if (next > kScratchBase + kScratchSize)
        throw std::length_error("test scratch memory exhausted");
    scratch_next_ = next;
    session_.poke(addr, std::vector<uint8_t>(size, fill));
    return addr;
}

uint32_t GuestMachine::put_bytes(std::span<const uint8_t> bytes)
{
    const uint32_t addr = alloc(uint32_t(bytes.size()));
    session_.poke(addr, bytes);
    return addr;
}

uint32_t GuestMachine::put_words(std::span<const uint32_t> words)
{
    return put_bytes({reinterpret_cast<const uint8_t*>(words.data()), 4 * words.size()});
}

uint32_t GuestMachine::put_string(std::string_view text) { return put_bytes(std::string(text) + '\0'); }

} // namespace vekos::test
