// Window pacing of paneprobe under the stand-in.
//
//   vekos_bench_window [--seconds S] [--display none|window|terminal] [--frames N]
//
// Real time: paneprobe runs with the real clock (its 16,000-microsecond
// sleeps are real sleeps) for S seconds (10 by default); every present is
// timestamped.  Printed: the achieved frame rate against 62.5 a second, the
// frame-interval mean, spread and extremes.  Then on the virtual clock
// (sleeps cost nothing) for N frames (2000): host time per rendered frame,
// all of it and the part spent in the window calls.
#include "kernel/calls.h"
#include "session/session.h"
#include "window/presenter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kTargetRate = 1e6 / 16000.0; // paneprobe sleeps 16,000 us a frame

// Stamps each present, passes frames and keys on to a display if there is
// one, and sends 'q' once the run has lasted long enough.
class Meter final : public vekos::Viewer {
public:
    Meter(double seconds, uint64_t frames, vekos::Viewer* next) : seconds_(seconds), frames_(frames), next_(next) { }

    void window_opened(std::string_view title, std::string_view hint, int w, int h) override
    {
        if (next_)
            next_->window_opened(title, hint, w, h);
    }
    void frame_presented(const vekos::Framebuffer& frame, uint64_t number) override
    {
        const auto now = Clock::now();
        if (stamps_.empty())
            first_ = now;
        stamps_.push_back(now);
        if (next_)
            next_->frame_presented(frame, number);
        if ((seconds_ > 0 && now - first_ >= std::chrono::duration<double>(seconds_))
            || (frames_ > 0 && number >= frames_))
            quit_ = true;
    }
    void take_keys(std::vector<int32_t>& codes) override
    {
        if (next_)
            next_->take_keys(codes);
        if (quit_ && !quit_sent_) {
            codes.push_back('q');
            quit_sent_ = true;
        }
    }
    // The kernel's observer: the host time of every window call.
    void observe(const vekos::CallRecord& call)
    {
        const vekos::CallInfo* info = vekos::find_call(call.in.eax);
        if (info && info->gui)
            service_time_ += call.host_time;
    }

    const std::vector<Clock::time_point>& stamps() const { return stamps_; }
    double service_seconds() const { return std::chrono::duration<double>(service_time_).count(); }

private:
    double seconds_;
    uint64_t frames_;
    vekos::Viewer* next_;
    std::vector<Clock::time_point> stamps_;
    Clock::time_point first_;
    Clock::duration service_time_{};
    bool quit_ = false;
    bool quit_sent_ = false;
};

struct Run {
    std::vector<Clock::time_point> stamps;
    double wall = 0, service = 0, slept = 0;
};

Run run_paneprobe(const vekos::ElfImage& image, bool real_time, double seconds, uint64_t frames, vekos::Viewer* display)
{
    Meter meter(seconds, frames, display);
    vekos::SessionOptions options;
    options.root = "/";
    options.kernel.fast_clock = !real_time;
    options.kernel.observer
        = [&meter](const vekos::GuestMemory&, const vekos::CallRecord& call) { meter.observe(call); };
    options.window = vekos::WindowOptions{};
    options.viewer = &meter;
    vekos::Session session(image, std::move(options));
    const auto start = Clock::now();
    const vekos::Stop stop = session.run({"paneprobe"});
    Run r;
    r.wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (stop.why != vekos::Stop::Why::Exited || stop.exit_status != 0) {
        std::fprintf(stderr, "vekos_bench_window: paneprobe did not end with 0%s%s\n", stop.fault ? ": " : "",
            stop.fault ? stop.fault->message().c_str() : "");
        std::exit(1);
    }
    r.stamps = meter.stamps();
    r.service = meter.service_seconds();
    r.slept = double(session.kernel().clock().slept_us()) / 1e6;
    return r;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void usage()
{
    std::puts("usage: vekos_bench_window [--seconds S] [--display none|window|terminal] [--frames N]\n"
              "  --seconds S   real-time run length (default 10)\n"
              "  --display D   also show the frames (default none)\n"
              "  --frames N    frames of the virtual-clock run (default 2000)");
}

} // namespace

