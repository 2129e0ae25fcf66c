// The engine's set-up, its run loop and stops, and guest calls.  Over 350
// lines: they share the engine handle and the run state, so a split would
// only move that state into a header; the hooks live in machine_hooks.cpp.
#include "cpu/machine.h"

#include "cpu/program_map.h"

#include "base/errors.h"
#include "cpu/layout.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>

namespace vekos {
namespace {

constexpr uint16_t kFpuControlPowerOn = 0x037F;
constexpr uint16_t kFpuTagEmpty = 0xFFFF;
constexpr uint32_t kMxcsrPowerOn = 0x1F80;
// How often a stop is asked for again until the run really ends (a stop asked
// for just before the engine starts is otherwise lost).
constexpr auto kStopRetry = std::chrono::milliseconds(20);

// Flat 4 GiB segments: ring 0 only to get to ring 3, ring 3 for the program.
// The accessed bit is set, so the CPU never writes the (read-only) table.
constexpr uint16_t kKernelCode = 0x08, kKernelData = 0x10, kUserCode = 0x1B, kUserData = 0x23;
constexpr uint64_t flat_descriptor(uint8_t access)
{
    return 0xFFFFull | uint64_t(access) << 40 | 0xFull << 48 | 0xCull << 52; // limit 0xFFFFF pages, 32-bit
}
constexpr std::array<uint64_t, 5> kDescriptors = {
    0,
    flat_descriptor(0x9B), // ring 0 code, execute/read
    flat_descriptor(0x93), // ring 0 data, read/write
    flat_descriptor(0xFB), // ring 3 code
    flat_descriptor(0xF3), // ring 3 data
};
constexpr uint32_t kUserFlags = 0x202; // IF set, IOPL 0: cli, sti, in and out are refused
constexpr uint8_t kIretd = 0xCF;
constexpr uint8_t kInt3 = 0xCC;

void check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string("CPU emulator: ") + what + ": " + uc_strerror(err));
}

} // namespace

uint64_t argument_bytes(const std::vector<std::string>& argv)
{
    uint64_t strings = 0;
    for (const std::string& arg : argv)
        strings += arg.size() + 1;
    // argc, the pointers, a null after them, and up to 15 bytes of alignment.
    return strings + 4 * (uint64_t(argv.size()) + 2) + 15;
}

