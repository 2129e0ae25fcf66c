#include "machine.h"

#include "errors.h"
#include "layout.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vekos {
namespace {

constexpr uint32_t kIntVector = 0x80;
constexpr uint8_t kHlt = 0xF4;
constexpr uint16_t kFpuControlPowerOn = 0x037F;
constexpr uint16_t kFpuTagEmpty = 0xFFFF;
constexpr uint32_t kMxcsrPowerOn = 0x1F80;
constexpr uint32_t kMaxInstructionBytes = 15;

void check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string("CPU emulator: ") + what + ": " + uc_strerror(err));
}

std::string hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

uint32_t segment_access(uint32_t elf_flags)
{
    uint32_t a = 0;
    if (elf_flags & 4)
        a |= kRead;
    if (elf_flags & 2)
        a |= kWrite | kRead;
    if (elf_flags & 1)
        a |= kExec | kRead;
    return a;
}

// Pages of all segments, each with the union of the access of the segments in it.
std::map<uint32_t, uint32_t> page_access(const ElfImage& image)
{
    std::map<uint32_t, uint32_t> pages;
    for (const Segment& s : image.segments())
        for (uint64_t p = page_floor(s.vaddr); p < uint64_t(s.vaddr) + s.memsz; p += kPageSize)
            pages[uint32_t(p)] |= segment_access(s.flags);
    return pages;
}

} // namespace

std::string Fault::message() const
{
    return kind + ": " + detail + "; eip " + hex(eip) + ": " + instruction;
}

Machine::Machine(const ElfImage& image, Kernel& kernel, MachineOptions options)
    : image_(image), kernel_(kernel), options_(options)
{
    // Program pages, grouped into runs of equal access.
    auto pages = page_access(image);
    for (auto it = pages.begin(); it != pages.end();) {
        uint32_t base = it->first, access = it->second, size = 0;
        while (it != pages.end() && it->first == base + size && it->second == access) {
            size += kPageSize;
            ++it;
        }
        memory_.add_region(base, size, access, "program-" + hex(base));
    }
    for (const Segment& s : image.segments())
        memory_.load(s.vaddr, s.bytes);
    memory_.add_region(kStackBase, kStackSize, kRead | kWrite, "stack");
    memory_.add_region(kReturnSentinel, kPageSize, kRead | kExec, "return-sentinel");
    std::vector<uint8_t> hlts(kPageSize, kHlt);
    memory_.load(kReturnSentinel, hlts);
    if (options_.scratch)
        memory_.add_region(kScratchBase, kScratchSize, kRead | kWrite, "scratch");

    check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "open");
    try {
        memory_.map_into(uc_);
        // Unicorn leaves the x87 unit zeroed; set the power-on state by hand.
        uint64_t cw = kFpuControlPowerOn, tag = kFpuTagEmpty, mxcsr = kMxcsrPowerOn;
        check(uc_reg_write(uc_, UC_X86_REG_FPCW, &cw), "FPU control word");
        check(uc_reg_write(uc_, UC_X86_REG_FPTAG, &tag), "FPU tag word");
        check(uc_reg_write(uc_, UC_X86_REG_MXCSR, &mxcsr), "MXCSR");

        // Hooks go in before the first run, or translated blocks miss them.
        uc_hook h;
        check(uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&Machine::on_interrupt), this, 1,
                          0),
              "interrupt hook");
        check(uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Machine::on_invalid_memory),
                          this, 1, 0),
              "memory fault hook");
        // A memory hook, on a page nothing uses, keeps eip exact at a faulting access.
        check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                          reinterpret_cast<void*>(&Machine::on_memory_probe), this, kNeverExecuted,
                          kNeverExecuted),
              "memory probe hook");
        if (options_.max_instructions)
            check(uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&Machine::on_block), this,
                              1, 0),
                  "block hook");
        if (options_.fixed_tsc) {
            // Unicorn cannot hook rdtsc itself: overwrite edx:eax right after it.
            for (const Segment& seg : image.segments()) {
                if (!(seg.flags & 1))
                    continue;
                for (uint32_t site : disassembler_.after_rdtsc(seg.bytes, seg.vaddr))
                    check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&Machine::on_after_rdtsc),
                                      this, site, site),
                          "rdtsc hook");
            }
        }
        if (options_.profile) {
            check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&Machine::on_profile_code), this,
                              1, 0),
                  "profile code hook");
            check(uc_hook_add(uc_, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&Machine::on_profile_store),
                              this, 1, 0),
                  "profile store hook");
        }
        check(uc_context_alloc(uc_, &pristine_), "context");
        check(uc_context_save(uc_, pristine_), "context save");
    } catch (...) {
        if (pristine_)
            uc_context_free(pristine_);
        uc_close(uc_);
        throw;
    }
}

Machine::~Machine()
{
    if (pristine_)
        uc_context_free(pristine_);
    if (uc_)
        uc_close(uc_);
}

