// Dispatch of kernel calls: injection, the service of each call, log and observer.
#include "kernel/kernel.h"

#include "window/window.h"

#include <cerrno>

namespace vekos {

Answer not_provided() { return Answer{-ENOSYS, false, false}; }

Kernel::Kernel(KernelOptions options, Console& console)
    : options_(std::move(options)), console_(console), files_(options_.root, options_.quota),
      clock_(options_.fast_clock)
{
    reset();
}

void Kernel::interrupt()
{
    clock_.interrupt();
    console_.interrupt();
    if (window_)
        window_->interrupt();
}

void Kernel::reset()
{
    files_.reset();
    clock_.reset();
    output_closed_ = false;
    counts_.fill(0);
    high_counts_.clear();
    log_.clear();
}

std::optional<int32_t> Kernel::injected_answer(uint32_t number)
{
    uint64_t n = number < counts_.size() ? ++counts_[number] : ++high_counts_[number];
    for (const Injection& inj : options_.injections)
        if (inj.number == number && (!inj.nth || *inj.nth == n))
            return inj.answer;
    return std::nullopt;
}

namespace {

Answer dispatch(Kernel& kernel, const Call& call)
{
    switch (call.regs.eax) {
#define VEKOS_DISPATCH(name, number, ...)                                                                              \
    case number: return serve_##name(kernel, call);
        VEKOS_ALL_CALLS(VEKOS_DISPATCH)
#undef VEKOS_DISPATCH
    default: return not_provided();
    }
}

} // namespace

TrapOutcome Kernel::handle(GuestMemory& memory, const CallRegs& regs)
{
    CallRecord record{regs, 0, false, true, {}};
    TrapOutcome outcome;
    const auto began = options_.observer ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    if (auto forced = injected_answer(regs.eax)) {
        record.answer = *forced;
        record.injected = true;
    } else {
        Answer a = dispatch(*this, Call{memory, regs});
        record.answer = a.value;
        record.provided = a.provided;
        if (a.exit) {
            outcome.end = TrapOutcome::End::exit;
            outcome.exit_status = int32_t(regs.ebx);
        } else if (output_closed_) {
            outcome.end = TrapOutcome::End::output_closed;
        }
    }
    outcome.answer = record.answer;
    if (options_.observer) {
        record.host_time = std::chrono::steady_clock::now() - began;
        options_.observer(memory, record);
    }
    if (options_.keep_log)
        log_.push_back(record);
    return outcome;
}

} // namespace vekos