Machine::Machine(const ElfImage& image, TrapHandler& kernel, MachineOptions options)
    : image_(image), kernel_(kernel), options_(options)
{
    const auto regions = program_regions(image);
    for (const ProgramRegion& r : regions)
        memory_.add_region(r.base, r.size, r.access, "program-" + hex32(r.base));
    for (const Segment& s : image.segments())
        memory_.load(s.vaddr, s.bytes);
    memory_.add_region(kStackBase, kStackSize, kRead | kWrite, "stack");
    memory_.add_region(kStandInPage, kPageSize, kRead | kExec, "stand-in");
    memory_.load(kStandInPage, std::vector<uint8_t>(kPageSize, kInt3));
    memory_.load(kDescriptorTable, std::as_bytes(std::span(kDescriptors)));
    memory_.load(kUserModeEntry, std::span<const uint8_t>(&kIretd, 1));
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
        add_hooks();
        enter_user_mode();
        untranslatable_ = untranslatable_sites(memory_, image_, regions);
        if (!untranslatable_.empty()) {
            check(uc_ctl_exits_enable(uc_), "exits");
            check(uc_ctl_set_exits(uc_, untranslatable_.data(), untranslatable_.size()), "exits");
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

void Machine::add_hooks()
{
    // Hooks go in before the first run, or translated blocks miss them.
    auto add = [this](int type, auto callback, uint64_t begin, uint64_t end, const char* what) {
        uc_hook h;
        check(uc_hook_add(uc_, &h, type, reinterpret_cast<void*>(callback), this, begin, end), what);
    };
    add(UC_HOOK_INTR, &Machine::on_interrupt, 1, 0, "interrupt hook");
    add(UC_HOOK_MEM_INVALID, &Machine::on_invalid_memory, 1, 0, "memory fault hook");
    // A memory hook, on a page nothing uses, keeps eip exact at a faulting access.
    add(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, &Machine::on_memory_probe, kNeverExecuted, kNeverExecuted,
        "memory probe hook");
    // The engine runs these at any privilege: each ends the run as the CPU would.
    auto add_insn = [this](auto callback, int instruction, const char* what) {
        uc_hook h;
        check(uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void*>(callback), this, 1, 0, instruction), what);
    };
    add_insn(&Machine::on_port_input, UC_X86_INS_IN, "in hook");
    add_insn(&Machine::on_port_output, UC_X86_INS_OUT, "out hook");
    add_insn(&Machine::on_sysenter, UC_X86_INS_SYSENTER, "sysenter hook");
    add_insn(&Machine::on_syscall, UC_X86_INS_SYSCALL, "syscall hook");
    if (options_.max_instructions || options_.count_instructions)
        add(UC_HOOK_BLOCK, &Machine::on_block, 1, 0, "block hook");
    if (options_.fixed_tsc) {
        // Unicorn cannot hook rdtsc itself: overwrite edx:eax right after it.
        for (const Segment& seg : image_.segments()) {
            if (!(seg.flags & 1))
                continue;
            for (uint32_t site : disassembler_.after_rdtsc(seg.bytes, seg.vaddr))
                add(UC_HOOK_CODE, &Machine::on_after_rdtsc, site, site, "rdtsc hook");
        }
    }
    if (options_.observer) {
        add(UC_HOOK_CODE, &Machine::on_observed_code, 1, 0, "debugger code hook");
        add(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, &Machine::on_observed_access, 1, 0, "debugger access hook");
    }
    if (options_.coverage)
        add(UC_HOOK_BLOCK, &Machine::on_covered_block, 1, 0, "coverage hook");
    if (options_.profile) {
        add(UC_HOOK_CODE, &Machine::on_profile_code, 1, 0, "profile code hook");
        add(UC_HOOK_MEM_WRITE, &Machine::on_profile_store, 1, 0, "profile store hook");
    }
}

// A vekos program is a user-mode process: the CPU goes from ring 0 to ring 3
// once, through an iretd in the stand-in's page, and stays there (the saved
// pristine state is at ring 3).  Privileged instructions then fault as on
// real hardware, without a hook per instruction.
void Machine::enter_user_mode()
{
    uc_x86_mmr gdtr{0, kDescriptorTable, uint32_t(sizeof kDescriptors - 1), 0};
    check(uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr), "descriptor table");
    const std::pair<int, uint32_t> selectors[] = {
        {UC_X86_REG_CS, kKernelCode},
        {UC_X86_REG_SS, kKernelData},
        {UC_X86_REG_DS, kUserData},
        {UC_X86_REG_ES, kUserData},
        {UC_X86_REG_FS, kUserData},
        {UC_X86_REG_GS, kUserData},
    };
    for (const auto& [reg, selector] : selectors)
        check(uc_reg_write(uc_, reg, &selector), "segment register");
    const uint32_t frame[5] = {kUserModeReached, kUserCode, kUserFlags, kStackTop, kUserData};
    const uint32_t sp = kStackTop - sizeof frame;
    memory_.poke(sp, std::as_bytes(std::span(frame)));
    set_reg(UC_X86_REG_ESP, sp);
    mode_ = Mode::entering_user_mode;
    check(uc_emu_start(uc_, kUserModeEntry, kUserModeReached, 0, 0), "entering user mode");
    if (reg(UC_X86_REG_EIP) != kUserModeReached || (reg(UC_X86_REG_CS) & 3) != 3)
        throw std::runtime_error("CPU emulator: could not enter user mode");
    // The iretd is not needed again: int3 there too, like the rest of the page.
    memory_.load(kUserModeEntry, std::span<const uint8_t>(&kInt3, 1));
    memory_.reset();
    check(uc_ctl_remove_cache(uc_, kStandInPage, kStandInPage + kPageSize), "translation cache");
}

void Machine::reset()
{
    memory_.reset();
    check(uc_context_restore(uc_, pristine_), "context restore");
    executed_ = 0;
    requested_signal_ = 0;
}