void Machine::reset()
{
    memory_.reset();
    check(uc_context_restore(uc_, pristine_), "context restore");
    executed_ = 0;
}

uint32_t Machine::reg(int id) const
{
    uint32_t v = 0;
    uc_reg_read(uc_, id, &v);
    return v;
}

void Machine::set_reg(int id, uint32_t value) { check(uc_reg_write(uc_, id, &value), "register write"); }

long double Machine::st0() const
{
    long double v = 0;
    uint8_t raw[16] = {};
    uc_reg_read(uc_, UC_X86_REG_ST0, raw);
    std::memcpy(&v, raw, 10);
    return v;
}

uint16_t Machine::fpu_control_word() const
{
    uint16_t cw = 0;
    uc_reg_read(uc_, UC_X86_REG_FPCW, &cw);
    return cw;
}

std::string Machine::instruction_at(uint32_t eip) const
{
    std::vector<uint8_t> code;
    for (uint32_t i = 0; i < kMaxInstructionBytes; ++i) {
        uint8_t b;
        if (!memory_.peek(eip + i, std::span<uint8_t>(&b, 1)))
            break;
        code.push_back(b);
    }
    return disassembler_.instruction(code, eip);
}

void Machine::record_fault(std::string kind, std::string detail, uint32_t eip, int status)
{
    if (stop_)
        return;
    Stop s;
    s.why = Stop::Why::Faulted;
    s.fault = Fault{std::move(kind), std::move(detail), eip, instruction_at(eip), status};
    stop_ = std::move(s);
    uc_emu_stop(uc_);
}

void Machine::on_interrupt(uc_struct* uc, uint32_t intno, void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    // Exceptions must not unwind through the emulator: keep them for later.
    try {
        if (intno == kIntVector) {
            int ids[4] = {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX};
            CallRegs regs;
            void* vals[4] = {&regs.eax, &regs.ebx, &regs.ecx, &regs.edx};
            uc_reg_read_batch(uc, ids, vals, 4);
            Kernel::Outcome out = self->kernel_.handle(self->memory_, regs);
            if (out.exit) {
                self->stop_ = Stop{Stop::Why::Exited, out.exit_status, std::nullopt};
                uc_emu_stop(uc);
                return;
            }
            uint32_t answer = uint32_t(out.answer);
            uc_reg_write(uc, UC_X86_REG_EAX, &answer);
            return;
        }
        uint32_t eip = self->reg(UC_X86_REG_EIP);
        switch (intno) {
        case 0:
            self->record_fault("divide error", "division by zero or quotient too large", eip,
                               exit_status::divide_error);
            break;
        case 6:
            self->record_fault("invalid instruction", "the CPU cannot execute the instruction", eip,
                               exit_status::invalid_instruction);
            break;
        case 13:
            self->record_fault("general protection fault", "privileged or malformed instruction", eip,
                               exit_status::memory_fault);
            break;
        case 14:
            self->record_fault("page fault", "memory access refused", eip, exit_status::memory_fault);
            break;
        case 3:
            self->record_fault("breakpoint trap", "int3 executed", eip - 1, exit_status::memory_fault);
            break;
        default: {
            char what[64];
            std::snprintf(what, sizeof what, "interrupt 0x%02x (only int 0x80 enters the kernel)", intno);
            self->record_fault("unexpected interrupt", what, eip - 2, exit_status::memory_fault);
        }
        }
    } catch (...) {
        self->hook_error_ = std::current_exception();
        uc_emu_stop(uc);
    }
}

bool Machine::on_invalid_memory(uc_struct* uc, int type, uint64_t address, int size, int64_t,
                                void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    try {
        uint32_t eip = self->reg(UC_X86_REG_EIP);
        std::string what;
        switch (type) {
        case UC_MEM_READ_UNMAPPED: what = "read of unmapped memory"; break;
        case UC_MEM_WRITE_UNMAPPED: what = "write to unmapped memory"; break;
        case UC_MEM_FETCH_UNMAPPED: what = "execution of unmapped memory"; break;
        case UC_MEM_WRITE_PROT: what = "write to read-only memory"; break;
        case UC_MEM_READ_PROT: what = "read of unreadable memory"; break;
        case UC_MEM_FETCH_PROT: what = "execution of non-executable memory"; break;
        default: what = "invalid memory access"; break;
        }
        if (type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT)
            eip = uint32_t(address);
        self->record_fault("segmentation fault",
                           what + " at " + hex(uint32_t(address)) + " (" + std::to_string(size) + " bytes)",
                           eip, exit_status::memory_fault);
    } catch (...) {
        self->hook_error_ = std::current_exception();
    }
    uc_emu_stop(uc);
    return false;
}

