// The kernel's time: sleeps either in real time or on a virtual clock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace vekos {

class Clock {
public:
    explicit Clock(bool virtual_time) : virtual_(virtual_time) { }
    void sleep_us(uint64_t usec);
    // From another thread: a real sleep ends at once, now and for the rest of the run.
    void interrupt();
    void reset();
    uint64_t slept_us() const { return slept_us_; }

private:
    bool virtual_;
    uint64_t slept_us_ = 0;
    // End of the last real sleep: a sleep that follows within one period is
    // counted from there, so a program that works a little and then sleeps
    // keeps the period it asked for instead of drifting by its own work.
    std::optional<std::chrono::steady_clock::time_point> last_wake_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool interrupted_ = false;
};

} // namespace vekos
