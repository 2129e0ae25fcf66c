// The engine's hooks: kernel calls, faults and how they are reported, the
// instruction budget, rdtsc and the profile counts.  Exceptions never unwind
// through the engine: a hook keeps them for the run to rethrow.
#include "cpu/machine.h"

#include "base/errors.h"
#include "cpu/layout.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

namespace vekos {
namespace {

constexpr uint32_t kIntVector = 0x80;
constexpr uint32_t kBreakpointVector = 3;
constexpr uint32_t kMaxInstructionBytes = 15;
// How far an instruction hook looks for the instruction it stands for: its
// translation block, which Unicorn keeps well under a page.
constexpr uint32_t kMaxBlockBytes = 4096;
// An access this far below the stack's lowest page is taken for the stack outgrowing it.
constexpr uint32_t kStackOverflowReach = 64 * 1024;

} // namespace

std::vector<uint8_t> Machine::readable_bytes(uint32_t from, uint32_t to) const
{
    // Byte by byte: the range may begin or end in unmapped memory.
    std::vector<uint8_t> code;
    for (uint32_t at = from; at != to; ++at) {
        uint8_t b;
        if (!memory_.peek(at, std::span<uint8_t>(&b, 1))) {
            if (code.empty())
                continue; // not mapped yet: the part that is
            break;
        }
        code.push_back(b);
    }
    return code;
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
    // A block cut short by its fault ran only up to the faulting instruction.
    const uint32_t block = uint32_t(last_block_ >> 32), block_size = uint32_t(last_block_);
    if (options_.coverage && eip - block < block_size && block_runs_[last_block_]-- > 0)
        ++block_runs_[uint64_t(block) << 32 | (eip - block + 1)];
    Stop s;
    s.why = Stop::Why::Faulted;
    s.fault = Fault{std::move(kind), std::move(detail), eip, instruction_at(eip), status, registers(), {}};
    if (const std::optional<uint32_t> caller = caller_before_frame(eip, s.fault->registers.esp))
        s.fault->callers.push_back(*caller);
    const std::vector<uint32_t> chain = frame_chain(s.fault->registers.ebp);
    s.fault->callers.insert(s.fault->callers.end(), chain.begin(), chain.end());
    s.fault->callers.resize(std::min(s.fault->callers.size(), kReportedCallers + 1));
    stop_ = std::move(s);
    uc_emu_stop(uc_);
}

FaultRegisters Machine::registers() const
{
    FaultRegisters r;
    const std::pair<int, uint32_t*> all[] = {{UC_X86_REG_EAX, &r.eax}, {UC_X86_REG_EBX, &r.ebx},
        {UC_X86_REG_ECX, &r.ecx}, {UC_X86_REG_EDX, &r.edx}, {UC_X86_REG_ESI, &r.esi}, {UC_X86_REG_EDI, &r.edi},
        {UC_X86_REG_EBP, &r.ebp}, {UC_X86_REG_ESP, &r.esp}, {UC_X86_REG_EFLAGS, &r.eflags}};
    for (const auto& [id, value] : all)
        *value = reg(id);
    return r;
}

std::optional<uint32_t> Machine::caller_before_frame(uint32_t eip, uint32_t esp) const
{
    // push ebp; mov ebp, esp: until both ran, ebp is still the caller's frame
    // and the return address lies on the stack.  The compiler leaves some
    // leaf functions without a frame at all: for those it is at esp, unless
    // they pushed registers, which the check that it is a return address
    // into a function mostly catches.
    static constexpr uint8_t kPrologue[] = {0x55, 0x89, 0xE5};
    const std::optional<uint32_t> start = image_.function_start(eip);
    uint8_t prologue[sizeof kPrologue];
    if (!start || !memory_.peek(*start, prologue))
        return std::nullopt;
    const bool framed = std::memcmp(prologue, kPrologue, sizeof kPrologue) == 0;
    if (framed && eip - *start >= 3)
        return std::nullopt;
    uint8_t word[4];
    if (!memory_.peek(esp + (framed && eip - *start == 1 ? 4 : 0), word))
        return std::nullopt;
    uint32_t ret;
    std::memcpy(&ret, word, 4);
    if (image_.function_at(ret, true).empty())
        return std::nullopt;
    return ret;
}

std::vector<uint32_t> Machine::frame_chain(uint32_t ebp) const
{
    // Each frame holds the caller's ebp, then the return address; frames lie
    // ever higher on the stack, so a loop or a wild pointer ends the walk.
    std::vector<uint32_t> callers;
    for (uint32_t frame = ebp; callers.size() <= kReportedCallers && frame % 4 == 0 && frame >= kStackBase;) {
        uint8_t words[8];
        if (!memory_.peek(frame, words))
            break;
        uint32_t next, ret;
        std::memcpy(&next, words, 4);
        std::memcpy(&ret, words + 4, 4);
        if (ret == 0)
            break;
        callers.push_back(ret);
        if (next <= frame)
            break;
        frame = next;
    }
    return callers;
}

void Machine::record_interrupt(uint32_t vector, uint32_t eip)
{
    // int n, int3 and into leave eip after themselves, a faulting instruction
    // leaves it on itself: an interrupt instruction for this vector ending at
    // eip tells the two apart.
    std::vector<uint8_t> before = readable_bytes(eip - kMaxInstructionBytes, eip);
    const std::optional<uint32_t> start = disassembler_.interrupt_ending_at(before, eip, vector);
    InterruptClass c = classify_interrupt(vector, start.has_value());
    record_fault(c.kind, std::move(c.detail), start.value_or(eip), c.status);
}

void Machine::record_forbidden(Disassembler::Kind kind)
{
    // The hook runs with eip somewhere at or before the instruction, in the
    // same straight-line block: the first instruction of its kind from there.
    uint32_t eip = reg(UC_X86_REG_EIP);
    std::vector<uint8_t> block = readable_bytes(eip, eip + kMaxBlockBytes);
    if (auto at = disassembler_.first_of(kind, block, eip))
        eip = *at;
    switch (kind) {
    case Disassembler::Kind::port_input:
    case Disassembler::Kind::port_output:
        record_fault("general protection fault", "I/O port access in user mode", eip, exit_status::memory_fault);
        break;
    case Disassembler::Kind::sysenter:
        record_fault("general protection fault", "sysenter (vekos programs enter the kernel with int 0x80)", eip,
            exit_status::memory_fault);
        break;
    case Disassembler::Kind::syscall:
        record_fault("invalid instruction", "syscall (vekos programs enter the kernel with int 0x80)", eip,
            exit_status::invalid_instruction);
        break;
    }
}

void Machine::on_interrupt(uc_struct* uc, uint32_t intno, void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    // Exceptions must not unwind through the emulator: keep them for later.
    try {
        if (self->stop_) {
            // The run is ending (the engine finishes its block first): no more calls.
            uc_emu_stop(uc);
            return;
        }
        const uint32_t eip = self->reg(UC_X86_REG_EIP);
        if (intno == kBreakpointVector && eip - 1 - kStandInPage < kPageSize) {
            if (eip - 1 == kReturnSentinel && self->mode_ == Mode::call) {
                self->stop_ = Stop{Stop::Why::Returned, 0, std::nullopt, 0};
                uc_emu_stop(uc);
            } else {
                self->record_fault("segmentation fault",
                    "execution outside the program at " + hex32(eip - 1) + ", the stand-in's own page", eip - 1,
                    exit_status::memory_fault);
            }
            return;
        }
        if (intno != kIntVector) {
            self->record_interrupt(intno, eip);
            return;
        }
        int ids[4] = {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX};
        CallRegs regs;
        void* vals[4] = {&regs.eax, &regs.ebx, &regs.ecx, &regs.edx};
        uc_reg_read_batch(uc, ids, vals, 4);
        const TrapOutcome out = self->kernel_.handle(self->memory_, regs);
        if (out.end != TrapOutcome::End::none) {
            self->stop_ = Stop{out.end == TrapOutcome::End::exit ? Stop::Why::Exited : Stop::Why::OutputClosed,
                out.exit_status, std::nullopt, 0};
            uc_emu_stop(uc);
            return;
        }
        uint32_t answer = uint32_t(out.answer);
        uc_reg_write(uc, UC_X86_REG_EAX, &answer);
    } catch (...) {
        self->hook_error_ = std::current_exception();
        uc_emu_stop(uc);
    }
}

bool Machine::on_invalid_memory(uc_struct* uc, int type, uint64_t address, int size, int64_t, void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    try {
        const uint32_t at = uint32_t(address);
        const bool below_stack = !is_fetch(type) && at < kStackBase && at >= kStackBase - kStackOverflowReach;
        self->record_fault(below_stack ? "stack overflow" : "segmentation fault",
            memory_access_text(type) + " at " + hex32(at) + " (" + std::to_string(size) + (size == 1 ? " byte)" : " bytes)")
                + (below_stack ? ", below the 1 MiB stack" : ""),
            is_fetch(type) ? at : self->reg(UC_X86_REG_EIP), exit_status::memory_fault);
    } catch (...) {
        self->hook_error_ = std::current_exception();
    }
    uc_emu_stop(uc);
    return false;
}

uint32_t Machine::on_port_input(uc_struct*, uint32_t, int, void* self)
{
    static_cast<Machine*>(self)->record_forbidden(Disassembler::Kind::port_input);
    return 0;
}

void Machine::on_port_output(uc_struct*, uint32_t, int, uint32_t, void* self)
{
    static_cast<Machine*>(self)->record_forbidden(Disassembler::Kind::port_output);
}

void Machine::on_sysenter(uc_struct*, void* self)
{
    static_cast<Machine*>(self)->record_forbidden(Disassembler::Kind::sysenter);
}

void Machine::on_syscall(uc_struct*, void* self)
{
    static_cast<Machine*>(self)->record_forbidden(Disassembler::Kind::syscall);
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
        if (self->options_.max_instructions && self->executed_ + n > self->options_.max_instructions) {
            if (!self->stop_)
                self->stop_ = Stop{Stop::Why::InstructionLimit, 0, std::nullopt, 0};
            uc_emu_stop(uc);
            return;
        }
        self->executed_ += n;
    } catch (...) {
        self->hook_error_ = std::current_exception();
        uc_emu_stop(uc);
    }
}

void Machine::on_observed_code(uc_struct* uc, uint64_t address, uint32_t, void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    try {
        if (!self->stop_ && self->mode_ != Mode::entering_user_mode
            && self->options_.observer->stop_before(uint32_t(address))) {
            self->stop_ = Stop{Stop::Why::Paused, 0, std::nullopt, 0};
            uc_emu_stop(uc); // from a code hook: before the instruction runs
        }
    } catch (...) {
        self->hook_error_ = std::current_exception();
        uc_emu_stop(uc);
    }
}

void Machine::on_observed_access(uc_struct*, int type, uint64_t address, int size, int64_t, void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    if (self->mode_ != Mode::entering_user_mode)
        self->options_.observer->accessed(uint32_t(address), uint32_t(size), type == UC_MEM_WRITE);
}

void Machine::on_covered_block(uc_struct*, uint64_t address, uint32_t size, void* self_ptr)
{
    auto* self = static_cast<Machine*>(self_ptr);
    if (self->mode_ != Mode::entering_user_mode)
        ++self->block_runs_[self->last_block_ = address << 32 | size];
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

} // namespace vekos
