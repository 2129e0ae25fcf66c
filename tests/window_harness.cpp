#include "window_harness.h"

#include "harness.h"
#include "kernel/trace.h"
#include "window/font.h"

#include <regex>

namespace vekos::test {
namespace {

constexpr uint64_t kInstructionLimit = 100'000'000; // a run that never quits stops here

SessionOptions window_options(WindowOptions window, Viewer* viewer, std::vector<std::string>& transcript)
{
    SessionOptions options;
    options.kernel.fast_clock = true;
    options.kernel.observer = [&transcript](const GuestMemory& m, const CallRecord& call) {
        static const std::regex address("0x[0-9a-f]{8}");
        transcript.push_back(std::regex_replace(format_call(m, call), address, "ADDR"));
    };
    options.machine.max_instructions = kInstructionLimit;
    options.window = std::move(window);
    options.viewer = viewer;
    return options;
}

} // namespace

WindowRun::WindowRun(WindowOptions options)
    : session_(build_dir() / "bin/paneprobe", window_options(std::move(options), this, transcript_))
{
}

std::vector<int32_t> WindowRun::rectangle_xs() const
{
    std::vector<int32_t> xs;
    for (const std::string& line : transcript_)
        if (line.starts_with("gui_fill_rect(1, {x="))
            xs.push_back(std::stoi(line.substr(line.find("x=") + 2)));
    return xs;
}

Framebuffer paneprobe_frame(int rect_x)
{
    Framebuffer f(640, 480);
    f.clear(kBackground);
    f.fill_rect(rect_x, 90, 140, 90, kRectangle);
    f.draw_text(10, 10, 0xDEDEDE, "Legacy window test command", console_font());
    return f;
}

} // namespace vekos::test
