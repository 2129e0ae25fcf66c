// Window tests: paneprobe (or another vekos program) on a machine whose
// kernel has the window service, headless, with scripted keys; and the
// records each window call pointed to, as the service saw them.
#pragma once

#include "session/session.h"
#include "window/framebuffer.h"
#include "window/window.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vekos::test {

constexpr uint32_t kBackground = 0x1E1E1E;
constexpr uint32_t kRectangle = 0xFFB482;
constexpr uint32_t kCaption = 0xDEDEDE;
constexpr const char* kCaptionText = "Legacy window test command";

// One window call: its registers and answer, the record words it pointed to
// (gui_clear 1, gui_fill_rect 5, gui_draw_text 4, the event record of a poll
// or wait 5 words, after the call), and the text of a gui_draw_text or the
// title and hint of a create or attach.
struct SeenCall {
    CallRegs regs;
    std::optional<int32_t> answer;
    std::vector<uint32_t> record;
    std::string text;
    std::string hint;
};

// Keeps copies of the presented frames whose numbers it is given.
class FrameKeeper final : public Viewer {
public:
    void frame_presented(const Framebuffer& frame, uint64_t number) override
    {
        if (wanted.count(number))
            kept.insert_or_assign(number, frame);
    }
    std::set<uint64_t> wanted;
    std::map<uint64_t, Framebuffer> kept;
};

class WindowRun {
public:
    // build/bin/paneprobe unless another program is named.
    explicit WindowRun(WindowOptions options = {}, std::filesystem::path program = {});
    WindowRun(const WindowRun&) = delete;
    WindowRun& operator=(const WindowRun&) = delete;

    Stop run(const std::vector<std::string>& argv = {"paneprobe"}) { return session_.run(argv); }
    void keep_frames(std::set<uint64_t> numbers) { frames_.wanted = std::move(numbers); }
    const Framebuffer& frame(uint64_t number) const { return frames_.kept.at(number); }

    Window& gui() { return *session_.window(); }
    const std::vector<CallRecord>& log() const { return session_.calls(); }
    const std::vector<SeenCall>& window_calls() const { return seen_; }
    const std::string& output() const { return session_.captured()->output(); }
    // The x of every gui_fill_rect, in order.
    std::vector<int32_t> rectangle_xs() const;

private:
    FrameKeeper frames_;
    std::vector<SeenCall> seen_;
    Session session_;
};

} // namespace vekos::test
