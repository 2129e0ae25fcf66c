#include "kernel/clock.h"

namespace vekos {

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

} // namespace vekos
