#include "harness.h"

#include "layout.h"

#include <unicorn/unicorn.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vekos::test {
namespace {

// Generous enough for any library routine; a test that expects a spin lowers it.
constexpr uint64_t kDefaultInstructionLimit = 200'000'000;

std::filesystem::path make_sandbox()
{
    std::string templ = (std::filesystem::temp_directory_path() / "vekos-test-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("cannot create the test sandbox directory");
    return templ;
}

} // namespace

std::filesystem::path build_dir() { return VEKOS_BUILD_DIR; }

GuestMachine& GuestMachine::shared()
{
    static GuestMachine machine;
    return machine;
}

GuestMachine::GuestMachine() : image_(ElfImage::load(VEKOS_TEST_IMAGE)), root_(make_sandbox())
{
    KernelOptions options;
    options.root = root_;
    options.fast_clock = true;
    options.keep_log = true;
    kernel_ = std::make_unique<Kernel>(options, console_);
    MachineOptions mopts;
    mopts.scratch = true;
    mopts.fixed_tsc = true;
    mopts.max_instructions = kDefaultInstructionLimit;
    machine_ = std::make_unique<Machine>(image_, *kernel_, mopts);
}

GuestMachine::~GuestMachine()
{
    machine_.reset();
    kernel_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void GuestMachine::reset()
{
    machine_->reset();
    machine_->set_instruction_limit(kDefaultInstructionLimit);
    machine_->set_tsc(0);
    kernel_->reset();
    kernel_->set_trace({});
    kernel_->clear_injections();
    console_.clear();
    scratch_next_ = kScratchBase;
    for (const auto& entry : std::filesystem::directory_iterator(root_))
        std::filesystem::remove_all(entry.path());
}

uint32_t GuestMachine::symbol(std::string_view name) const
{
    auto s = image_.symbol(std::string(name));
    if (!s)
        throw std::invalid_argument("test image has no symbol " + std::string(name));
    return s->value;
}

CallResult GuestMachine::call(std::string_view name, std::span<const uint32_t> args)
{
    CallResult r;
    r.stop = machine_->call(symbol(name), args);
    r.eax = machine_->reg(UC_X86_REG_EAX);
    r.edx = machine_->reg(UC_X86_REG_EDX);
    r.st0 = machine_->st0();
    // A real caller pops a long double result; so does the harness, or the
    // emulated x87 stack (which does not report overflow) would silently wrap.
    machine_->set_reg(UC_X86_REG_FPTAG, 0xFFFF);
    return r;
}

void GuestMachine::preset_registers()
{
    machine_->set_reg(UC_X86_REG_EBX, preset::ebx);
    machine_->set_reg(UC_X86_REG_ECX, preset::ecx);
    machine_->set_reg(UC_X86_REG_EDX, preset::edx);
    machine_->set_reg(UC_X86_REG_ESI, preset::esi);
    machine_->set_reg(UC_X86_REG_EDI, preset::edi);
    machine_->set_reg(UC_X86_REG_EBP, preset::ebp);
}

bool GuestMachine::callee_saved_kept() const
{
    return machine_->reg(UC_X86_REG_EBX) == preset::ebx && machine_->reg(UC_X86_REG_ESI) == preset::esi &&
           machine_->reg(UC_X86_REG_EDI) == preset::edi && machine_->reg(UC_X86_REG_EBP) == preset::ebp;
}

Stop GuestMachine::start(const std::vector<std::string>& argv) { return machine_->start(argv); }

uint32_t GuestMachine::alloc(uint32_t size, uint8_t fill)
{
    // 16-byte steps with a gap, so neighbouring buffers never touch.
    uint32_t addr = scratch_next_;
    uint32_t next = uint32_t((uint64_t(addr) + size + 16 + 15) & ~uint64_t(15));
    if (next > kScratchBase + kScratchSize)
        throw std::length_error("test scratch memory exhausted");
    scratch_next_ = next;
    std::vector<uint8_t> bytes(size, fill);
    machine_->memory().poke(addr, bytes);
    return addr;
}

uint32_t GuestMachine::put_bytes(std::span<const uint8_t> bytes)
{
    uint32_t addr = alloc(uint32_t(bytes.size()));
    machine_->memory().poke(addr, bytes);
    return addr;
}

uint32_t GuestMachine::put_string(std::string_view text)
{
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return put_bytes(bytes);
}

std::vector<uint8_t> GuestMachine::read(uint32_t addr, uint32_t len) const
{
    std::vector<uint8_t> bytes(len);
    if (!machine_->memory().peek(addr, bytes))
        throw std::out_of_range("guest memory not mapped");
    return bytes;
}

uint32_t GuestMachine::read_u32(uint32_t addr) const
{
    auto b = read(addr, 4);
    uint32_t v;
    std::memcpy(&v, b.data(), 4);
    return v;
}

void GuestMachine::write_u32(uint32_t addr, uint32_t value)
{
    uint8_t b[4];
    std::memcpy(b, &value, 4);
    if (!machine_->memory().poke(addr, b))
        throw std::out_of_range("guest memory not mapped");
}

std::string GuestMachine::read_cstring(uint32_t addr) const
{
    auto s = machine_->memory().read_cstring(addr, 1 << 20);
    if (!s)
        throw std::out_of_range("guest string not readable");
    return *s;
}

} // namespace vekos::test