void Machine::request_stop(int signal)
{
    int none = 0;
    requested_signal_.compare_exchange_strong(none, signal);
    kernel_.interrupt();
    std::unique_lock lock(stop_mutex_);
    while (running_) {
        uc_emu_stop(uc_);
        stop_wake_.wait_for(lock, kStopRetry);
    }
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

void Machine::read_register_bytes(int id, std::span<uint8_t> out) const
{
    uint8_t raw[16] = {};
    uc_reg_read(uc_, id, raw);
    std::memcpy(out.data(), raw, std::min(out.size(), sizeof raw));
}

void Machine::write_register_bytes(int id, std::span<const uint8_t> bytes)
{
    uint8_t raw[16] = {};
    read_register_bytes(id, raw); // the bytes not given keep their value
    std::memcpy(raw, bytes.data(), std::min(bytes.size(), sizeof raw));
    check(uc_reg_write(uc_, id, raw), "register write");
}

uint16_t Machine::fpu_control_word() const
{
    uint16_t cw = 0;
    uc_reg_read(uc_, UC_X86_REG_FPCW, &cw);
    return cw;
}

// The --timeout watchdog: once the time is up, asks the engine to stop (again
// and again until it has) and cuts short any kernel call that waits.
void Machine::supervise(std::unique_lock<std::mutex>& lock)
{
    const auto limit = std::chrono::duration<double>(options_.timeout_seconds);
    if (stop_wake_.wait_for(lock, limit, [&] { return !running_; }))
        return;
    timed_out_ = true;
    lock.unlock();
    kernel_.interrupt();
    lock.lock();
    while (running_) {
        uc_emu_stop(uc_);
        stop_wake_.wait_for(lock, kStopRetry);
    }
}

Stop Machine::run(uint32_t begin, Mode mode)
{
    mode_ = mode;
    stop_.reset();
    profile_ = Profile{};
    hook_error_ = nullptr;
    executed_ = 0;
    timed_out_ = false;
    {
        std::lock_guard lock(stop_mutex_);
        running_ = true;
    }
    std::thread watchdog;
    if (options_.timeout_seconds > 0)
        watchdog = std::thread([this] {
            std::unique_lock lock(stop_mutex_);
            supervise(lock);
        });
    uc_err err = UC_ERR_OK;
    if (requested_signal_ == 0)
        err = uc_emu_start(uc_, begin, kNeverExecuted, 0, 0);
    {
        std::lock_guard lock(stop_mutex_);
        running_ = false;
    }
    stop_wake_.notify_all();
    if (watchdog.joinable())
        watchdog.join();

    if (hook_error_)
        std::rethrow_exception(hook_error_);
    if (stop_)
        return *stop_;
    if (int signal = requested_signal_)
        return Stop{Stop::Why::Interrupted, 0, std::nullopt, signal};
    if (timed_out_)
        return Stop{Stop::Why::Timeout, 0, std::nullopt, 0};
    uint32_t eip = reg(UC_X86_REG_EIP);
    // Unicorn reports an undefined opcode (ud2, ...) as an error of the run,
    // not as interrupt 6; eip is left on the instruction.  The engine also
    // stops, without an error, before an instruction it cannot translate.
    if (err == UC_ERR_INSN_INVALID
        || (err == UC_ERR_OK && std::binary_search(untranslatable_.begin(), untranslatable_.end(), eip)))
        record_fault(
            "invalid instruction", "the CPU cannot execute the instruction", eip, exit_status::invalid_instruction);
    else
        record_fault("CPU emulator stopped", err == UC_ERR_OK ? "no reason given" : uc_strerror(err), eip,
            exit_status::memory_fault);
    return *stop_;
}

Stop Machine::start(const std::vector<std::string>& argv)
{
    prepare_start(argv);
    return resume();
}

Stop Machine::resume() { return run(reg(UC_X86_REG_EIP), Mode::program); }

bool Machine::patch(uint32_t address, std::span<const uint8_t> bytes)
{
    if (!memory_.poke(address, bytes))
        return false;
    check(uc_ctl_remove_cache(uc_, address, uint64_t(address) + bytes.size()), "translation cache");
    return true;
}

void Machine::prepare_start(const std::vector<std::string>& argv)
{
    const uint64_t needed = argument_bytes(argv);
    if (needed > kMaxArgumentBytes)
        throw ArgumentsTooLong("the program's arguments take " + std::to_string(needed)
            + " bytes of its stack; at most " + std::to_string(kMaxArgumentBytes) + " fit");
    // Strings at the top of the stack, then the pointer array, then argc.
    uint32_t sp = kStackTop;
    std::vector<uint32_t> pointers;
    for (const std::string& arg : argv) {
        sp -= uint32_t(arg.size() + 1);
        memory_.poke(sp, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(arg.c_str()), arg.size() + 1));
        pointers.push_back(sp);
    }
    pointers.push_back(0); // a null after the last pointer, for C programs that look for it
    sp -= uint32_t(4 * (pointers.size() + 1));
    sp &= ~15u;
    uint32_t argc = uint32_t(argv.size());
    bool placed = memory_.poke(sp, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&argc), 4))
        && memory_.poke(
            sp + 4, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pointers.data()), pointers.size() * 4));
    if (!placed)
        throw std::logic_error("start-up stack: the arguments were measured to fit but do not");
    set_reg(UC_X86_REG_ESP, sp);
    set_reg(UC_X86_REG_EIP, image_.entry());
    entry_sp_ = sp;
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
    return run(function, Mode::call);
}

} // namespace vekos
