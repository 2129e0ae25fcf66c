// Dispatch of kernel calls: injection, the service families, log and trace.
#include "kernel.h"

#include "calls.h"
#include "guest_memory.h"
#include "trace.h"
#include "window_service.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <stdexcept>

namespace vekos {

Injection parse_injection(std::string_view spec)
{
    auto bad = [&](const std::string& why) {
        return std::invalid_argument("--inject " + std::string(spec) + ": " + why +
                                     " (expected CALL[@N]=ANSWER, e.g. write@3=-5)");
    };
    size_t eq = spec.find('=');
    if (eq == std::string_view::npos)
        throw bad("missing '='");
    std::string_view call = spec.substr(0, eq);
    std::string_view answer = spec.substr(eq + 1);
    Injection inj;
    size_t at = call.find('@');
    if (at != std::string_view::npos) {
        std::string_view n = call.substr(at + 1);
        uint64_t nth = 0;
        auto [p, ec] = std::from_chars(n.data(), n.data() + n.size(), nth);
        if (ec != std::errc() || p != n.data() + n.size() || nth == 0)
            throw bad("N must be a positive whole number");
        inj.nth = nth;
        call = call.substr(0, at);
    }
    if (call.empty())
        throw bad("no call named");
    uint32_t number = 0;
    auto [p, ec] = std::from_chars(call.data(), call.data() + call.size(), number);
    if (ec == std::errc() && p == call.data() + call.size()) {
        inj.number = number;
    } else if (auto n = call_number(call)) {
        inj.number = *n;
    } else if (call == "sleep") {
        inj.number = VEKOS_SYS_usleep;  // sleep and usleep are one call
    } else if (call == "_exit") {
        inj.number = VEKOS_SYS_exit;
    } else {
        throw bad("unknown call '" + std::string(call) + "'");
    }
    int64_t value = 0;
    auto [q, ec2] = std::from_chars(answer.data(), answer.data() + answer.size(), value);
    if (ec2 != std::errc() || q != answer.data() + answer.size() || value < INT32_MIN ||
        value > UINT32_MAX)
        throw bad("ANSWER must be a 32-bit whole number");
    inj.answer = int32_t(uint32_t(value));
    return inj;
}

void Clock::sleep_us(uint64_t usec)
{
    slept_us_ += usec;
    if (virtual_ || usec == 0)
        return;
    auto now = std::chrono::steady_clock::now();
    auto period = std::chrono::microseconds(usec);
    auto wake = (last_wake_ && now - *last_wake_ < period) ? *last_wake_ + period : now + period;
    last_wake_ = wake;
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, wake, [&] { return interrupted_; });
}

void Clock::interrupt()
{
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    wake_.notify_all();
}

void Clock::reset()
{
    std::lock_guard lock(mutex_);
    interrupted_ = false;
    slept_us_ = 0;
    last_wake_.reset();
}

Kernel::Kernel(KernelOptions options, Console& console)
    : options_(std::move(options)), console_(console), fs_(options_.root), clock_(options_.fast_clock)
{
    reset();
}

Kernel::~Kernel() = default;

void Kernel::interrupt()
{
    clock_.interrupt();
    console_.interrupt();
    if (window_)
        window_->interrupt();
}

void Kernel::reset()
{
    quota_used_ = 0;
    output_closed_ = false;
    fds_.clear();
    fds_.resize(3);
    fds_[0] = Descriptor{Descriptor::Kind::ConsoleIn, {}, {}};
    fds_[1] = Descriptor{Descriptor::Kind::ConsoleOut, {}, {}};
    fds_[2] = Descriptor{Descriptor::Kind::ConsoleErr, {}, {}};
    streams_.clear();
    next_stream_ = 1;
    counts_.fill(0);
    high_counts_.clear();
    log_.clear();
    fs_.reset_cwd();
    clock_.reset();
}

std::optional<int32_t> Kernel::injected_answer(uint32_t number)
{
    uint64_t n = number < counts_.size() ? ++counts_[number] : ++high_counts_[number];
    if (options_.injections.empty())
        return std::nullopt;
    for (const Injection& inj : options_.injections)
        if (inj.number == number && (!inj.nth || *inj.nth == n))
            return inj.answer;
    return std::nullopt;
}

Kernel::Outcome Kernel::handle(GuestMemory& memory, const CallRegs& regs)
{
    CallRecord record{regs, 0, false, true};
    Outcome outcome;
    if (auto forced = injected_answer(regs.eax)) {
        record.answer = *forced;
        record.injected = true;
    } else {
        Answer a = perform(memory, regs);
        record.answer = a.value;
        record.implemented = a.implemented;
        if (a.exit) {
            outcome.exit = true;
            outcome.exit_status = int32_t(regs.ebx);
        }
        outcome.output_closed = output_closed_;
    }
    outcome.answer = record.answer;
    if (options_.trace) {
        std::string line = format_call(memory, record);
        if (outcome.exit)
            line = line.substr(0, line.rfind(" = ")) + " = ?";
        options_.trace(line);
    }
    if (options_.keep_log)
        log_.push_back(record);
    return outcome;
}

Kernel::Answer Kernel::perform(GuestMemory& m, const CallRegs& r)
{
    const int32_t a1 = int32_t(r.ebx);
    switch (r.eax) {
    case VEKOS_SYS_write: return {sys_write(m, a1, r.ecx, r.edx)};
    case VEKOS_SYS_read: return {sys_read(m, a1, r.ecx, r.edx)};
    case VEKOS_SYS_open: return {sys_open(m, r.ebx, r.ecx)};
    case VEKOS_SYS_close: return {sys_close(a1)};
    case VEKOS_SYS_lseek: return {sys_lseek(a1, int32_t(r.ecx), int32_t(r.edx))};
    case VEKOS_SYS_writefile: return {sys_writefile(m, r.ebx, r.ecx, r.edx)};
    case VEKOS_SYS_mkdir:
    case VEKOS_SYS_unlink:
    case VEKOS_SYS_rmdir:
    case VEKOS_SYS_chdir: return {sys_path_call(m, r.eax, r.ebx)};
    case VEKOS_SYS_getcwd: return {sys_getcwd(m, r.ebx, r.ecx)};
    case VEKOS_SYS_dup: return {sys_dup(a1)};
    case VEKOS_SYS_dup2: return {sys_dup2(a1, int32_t(r.ecx))};
    case VEKOS_SYS_pipe: return {sys_pipe(m, r.ebx)};
    case VEKOS_SYS_vekfs_stream_begin: return {sys_stream_begin(m, r.ebx)};
    case VEKOS_SYS_vekfs_stream_write: return {sys_stream_write(m, a1, r.ecx, r.edx)};
    case VEKOS_SYS_vekfs_stream_end: return {sys_stream_end(a1)};
    case VEKOS_SYS_usleep: return {sys_usleep(r.ebx)};
    case VEKOS_SYS_exit: return {0, true, true};
    default:
        break;
    }
    if (window_ && is_gui_call(r.eax)) {  // no list search without a window service
        if (auto answer = window_->handle(m, r))
            return {*answer};
    }
    return {-ENOSYS, false};
}

} // namespace vekos