void Machine::on_block(uc_struct* uc, uint64_t address, uint32_t size, void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    try {
        uint32_t& n = self->block_sizes_[uint32_t(address)];
        if (n == 0) {
            std::vector<uint8_t> code(size);
            if (self->memory_.peek(uint32_t(address), code))
                n = self->disassembler_.count(code, uint32_t(address));
            else
                n = 1;
        }
        if (self->executed_ + n > self->options_.max_instructions) {
            if (!self->stop_)
                self->stop_ = Stop{Stop::Why::InstructionLimit, 0, std::nullopt};
            uc_emu_stop(uc);
            return;
        }
        self->executed_ += n;
    } catch (...) {
        self->hook_error_ = std::current_exception();
        uc_emu_stop(uc);
    }
}

void Machine::on_after_rdtsc(uc_struct* uc, uint64_t, uint32_t, void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    uint32_t low = uint32_t(self->tsc_), high = uint32_t(self->tsc_ >> 32);
    uc_reg_write(uc, UC_X86_REG_EAX, &low);
    uc_reg_write(uc, UC_X86_REG_EDX, &high);
    self->tsc_++;
}

void Machine::on_profile_code(uc_struct*, uint64_t, uint32_t, void* self)
{
    static_cast<Machine*>(self)->profile_.instructions++;
}

void Machine::on_profile_store(uc_struct*, int, uint64_t, int size, int64_t, void* self)
{
    Profile& p = static_cast<Machine*>(self)->profile_;
    p.stores++;
    p.stored_bytes += uint64_t(size);
}

Stop Machine::run(uint32_t begin)
{
    stop_.reset();
    profile_ = Profile{};
    hook_error_ = nullptr;
    executed_ = 0;
    timed_out_ = false;

    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::thread watchdog;
    if (options_.timeout_seconds > 0) {
        watchdog = std::thread([&] {
            std::unique_lock lock(mutex);
            auto limit = std::chrono::duration<double>(options_.timeout_seconds);
            if (!done_cv.wait_for(lock, limit, [&] { return done; })) {
                timed_out_ = true;
                uc_emu_stop(uc_);
                kernel_.interrupt();
            }
        });
    }
    uc_err err = uc_emu_start(uc_, begin, kNeverExecuted, 0, 0);
    if (watchdog.joinable()) {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        done_cv.notify_all();
        watchdog.join();
    }
    if (hook_error_)
        std::rethrow_exception(hook_error_);
    if (stop_)
        return *stop_;
    if (timed_out_)
        return Stop{Stop::Why::Timeout, 0, std::nullopt};

    uint32_t eip = reg(UC_X86_REG_EIP);
    // Unicorn reports an undefined opcode (ud2, ...) as an error of the run,
    // not as interrupt 6; eip is left on the instruction.
    if (err == UC_ERR_INSN_INVALID) {
        record_fault("invalid instruction", "the CPU cannot execute the instruction", eip,
                     exit_status::invalid_instruction);
        return *stop_;
    }
    if (err == UC_ERR_OK && eip == kReturnSentinel + 1)
        return Stop{Stop::Why::Returned, 0, std::nullopt};
    uint8_t previous = 0;
    if (err == UC_ERR_OK && memory_.peek(eip - 1, std::span<uint8_t>(&previous, 1)) && previous == kHlt) {
        record_fault("general protection fault", "privileged instruction hlt in user mode", eip - 1,
                     exit_status::memory_fault);
        return *stop_;
    }
    record_fault("CPU emulator stopped", err == UC_ERR_OK ? "no reason given" : uc_strerror(err), eip,
                 exit_status::memory_fault);
    return *stop_;
}

Stop Machine::start(const std::vector<std::string>& argv)
{
    // Strings at the top of the stack, then the pointer array, then argc.
    uint32_t sp = kStackTop;
    std::vector<uint32_t> pointers;
    for (const std::string& arg : argv) {
        sp -= uint32_t(arg.size() + 1);
        if (sp < kStackBase + kStackSize / 2)
            throw std::runtime_error("program arguments are too long for the stack");
        memory_.poke(sp, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(arg.c_str()), arg.size() + 1));
        pointers.push_back(sp);
    }
    pointers.push_back(0);  // a null after the last pointer, for C programs that look for it
    sp -= uint32_t(4 * (pointers.size() + 1));
    sp &= ~15u;
    uint32_t argc = uint32_t(argv.size());
    memory_.poke(sp, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&argc), 4));
    memory_.poke(sp + 4, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pointers.data()),
                                                  pointers.size() * 4));
    set_reg(UC_X86_REG_ESP, sp);
    entry_sp_ = sp;
    return run(image_.entry());
}

Stop Machine::call(uint32_t function, std::span<const uint32_t> args)
{
    uint32_t sp = (kStackTop - 64 - uint32_t(args.size()) * 4) & ~15u;
    if (!args.empty())
        memory_.poke(sp, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(args.data()), args.size() * 4));
    sp -= 4;
    uint32_t ret = kReturnSentinel;
    memory_.poke(sp, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&ret), 4));
    set_reg(UC_X86_REG_ESP, sp);
    return run(function);
}

} // namespace vekos