int main(int argc, char** argv)
{

    double seconds = 10;
    uint64_t fast_frames = 2000;
    vekos::DisplayKind display = vekos::DisplayKind::none;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--seconds" || arg == "--display" || arg == "--frames") && i + 1 < argc) {
            const std::string value = argv[++i];
            try {
                if (arg == "--seconds")
                    seconds = std::stod(value);
                else if (arg == "--frames")
                    fast_frames = std::stoull(value);
                else if (value == "window" || value == "terminal" || value == "none")
                    display = value == "window" ? vekos::DisplayKind::window
                        : value == "terminal"   ? vekos::DisplayKind::terminal
                                                : vekos::DisplayKind::none;
                else
                    throw std::invalid_argument(value);
            } catch (const std::exception&) {
                std::fprintf(stderr, "vekos_bench_window: bad value for %s: %s\n", arg.c_str(), value.c_str());
                return 2;
            }
        } else {
            usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }
    try {
        const vekos::ElfImage image = vekos::ElfImage::load(VEKOS_BENCH_IMAGE);

        std::unique_ptr<vekos::Presenter> presenter;
        if (display != vekos::DisplayKind::none)
            presenter = std::make_unique<vekos::Presenter>(vekos::PresenterOptions{display, nullptr, 640, 480});
        const Run live = run_paneprobe(image, true, seconds, 0, presenter.get());
        if (presenter)
            presenter->finish();

        const auto& t = live.stamps;
        if (t.size() < 3) {
            std::fprintf(stderr, "vekos_bench_window: too few frames (%zu)\n", t.size());
            return 1;
        }
        std::vector<double> intervals;
        for (size_t i = 1; i < t.size(); ++i)
            intervals.push_back(ms(t[i] - t[i - 1]));
        const double span = ms(t.back() - t.front()) / 1000.0;
        const double rate = double(intervals.size()) / span;
        const double mean = std::accumulate(intervals.begin(), intervals.end(), 0.0) / double(intervals.size());
        double var = 0;
        for (double v : intervals)
            var += (v - mean) * (v - mean);
        const double stddev = std::sqrt(var / double(intervals.size()));
        std::vector<double> sorted = intervals;
        std::sort(sorted.begin(), sorted.end());
        auto quantile = [&](double q) { return sorted[size_t(q * double(sorted.size() - 1))]; };
        const double off = (rate - kTargetRate) / kTargetRate * 100.0;

        const char* shown = display == vekos::DisplayKind::window ? "window"
            : display == vekos::DisplayKind::terminal             ? "terminal"
                                                                  : "none";
        std::printf("paneprobe in real time, display %s, %.1f s of frames\n", shown, span);
        std::printf("  frames presented     %zu\n", t.size());
        std::printf("  achieved frame rate  %.3f /s   (target %.1f /s: %+.2f%%, %s 1%%)\n", rate, kTargetRate, off,
            std::fabs(off) <= 1.0 ? "within" : "NOT within");
        std::printf("  frame interval       mean %.3f ms, jitter (std dev) %.3f ms\n", mean, stddev);
        std::printf("                       min %.3f, median %.3f, p99 %.3f, max %.3f ms\n", sorted.front(),
            quantile(0.5), quantile(0.99), sorted.back());
        std::printf("  beyond the 16 ms     %.3f ms a frame (sleep overshoot and host work)\n", mean - 16.0);

        const Run fast = run_paneprobe(image, false, 0, fast_frames, nullptr);
        const double frames = double(fast.stamps.size());
        std::printf("paneprobe on the virtual clock, %zu frames\n", fast.stamps.size());
        std::printf("  host time per frame  %.1f us (emulation, kernel calls, drawing)\n", fast.wall / frames * 1e6);
        std::printf(
            "  of it window calls   %.1f us (poll, begin, clear, fill, text, present)\n", fast.service / frames * 1e6);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vekos_bench_window: %s\n", e.what());
        return 1;
    }
}
